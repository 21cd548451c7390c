// Key-value storage on the broker: binds and caches bucket handles in the connection record, stages
// scan payloads in 512 KiB chunks in "qz-av-scan-data", keeps the worker registry, and offers
// get/put/delete/keys/snapshot/lease on any bucket. Buckets are never created here (the broker
// side, tools/qz-av-provision, creates them); a missing bucket is reported on every lookup.
//
// Conventions: 0 success, -1 failure unless stated; TTLs are milliseconds; every failure leaves an
// ERROR or WARN trace line. Texts returned through out parameters are malloc'ed, the caller frees
// them with free(). All functions may be called from many threads on one connection record.
#pragma once

#include "qzav/qz_export.h"

#include <nats/nats.h>

#include <cstddef>
#include <cstdint>

#include "connection/connection_config.h"

#define QZ_NATS_KV_SCAN_DATA_BUCKET "qz-av-scan-data"
#define QZ_NATS_KV_REGISTRY_BUCKET "qz-av-worker-registry"
#define QZ_NATS_KV_DEDUP_BUCKET "qz-av-wq-dedup"

// Staged payloads are split into chunks of this many bytes (the last one may be shorter).
#define QZ_NATS_KV_CHUNK_SIZE 524288
// Chunk acknowledgements outstanding at once while staging (the chunks are not copied).
#define QZ_NATS_KV_MAX_PENDING_CHUNKS 8
// Room for a key made by generate_unique_key, including the terminating NUL.
#define QZ_NATS_UNIQUE_KEY_SIZE 128
// Default TTL of a registry entry when the caller gives less than 1 ms.
#define QZ_NATS_REGISTRY_DEFAULT_TTL_MS 15000

extern "C" {
QZ_API_BEGIN

typedef void (*qz_nats_kv_key_fn)(void* context, const char* key);
typedef void (*qz_nats_kv_entry_fn)(void* context, const char* key, const char* value,
                                    size_t value_len);

// Stages length bytes of data under a new key in "qz-av-scan-data" with a TTL of
// max(timeout + timeout / 10, 1000) ms. On success *out_key receives the key (free()). errbuf
// (optional, 1024 bytes) receives a one-line reason on failure. The data is read in place.
int qz_nats_stage_scan_data(qz_connection_config* config, const void* data, size_t length,
                            uint32_t timeout, char** out_key, char* errbuf);
// Deletes the chunks and the metadata of a staged key. NULL or empty key: nothing.
void qz_nats_unstage_scan_data(qz_connection_config* config, const char* key);

// 0 found (*out_value = NUL-terminated copy, *out_len its length when out_len is given),
// 1 not found (*out_value stays NULL), -1 error.
int qz_nats_kv_get(qz_connection_config* config, const char* bucket, const char* key,
                   char** out_value, size_t* out_len);
// ttl <= 0: the bucket's own TTL.
int qz_nats_kv_put(qz_connection_config* config, const char* bucket, const char* key,
                   const char* value, int64_t ttl);
void qz_nats_kv_delete(qz_connection_config* config, const char* bucket, const char* key);
// Calls callback for every live key (beginning with prefix when prefix is non-empty).
int qz_nats_kv_keys(qz_connection_config* config, const char* bucket, const char* prefix,
                    qz_nats_kv_key_fn callback, void* context);
// Calls callback for every live key with its value (borrowed for the call only).
int qz_nats_kv_snapshot(qz_connection_config* config, const char* bucket,
                        qz_nats_kv_entry_fn callback, void* context);
// Claims key for owner: 1 held by owner (claimed or renewed), 0 held by another, -1 error. The
// claim is a compare-and-set on the key's revision, so of two owners racing for a free key
// exactly one gets 1.
int qz_nats_kv_lease(qz_connection_config* config, const char* bucket, const char* key,
                     const char* owner, int64_t ttl);

// ttl < 1: QZ_NATS_REGISTRY_DEFAULT_TTL_MS.
int qz_nats_registry_put(qz_connection_config* config, const char* worker_key, const char* value,
                         int64_t ttl);
void qz_nats_registry_delete(qz_connection_config* config, const char* worker_key);

// Internal to the connection layer (request path and worker side).

// Bound handles of the fixed buckets and of any other bucket (cached in config, at most
// QZ_NATS_KV_EXTRA_BUCKETS others). NULL on failure. The handles stay owned by config.
kvStore* get_kvstore(qz_connection_config* config);
kvStore* get_registry_kvstore(qz_connection_config* config);
kvStore* get_kvstore_for(qz_connection_config* config, const char* bucket);
// Releases every bucket handle of config and clears the fields and name slots (qz_nats_deinit).
void qz_nats_kv_release_handles(qz_connection_config* config);

// Writes data as chunks + metadata under key in "qz-av-scan-data"; ttl <= 0: bucket TTL.
int kvstore_put_chunked(qz_connection_config* config, const char* key, const void* data,
                        size_t size, int64_t ttl);
// Reads a chunked payload; *out_data (free()) holds *out_size bytes (never NULL on success, also
// for an empty payload).
int kvstore_get_chunked(qz_connection_config* config, const char* key, unsigned char** out_data,
                        size_t* out_size);
void kvstore_delete_chunked(qz_connection_config* config, const char* key);
// kvStore_Get that keeps asking for up to 500 ms while the key is not found.
natsStatus kv_get_retry(kvStore* kv, const char* key, kvEntry** out_entry);
// Writes one value, with a per-message TTL when the broker honours one.
int kv_put_with_ttl(qz_connection_config* config, kvStore* kv, const char* bucket, const char* key,
                    const void* value, size_t length, int64_t ttl);
// "scan-%lx-%lx-%lx" of process id, thread id and monotonic nanoseconds (low 32 bits each).
// out_size of QZ_NATS_UNIQUE_KEY_SIZE is always enough.
void generate_unique_key(char* out, size_t out_size);

// Tests only: 1 makes writes use the per-message TTL header path as if the broker allowed it,
// 0 restores detection.
void qz_nats_kv_force_msg_ttl_for_tests(int enable);
QZ_API_END
}
