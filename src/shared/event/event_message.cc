#include "event/event_message.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "log/log.h"
#include "platform/uuid.h"
#include "util/network.h"

namespace {

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

constexpr int kLogVersion = 1;
constexpr size_t kEventIdBytes = 37;

// Scan threads share one key record, and its nonce must advance once per encryption and be read
// back before anyone else advances it: both happen under this lock.
std::mutex s_event_key_lock;

// The host name helper fills one process-wide buffer; scan threads building messages at once
// would tear each other's copy.
std::mutex s_fqdn_lock;

std::string copy_of_fqdn() {
    std::lock_guard<std::mutex> hold(s_fqdn_lock);
    const char* name = qzhlp_GetMyFQDN();
    return name != nullptr ? name : "";
}

bool given(const char* text) { return text != nullptr && text[0] != '\0'; }

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// Adds a member and takes the value's reference; on failure the value is released.
bool add(json_object* object, const char* key, json_object* value) {
    if (value == nullptr) return false;
    if (json_object_object_add(object, key, value) != 0) {
        json_object_put(value);
        return false;
    }
    return true;
}

bool add_string(json_object* object, const char* key, const char* text) {
    return add(object, key, json_object_new_string(or_empty(text)));
}

// The event section's members, in their fixed order.
JsonPtr build_event_section(int event_type, const char* filename, const char* error,
                            const char* blocking_reason, const char* event_message) {
    JsonPtr event(json_object_new_object());
    if (!event || !add(event.get(), "Type", json_object_new_int(event_type))) return nullptr;
    const struct {
        const char* key;
        const char* value;
    } optional[] = {{"Filename", filename},
                    {"Error", error},
                    {"Blocking-Reason", blocking_reason},
                    {"Event-Message", event_message}};
    for (const auto& member : optional) {
        if (given(member.value) && !add_string(event.get(), member.key, member.value)) {
            return nullptr;
        }
    }
    return event;
}

// Replaces the plain section by "Nonce" and the Base64 of its ciphertext as "Event".
int add_encrypted_event_section(json_object* message, json_object* event,
                                qz_secretbox_key* event_key) {
    const char* text = json_object_to_json_string_ext(event, JSON_C_TO_STRING_PLAIN);
    if (text == nullptr) {
        LOG_ERROR("Failed to convert event message to string");
        return -1;
    }
    unsigned char* cipher = nullptr;
    size_t cipher_length = 0;
    std::string nonce_hex;
    {
        std::lock_guard<std::mutex> hold(s_event_key_lock);
        if (qz_secretbox_encrypt_buffer(reinterpret_cast<const unsigned char*>(text), strlen(text),
                                        event_key, &cipher, &cipher_length) != 0) {
            LOG_ERROR("Failed to encrypt event message");
            return -1;
        }
        nonce_hex = event_key->nonce_hex;
    }
    std::unique_ptr<unsigned char, decltype(&free)> cipher_owner(cipher, &free);
    const size_t b64_size =
        sodium_base64_ENCODED_LEN(cipher_length, sodium_base64_VARIANT_ORIGINAL);
    std::unique_ptr<char, decltype(&free)> b64(static_cast<char*>(malloc(b64_size)), &free);
    if (!b64) {
        LOG_ERROR("Failed to allocate %s", "encrypted_event_message_b64");
        return -1;
    }
    if (sodium_bin2base64(b64.get(), b64_size, cipher, cipher_length,
                          sodium_base64_VARIANT_ORIGINAL) == nullptr) {
        LOG_ERROR("Failed to encode encrypted event message to base64");
        return -1;
    }
    if (!add_string(message, "Nonce", nonce_hex.c_str()) ||
        !add_string(message, "Event", b64.get())) {
        LOG_ERROR("Failed to allocate %s", "event_json");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

char* qz_log_generate_eventID(void) {
    char* id = static_cast<char*>(malloc(kEventIdBytes));
    if (id == nullptr) {
        LOG_ERROR("Failed to allocate memory for %s", "eventID");
        return nullptr;
    }
    qz_uuid_t uuid;
    qz_uuid_generate_time_safe(uuid);
    qz_uuid_unparse_lower(uuid, id);
    return id;
}

json_object* qz_log_create_message_with_eventID(const char* eventID) {
    if (eventID == nullptr) {
        LOG_ERROR("Invalid parameters");
        return nullptr;
    }
    const time_t now = time(nullptr);
    struct tm utc;
    char stamp[64];
    if (gmtime_r(&now, &utc) == nullptr ||
        strftime(stamp, sizeof stamp, "%F %H:%M:%S", &utc) == 0) {
        LOG_ERROR("Failed to format timestamp");
        return nullptr;
    }
    JsonPtr message(json_object_new_object());
    if (!message) return nullptr;
    const std::string hostname = copy_of_fqdn();
    if (!add(message.get(), "LogVersion", json_object_new_int(kLogVersion)) ||
        !add_string(message.get(), "Timestamp", stamp) ||
        !add(message.get(), "Timestamp_epoch", json_object_new_int64(static_cast<int64_t>(now))) ||
        !add_string(message.get(), "Component", "VSA") ||
        !add_string(message.get(), "Hostname", hostname.c_str()) ||
        !add_string(message.get(), "EventID", eventID)) {
        LOG_ERROR("Failed to allocate %s", "message");
        return nullptr;
    }
    return message.release();
}

json_object* qz_log_create_message(void) {
    std::unique_ptr<char, decltype(&free)> id(qz_log_generate_eventID(), &free);
    if (!id) return nullptr;
    return qz_log_create_message_with_eventID(id.get());
}

int qz_log_add_log_section(json_object* message, const char* section_name, const char* realmID,
                           json_object* data) {
    if (message == nullptr || data == nullptr || section_name == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    JsonPtr section(json_object_new_object());
    if (!section) {
        LOG_ERROR("Failed to allocate %s", "logsection_json");
        return -1;
    }
    if (given(realmID) && !add_string(message, "realmID", realmID)) {
        LOG_ERROR("Failed to allocate %s", "logsection_json");
        return -1;
    }
    // The section takes the caller's reference only once everything else is in place, so a
    // failure leaves the data with the caller.
    if (json_object_object_add(section.get(), "LogData", data) != 0) {
        LOG_ERROR("Failed to allocate %s", "logsection_json");
        return -1;
    }
    if (json_object_object_add(message, section_name, section.get()) != 0) {
        json_object_get(data);  // the section's release must not take the caller's reference
        LOG_ERROR("Failed to allocate %s", "logsection_json");
        return -1;
    }
    section.release();
    return 0;
}

int qz_log_add_scanlog_section(json_object* message, const char* scanlog_path, const char* realmID,
                               json_object* data) {
    if (message == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    JsonPtr section(json_object_new_object());
    if (!section || !add_string(section.get(), "ScanLogPath", scanlog_path)) {
        LOG_ERROR("Failed to allocate %s", "scanlog_json");
        return -1;
    }
    if (given(realmID) && !add_string(message, "realmID", realmID)) {
        LOG_ERROR("Failed to allocate %s", "scanlog_json");
        return -1;
    }
    if (json_object_object_add(section.get(), "LogData", data) != 0) {
        LOG_ERROR("Failed to allocate %s", "scanlog_json");
        return -1;
    }
    if (json_object_object_add(message, "ScanLog", section.get()) != 0) {
        json_object_get(data);
        LOG_ERROR("Failed to allocate %s", "scanlog_json");
        return -1;
    }
    section.release();
    return 0;
}

json_object* qz_log_create_epolog_json(int event_id, const char* filename, const char* threat_name,
                                       const char* threat_category, const char* threat_type,
                                       const char* action_taken, const char* lib_version,
                                       const char* dat_version) {
    JsonPtr epo(json_object_new_object());
    if (!epo) return nullptr;
    if (!add_string(epo.get(), "LogType", "EPOLog") ||
        !add(epo.get(), "Timestamp", json_object_new_int64(static_cast<int64_t>(time(nullptr)))) ||
        !add(epo.get(), "EventID", json_object_new_int(event_id))) {
        LOG_ERROR("Failed to allocate %s", "epolog_json");
        return nullptr;
    }
    const struct {
        const char* key;
        const char* value;
    } texts[] = {{"Filename", filename},
                 {"Threat-Name", threat_name},
                 {"Threat-Category", threat_category},
                 {"Threat-Type", threat_type},
                 {"Action-taken", action_taken},
                 {"Lib-Version", lib_version},
                 {"DAT-Version", dat_version}};
    for (const auto& member : texts) {
        if (!add_string(epo.get(), member.key, member.value)) {
            LOG_ERROR("Failed to allocate %s", "epolog_json");
            return nullptr;
        }
    }
    return epo.release();
}

char* qz_log_create_delimited_eventID_string(const char* delimiter, json_object* message) {
    const char* prefix = given(delimiter) ? delimiter : "EventID:";
    const char* id = "not set";
    json_object* member = nullptr;
    if (message != nullptr && json_object_object_get_ex(message, "EventID", &member) &&
        json_object_is_type(member, json_type_string)) {
        id = json_object_get_string(member);
    }
    const size_t size = strlen(prefix) + strlen(id) + 1;
    char* text = static_cast<char*>(malloc(size));
    if (text == nullptr) {
        LOG_ERROR("Failed to allocate %s", "delimited_eventID");
        return nullptr;
    }
    snprintf(text, size, "%s%s", prefix, id);
    return text;
}

int qz_log_send_event(qz_pqueue* queue, int event_type, const char* realmID, const char* SID,
                      const char* filename, const char* error, const char* blocking_reason,
                      const char* event_message, qz_secretbox_key* event_key) {
    JsonPtr message(qz_log_create_message());
    if (!message) {
        LOG_ERROR("Failed to allocate %s", "qzlog");
        return -1;
    }
    if (!add(message.get(), "Command", json_object_new_int(QZ_EVENT_COMMAND)) ||
        (given(realmID) && !add_string(message.get(), "realmID", realmID)) ||
        (given(SID) && !add_string(message.get(), "SID", SID))) {
        LOG_ERROR("Failed to allocate %s", "qzlog");
        return -1;
    }
    JsonPtr event =
        build_event_section(event_type, filename, error, blocking_reason, event_message);
    if (!event) {
        LOG_ERROR("Failed to allocate %s", "event_json");
        return -1;
    }
    if (event_key == nullptr) {
        if (json_object_object_add(message.get(), "Event", event.get()) != 0) {
            LOG_ERROR("Failed to allocate %s", "event_json");
            return -1;
        }
        event.release();
        LOG_TRACE("Added PLAIN event section");
    } else if (add_encrypted_event_section(message.get(), event.get(), event_key) != 0) {
        return -1;
    }
    return qz_log_enqueue(queue, 'E', message.get());
}

int qz_log_enqueue(qz_pqueue* queue, char type, json_object* message) {
    if (queue == nullptr || message == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    JsonPtr held(json_object_get(message));
    const char* text = json_object_to_json_string_ext(held.get(), JSON_C_TO_STRING_PLAIN);
    if (text == nullptr) {
        LOG_ERROR("Failed to persist %s message in queue: %s", type == 'E' ? "event" : "log",
                  "(not serialisable)");
        return -1;
    }
    LOG_TRACE("Enqueuing %s", text);
    if (qz_pqueue_push(queue, type, text, strlen(text)) != 0) {
        LOG_ERROR("Failed to persist %s message in queue: %s", type == 'E' ? "event" : "log", text);
        return -1;
    }
    return 0;
}
}
