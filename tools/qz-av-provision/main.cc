// qz-av-provision: prepares a nats-server with JetStream for qz-av-vsa. Creates the three
// key-value buckets and, for each service named on the command line, the work-queue stream and
// its durable pull consumer. Running it again changes nothing, or brings changeable settings back
// to the values below; a setting the broker cannot change in place is reported, not forced.
// The settings and their reasons are documented for administrators in docs/broker.md.
#include <nats/nats.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "connection/nats_handles.h"

namespace {

constexpr int64_t kNanosPerSecond = 1000000000LL;
constexpr int64_t kMiB = 1024LL * 1024;

// Exit codes.
constexpr int kExitReady = 0;
constexpr int kExitBroker = 1;
constexpr int kExitUsage = 2;

struct BucketSettings {
    const char* name;
    const char* description;
    int64_t ttl_seconds;
    int64_t max_bytes;
    int32_t max_value_size;
};

// Work-queue settings shared by every service.
constexpr int64_t kJobMaxAgeSeconds = 15 * 60;
constexpr int64_t kJobMaxBytes = 1024 * kMiB;
constexpr int32_t kJobMaxMsgSize = static_cast<int32_t>(1 * kMiB);
constexpr int64_t kDuplicateWindowSeconds = 2 * 60;
constexpr int64_t kAckWaitSeconds = 30;
constexpr int64_t kMaxDeliver = 5;
constexpr int64_t kMaxAckPending = 1024;

const char* const kUsage =
    "Usage: qz-av-provision [OPTIONS] [SERVICE...]\n"
    "\n"
    "Creates on a nats-server with JetStream the key-value buckets qz-av-scan-data,\n"
    "qz-av-worker-registry and qz-av-wq-dedup and, for each SERVICE (the subject a requester\n"
    "routes through a work queue, e.g. qz-av-clamav), the work-queue stream JOBS_<SERVICE> on\n"
    "subject jobs.<SERVICE> with the durable pull consumer WORK_<SERVICE> ('.' in SERVICE\n"
    "becomes '_' in the stream and consumer names). Safe to run again: what exists is kept and\n"
    "changeable settings are brought back to the documented values (docs/broker.md).\n"
    "\n"
    "Options:\n"
    "  --url URL                  broker URL (default nats://127.0.0.1:4222)\n"
    "  --user USER                user name (with --password)\n"
    "  --password PASSWORD        password\n"
    "  --ca FILE                  CA certificates (PEM) to trust for TLS\n"
    "  --cert FILE --key FILE     client certificate chain and key for mutual TLS\n"
    "  --replicas N               replicas of every bucket and stream (default 1)\n"
    "  --scan-data-max-bytes N    storage limit of qz-av-scan-data in bytes (default 4294967296)\n"
    "  --verbose                  one line per bucket, stream and consumer\n"
    "  --help                     this text\n"
    "\n"
    "Example:\n"
    "  qz-av-provision --url tls://broker.example:4222 --ca ca.pem qz-av-clamav qz-av-mimescan\n"
    "\n"
    "Exit codes: 0 everything is in place, 1 the broker refused or could not be reached,\n"
    "2 bad command line.\n";

struct Arguments {
    std::string url = "nats://127.0.0.1:4222";
    std::string user, password, ca, cert, key;
    int64_t replicas = 1;
    int64_t scan_data_max_bytes = 4096 * kMiB;
    bool verbose = false;
    std::vector<std::string> services;
};

bool parse_int(const char* text, int64_t min, int64_t* out) {
    char* end = nullptr;
    long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || value < min) return false;
    *out = value;
    return true;
}

// Stream and consumer names may not hold '.', '*', '>' or white space; subjects may not hold
// wildcards or white space or empty tokens.
bool valid_service(const std::string& service, std::string* why) {
    if (service.empty()) {
        *why = "empty service name";
        return false;
    }
    if (service.size() > 194) {  // "JOBS_" + 194 = 199, the longest name the workers build
        *why = "service name longer than 194 characters";
        return false;
    }
    for (char c : service) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) {
            *why = std::string("character '") + c + "' not allowed (letters, digits, - _ .)";
            return false;
        }
    }
    if (service.front() == '.' || service.back() == '.' ||
        service.find("..") != std::string::npos) {
        *why = "empty subject token";
        return false;
    }
    return true;
}

