// Event and log messages: the base members and their order, the sections, the EPO log object, the
// delimited event identifier, the plain and the encrypted event section as they land in the
// queue, and refused or failing enqueues.
#include "event/event_message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pqueue/pqueue.h"
#include "support/temp_dir.h"

namespace {

using qztest::TempDir;
using qztest::TraceCapture;

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;
struct Free {
    void operator()(void* p) const { std::free(p); }
};
using CharPtr = std::unique_ptr<char, Free>;

std::vector<std::string> keys_of(json_object* object) {
    std::vector<std::string> keys;
    json_object_object_foreach(object, key, value) {
        (void)value;
        keys.emplace_back(key);
    }
    return keys;
}

json_object* member(json_object* object, const char* key) {
    json_object* value = nullptr;
    return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

std::string string_member(json_object* object, const char* key) {
    json_object* value = member(object, key);
    return value != nullptr && json_object_is_type(value, json_type_string)
               ? json_object_get_string(value)
               : "<missing>";
}

const std::regex kEventIdPattern("[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}");

class Queue {
  public:
    explicit Queue(long maxelements = 100)
        : pq_(qz_pqueue_open(dir_.path().c_str(), "VSA.pq", maxelements, 1000000, O_CREAT, 1)) {}
    ~Queue() { qz_pqueue_close(pq_); }
    qz_pqueue* get() const { return pq_; }
    // The oldest entry of the type, parsed; its file is removed.
    JsonPtr take(char type) {
        qz_pqueue_data* entry = qz_pqueue_pop(pq_, type);
        if (entry == nullptr) return nullptr;
        text_ = std::string(entry->data, entry->size);
        unlink(entry->path);
        qz_pqueue_data_free(entry);
        return JsonPtr(json_tokener_parse(text_.c_str()));
    }
    const std::string& last_text() const { return text_; }

  private:
    TempDir dir_;
    qz_pqueue* pq_;
    std::string text_;
};

TEST(EventMessage, EventIdsAreDistinctTimeBasedLowerCaseUuids) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        CharPtr id(qz_log_generate_eventID());
        ASSERT_NE(nullptr, id);
        EXPECT_TRUE(std::regex_match(id.get(), kEventIdPattern)) << id.get();
        seen.insert(id.get());
    }
    EXPECT_EQ(50u, seen.size());
}

TEST(EventMessage, BaseMessageHasSixMembersInOrder) {
    const time_t before = time(nullptr);
    JsonPtr message(qz_log_create_message_with_eventID("my-event-id"));
    const time_t after = time(nullptr);
    ASSERT_NE(nullptr, message);
    EXPECT_EQ((std::vector<std::string>{"LogVersion", "Timestamp", "Timestamp_epoch", "Component",
                                        "Hostname", "EventID"}),
              keys_of(message.get()));
    EXPECT_EQ(1, json_object_get_int(member(message.get(), "LogVersion")));
    EXPECT_EQ("VSA", string_member(message.get(), "Component"));
    EXPECT_EQ("my-event-id", string_member(message.get(), "EventID"));
    EXPECT_FALSE(string_member(message.get(), "Hostname").empty());
    ASSERT_TRUE(json_object_is_type(member(message.get(), "Timestamp_epoch"), json_type_int));
    const time_t epoch = json_object_get_int64(member(message.get(), "Timestamp_epoch"));
    EXPECT_GE(epoch, before);
    EXPECT_LE(epoch, after);
    // The text stamp is the same instant in UTC.
    struct tm utc;
    gmtime_r(&epoch, &utc);
    char expected[32];
    strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &utc);
    EXPECT_EQ(expected, string_member(message.get(), "Timestamp"));

    JsonPtr fresh(qz_log_create_message());
    ASSERT_NE(nullptr, fresh);
    EXPECT_TRUE(std::regex_match(string_member(fresh.get(), "EventID"), kEventIdPattern));

    TraceCapture trace;
    EXPECT_EQ(nullptr, qz_log_create_message_with_eventID(nullptr));
}

