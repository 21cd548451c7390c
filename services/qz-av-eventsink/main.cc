// qz-av-eventsink: the receiving end of the event pipeline. Serves "qz-av-events-dispatch" and
// "qz-av-log" and appends every request it receives as one JSON line to an output file, with
// encrypted event sections decrypted when it knows the shared key. A request is answered OK only
// once its line is on disk, so a dispatcher deletes its queued copy only when nothing can be lost.
#include <fcntl.h>
#include <json-c/json.h>
#include <libgen.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "connection/replies.h"
#include "log/log.h"
#include "qzav/qz_secretbox_salt.h"
#include "service_main.h"

namespace {

using qz::nats::JsonPtr;

constexpr const char* kProgram = "qz-av-eventsink";
constexpr const char* kEventSubject = "qz-av-events-dispatch";
constexpr const char* kLogSubject = "qz-av-log";

// Reply codes besides 0. A request that cannot be stored is worth sending again; a malformed one
// is recorded all the same, so the sender may drop it.
constexpr int kReturnNotStored = -1;
constexpr int kReturnMalformed = -2;

// Exit codes.
constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The event key derivation of the adapter: Argon2id over the key text with the shared salt.
constexpr unsigned long long kKeyOpsLimit = 2;
constexpr size_t kKeyMemLimit = 67108864;
static_assert(QZ_SECRETBOX_SALT_BYTES == crypto_pwhash_SALTBYTES);

constexpr int kJsonLineFlags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;

const char* const kUsage =
    "Usage: qz-av-eventsink --out FILE [--key TEXT] [OPTIONS]\n"
    "\n"
    "Serves the subjects qz-av-events-dispatch and qz-av-log and appends every request as one\n"
    "JSON line to FILE: {\"subject\": ..., \"received\": <ms since 1970>, \"message\": <the\n"
    "request>}. Requests are answered with ReturnCode 0 once their line is on disk. A request\n"
    "that is not a JSON object is answered with an error and recorded as text with an \"error\"\n"
    "member. Stops on SIGTERM or SIGINT.\n"
    "\n"
    "Options:\n"
    "  --out FILE          output file, appended to (created when missing); required\n"
    "  --key TEXT          the shared event key text: encrypted event sections are written\n"
    "                      decrypted (default: written as received)\n"
    "  --help              this text\n";

int64_t now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A whole text that is one JSON object (blanks around it allowed), or null.
JsonPtr parse_object(const char* text, size_t length) {
    if (memchr(text, '\0', length) != nullptr) return nullptr;
    json_tokener* tokener = json_tokener_new();
    if (tokener == nullptr) return nullptr;
    JsonPtr parsed(json_tokener_parse_ex(tokener, text, static_cast<int>(length)));
    bool complete = json_tokener_get_error(tokener) == json_tokener_success;
    for (size_t at = json_tokener_get_parse_end(tokener); complete && at < length; ++at) {
        complete = text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n';
    }
    json_tokener_free(tokener);
    if (!complete || !parsed || !json_object_is_type(parsed.get(), json_type_object)) {
        return nullptr;
    }
    return parsed;
}

bool valid_utf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t point = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1, point = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2, point = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3, point = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            point = (point << 6) | (next & 0x3f);
        }
        static const uint32_t kLowest[] = {0, 0x80, 0x800, 0x10000};
        if (point < kLowest[extra] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string base64_of(const std::string& bytes) {
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(strlen(out.c_str()));
    return out;
}

const char* string_member(json_object* object, const char* name) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, name, &value) ||
        !json_object_is_type(value, json_type_string)) {
        return nullptr;
    }
    return json_object_get_string(value);
}

// The event key of the adapter, derived from the shared key text on our own with the shared salt
// (not through the library's derivation): a salt that drifted apart shows up as a failure here.
class EventKey {
  public:
    ~EventKey() { sodium_memzero(key_.data(), key_.size()); }

    bool derive(const std::string& text) {
        static constexpr unsigned char kSalt[QZ_SECRETBOX_SALT_BYTES] = QZ_SECRETBOX_SALT;
        return crypto_pwhash(key_.data(), key_.size(), text.data(), text.size(), kSalt,
                             kKeyOpsLimit, kKeyMemLimit, crypto_pwhash_ALG_ARGON2ID13) == 0;
    }