// 0 parsed, 1 help shown, 2 usage error.
int parse_arguments(int argc, char** argv, Arguments* args) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "qz-av-provision: %s needs a value\n", arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 1;
        } else if (arg == "--verbose" || arg == "-v") {
            args->verbose = true;
        } else if (arg == "--url" || arg == "--user" || arg == "--password" || arg == "--ca" ||
                   arg == "--cert" || arg == "--key" || arg == "--replicas" ||
                   arg == "--scan-data-max-bytes") {
            if (!value(&v)) return 2;
            if (arg == "--url") args->url = v;
            if (arg == "--user") args->user = v;
            if (arg == "--password") args->password = v;
            if (arg == "--ca") args->ca = v;
            if (arg == "--cert") args->cert = v;
            if (arg == "--key") args->key = v;
            if (arg == "--replicas" && (!parse_int(v, 1, &args->replicas) || args->replicas > 5)) {
                fprintf(stderr, "qz-av-provision: --replicas wants 1 to 5, not '%s'\n", v);
                return 2;
            }
            if (arg == "--scan-data-max-bytes" &&
                (!parse_int(v, -1, &args->scan_data_max_bytes) || args->scan_data_max_bytes == 0)) {
                fprintf(stderr,
                        "qz-av-provision: --scan-data-max-bytes wants bytes or -1, not '%s'\n", v);
                return 2;
            }
        } else if (arg.rfind("-", 0) == 0) {
            fprintf(stderr, "qz-av-provision: unknown option '%s' (see --help)\n", arg.c_str());
            return 2;
        } else {
            std::string why;
            if (!valid_service(arg, &why)) {
                fprintf(stderr, "qz-av-provision: bad service name '%s': %s\n", arg.c_str(),
                        why.c_str());
                return 2;
            }
            args->services.push_back(arg);
        }
    }
    if (args->user.empty() != args->password.empty()) {
        fputs("qz-av-provision: --user and --password go together\n", stderr);
        return 2;
    }
    if (args->cert.empty() != args->key.empty()) {
        fputs("qz-av-provision: --cert and --key go together\n", stderr);
        return 2;
    }
    return 0;
}

std::string status_text(natsStatus s) {
    natsStatus ignored;
    const char* last = nats_GetLastError(&ignored);
    std::string text = natsStatus_GetText(s);
    if (last != nullptr && *last != '\0') text += std::string(" — ") + last;
    return text;
}

struct StreamInfoDeleter {
    void operator()(jsStreamInfo* si) const { jsStreamInfo_Destroy(si); }
};
using StreamInfoPtr = std::unique_ptr<jsStreamInfo, StreamInfoDeleter>;
struct ConsumerInfoDeleter {
    void operator()(jsConsumerInfo* ci) const { jsConsumerInfo_Destroy(ci); }
};
using ConsumerInfoPtr = std::unique_ptr<jsConsumerInfo, ConsumerInfoDeleter>;

class Provisioner {
  public:
    Provisioner(jsCtx* js, const Arguments& args) : js_(js), args_(args) {}

    bool bucket(const BucketSettings& b) {
        const std::string stream = std::string("KV_") + b.name;
        const int64_t max_age = b.ttl_seconds * kNanosPerSecond;
        jsStreamInfo* raw = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus s = js_GetStreamInfo(&raw, js_, stream.c_str(), nullptr, &jerr);
        StreamInfoPtr info(raw);
        if (s == NATS_NOT_FOUND) {
            kvConfig cfg;
            kvConfig_Init(&cfg);
            cfg.Bucket = b.name;
            cfg.Description = b.description;
            cfg.History = 1;
            cfg.TTL = max_age;  // the client takes nanoseconds here
            cfg.MaxBytes = b.max_bytes;
            cfg.MaxValueSize = b.max_value_size;
            cfg.StorageType = js_FileStorage;
            cfg.Replicas = static_cast<int>(args_.replicas);
            kvStore* kv = nullptr;
            s = js_CreateKeyValue(&kv, js_, &cfg);
            kvStore_Destroy(kv);
            return done(s, "created", "bucket", b.name);
        }
        if (s != NATS_OK) return done(s, "", "bucket", b.name);

        jsStreamConfig cfg = *info->Config;
        if (cfg.Storage != js_FileStorage) {
            return refuse("bucket", b.name, "is not on file storage; delete it to recreate it");
        }
        bool change = false;
        set(&cfg.MaxMsgsPerSubject, int64_t{1}, &change);
        set(&cfg.MaxAge, max_age, &change);
        set(&cfg.MaxBytes, b.max_bytes, &change);
        set(&cfg.MaxMsgSize, b.max_value_size, &change);
        set(&cfg.Replicas, args_.replicas, &change);
        // A full bucket must refuse new values rather than drop chunks of staged payloads.
        set(&cfg.Discard, js_DiscardNew, &change);
        if (!change) return done(NATS_OK, "unchanged", "bucket", b.name);
        jsStreamInfo* updated = nullptr;
        s = js_UpdateStream(&updated, js_, &cfg, nullptr, &jerr);
        jsStreamInfo_Destroy(updated);
        return done(s, "updated", "bucket", b.name);
    }