TEST(EventMessage, LogSectionsCarryTheDataAndTheRealmWhenGiven) {
    JsonPtr message(qz_log_create_message_with_eventID("id"));
    json_object* data = json_tokener_parse(R"({"Start":"yes"})");
    ASSERT_EQ(0, qz_log_add_log_section(message.get(), "StatusLog", "realm-1", data));
    EXPECT_EQ("realm-1", string_member(message.get(), "realmID"));
    json_object* section = member(message.get(), "StatusLog");
    ASSERT_NE(nullptr, section);
    EXPECT_EQ(std::vector<std::string>{"LogData"}, keys_of(section));
    EXPECT_EQ(data, member(section, "LogData"));  // the reference moved, no copy

    JsonPtr no_realm(qz_log_create_message_with_eventID("id"));
    ASSERT_EQ(0, qz_log_add_log_section(no_realm.get(), "ErrorLog", "", json_object_new_object()));
    EXPECT_EQ(nullptr, member(no_realm.get(), "realmID"));
    ASSERT_EQ(
        0, qz_log_add_log_section(no_realm.get(), "BlockLog", nullptr, json_object_new_object()));
    EXPECT_EQ(nullptr, member(no_realm.get(), "realmID"));

    JsonPtr scan(qz_log_create_message_with_eventID("id"));
    ASSERT_EQ(0, qz_log_add_scanlog_section(scan.get(), "/var/log/scan.log", "realm-2",
                                            json_tokener_parse(R"({"Verdict":"CLEAN"})")));
    EXPECT_EQ("realm-2", string_member(scan.get(), "realmID"));
    json_object* scanlog = member(scan.get(), "ScanLog");
    ASSERT_NE(nullptr, scanlog);
    EXPECT_EQ((std::vector<std::string>{"ScanLogPath", "LogData"}), keys_of(scanlog));
    EXPECT_EQ("/var/log/scan.log", string_member(scanlog, "ScanLogPath"));
    EXPECT_EQ("CLEAN", string_member(member(scanlog, "LogData"), "Verdict"));
}

TEST(EventMessage, BadSectionArgumentsAreRefusedAndTheDataStaysTheCallers) {
    TraceCapture trace;
    JsonPtr message(qz_log_create_message_with_eventID("id"));
    JsonPtr data(json_object_new_object());
    EXPECT_EQ(-1, qz_log_add_log_section(nullptr, "StatusLog", "r", data.get()));
    EXPECT_EQ(-1, qz_log_add_log_section(message.get(), "StatusLog", "r", nullptr));
    EXPECT_EQ(-1, qz_log_add_scanlog_section(nullptr, "p", "r", data.get()));
    EXPECT_TRUE(trace.contains("Invalid parameters"));
    // The data is still the caller's alone: its release at the end of the test is the last one
    // (a reference wrongly taken and dropped would show up under the address sanitizer).
    EXPECT_EQ(nullptr, member(message.get(), "StatusLog"));
}

TEST(EventMessage, EpoLogObjectHasItsMembersInOrder) {
    JsonPtr epo(qz_log_create_epolog_json(202950, "file.txt", "EICAR", "ops.service.start", "virus",
                                          nullptr, "4.1", "dat-7"));
    ASSERT_NE(nullptr, epo);
    EXPECT_EQ((std::vector<std::string>{"LogType", "Timestamp", "EventID", "Filename",
                                        "Threat-Name", "Threat-Category", "Threat-Type",
                                        "Action-taken", "Lib-Version", "DAT-Version"}),
              keys_of(epo.get()));
    EXPECT_EQ("EPOLog", string_member(epo.get(), "LogType"));
    EXPECT_TRUE(json_object_is_type(member(epo.get(), "Timestamp"), json_type_int));
    EXPECT_NEAR(time(nullptr), json_object_get_int64(member(epo.get(), "Timestamp")), 2);
    EXPECT_EQ(202950, json_object_get_int(member(epo.get(), "EventID")));
    EXPECT_EQ("ops.service.start", string_member(epo.get(), "Threat-Category"));
    EXPECT_EQ("", string_member(epo.get(), "Action-taken"));
    EXPECT_EQ("dat-7", string_member(epo.get(), "DAT-Version"));
}

