#include "connection/nats_kv.h"

#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "connection/nats_handles.h"
#include "log/log.h"
#include "platform/thread.h"

namespace {

// How long one chunk acknowledgement may take before staging gives up.
constexpr int64_t kAckWaitMs = 5000;
// Catch-up window of kv_get_retry.
constexpr int kCatchUpMs = 500;
constexpr int kSnapshotWaitMs = 5000;
constexpr size_t kChunk = QZ_NATS_KV_CHUNK_SIZE;
constexpr size_t kErrbufSize = 1024;
// JetStream error code of a write whose expected last sequence did not match.
constexpr int kWrongLastSequence = 10071;

using qz::nats::JsonPtr;
using qz::nats::KvEntryPtr;
using qz::nats::KvStorePtr;
using qz::nats::MsgPtr;
using qz::nats::PubAckPtr;
using KvWatcherPtr =
    std::unique_ptr<kvWatcher, qz::nats::HandleDeleter<kvWatcher, kvWatcher_Destroy>>;

// Guards the handle fields and name slots of every connection record: scanning threads, worker
// threads and the dispatcher bind buckets concurrently. Never held during a broker call.
std::mutex s_kv_cache_mu;

// Set once the broker refused (or cannot honour) a per-message TTL; never cleared again.
std::atomic<bool> s_kv_msg_ttl_unsupported{false};
// Whether a bucket's stream was asked if it allows per-message TTLs: a broker that does not
// know the feature accepts the TTL header and ignores it, so a successful write proves nothing.
std::atomic<bool> s_kv_msg_ttl_probed{false};
std::atomic<bool> s_kv_msg_ttl_forced{false};

size_t chunk_count(size_t size) { return size == 0 ? 1 : (size + kChunk - 1) / kChunk; }

// The " — <text>" tail of trace lines: the client's last error text of this thread, if any.
struct LastError {
    const char* separator = "";
    std::string text;
};

LastError last_error() {
    natsStatus status = NATS_OK;
    const char* text = nats_GetLastError(&status);
    if (text == nullptr || *text == '\0') return {};
    return {" — ", text};
}

void set_errbuf(char* errbuf, const char* text) {
    if (errbuf != nullptr) snprintf(errbuf, kErrbufSize, "%s", text);
}

bool is_empty(const char* text) { return text == nullptr || *text == '\0'; }

// Name slots point at process-lifetime copies, so a caller's bucket name may be a temporary.
const char* intern_bucket_name(const char* name) {
    static auto* names = new std::set<std::string>();  // reachable for the life of the process
    return names->insert(name).first->c_str();
}

std::string chunk_key(const char* key, size_t index) {
    return std::string(key) + "-" + std::to_string(index);
}

std::string kv_subject(const char* bucket, const std::string& key) {
    return std::string("$KV.") + bucket + "." + key;
}

// The header value of a per-message TTL: whole seconds, rounded up (the broker's minimum is 1 s).
std::string ttl_header_value(int64_t ttl_ms) { return std::to_string((ttl_ms + 999) / 1000) + "s"; }

kvStore* bind_bucket(qz_connection_config* config, const char* name) {
    if (config->js == nullptr) return nullptr;
    kvStore* kv = nullptr;
    natsStatus s = js_KeyValue(&kv, config->js, name);
    if (s != NATS_OK) {
        LOG_ERROR(
            "NATS: KV bucket '%s' not found — qz-av-broker should have created it at startup; is "
            "the broker running and on the same nats-server?: %s",
            name, natsStatus_GetText(s));
        kvStore_Destroy(kv);
        return nullptr;
    }
    return kv;
}

// Binds a fixed bucket once; a thread that loses a concurrent bind keeps the winner's handle.
kvStore* get_fixed_kvstore(qz_connection_config* config, kvStore* qz_connection_config::*field,
                           const char* name) {
    if (config == nullptr) return nullptr;
    {
        std::lock_guard<std::mutex> lock(s_kv_cache_mu);
        if (config->*field != nullptr) return config->*field;
    }
    KvStorePtr bound(bind_bucket(config, name));
    if (!bound) return nullptr;
    std::lock_guard<std::mutex> lock(s_kv_cache_mu);
    if (config->*field == nullptr) config->*field = bound.release();
    return config->*field;
}

// Asks the broker whether the bucket's stream allows per-message TTLs. Brokers before that feature
// report no such setting and would silently ignore the TTL.
bool stream_allows_msg_ttl(qz_connection_config* config, const char* bucket) {
    std::string subject = std::string("$JS.API.STREAM.INFO.KV_") + bucket;
    natsMsg* raw = nullptr;
    natsStatus s = natsConnection_Request(&raw, config->conn, subject.c_str(), nullptr, 0,
                                          static_cast<int64_t>(kAckWaitMs));
    MsgPtr reply(raw);
    if (s != NATS_OK || !reply) return false;
    JsonPtr info(json_tokener_parse(natsMsg_GetData(reply.get())));
    json_object* cfg = nullptr;
    json_object* allow = nullptr;
    return info && json_object_object_get_ex(info.get(), "config", &cfg) &&
           json_object_object_get_ex(cfg, "allow_msg_ttl", &allow) &&
           json_object_get_boolean(allow);
}

// Whether a write with this TTL should carry a per-message TTL.
bool use_msg_ttl(qz_connection_config* config, const char* bucket, int64_t ttl) {
    if (ttl <= 0 || config->js == nullptr || s_kv_msg_ttl_unsupported.load()) return false;
    if (s_kv_msg_ttl_forced.load()) return true;
    if (s_kv_msg_ttl_probed.load()) return !s_kv_msg_ttl_unsupported.load();
    bool allowed = stream_allows_msg_ttl(config, bucket);
    if (!allowed) {
        LOG_DEBUG(
            "NATS: KV stream 'KV_%s' does not allow per-message TTLs (needs a broker with "
            "AllowMsgTTL on the stream) — writes use the bucket TTL",
            bucket);
        s_kv_msg_ttl_unsupported.store(true);
    }
    s_kv_msg_ttl_probed.store(true);
    return allowed;
}

// Synchronous JetStream publish of one value with a per-message TTL header.
natsStatus publish_with_ttl(jsCtx* js, const std::string& subject, const void* data, size_t length,
                            int64_t ttl, jsErrCode* jerr) {
    natsMsg* raw = nullptr;
    natsStatus s = natsMsg_Create(&raw, subject.c_str(), nullptr, static_cast<const char*>(data),
                                  static_cast<int>(length));
    MsgPtr msg(raw);
    if (s == NATS_OK) s = natsMsgHeader_Set(msg.get(), "Nats-TTL", ttl_header_value(ttl).c_str());
    jsPubAck* ack = nullptr;
    if (s == NATS_OK) s = js_PublishMsg(&ack, js, msg.get(), nullptr, jerr);
    PubAckPtr ack_owner(ack);
    return s;
}

// Outcome of one JetStream publish acknowledgement: NATS_OK, or the failure and its text.
natsStatus read_publish_ack(natsMsg* ack, std::string* why) {
    if (natsMsg_IsNoResponders(ack)) {
        *why = "no stream for the subject";
        return NATS_NO_RESPONDERS;
    }
    const int length = natsMsg_GetDataLength(ack);
    JsonPtr reply(length > 0 ? json_tokener_parse(natsMsg_GetData(ack)) : nullptr);
    json_object* error = nullptr;
    json_object* seq = nullptr;
    if (reply && json_object_object_get_ex(reply.get(), "error", &error)) {
        json_object* description = nullptr;
        json_object* code = nullptr;
        json_object_object_get_ex(error, "description", &description);
        json_object_object_get_ex(error, "err_code", &code);
        *why =
            std::string(description != nullptr ? json_object_get_string(description) : "refused") +
            " (jerr=" + std::to_string(code != nullptr ? json_object_get_int(code) : 0) + ")";
        return NATS_ERR;
    }
    if (!reply || !json_object_object_get_ex(reply.get(), "seq", &seq)) {
        *why = "unreadable acknowledgement";
        return NATS_ERR;
    }
    return NATS_OK;
}

// Publishes all chunks to the bucket's stream with up to QZ_NATS_KV_MAX_PENDING_CHUNKS
// acknowledgements outstanding, waits for every acknowledgement, then writes the metadata, so a
// reader that finds the metadata finds every chunk. The chunks go out as JetStream publishes with
// a reply subject of a private inbox: each one passes through a one-chunk buffer to the socket
// (the payload is never copied whole, none kept for the acknowledgement), and every
// acknowledgement reaches this thread directly. ttl <= 0: no per-message TTL.
int kv_put_chunks_pipelined(qz_connection_config* config, kvStore* kv, const char* key,
                            const unsigned char* data, size_t size, int64_t ttl) {
    const size_t chunks = chunk_count(size);
    natsInbox* raw_inbox = nullptr;
    natsStatus s = natsInbox_Create(&raw_inbox);
    std::unique_ptr<natsInbox, qz::nats::HandleDeleter<natsInbox, qz::nats::destroy_inbox>> inbox(
        raw_inbox);
    natsSubscription* raw_sub = nullptr;
    const std::string reply_prefix = s == NATS_OK ? std::string(raw_inbox) + "." : std::string();
    if (s == NATS_OK) {
        s = natsConnection_SubscribeSync(&raw_sub, config->conn, (reply_prefix + "*").c_str());
    }
    qz::nats::SubscriptionPtr acks(raw_sub);
    if (s != NATS_OK) {
        LastError le = last_error();
        LOG_ERROR("NATS: async chunk publish (%s) failed: %s%s%s",
                  kv_subject(QZ_NATS_KV_SCAN_DATA_BUCKET, chunk_key(key, 0)).c_str(),
                  natsStatus_GetText(s), le.separator, le.text.c_str());
        return -1;
    }
    const std::string ttl_value = ttl > 0 ? ttl_header_value(ttl) : std::string();
    // The socket write must never read the caller's memory itself: a file mapped for scanning
    // may be truncated by another process meanwhile, and a page past its new end then fails the
    // write with EFAULT inside the kernel after the header went out, so the broker closes the
    // connection for good. Copied in user space, that page is a SIGBUS the file view turns into
    // zeros (platform/file_view.h). One chunk at a time: the client is done with it on return.
    std::vector<char> bounce;

    // Takes one acknowledgement; false (logged) when it is missing or negative.
    size_t outstanding = 0;
    auto take_ack = [&]() -> bool {
        natsMsg* raw_ack = nullptr;
        natsStatus ws = natsSubscription_NextMsg(&raw_ack, acks.get(), kAckWaitMs);
        MsgPtr ack(raw_ack);
        --outstanding;
        std::string why;
        if (ws == NATS_OK) ws = read_publish_ack(ack.get(), &why);
        if (ws == NATS_OK) return true;
        const char* subject = ack ? natsMsg_GetSubject(ack.get()) : nullptr;
        const std::string chunk =
            subject != nullptr && strncmp(subject, reply_prefix.c_str(), reply_prefix.size()) == 0
                ? chunk_key(key, strtoull(subject + reply_prefix.size(), nullptr, 10))
                : std::string();
        if (why.empty()) {
            LastError le = last_error();
            why = le.text;
        }
        LOG_ERROR("NATS: js_PublishAsyncComplete failed for key=%s: %s%s%s%s%s", key,
                  natsStatus_GetText(ws), why.empty() ? "" : " — ", why.c_str(),
                  chunk.empty() ? "" : " — chunk ", chunk.c_str());
        return false;
    };

    for (size_t i = 0; i < chunks; ++i) {
        if (outstanding >= QZ_NATS_KV_MAX_PENDING_CHUNKS && !take_ack()) return -1;
        const size_t offset = i * kChunk;
        const size_t length = std::min(kChunk, size - offset);
        const std::string subject = kv_subject(QZ_NATS_KV_SCAN_DATA_BUCKET, chunk_key(key, i));
        const std::string reply = reply_prefix + std::to_string(i);
        const char* bytes = reinterpret_cast<const char*>(data) + offset;
        if (ttl > 0) {
            natsMsg* raw_msg = nullptr;
            s = natsMsg_Create(&raw_msg, subject.c_str(), reply.c_str(), bytes,
                               static_cast<int>(length));
            MsgPtr msg(raw_msg);
            if (s == NATS_OK) s = natsMsgHeader_Set(msg.get(), "Nats-TTL", ttl_value.c_str());
            if (s == NATS_OK) s = natsConnection_PublishMsg(config->conn, msg.get());
        } else {
            bounce.assign(bytes, bytes + length);
            s = natsConnection_PublishRequest(config->conn, subject.c_str(), reply.c_str(),
                                              bounce.data(), static_cast<int>(length));
        }
        if (s != NATS_OK) {
            LastError le = last_error();
            LOG_ERROR("NATS: async chunk publish (%s) failed: %s%s%s", subject.c_str(),
                      natsStatus_GetText(s), le.separator, le.text.c_str());
            return -1;  // what is in flight is dropped with the inbox; the TTL removes it
        }
        ++outstanding;
    }
    while (outstanding > 0) {
        if (!take_ack()) return -1;
    }
    acks.reset();

    char meta[96];
    snprintf(meta, sizeof meta, "{\"chunks\":%zu,\"size\":%zu}", chunks, size);
    if (ttl > 0) {
        jsErrCode jerr = static_cast<jsErrCode>(0);
        s = publish_with_ttl(config->js, kv_subject(QZ_NATS_KV_SCAN_DATA_BUCKET, key), meta,
                             strlen(meta), ttl, &jerr);
    } else {
        s = kvStore_PutString(nullptr, kv, key, meta);
    }
    if (s != NATS_OK) {
        LastError le = last_error();
        LOG_ERROR("NATS: KV metadata put '%s' failed: %s%s%s", key, natsStatus_GetText(s),
                  le.separator, le.text.c_str());
        return -1;
    }
    return 0;
}

// Reads "chunks" and "size" of a metadata text. Only the layout the writer produces is accepted:
// a chunk count that does not match the size would make the reader loop or misplace bytes.
bool parse_metadata(const char* text, size_t length, size_t* chunks, size_t* size) {
    json_tokener* tok = json_tokener_new();
    if (tok == nullptr) return false;
    JsonPtr meta(json_tokener_parse_ex(tok, text, static_cast<int>(length)));
    const bool complete = json_tokener_get_error(tok) == json_tokener_success;
    json_tokener_free(tok);
    if (!complete || !meta || !json_object_is_type(meta.get(), json_type_object)) return false;
    json_object* jchunks = nullptr;
    json_object* jsize = nullptr;
    if (!json_object_object_get_ex(meta.get(), "chunks", &jchunks) ||
        !json_object_object_get_ex(meta.get(), "size", &jsize) ||
        !json_object_is_type(jchunks, json_type_int) ||
        !json_object_is_type(jsize, json_type_int)) {
        return false;
    }
    const int64_t n = json_object_get_int64(jchunks);
    const int64_t total = json_object_get_int64(jsize);
    if (n < 1 || total < 0) return false;
    if (static_cast<uint64_t>(n) != chunk_count(static_cast<uint64_t>(total))) return false;
    *chunks = static_cast<size_t>(n);
    *size = static_cast<size_t>(total);
    return true;
}

struct SnapshotKeys {
    const char* prefix;
    size_t prefix_len;
    qz_nats_kv_key_fn callback;
    void* context;
};

void snapshot_key_filter(void* context, const char* key, const char*, size_t) {
    auto* keys = static_cast<SnapshotKeys*>(context);
    if (keys->prefix_len > 0 && strncmp(key, keys->prefix, keys->prefix_len) != 0) return;
    keys->callback(keys->context, key);
}

bool value_equals(kvEntry* entry, const char* text) {
    const int len = kvEntry_ValueLen(entry);
    const size_t want = strlen(text);
    return len > 0 && static_cast<size_t>(len) == want &&
           memcmp(kvEntry_Value(entry), text, want) == 0;
}

// Writes owner under key only when the key is still at the revision we read (0: absent), so two
// owners racing for one lease cannot both win.
natsStatus lease_write(qz_connection_config* config, kvStore* kv, const char* bucket,
                       const char* key, const char* owner, int64_t ttl, uint64_t revision,
                       bool* lost_race) {
    *lost_race = false;
    const int length = static_cast<int>(strlen(owner));
    if (use_msg_ttl(config, bucket, ttl)) {
        natsMsg* raw = nullptr;
        natsStatus s =
            natsMsg_Create(&raw, kv_subject(bucket, key).c_str(), nullptr, owner, length);
        MsgPtr msg(raw);
        if (s == NATS_OK)
            s = natsMsgHeader_Set(msg.get(), "Nats-TTL", ttl_header_value(ttl).c_str());
        if (s == NATS_OK) {
            s = natsMsgHeader_Set(msg.get(), "Nats-Expected-Last-Subject-Sequence",
                                  std::to_string(revision).c_str());
        }
        jsPubAck* ack = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        if (s == NATS_OK) s = js_PublishMsg(&ack, config->js, msg.get(), nullptr, &jerr);
        PubAckPtr ack_owner(ack);
        if (s == NATS_OK) return NATS_OK;
        if (static_cast<int>(jerr) == kWrongLastSequence) {
            *lost_race = true;
            return s;
        }
        LastError le = last_error();
        LOG_WARN(
            "NATS: per-message TTL write for '%s' rejected (%s%s%s); falling back to bucket TTL. "
            "Ensure the KV stream has AllowMsgTTL.",
            key, natsStatus_GetText(s), le.separator, le.text.c_str());
        s_kv_msg_ttl_unsupported.store(true);
    }
    natsStatus s = revision == 0 ? kvStore_Create(nullptr, kv, key, owner, length)
                                 : kvStore_Update(nullptr, kv, key, owner, length, revision);
    // The client reports a lost compare-and-set as a plain error; the caller re-reads to decide.
    if (s == NATS_ERR) *lost_race = true;
    return s;
}

}  // namespace