    bool work_queue(const std::string& service) {
        std::string sanitized = service;
        for (char& c : sanitized) {
            if (c == '.') c = '_';
        }
        const std::string subject = "jobs." + service;
        const std::string stream = "JOBS_" + sanitized;
        const std::string durable = "WORK_" + sanitized;
        return stream_for(stream, subject) && consumer_for(stream, durable, subject);
    }

    int created = 0, updated = 0, unchanged = 0, failed = 0;

  private:
    template <typename T>
    static void set(T* field, T value, bool* change) {
        if (*field != value) {
            *field = value;
            *change = true;
        }
    }

    bool done(natsStatus s, const char* what, const char* kind, const std::string& name) {
        if (s != NATS_OK) {
            fprintf(stderr, "qz-av-provision: %s %s: %s\n", kind, name.c_str(),
                    status_text(s).c_str());
            failed++;
            return false;
        }
        if (strcmp(what, "created") == 0) created++;
        if (strcmp(what, "updated") == 0) updated++;
        if (strcmp(what, "unchanged") == 0) unchanged++;
        if (args_.verbose) printf("%s %s %s\n", what, kind, name.c_str());
        return true;
    }

    bool refuse(const char* kind, const std::string& name, const char* why) {
        fprintf(stderr, "qz-av-provision: %s %s %s\n", kind, name.c_str(), why);
        failed++;
        return false;
    }

    bool stream_for(const std::string& stream, const std::string& subject) {
        const char* subjects[] = {subject.c_str()};
        jsStreamInfo* raw = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus s = js_GetStreamInfo(&raw, js_, stream.c_str(), nullptr, &jerr);
        StreamInfoPtr info(raw);
        jsStreamConfig cfg;
        bool change = false;
        if (s == NATS_NOT_FOUND) {
            jsStreamConfig_Init(&cfg);
            cfg.Name = stream.c_str();
            cfg.Retention = js_WorkQueuePolicy;
            cfg.Storage = js_FileStorage;
        } else if (s != NATS_OK) {
            return done(s, "", "stream", stream);
        } else {
            cfg = *info->Config;
            if (cfg.Retention != js_WorkQueuePolicy || cfg.Storage != js_FileStorage) {
                return refuse("stream", stream,
                              "exists with another retention or storage; delete it to recreate it");
            }
            if (cfg.SubjectsLen != 1 || subject != cfg.Subjects[0]) change = true;
        }
        cfg.Subjects = subjects;
        cfg.SubjectsLen = 1;
        cfg.Description = "qz-av-vsa work queue";
        set(&cfg.MaxAge, kJobMaxAgeSeconds * kNanosPerSecond, &change);
        set(&cfg.MaxBytes, kJobMaxBytes, &change);
        set(&cfg.MaxMsgSize, kJobMaxMsgSize, &change);
        set(&cfg.Discard, js_DiscardNew, &change);
        set(&cfg.Duplicates, kDuplicateWindowSeconds * kNanosPerSecond, &change);
        set(&cfg.Replicas, args_.replicas, &change);
        jsStreamInfo* result = nullptr;
        if (s == NATS_NOT_FOUND) {
            s = js_AddStream(&result, js_, &cfg, nullptr, &jerr);
            jsStreamInfo_Destroy(result);
            return done(s, "created", "stream", stream);
        }
        if (!change) return done(NATS_OK, "unchanged", "stream", stream);
        s = js_UpdateStream(&result, js_, &cfg, nullptr, &jerr);
        jsStreamInfo_Destroy(result);
        return done(s, "updated", "stream", stream);
    }

    bool consumer_for(const std::string& stream, const std::string& durable,
                      const std::string& subject) {
        jsConsumerInfo* raw = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus s =
            js_GetConsumerInfo(&raw, js_, stream.c_str(), durable.c_str(), nullptr, &jerr);
        ConsumerInfoPtr info(raw);
        jsConsumerConfig cfg;
        bool change = false;
        if (s == NATS_NOT_FOUND) {
            jsConsumerConfig_Init(&cfg);
            cfg.Durable = durable.c_str();
            cfg.AckPolicy = js_AckExplicit;
            cfg.DeliverPolicy = js_DeliverAll;
        } else if (s != NATS_OK) {
            return done(s, "", "consumer", durable);
        } else {
            cfg = *info->Config;
            if (cfg.AckPolicy != js_AckExplicit || cfg.DeliverSubject != nullptr) {
                return refuse("consumer", durable,
                              "exists as a push consumer or without explicit acks; delete it to "
                              "recreate it");
            }
            if (cfg.FilterSubject == nullptr || subject != cfg.FilterSubject) change = true;
        }
        cfg.Description = "qz-av-vsa work-queue pullers";
        cfg.FilterSubject = subject.c_str();
        set(&cfg.AckWait, kAckWaitSeconds * kNanosPerSecond, &change);
        set(&cfg.MaxDeliver, kMaxDeliver, &change);
        set(&cfg.MaxAckPending, kMaxAckPending, &change);
        jsConsumerInfo* result = nullptr;
        if (s == NATS_NOT_FOUND) {
            s = js_AddConsumer(&result, js_, stream.c_str(), &cfg, nullptr, &jerr);
            jsConsumerInfo_Destroy(result);
            return done(s, "created", "consumer", durable);
        }
        if (!change) return done(NATS_OK, "unchanged", "consumer", durable);
        s = js_UpdateConsumer(&result, js_, stream.c_str(), &cfg, nullptr, &jerr);
        jsConsumerInfo_Destroy(result);
        return done(s, "updated", "consumer", durable);
    }