    // Replaces the Base64 "Event" text of message by the JSON object it encrypts, with the nonce
    // of "Nonce". false with the reason when it cannot; the message is then unchanged.
    bool decrypt_event(json_object* message, std::string* why) const {
        const char* nonce_hex = string_member(message, "Nonce");
        const char* cipher_b64 = string_member(message, "Event");
        if (nonce_hex == nullptr) {
            *why = "the encrypted event section has no \"Nonce\" text";
            return false;
        }
        unsigned char nonce[crypto_secretbox_NONCEBYTES];
        size_t nonce_length = 0;
        const char* nonce_end = nullptr;
        if (sodium_hex2bin(nonce, sizeof nonce, nonce_hex, strlen(nonce_hex), nullptr,
                           &nonce_length, &nonce_end) != 0 ||
            nonce_length != sizeof nonce || *nonce_end != '\0') {
            *why = "\"Nonce\" is not 48 hexadecimal digits";
            return false;
        }
        const size_t cipher_b64_length = strlen(cipher_b64);
        std::vector<unsigned char> cipher(cipher_b64_length / 4 * 3 + 3);
        size_t cipher_length = 0;
        const char* cipher_end = nullptr;
        if (sodium_base642bin(cipher.data(), cipher.size(), cipher_b64, cipher_b64_length, nullptr,
                              &cipher_length, &cipher_end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
            *cipher_end != '\0') {
            *why = "\"Event\" is not Base64 text";
            return false;
        }
        if (cipher_length < crypto_secretbox_MACBYTES) {
            *why = "\"Event\" is too short to be an encrypted event section";
            return false;
        }
        std::string plain(cipher_length - crypto_secretbox_MACBYTES, '\0');
        if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()),
                                       cipher.data(), cipher_length, nonce, key_.data()) != 0) {
            *why = "the event section does not decrypt with this key (wrong key or altered data)";
            return false;
        }
        JsonPtr event = parse_object(plain.data(), plain.size());
        if (!event) {
            *why = "the decrypted event section is not a JSON object";
            return false;
        }
        // Replacing keeps the member's place in the message.
        if (json_object_object_add(message, "Event", event.get()) != 0) {
            *why = "out of memory";
            return false;
        }
        event.release();
        return true;
    }

  private:
    std::array<unsigned char, crypto_secretbox_KEYBYTES> key_{};
};

// The output file: lines are appended whole, one write() each under a lock, so that lines of
// concurrent handlers never mix, and synced before a request is acknowledged.
class LineFile {
  public:
    ~LineFile() {
        if (fd_ >= 0) close(fd_);
    }

    bool open(const std::string& path, std::string* why) {
        struct stat before;
        const bool existed = stat(path.c_str(), &before) == 0;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
        if (fd_ < 0) {
            *why = "cannot open " + path + ": " + strerror(errno);
            return false;
        }
        if (!existed) {
            // The file's name must survive a crash as well as the lines in it.
            std::string dir_path = path;
            int dir_fd = ::open(dirname(dir_path.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir_fd >= 0) {
                fsync(dir_fd);
                close(dir_fd);
            }
        }
        return true;
    }

    // Appends the line (which ends with its line break) and makes it durable.
    bool append(const std::string& line, std::string* why) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            size_t done = 0;
            while (done < line.size()) {
                const ssize_t n = write(fd_, line.data() + done, line.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    *why = std::string("cannot write the output file: ") +
                           (n < 0 ? strerror(errno) : "nothing written");
                    cut_partial_line(done);
                    return false;
                }
                done += static_cast<size_t>(n);
            }
        }
        // Outside the lock: concurrent handlers share one flush of the device.
        if (fdatasync(fd_) != 0) {
            *why = std::string("cannot sync the output file: ") + strerror(errno);
            return false;
        }
        return true;
    }

  private:
    // A write cut short (disk full) leaves part of a line, which would glue onto the next one.
    // This process is the file's only writer and holds the lock, so the tail is that part.
    void cut_partial_line(size_t written) {
        struct stat st;
        if (written == 0 || fstat(fd_, &st) != 0) return;
        if (ftruncate(fd_, st.st_size - static_cast<off_t>(written)) != 0) {
            LOG_ERROR("Cannot remove a partly written line from the output file: %s",
                      strerror(errno));
        }
    }

    int fd_ = -1;
    std::mutex mutex_;
};

class Sink {
  public:
    Sink(LineFile* file, const EventKey* key) : file_(file), key_(key) {}

    void record(const char* subject, qz_request_reply* pair) {
        const int64_t received = now_ms();
        const char* text =
            pair->request != nullptr && pair->request->json != nullptr ? pair->request->json : "";
        const std::string raw = text;
        std::string error;
        JsonPtr message = parse_object(raw.data(), raw.size());
        const bool malformed = !message;
        if (malformed) {
            error = "the request is not a JSON object";
        } else if (key_ != nullptr && string_member(message.get(), "Event") != nullptr &&
                   !key_->decrypt_event(message.get(), &error)) {
            // Kept as received: the line still holds everything needed to decrypt it later.
            LOG_WARN("Recording an event with its section encrypted: %s", error.c_str());
        }

        JsonPtr line(json_object_new_object());
        json_object_object_add(line.get(), "subject", json_object_new_string(subject));
        json_object_object_add(line.get(), "received", json_object_new_int64(received));
        if (!malformed) {
            json_object_object_add(line.get(), "message", message.release());
        } else if (valid_utf8(raw)) {
            json_object_object_add(
                line.get(), "message",
                json_object_new_string_len(raw.data(), static_cast<int>(raw.size())));
        } else {
            // Bytes that are not UTF-8 would make the line unreadable for strict JSON readers.
            json_object_object_add(line.get(), "message_base64",
                                   json_object_new_string(base64_of(raw).c_str()));
        }
        if (!error.empty()) {
            json_object_object_add(line.get(), "error", json_object_new_string(error.c_str()));
        }
        const char* line_text = json_object_to_json_string_ext(line.get(), kJsonLineFlags);
        if (line_text == nullptr) {
            qz_reply_set_ERROR(pair->reply, kReturnNotStored, "qz-av-eventsink: out of memory");
            return;
        }
        std::string why;
        if (!file_->append(std::string(line_text) + "\n", &why)) {
            LOG_ERROR("Not stored (%s): %s", subject, why.c_str());
            qz_reply_set_ERROR(pair->reply, kReturnNotStored, ("qz-av-eventsink: " + why).c_str());
            return;
        }
        if (malformed) {
            LOG_WARN("Malformed request on %s recorded: %s", subject, error.c_str());
            qz_reply_set_ERROR(pair->reply, kReturnMalformed,
                               "qz-av-eventsink: the request is not a JSON object; it was "
                               "recorded as text and will not be processed");
            return;
        }
        LOG_TRACE("Recorded a message on %s", subject);
        qz_reply_set_OK(pair->reply);
    }