extern "C" {

kvStore* get_kvstore(qz_connection_config* config) {
    return get_fixed_kvstore(config, &qz_connection_config::kv_scan_data,
                             QZ_NATS_KV_SCAN_DATA_BUCKET);
}

kvStore* get_registry_kvstore(qz_connection_config* config) {
    return get_fixed_kvstore(config, &qz_connection_config::kv_registry,
                             QZ_NATS_KV_REGISTRY_BUCKET);
}

kvStore* get_kvstore_for(qz_connection_config* config, const char* bucket) {
    if (config == nullptr || is_empty(bucket)) return nullptr;
    if (strcmp(bucket, QZ_NATS_KV_SCAN_DATA_BUCKET) == 0) return get_kvstore(config);
    if (strcmp(bucket, QZ_NATS_KV_REGISTRY_BUCKET) == 0) return get_registry_kvstore(config);

    auto find_cached = [&]() -> kvStore* {
        for (int i = 0; i < QZ_NATS_KV_EXTRA_BUCKETS; ++i) {
            if (config->kv_extra[i] != nullptr && config->kv_extra_names[i] != nullptr &&
                strcmp(config->kv_extra_names[i], bucket) == 0) {
                return config->kv_extra[i];
            }
        }
        return nullptr;
    };
    {
        std::lock_guard<std::mutex> lock(s_kv_cache_mu);
        if (kvStore* cached = find_cached()) return cached;
    }
    KvStorePtr bound(bind_bucket(config, bucket));
    if (!bound) return nullptr;
    {
        std::lock_guard<std::mutex> lock(s_kv_cache_mu);
        if (kvStore* cached = find_cached()) return cached;  // another thread bound it meanwhile
        for (int i = 0; i < QZ_NATS_KV_EXTRA_BUCKETS; ++i) {
            if (config->kv_extra[i] == nullptr) {
                config->kv_extra_names[i] = intern_bucket_name(bucket);
                config->kv_extra[i] = bound.release();
                return config->kv_extra[i];
            }
        }
    }
    LOG_WARN("NATS: KV handle cache full; binding '%s' uncached (raise QZ_NATS_KV_EXTRA_BUCKETS)",
             bucket);
    return nullptr;
}

void qz_nats_kv_release_handles(qz_connection_config* config) {
    if (config == nullptr) return;
    std::lock_guard<std::mutex> lock(s_kv_cache_mu);
    kvStore_Destroy(config->kv_registry);
    config->kv_registry = nullptr;
    for (int i = 0; i < QZ_NATS_KV_EXTRA_BUCKETS; ++i) {
        kvStore_Destroy(config->kv_extra[i]);
        config->kv_extra[i] = nullptr;
        config->kv_extra_names[i] = nullptr;
    }
    kvStore_Destroy(config->kv_scan_data);
    config->kv_scan_data = nullptr;
}

natsStatus kv_get_retry(kvStore* kv, const char* key, kvEntry** out_entry) {
    *out_entry = nullptr;
    int waited = 0;
    int next_wait = 1;
    for (;;) {
        natsStatus s = kvStore_Get(out_entry, kv, key);
        if (s != NATS_NOT_FOUND || waited >= kCatchUpMs) return s;
        kvEntry_Destroy(*out_entry);
        *out_entry = nullptr;
        if (waited == 0)
            LOG_DEBUG("NATS: KV get '%s' not found — retrying for replica catch-up", key);
        const int wait = std::min(next_wait, kCatchUpMs - waited);
        QZ_Sleep(wait);
        waited += wait;
        next_wait = next_wait < 16 ? next_wait * 2 : 25;
    }
}

int kv_put_with_ttl(qz_connection_config* config, kvStore* kv, const char* bucket, const char* key,
                    const void* value, size_t length, int64_t ttl) {
    if (length > static_cast<size_t>(INT_MAX)) {
        LOG_ERROR("NATS: KV put '%s' failed: %s%s%s", key, natsStatus_GetText(NATS_INVALID_ARG),
                  " — ", "value too large");
        return -1;
    }
    if (use_msg_ttl(config, bucket, ttl)) {
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus s =
            publish_with_ttl(config->js, kv_subject(bucket, key), value, length, ttl, &jerr);
        if (s == NATS_OK) return 0;
        LastError le = last_error();
        LOG_WARN(
            "NATS: per-message TTL write for '%s' rejected (%s%s%s); falling back to bucket TTL. "
            "Ensure the KV stream has AllowMsgTTL.",
            key, natsStatus_GetText(s), le.separator, le.text.c_str());
        s_kv_msg_ttl_unsupported.store(true);
    }
    natsStatus s = kvStore_Put(nullptr, kv, key, value, static_cast<int>(length));
    if (s != NATS_OK) {
        LastError le = last_error();
        LOG_ERROR("NATS: KV put '%s' failed: %s%s%s", key, natsStatus_GetText(s), le.separator,
                  le.text.c_str());
        return -1;
    }
    return 0;
}

int kvstore_put_chunked(qz_connection_config* config, const char* key, const void* data,
                        size_t size, int64_t ttl) {
    if (config == nullptr || config->conn == nullptr || is_empty(key) ||
        (data == nullptr && size > 0)) {
        LOG_ERROR("NATS: invalid parameters for kvstore_put_chunked");
        return -1;
    }
    kvStore* kv = get_kvstore(config);
    if (kv == nullptr) return -1;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t chunks = chunk_count(size);

    if (use_msg_ttl(config, QZ_NATS_KV_SCAN_DATA_BUCKET, ttl)) {
        if (kv_put_chunks_pipelined(config, kv, key, bytes, size, ttl) == 0) {
            LOG_TRACE("NATS: KV put: key=%s, size=%zu, chunks=%zu, ttl=%lldms (pipelined)", key,
                      size, chunks, static_cast<long long>(ttl));
            return 0;
        }
        LOG_WARN(
            "NATS: per-message TTL write for key=%s failed; falling back to bucket TTL. Ensure the "
            "KV stream has AllowMsgTTL.",
            key);
        s_kv_msg_ttl_unsupported.store(true);
    }
    if (kv_put_chunks_pipelined(config, kv, key, bytes, size, 0) != 0) return -1;
    LOG_TRACE("NATS: KV put: key=%s, size=%zu, chunks=%zu (bucket TTL, pipelined)", key, size,
              chunks);
    return 0;
}

int kvstore_get_chunked(qz_connection_config* config, const char* key, unsigned char** out_data,
                        size_t* out_size) {
    if (out_data != nullptr) *out_data = nullptr;
    if (out_size != nullptr) *out_size = 0;
    if (config == nullptr || is_empty(key) || out_data == nullptr || out_size == nullptr) {
        LOG_ERROR("NATS: invalid parameters for kvstore_get_chunked");
        return -1;
    }
    kvStore* kv = get_kvstore(config);
    if (kv == nullptr) return -1;

    kvEntry* raw = nullptr;
    natsStatus s = kv_get_retry(kv, key, &raw);
    KvEntryPtr meta(raw);
    if (s != NATS_OK) {
        LOG_ERROR("NATS: KV get metadata '%s' failed after retries: %s", key,
                  natsStatus_GetText(s));
        return -1;
    }
    size_t chunks = 0;
    size_t size = 0;
    const int meta_len = kvEntry_ValueLen(meta.get());
    if (meta_len <= 0 || !parse_metadata(static_cast<const char*>(kvEntry_Value(meta.get())),
                                         static_cast<size_t>(meta_len), &chunks, &size)) {
        LOG_ERROR("NATS: KV metadata parse failed for '%s'", key);
        return -1;
    }
    meta.reset();

    // One byte more than needed so that an empty payload still yields a buffer.
    auto* buffer = static_cast<unsigned char*>(malloc(size + 1));
    if (buffer == nullptr) {
        LOG_ERROR("NATS: out of memory reading '%s' (%zu bytes)", key, size);
        return -1;
    }
    size_t offset = 0;
    for (size_t i = 0; i < chunks; ++i) {
        const std::string name = chunk_key(key, i);
        s = kv_get_retry(kv, name.c_str(), &raw);
        KvEntryPtr chunk(raw);
        if (s != NATS_OK) {
            LOG_ERROR("NATS: KV get chunk '%s' failed after retries: %s", name.c_str(),
                      natsStatus_GetText(s));
            free(buffer);
            return -1;
        }
        // Every chunk but the last is full and the last holds the rest: anything else means the
        // payload was overwritten or damaged, and handing it on would scan the wrong bytes.
        const size_t expected = std::min(kChunk, size - offset);
        const int got = kvEntry_ValueLen(chunk.get());
        if (got < 0 || static_cast<size_t>(got) != expected) {
            LOG_ERROR("NATS: KV chunk '%s' holds %d bytes where %zu were expected", name.c_str(),
                      got, expected);
            free(buffer);
            return -1;
        }
        if (got > 0) memcpy(buffer + offset, kvEntry_Value(chunk.get()), static_cast<size_t>(got));
        offset += static_cast<size_t>(got);
    }
    *out_data = buffer;
    *out_size = size;
    LOG_TRACE("NATS: KV get: key=%s, size=%zu, chunks=%zu", key, size, chunks);
    return 0;
}

void kvstore_delete_chunked(qz_connection_config* config, const char* key) {
    if (config == nullptr || is_empty(key)) return;
    kvStore* kv = get_kvstore(config);
    if (kv == nullptr) return;
    kvEntry* raw = nullptr;
    natsStatus s = kvStore_Get(&raw, kv, key);
    KvEntryPtr meta(raw);
    size_t chunks = 0;
    size_t size = 0;
    if (s == NATS_OK && kvEntry_ValueLen(meta.get()) > 0 &&
        parse_metadata(static_cast<const char*>(kvEntry_Value(meta.get())),
                       static_cast<size_t>(kvEntry_ValueLen(meta.get())), &chunks, &size)) {
        for (size_t i = 0; i < chunks; ++i) {
            const std::string name = chunk_key(key, i);
            natsStatus d = kvStore_Delete(kv, name.c_str());
            if (d != NATS_OK) {
                LOG_WARN("NATS: KV delete '%s' failed: %s", name.c_str(), natsStatus_GetText(d));
            }
        }
    }
    s = kvStore_Delete(kv, key);
    if (s != NATS_OK) LOG_WARN("NATS: KV delete '%s' failed: %s", key, natsStatus_GetText(s));
}

void generate_unique_key(char* out, size_t out_size) {
    if (out == nullptr || out_size == 0) return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    snprintf(out, out_size, "scan-%lx-%lx-%lx",
             static_cast<unsigned long>(static_cast<uint32_t>(QZ_GetProcessId())),
             static_cast<unsigned long>(static_cast<uint32_t>(QZ_GetThreadId())),
             static_cast<unsigned long>(static_cast<uint32_t>(nanos)));
}

int qz_nats_stage_scan_data(qz_connection_config* config, const void* data, size_t length,
                            uint32_t timeout, char** out_key, char* errbuf) {
    if (errbuf != nullptr) errbuf[0] = '\0';
    if (config == nullptr || data == nullptr || length == 0 || out_key == nullptr) {
        set_errbuf(errbuf, "NATS: invalid parameters for stage_scan_data");
        return -1;
    }
    *out_key = nullptr;
    char key[QZ_NATS_UNIQUE_KEY_SIZE];
    generate_unique_key(key, sizeof key);
    const int64_t ttl = std::max<int64_t>(static_cast<int64_t>(timeout) + timeout / 10, 1000);
    if (kvstore_put_chunked(config, key, data, length, ttl) != 0) {
        set_errbuf(errbuf, "NATS: failed to stage scan data in KV store");
        return -1;
    }
    *out_key = strdup(key);
    if (*out_key == nullptr) {
        kvstore_delete_chunked(config, key);
        set_errbuf(errbuf, "NATS: out of memory staging scan data");
        return -1;
    }
    return 0;
}

void qz_nats_unstage_scan_data(qz_connection_config* config, const char* key) {
    if (config == nullptr || is_empty(key)) return;
    kvstore_delete_chunked(config, key);
}

int qz_nats_kv_get(qz_connection_config* config, const char* bucket, const char* key,
                   char** out_value, size_t* out_len) {
    if (out_value != nullptr) *out_value = nullptr;
    if (out_len != nullptr) *out_len = 0;
    if (config == nullptr || is_empty(bucket) || is_empty(key) || out_value == nullptr) {
        LOG_ERROR("NATS: invalid parameters for kv_get");
        return -1;
    }
    kvStore* kv = get_kvstore_for(config, bucket);
    if (kv == nullptr) return -1;
    kvEntry* raw = nullptr;
    natsStatus s = kvStore_Get(&raw, kv, key);
    KvEntryPtr entry(raw);
    if (s == NATS_NOT_FOUND) return 1;
    if (s != NATS_OK) {
        LastError le = last_error();
        LOG_ERROR("NATS: KV get '%s/%s' failed: %s%s%s", bucket, key, natsStatus_GetText(s),
                  le.separator, le.text.c_str());
        return -1;
    }
    const int len = std::max(kvEntry_ValueLen(entry.get()), 0);
    auto* copy = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
    if (copy == nullptr) {
        LOG_ERROR("NATS: out of memory reading '%s/%s' (%d bytes)", bucket, key, len);
        return -1;
    }
    if (len > 0) memcpy(copy, kvEntry_Value(entry.get()), static_cast<size_t>(len));
    copy[len] = '\0';
    *out_value = copy;
    if (out_len != nullptr) *out_len = static_cast<size_t>(len);
    return 0;
}

int qz_nats_kv_put(qz_connection_config* config, const char* bucket, const char* key,
                   const char* value, int64_t ttl) {
    if (config == nullptr || is_empty(bucket) || is_empty(key) || value == nullptr) {
        LOG_ERROR("NATS: invalid parameters for kv_put");
        return -1;
    }
    kvStore* kv = get_kvstore_for(config, bucket);
    if (kv == nullptr) return -1;
    return kv_put_with_ttl(config, kv, bucket, key, value, strlen(value), ttl);
}

void qz_nats_kv_delete(qz_connection_config* config, const char* bucket, const char* key) {
    if (config == nullptr || is_empty(bucket) || is_empty(key)) return;
    kvStore* kv = get_kvstore_for(config, bucket);
    if (kv == nullptr) return;
    natsStatus s = kvStore_Delete(kv, key);
    if (s != NATS_OK) {
        LOG_WARN("NATS: KV delete '%s/%s' failed: %s", bucket, key, natsStatus_GetText(s));
    }
}

int qz_nats_kv_snapshot(qz_connection_config* config, const char* bucket,
                        qz_nats_kv_entry_fn callback, void* context) {
    if (config == nullptr || is_empty(bucket) || callback == nullptr) {
        LOG_ERROR("NATS: invalid parameters for kv_snapshot");
        return -1;
    }
    if (config->js == nullptr) {
        LOG_ERROR("NATS: KV snapshot on '%s' requested but JetStream is not available", bucket);
        return -1;
    }
    kvStore* raw_kv = nullptr;
    natsStatus s = js_KeyValue(&raw_kv, config->js, bucket);
    KvStorePtr kv(raw_kv);
    if (s != NATS_OK) {
        LOG_ERROR("NATS: KV snapshot bind '%s' failed: %s", bucket, natsStatus_GetText(s));
        return -1;
    }
    kvWatchOptions options;
    kvWatchOptions_Init(&options);
    options.IgnoreDeletes = true;
    kvWatcher* raw_watcher = nullptr;
    s = kvStore_Watch(&raw_watcher, kv.get(), ">", &options);
    KvWatcherPtr watcher(raw_watcher);
    if (s != NATS_OK) {
        LOG_ERROR("NATS: kvStore_Watch('%s') for snapshot failed: %s", bucket,
                  natsStatus_GetText(s));
        return -1;
    }
    for (;;) {
        kvEntry* raw_entry = nullptr;
        s = kvWatcher_Next(&raw_entry, watcher.get(), kSnapshotWaitMs);
        KvEntryPtr entry(raw_entry);
        if (s == NATS_TIMEOUT) break;
        if (s != NATS_OK) {
            LOG_ERROR("NATS: kvWatcher_Next on '%s' (snapshot) failed: %s", bucket,
                      natsStatus_GetText(s));
            return -1;
        }
        if (!entry) break;  // end of the initial values
        const char* key = kvEntry_Key(entry.get());
        if (kvEntry_Operation(entry.get()) != kvOp_Put || is_empty(key)) continue;
        const int len = std::max(kvEntry_ValueLen(entry.get()), 0);
        const char* value = kvEntry_ValueString(entry.get());
        callback(context, key, value != nullptr ? value : "", static_cast<size_t>(len));
    }
    return 0;
}

int qz_nats_kv_keys(qz_connection_config* config, const char* bucket, const char* prefix,
                    qz_nats_kv_key_fn callback, void* context) {
    if (callback == nullptr) {
        LOG_ERROR("NATS: invalid parameters for kv_keys");
        return -1;
    }
    SnapshotKeys keys{prefix, prefix != nullptr ? strlen(prefix) : 0, callback, context};
    return qz_nats_kv_snapshot(config, bucket, snapshot_key_filter, &keys);
}

int qz_nats_kv_lease(qz_connection_config* config, const char* bucket, const char* key,
                     const char* owner, int64_t ttl) {
    if (config == nullptr || is_empty(bucket) || is_empty(key) || is_empty(owner)) {
        LOG_ERROR("NATS: invalid parameters for kv_lease");
        return -1;
    }
    kvStore* kv = get_kvstore_for(config, bucket);
    if (kv == nullptr) return -1;

    kvEntry* raw = nullptr;
    natsStatus s = kvStore_Get(&raw, kv, key);
    KvEntryPtr entry(raw);
    if (s != NATS_OK && s != NATS_NOT_FOUND) {
        LastError le = last_error();
        LOG_ERROR("NATS: KV get '%s/%s' failed: %s%s%s", bucket, key, natsStatus_GetText(s),
                  le.separator, le.text.c_str());
        return -1;
    }
    uint64_t revision = 0;
    if (s == NATS_OK) {
        if (!value_equals(entry.get(), owner)) return 0;
        revision = kvEntry_Revision(entry.get());
    }
    entry.reset();

    // Compare-and-set against the revision read: of two owners racing for a free key only one
    // write lands. The loser learns from a second read who holds the lease now.
    bool lost_race = false;
    s = lease_write(config, kv, bucket, key, owner, ttl, revision, &lost_race);
    if (s == NATS_OK) return 1;
    if (!lost_race) {
        LastError le = last_error();
        LOG_ERROR("NATS: KV put '%s' failed: %s%s%s", key, natsStatus_GetText(s), le.separator,
                  le.text.c_str());
        return -1;
    }
    s = kvStore_Get(&raw, kv, key);
    entry.reset(raw);
    if (s == NATS_NOT_FOUND) return 0;  // changed again meanwhile: someone else is at it
    if (s != NATS_OK) {
        LastError le = last_error();
        LOG_ERROR("NATS: KV get '%s/%s' failed: %s%s%s", bucket, key, natsStatus_GetText(s),
                  le.separator, le.text.c_str());
        return -1;
    }
    return value_equals(entry.get(), owner) ? 1 : 0;
}

int qz_nats_registry_put(qz_connection_config* config, const char* worker_key, const char* value,
                         int64_t ttl) {
    if (config == nullptr || is_empty(worker_key) || value == nullptr) {
        LOG_ERROR("NATS: invalid parameters for registry_put");
        return -1;
    }
    kvStore* kv = get_registry_kvstore(config);
    if (kv == nullptr) return -1;
    if (ttl < 1) ttl = QZ_NATS_REGISTRY_DEFAULT_TTL_MS;
    return kv_put_with_ttl(config, kv, QZ_NATS_KV_REGISTRY_BUCKET, worker_key, value, strlen(value),
                           ttl);
}

void qz_nats_registry_delete(qz_connection_config* config, const char* worker_key) {
    qz_nats_kv_delete(config, QZ_NATS_KV_REGISTRY_BUCKET, worker_key);
}

void qz_nats_kv_force_msg_ttl_for_tests(int enable) {
    s_kv_msg_ttl_forced.store(enable != 0);
    if (enable != 0) s_kv_msg_ttl_unsupported.store(false);
    s_kv_msg_ttl_probed.store(false);
}

}  // extern "C"