    jsCtx* js_;
    const Arguments& args_;
};

int run(const Arguments& args) {
    natsOptions* raw_opts = nullptr;
    if (natsOptions_Create(&raw_opts) != NATS_OK) {
        fputs("qz-av-provision: out of memory\n", stderr);
        return kExitBroker;
    }
    qz::nats::OptionsPtr opts(raw_opts);
    natsStatus s = natsOptions_SetURL(opts.get(), args.url.c_str());
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(opts.get(), false);
    if (s == NATS_OK) s = natsOptions_SetTimeout(opts.get(), 5000);
    if (s == NATS_OK && !args.user.empty()) {
        s = natsOptions_SetUserInfo(opts.get(), args.user.c_str(), args.password.c_str());
    }
    const bool tls = args.url.rfind("tls://", 0) == 0 || !args.ca.empty() || !args.cert.empty();
    if (s == NATS_OK && tls) s = natsOptions_SetSecure(opts.get(), true);
    if (s == NATS_OK && !args.ca.empty()) {
        s = natsOptions_LoadCATrustedCertificates(opts.get(), args.ca.c_str());
    }
    if (s == NATS_OK && !args.cert.empty()) {
        s = natsOptions_LoadCertificatesChain(opts.get(), args.cert.c_str(), args.key.c_str());
    }
    if (s != NATS_OK) {
        fprintf(stderr, "qz-av-provision: connection options: %s\n", status_text(s).c_str());
        return kExitBroker;
    }
    natsConnection* raw_nc = nullptr;
    s = natsConnection_Connect(&raw_nc, opts.get());
    qz::nats::ConnectionPtr nc(raw_nc);
    if (s != NATS_OK) {
        fprintf(stderr, "qz-av-provision: cannot connect to %s: %s\n", args.url.c_str(),
                status_text(s).c_str());
        return kExitBroker;
    }
    jsCtx* raw_js = nullptr;
    s = natsConnection_JetStream(&raw_js, nc.get(), nullptr);
    qz::nats::JsCtxPtr js(raw_js);
    jsAccountInfo* account = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (s == NATS_OK) s = js_GetAccountInfo(&account, js.get(), nullptr, &jerr);
    jsAccountInfo_Destroy(account);
    if (s != NATS_OK) {
        fprintf(
            stderr,
            "qz-av-provision: JetStream is not available on %s (start nats-server with -js): %s\n",
            args.url.c_str(), status_text(s).c_str());
        return kExitBroker;
    }

    const BucketSettings buckets[] = {
        {"qz-av-scan-data", "qz-av-vsa staged scan payloads", 60 * 60, args.scan_data_max_bytes,
         static_cast<int32_t>(1 * kMiB)},
        {"qz-av-worker-registry", "qz-av-vsa live workers", 15, 16 * kMiB, 64 * 1024},
        {"qz-av-wq-dedup", "qz-av-vsa work-queue verdict cache", 5 * 60, 256 * kMiB,
         static_cast<int32_t>(1 * kMiB)},
    };
    Provisioner provisioner(js.get(), args);
    for (const auto& b : buckets) provisioner.bucket(b);
    for (const auto& service : args.services) provisioner.work_queue(service);

    char connected[256] = "";
    natsConnection_GetConnectedUrl(nc.get(), connected, sizeof connected);
    printf(
        "qz-av-provision: %s on %s — 3 buckets, %zu work queue(s); created %d, updated %d, "
        "unchanged %d, failed %d\n",
        provisioner.failed == 0 ? "ready" : "NOT ready",
        connected[0] ? connected : args.url.c_str(), args.services.size(), provisioner.created,
        provisioner.updated, provisioner.unchanged, provisioner.failed);
    return provisioner.failed == 0 ? kExitReady : kExitBroker;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    int parsed = parse_arguments(argc, argv, &args);
    if (parsed == 1) return kExitReady;
    if (parsed == 2) return kExitUsage;
    int rc = run(args);
    nats_Close();
    return rc;
}