TEST(EventMessage, DelimitedEventIdString) {
    JsonPtr with_id(qz_log_create_message_with_eventID("0a1b-u"));
    JsonPtr without_id(json_object_new_object());
    JsonPtr number_id(json_tokener_parse(R"({"EventID":42})"));
    struct Case {
        const char* delimiter;
        json_object* message;
        const char* expected;
    };
    const Case cases[] = {
        {"", with_id.get(), "EventID:0a1b-u"},
        {nullptr, with_id.get(), "EventID:0a1b-u"},
        {" | id=", with_id.get(), " | id=0a1b-u"},
        {"#", without_id.get(), "#not set"},
        {"", without_id.get(), "EventID:not set"},
        {"#", number_id.get(), "#not set"},
        {"#", nullptr, "#not set"},
    };
    for (const Case& c : cases) {
        CharPtr text(qz_log_create_delimited_eventID_string(c.delimiter, c.message));
        ASSERT_NE(nullptr, text);
        EXPECT_STREQ(c.expected, text.get());
    }
}

TEST(EventMessage, PlainEventIsQueuedWithTypeAndGivenMembersOnly) {
    TraceCapture trace;
    Queue queue;
    ASSERT_EQ(0, qz_log_send_event(queue.get(), QZ_EVENT_BLOCKED, "realm-9", "QZ1", "/tmp/a.exe",
                                   nullptr, "MALWARE DETECTED", "", nullptr));
    ASSERT_EQ(0, qz_log_send_event(queue.get(), QZ_EVENT_STARTED, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(trace.contains("Added PLAIN event section"));
    EXPECT_TRUE(trace.contains("Enqueuing {\"LogVersion\":1,"));

    JsonPtr first = queue.take('E');
    ASSERT_NE(nullptr, first);
    // Compact text: no blanks between tokens, no line ends.
    EXPECT_EQ(std::string::npos, queue.last_text().find('\n'));
    EXPECT_EQ(std::string::npos, queue.last_text().find("\": "));
    EXPECT_EQ(
        (std::vector<std::string>{"LogVersion", "Timestamp", "Timestamp_epoch", "Component",
                                  "Hostname", "EventID", "Command", "realmID", "SID", "Event"}),
        keys_of(first.get()));
    EXPECT_EQ(501, json_object_get_int(member(first.get(), "Command")));
    EXPECT_EQ("realm-9", string_member(first.get(), "realmID"));
    EXPECT_EQ("QZ1", string_member(first.get(), "SID"));
    json_object* event = member(first.get(), "Event");
    ASSERT_TRUE(json_object_is_type(event, json_type_object));
    EXPECT_EQ((std::vector<std::string>{"Type", "Filename", "Blocking-Reason"}), keys_of(event));
    EXPECT_EQ(1060, json_object_get_int(member(event, "Type")));
    EXPECT_EQ("/tmp/a.exe", string_member(event, "Filename"));
    EXPECT_EQ("MALWARE DETECTED", string_member(event, "Blocking-Reason"));
    EXPECT_EQ(nullptr, member(first.get(), "Nonce"));

    JsonPtr second = queue.take('E');
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(nullptr, member(second.get(), "realmID"));
    EXPECT_EQ(nullptr, member(second.get(), "SID"));
    EXPECT_EQ(std::vector<std::string>{"Type"}, keys_of(member(second.get(), "Event")));
    EXPECT_NE(string_member(first.get(), "EventID"), string_member(second.get(), "EventID"));
}

// The receiving side knows only the password: it derives the key and decrypts with the nonce
// published beside the ciphertext.
std::string decrypt_event(json_object* message, const char* password) {
    const std::string nonce_hex = string_member(message, "Nonce");
    const std::string b64 = string_member(message, "Event");
    unsigned char nonce[24];
    size_t nonce_len = 0;
    if (sodium_hex2bin(nonce, sizeof nonce, nonce_hex.c_str(), nonce_hex.size(), nullptr,
                       &nonce_len, nullptr) != 0 ||
        nonce_len != sizeof nonce) {
        return "<bad nonce>";
    }
    std::vector<unsigned char> cipher(b64.size());
    size_t cipher_len = 0;
    if (sodium_base642bin(cipher.data(), cipher.size(), b64.c_str(), b64.size(), nullptr,
                          &cipher_len, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        return "<bad base64>";
    }
    std::unique_ptr<unsigned char, Free> key(qz_secretbox_derive_key(password));
    if (!key) return "<no key>";
    qz_secretbox_key record{};
    memcpy(record.key, key.get(), sizeof record.key);
    unsigned char* plain = nullptr;
    size_t plain_len = 0;
    if (qz_secretbox_decrypt_buffer(cipher.data(), cipher_len, &record, nonce, &plain,
                                    &plain_len) != 0) {
        return "<decryption failed>";
    }
    std::string text(reinterpret_cast<char*>(plain), plain_len);
    free(plain);
    return text;
}

TEST(EventMessage, EncryptedEventDecryptsWithTheDerivedKeyAndPublishedNonce) {
    std::unique_ptr<qz_secretbox_key, decltype(&qz_secretbox_free_key)> key(
        qz_secretbox_generate_key("sink-password"), &qz_secretbox_free_key);
    ASSERT_NE(nullptr, key);
    Queue queue;
    ASSERT_EQ(0, qz_log_send_event(queue.get(), QZ_EVENT_SCAN_NOT_COMPLETED, "realm", "QZ1",
                                   "f.pdf", "time-out", nullptr, "scan failed", key.get()));
    const std::string first_nonce = key->nonce_hex;
    ASSERT_EQ(0, qz_log_send_event(queue.get(), QZ_EVENT_STOPPED, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, key.get()));

    JsonPtr first = queue.take('E');
    ASSERT_NE(nullptr, first);
    EXPECT_EQ((std::vector<std::string>{"LogVersion", "Timestamp", "Timestamp_epoch", "Component",
                                        "Hostname", "EventID", "Command", "realmID", "SID", "Nonce",
                                        "Event"}),
              keys_of(first.get()));
    EXPECT_EQ(first_nonce, string_member(first.get(), "Nonce"));
    const std::string b64 = string_member(first.get(), "Event");
    ASSERT_FALSE(b64.empty());
    EXPECT_EQ(0u, b64.size() % 4) << "padded standard Base64";
    EXPECT_EQ(
        R"({"Type":1090,"Filename":"f.pdf","Error":"time-out","Event-Message":"scan failed"})",
        decrypt_event(first.get(), "sink-password"));
    EXPECT_EQ("<decryption failed>", decrypt_event(first.get(), "other-password"));

    JsonPtr second = queue.take('E');
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first_nonce, string_member(second.get(), "Nonce")) << "a nonce is never reused";
    EXPECT_EQ(R"({"Type":1030})", decrypt_event(second.get(), "sink-password"));
}

TEST(EventMessage, ThreadsSharingOneKeyNeverReuseANonce) {
    std::unique_ptr<qz_secretbox_key, decltype(&qz_secretbox_free_key)> key(
        qz_secretbox_generate_key("shared-password"), &qz_secretbox_free_key);
    ASSERT_NE(nullptr, key);
    Queue queue;
    constexpr int kThreads = 6;
    constexpr int kEach = 15;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                if (qz_log_send_event(queue.get(), QZ_EVENT_SCAN_CLEAN, nullptr, nullptr, "f",
                                      nullptr, nullptr, nullptr, key.get()) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    std::set<std::string> nonces;
    JsonPtr last;
    for (JsonPtr message = queue.take('E'); message; message = queue.take('E')) {
        nonces.insert(string_member(message.get(), "Nonce"));
        last = std::move(message);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), nonces.size());
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(R"({"Type":1040,"Filename":"f"})", decrypt_event(last.get(), "shared-password"));
}

TEST(EventMessage, EnqueueRefusalsAndFullQueue) {
    TraceCapture trace;
    Queue queue(1);
    JsonPtr message(qz_log_create_message_with_eventID("id-1"));
    EXPECT_EQ(-1, qz_log_enqueue(nullptr, 'L', message.get()));
    EXPECT_EQ(-1, qz_log_enqueue(queue.get(), 'L', nullptr));
    EXPECT_EQ(-1, qz_log_send_event(nullptr, QZ_EVENT_STARTED, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr));

    ASSERT_EQ(0, qz_log_enqueue(queue.get(), 'L', message.get()));
    EXPECT_EQ(-1, qz_log_enqueue(queue.get(), 'L', message.get()));
    EXPECT_TRUE(trace.contains("Failed to persist log message in queue: {\"LogVersion\":1"));
    EXPECT_EQ(-1, qz_log_send_event(queue.get(), QZ_EVENT_STARTED, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(trace.contains("Failed to persist event message in queue: "));
    // The caller's reference survived every enqueue.
    EXPECT_EQ("id-1", string_member(message.get(), "EventID"));

    JsonPtr queued = queue.take('L');
    ASSERT_NE(nullptr, queued);
    EXPECT_EQ("id-1", string_member(queued.get(), "EventID"));
}

}  // namespace