  private:
    LineFile* file_;
    const EventKey* key_;
};

struct Route {
    Sink* sink;
    const char* subject;
};

void handle_request(void* closure, qz_request_reply* pair) {
    const Route* route = static_cast<const Route*>(closure);
    try {
        route->sink->record(route->subject, pair);
    } catch (const std::exception& e) {
        LOG_ERROR("Request on %s failed: %s", route->subject, e.what());
        free(pair->reply->json);
        pair->reply->json = nullptr;
        qz_reply_set_ERROR(pair->reply, kReturnNotStored, "qz-av-eventsink: internal error");
    }
}

int usage_error(const std::string& why) {
    fprintf(stderr, "%s: %s\n\n%s%s", kProgram, why.c_str(), kUsage, qz::service::common_usage());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("%s%s", kUsage, qz::service::common_usage());
            return kExitStopped;
        }
    }
    qz::service::Options options;
    std::string error;
    if (!qz::service::parse_common_options(argc, argv, &options, &error)) {
        return usage_error(error);
    }
    std::string out_path, key_text;
    for (size_t i = 0; i < options.rest.size(); ++i) {
        const std::string& flag = options.rest[i];
        std::string* target = flag == "--out" ? &out_path : flag == "--key" ? &key_text : nullptr;
        if (target == nullptr) return usage_error("unknown argument \"" + flag + "\"");
        if (i + 1 >= options.rest.size()) return usage_error(flag + " needs a value");
        *target = options.rest[++i];
    }
    if (out_path.empty()) return usage_error("--out FILE is required");
    for (std::string& arg : options.rest) sodium_memzero(arg.data(), arg.size());
    // The key text is a secret shared with every host: keep it out of the process list.
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--key") == 0) memset(argv[i + 1], 0, strlen(argv[i + 1]));
    }

    if (sodium_init() < 0) {
        fprintf(stderr, "%s: cannot initialise libsodium\n", kProgram);
        return kExitFailed;
    }
    LineFile file;
    if (!file.open(out_path, &error)) {
        fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }
    EventKey key;
    if (!key_text.empty() && !key.derive(key_text)) {
        fprintf(stderr, "%s: cannot derive the event key (out of memory?)\n", kProgram);
        return kExitFailed;
    }
    const bool decrypting = !key_text.empty();
    sodium_memzero(key_text.data(), key_text.size());

    volatile int32_t* stop = qz::service::install_stop_signals();
    qz_connection_config* config = qz::service::connect(options, kProgram);
    if (config == nullptr) return kExitFailed;

    Sink sink(&file, decrypting ? &key : nullptr);
    Route routes[] = {{&sink, kEventSubject}, {&sink, kLogSubject}};
    bool serving = true;
    for (Route& route : routes) {
        serving = serving &&
                  qz_connection_start_service_handler_threads(config, route.subject, handle_request,
                                                              &route, stop, options.threads) == 0;
    }
    if (!serving) {
        fprintf(stderr, "%s: cannot serve the event subjects (see the trace)\n", kProgram);
    }
    if (!decrypting) {
        fprintf(stderr,
                "%s: no event key given: encrypted event sections are written as received\n",
                kProgram);
        LOG_INFO("No event key: encrypted event sections are written as received");
    }
    LOG_INFO("%s serving %s and %s into %s", kProgram, kEventSubject, kLogSubject,
             out_path.c_str());
    const bool ready = serving && qz::service::signal_ready(options);
    if (ready) qz::service::wait_for_stop();

    __atomic_store_n(stop, 1, __ATOMIC_SEQ_CST);
    LOG_INFO("%s stopping", kProgram);
    if (qz_connection_join_worker_threads(stop, 5000) != 0) {
        // Closing the connection under a running handler would crash it; leave without cleanup.
        fprintf(stderr, "%s: handler threads did not end within 5 s\n", kProgram);
        _exit(kExitFailed);
    }
    qz::service::disconnect(config);
    return ready ? kExitStopped : kExitFailed;
}
