// Key-value storage against a real nats-server: chunked staging and reading, damaged payloads,
// generic get/put/delete, keys, snapshot, leases, the registry, the bucket handle cache, missing
// buckets and a broker restart under a live connection.
#include "connection/nats_kv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection/nats_handles.h"
#include "support/nats_server.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::nats::KvStorePtr;

constexpr size_t kChunk = QZ_NATS_KV_CHUNK_SIZE;

std::string pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

struct BucketSpec {
    const char* name;
    int64_t ttl_ms = 0;
    int32_t max_value_size = -1;
};

class NatsKv : public ::testing::Test {
  protected:
    void SetUp() override {
        connect();
        for (const char* name :
             {QZ_NATS_KV_SCAN_DATA_BUCKET, QZ_NATS_KV_REGISTRY_BUCKET, QZ_NATS_KV_DEDUP_BUCKET}) {
            create_bucket({name});
        }
    }

    void TearDown() override { disconnect(); }

    void connect() {
        natsOptions* raw_opts = nullptr;
        ASSERT_EQ(natsOptions_Create(&raw_opts), NATS_OK);
        qz::nats::OptionsPtr opts(raw_opts);
        natsOptions_SetURL(opts.get(), server_.url().c_str());
        natsOptions_SetMaxReconnect(opts.get(), 100);
        natsOptions_SetReconnectWait(opts.get(), 50);
        natsOptions_SetReconnectBufSize(opts.get(), 8 * 1024 * 1024);
        natsConnection* nc = nullptr;
        ASSERT_EQ(natsConnection_Connect(&nc, opts.get()), NATS_OK);
        config_.conn = nc;
        jsOptions js_opts;
        jsOptions_Init(&js_opts);
        js_opts.Wait = 1500;  // keeps outage tests short
        ASSERT_EQ(natsConnection_JetStream(&config_.js, nc, &js_opts), NATS_OK);
    }

    void disconnect() {
        qz_nats_kv_release_handles(&config_);
        jsCtx_Destroy(config_.js);
        natsConnection_Destroy(config_.conn);
        config_.js = nullptr;
        config_.conn = nullptr;
    }

    void create_bucket(const BucketSpec& settings) {
        kvConfig cfg;
        kvConfig_Init(&cfg);
        cfg.Bucket = settings.name;
        cfg.History = 1;
        cfg.TTL = settings.ttl_ms * 1000000;  // the client takes nanoseconds
        cfg.MaxValueSize = settings.max_value_size;
        cfg.StorageType = js_FileStorage;
        kvStore* kv = nullptr;
        ASSERT_EQ(js_CreateKeyValue(&kv, config_.js, &cfg), NATS_OK) << settings.name;
        kvStore_Destroy(kv);
    }

    void delete_bucket(const char* name) {
        ASSERT_EQ(js_DeleteKeyValue(config_.js, name), NATS_OK);
    }

    // Raw write, bypassing the code under test.
    void raw_put(const std::string& key, const std::string& value,
                 const char* bucket = QZ_NATS_KV_SCAN_DATA_BUCKET) {
        kvStore* raw = nullptr;
        ASSERT_EQ(js_KeyValue(&raw, config_.js, bucket), NATS_OK);
        KvStorePtr kv(raw);
        ASSERT_EQ(kvStore_Put(nullptr, kv.get(), key.c_str(), value.data(),
                              static_cast<int>(value.size())),
                  NATS_OK);
    }

    std::string stage(const std::string& payload, uint32_t timeout = 5000) {
        char* key = nullptr;
        char errbuf[1024] = "untouched";
        int rc = qz_nats_stage_scan_data(&config_, payload.data(), payload.size(), timeout, &key,
                                         errbuf);
        EXPECT_EQ(rc, 0) << errbuf;
        EXPECT_NE(key, nullptr);
        std::string result = key != nullptr ? key : "";
        free(key);
        return result;
    }

    // Reads a chunked payload; nullopt-like empty optional via the bool.
    bool read_chunked(const std::string& key, std::string* out) {
        unsigned char* data = nullptr;
        size_t size = 12345;
        int rc = kvstore_get_chunked(&config_, key.c_str(), &data, &size);
        if (rc != 0) {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
            return false;
        }
        EXPECT_NE(data, nullptr);
        out->assign(reinterpret_cast<char*>(data), size);
        free(data);
        return true;
    }

    std::string kv_value(const char* bucket, const std::string& key, int* rc_out = nullptr) {
        char* value = nullptr;
        size_t len = 0;
        int rc = qz_nats_kv_get(&config_, bucket, key.c_str(), &value, &len);
        if (rc_out != nullptr) *rc_out = rc;
        std::string result = value != nullptr ? std::string(value, len) : "<none>";
        free(value);
        return result;
    }

    std::set<std::string> keys(const char* bucket, const char* prefix) {
        std::set<std::string> found;
        int rc = qz_nats_kv_keys(
            &config_, bucket, prefix,
            [](void* ctx, const char* key) {
                static_cast<std::set<std::string>*>(ctx)->insert(key);
            },
            &found);
        EXPECT_EQ(rc, 0);
        return found;
    }

    void wait_connected() {
        auto start = Clock::now();
        while (natsConnection_Status(config_.conn) != NATS_CONN_STATUS_CONNECTED &&
               elapsed_ms(start) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_EQ(natsConnection_Status(config_.conn), NATS_CONN_STATUS_CONNECTED);
    }

    qztest::NatsServer server_;
    qz_connection_config config_{};
};

TEST_F(NatsKv, StagedPayloadsRoundTripInChunks) {
    struct Case {
        size_t size;
        size_t chunks;
    };
    const Case cases[] = {
        {1, 1},
        {kChunk - 1, 1},
        {kChunk, 1},
        {kChunk + 1, 2},      // second chunk of one byte
        {3 * kChunk, 3},      // exact multiple, beyond the broker's 1 MiB max payload
        {5 * kChunk + 7, 6},  // 2.5 MiB + 7
    };
    qztest::TraceCapture trace(6);
    unsigned seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string payload = pattern(c.size, seed++);
        const std::string key = stage(payload);
        ASSERT_EQ(key.rfind("scan-", 0), 0u) << key;

        std::string back;
        ASSERT_TRUE(read_chunked(key, &back));
        EXPECT_TRUE(back == payload);

        EXPECT_EQ(kv_value(QZ_NATS_KV_SCAN_DATA_BUCKET, key),
                  "{\"chunks\":" + std::to_string(c.chunks) +
                      ",\"size\":" + std::to_string(c.size) + "}");
        std::set<std::string> expected;
        for (size_t i = 0; i < c.chunks; ++i) expected.insert(key + "-" + std::to_string(i));
        EXPECT_EQ(keys(QZ_NATS_KV_SCAN_DATA_BUCKET, (key + "-").c_str()), expected);
        // The last chunk holds the rest.
        EXPECT_EQ(
            kv_value(QZ_NATS_KV_SCAN_DATA_BUCKET, key + "-" + std::to_string(c.chunks - 1)).size(),
            c.size - (c.chunks - 1) * kChunk);
        EXPECT_TRUE(trace.contains("NATS: KV put: key=" + key + ", size=" + std::to_string(c.size) +
                                   ", chunks=" + std::to_string(c.chunks) +
                                   " (bucket TTL, pipelined)"));
        EXPECT_TRUE(trace.contains("NATS: KV get: key=" + key + ", size=" + std::to_string(c.size) +
                                   ", chunks=" + std::to_string(c.chunks)));
    }
    // This broker cannot expire single messages: detected once, then every write uses the
    // bucket TTL without trying.
    EXPECT_TRUE(trace.contains("does not allow per-message TTLs"));
    EXPECT_FALSE(trace.contains("falling back to bucket TTL"));
}

TEST_F(NatsKv, EmptyPayloadIsOneEmptyChunk) {
    ASSERT_EQ(kvstore_put_chunked(&config_, "empty-payload", "", 0, 0), 0);
    EXPECT_EQ(kv_value(QZ_NATS_KV_SCAN_DATA_BUCKET, "empty-payload"), "{\"chunks\":1,\"size\":0}");
    EXPECT_EQ(kv_value(QZ_NATS_KV_SCAN_DATA_BUCKET, "empty-payload-0"), "");
    std::string back = "x";
    ASSERT_TRUE(read_chunked("empty-payload", &back));
    EXPECT_EQ(back, "");
}

TEST_F(NatsKv, StagingRejectsBadArguments) {
    char data[4] = "abc";
    char* key = reinterpret_cast<char*>(0x1);
    char errbuf[1024];
    struct Case {
        qz_connection_config* config;
        const void* data;
        size_t length;
        char** out_key;
    };
    const Case cases[] = {
        {nullptr, data, 3, &key},
        {&config_, nullptr, 3, &key},
        {&config_, data, 0, &key},
        {&config_, data, 3, nullptr},
    };
    for (const auto& c : cases) {
        errbuf[0] = '\0';
        EXPECT_EQ(qz_nats_stage_scan_data(c.config, c.data, c.length, 1000, c.out_key, errbuf), -1);
        EXPECT_STREQ(errbuf, "NATS: invalid parameters for stage_scan_data");
    }
    // Without a JetStream context staging fails, and binding stays silent.
    jsCtx* js = config_.js;
    config_.js = nullptr;
    qztest::TraceCapture trace(6);
    key = nullptr;
    EXPECT_EQ(qz_nats_stage_scan_data(&config_, data, 3, 1000, &key, errbuf), -1);
    EXPECT_EQ(key, nullptr);
    EXPECT_STREQ(errbuf, "NATS: failed to stage scan data in KV store");
    EXPECT_FALSE(trace.contains("not found"));
    config_.js = js;
}

TEST_F(NatsKv, DamagedPayloadsFailToRead) {
    const std::string payload = pattern(2 * kChunk + 100, 7);
    struct Case {
        const char* what;
        std::string chunk;  // key suffix to alter
        bool remove;
        std::string value;
        std::string trace;
    };
    const Case cases[] = {
        {"missing chunk", "-1", true, "", "NATS: KV get chunk 'KEY-1' failed after retries: "},
        {"short chunk", "-0", false, "short", "NATS: KV chunk 'KEY-0' holds 5 bytes where 524288"},
        {"long last chunk", "-2", false, std::string(200, 'x'), "holds 200 bytes where 100"},
        {"chunk count does not match size", "", false, "{\"chunks\":2,\"size\":1048677}",
         "NATS: KV metadata parse failed for 'KEY'"},
        {"metadata not JSON", "", false, "{\"chunks\":3,", "NATS: KV metadata parse failed"},
        {"negative size", "", false, "{\"chunks\":1,\"size\":-5}",
         "NATS: KV metadata parse failed"},
        {"metadata missing", "", true, "", "NATS: KV get metadata 'KEY' failed after retries: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string key = stage(payload);
        if (c.remove) {
            qz_nats_kv_delete(&config_, QZ_NATS_KV_SCAN_DATA_BUCKET, (key + c.chunk).c_str());
        } else {
            raw_put(key + c.chunk, c.value);
        }
        qztest::TraceCapture trace(6);
        auto start = Clock::now();
        std::string back;
        EXPECT_FALSE(read_chunked(key, &back));
        EXPECT_LT(elapsed_ms(start), 3000);
        std::string expected = c.trace;
        auto at = expected.find("KEY");
        if (at != std::string::npos) expected.replace(at, 3, key);
        EXPECT_TRUE(trace.contains(expected)) << trace.contents();
    }
}

TEST_F(NatsKv, ChunkedReadWaitsForLateMetadataWithinHalfASecond) {
    // Absent for good: the catch-up ends after 500 ms of waiting.
    {
        qztest::TraceCapture trace(6);
        auto start = Clock::now();
        std::string back;
        EXPECT_FALSE(read_chunked("never-staged", &back));
        const auto took = elapsed_ms(start);
        EXPECT_GE(took, 500);
        EXPECT_LT(took, 2000);
        EXPECT_TRUE(
            trace.contains("NATS: KV get 'never-staged' not found — retrying for replica "
                           "catch-up"));
        EXPECT_TRUE(trace.contains("NATS: KV get metadata 'never-staged' failed after retries: "));
    }
    // Appearing 100 ms late: found within the window.
    const std::string payload = pattern(kChunk + 10, 3);
    ASSERT_EQ(kvstore_put_chunked(&config_, "late-source", payload.data(), payload.size(), 0), 0);
    const std::string meta = kv_value(QZ_NATS_KV_SCAN_DATA_BUCKET, "late-source");
    raw_put("late-0", payload.substr(0, kChunk));
    raw_put("late-1", payload.substr(kChunk));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        raw_put("late", meta);
    });
    std::string back;
    EXPECT_TRUE(read_chunked("late", &back));
    writer.join();
    EXPECT_TRUE(back == payload);
}

TEST_F(NatsKv, UnstageRemovesChunksAndMetadata) {
    const std::string key = stage(pattern(3 * kChunk - 1, 9));
    ASSERT_EQ(keys(QZ_NATS_KV_SCAN_DATA_BUCKET, key.c_str()).size(), 4u);
    qz_nats_unstage_scan_data(&config_, key.c_str());
    EXPECT_TRUE(keys(QZ_NATS_KV_SCAN_DATA_BUCKET, key.c_str()).empty());
    int rc = 0;
    kv_value(QZ_NATS_KV_SCAN_DATA_BUCKET, key, &rc);
    EXPECT_EQ(rc, 1);
    // Harmless on nothing.
    qz_nats_unstage_scan_data(&config_, key.c_str());
    qz_nats_unstage_scan_data(&config_, "");
    qz_nats_unstage_scan_data(&config_, nullptr);
    qz_nats_unstage_scan_data(nullptr, key.c_str());
}

TEST_F(NatsKv, GetPutDeleteOnAnyBucket) {
    const char* bucket = QZ_NATS_KV_DEDUP_BUCKET;
    int rc = 0;
    char* value = reinterpret_cast<char*>(0x1);
    size_t len = 99;
    EXPECT_EQ(qz_nats_kv_get(&config_, bucket, "absent", &value, &len), 1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(len, 0u);

    EXPECT_EQ(qz_nats_kv_put(&config_, bucket, "empty", "", 0), 0);
    EXPECT_EQ(kv_value(bucket, "empty", &rc), "");
    EXPECT_EQ(rc, 0);

    EXPECT_EQ(qz_nats_kv_put(&config_, bucket, "req-1", "{\"ReturnCode\": 0}", 300000), 0);
    EXPECT_EQ(kv_value(bucket, "req-1", &rc), "{\"ReturnCode\": 0}");
    EXPECT_EQ(qz_nats_kv_put(&config_, bucket, "req-1", "second", -1), 0);
    EXPECT_EQ(kv_value(bucket, "req-1"), "second");
    // The out length is optional.
    EXPECT_EQ(qz_nats_kv_get(&config_, bucket, "req-1", &value, nullptr), 0);
    EXPECT_STREQ(value, "second");
    free(value);

    qz_nats_kv_delete(&config_, bucket, "req-1");
    kv_value(bucket, "req-1", &rc);
    EXPECT_EQ(rc, 1);

    // Bad arguments: -1, never a crash.
    EXPECT_EQ(qz_nats_kv_get(nullptr, bucket, "k", &value, nullptr), -1);
    EXPECT_EQ(qz_nats_kv_get(&config_, "", "k", &value, nullptr), -1);
    EXPECT_EQ(qz_nats_kv_get(&config_, bucket, nullptr, &value, nullptr), -1);
    EXPECT_EQ(qz_nats_kv_get(&config_, bucket, "k", nullptr, nullptr), -1);
    EXPECT_EQ(qz_nats_kv_put(&config_, bucket, "k", nullptr, 0), -1);
    EXPECT_EQ(qz_nats_kv_put(&config_, nullptr, "k", "v", 0), -1);
    EXPECT_EQ(qz_nats_kv_put(&config_, bucket, "", "v", 0), -1);
    qz_nats_kv_delete(&config_, bucket, nullptr);
    qz_nats_kv_delete(nullptr, bucket, "k");
}

TEST_F(NatsKv, KeysAndSnapshotListLiveEntries) {
    const char* bucket = QZ_NATS_KV_DEDUP_BUCKET;
    // An empty bucket ends at once.
    auto start = Clock::now();
    EXPECT_TRUE(keys(bucket, nullptr).empty());
    EXPECT_LT(elapsed_ms(start), 1000);

    for (const char* k : {"a-1", "a-2", "ab", "b-1", "a-3"}) {
        ASSERT_EQ(qz_nats_kv_put(&config_, bucket, k, (std::string("v:") + k).c_str(), 0), 0);
    }
    ASSERT_EQ(qz_nats_kv_put(&config_, bucket, "a-1", "v:a-1 again", 0), 0);
    qz_nats_kv_delete(&config_, bucket, "a-3");

    EXPECT_EQ(keys(bucket, "a-"), (std::set<std::string>{"a-1", "a-2"}));
    EXPECT_EQ(keys(bucket, "a"), (std::set<std::string>{"a-1", "a-2", "ab"}));
    EXPECT_EQ(keys(bucket, ""), (std::set<std::string>{"a-1", "a-2", "ab", "b-1"}));
    EXPECT_EQ(keys(bucket, nullptr), (std::set<std::string>{"a-1", "a-2", "ab", "b-1"}));
    EXPECT_TRUE(keys(bucket, "zzz").empty());

    std::map<std::string, std::string> snapshot;
    ASSERT_EQ(qz_nats_kv_snapshot(
                  &config_, bucket,
                  [](void* ctx, const char* key, const char* value, size_t len) {
                      EXPECT_EQ(strlen(value), len);
                      (*static_cast<std::map<std::string, std::string>*>(ctx))[key] =
                          std::string(value, len);
                  },
                  &snapshot),
              0);
    EXPECT_EQ(snapshot,
              (std::map<std::string, std::string>{
                  {"a-1", "v:a-1 again"}, {"a-2", "v:a-2"}, {"ab", "v:ab"}, {"b-1", "v:b-1"}}));

    qztest::TraceCapture trace(6);
    EXPECT_EQ(
        qz_nats_kv_snapshot(
            &config_, "no-such-bucket", [](void*, const char*, const char*, size_t) {}, nullptr),
        -1);
    EXPECT_TRUE(trace.contains("NATS: KV snapshot bind 'no-such-bucket' failed: "));
    EXPECT_EQ(qz_nats_kv_keys(&config_, bucket, nullptr, nullptr, nullptr), -1);
    jsCtx* js = config_.js;
    config_.js = nullptr;
    EXPECT_EQ(qz_nats_kv_keys(
                  &config_, bucket, nullptr, [](void*, const char*) {}, nullptr),
              -1);
    EXPECT_TRUE(trace.contains(
        "NATS: KV snapshot on 'qz-av-wq-dedup' requested but JetStream is not available"));
    config_.js = js;
}

TEST_F(NatsKv, LeaseIsHeldRenewedAndExpires) {
    create_bucket({"qz-test-leases", 1000});
    const char* bucket = "qz-test-leases";
    EXPECT_EQ(qz_nats_kv_lease(&config_, bucket, "job-7", "worker-a", 1000), 1);  // absent
    EXPECT_EQ(qz_nats_kv_lease(&config_, bucket, "job-7", "worker-b", 1000), 0);  // held
    EXPECT_EQ(qz_nats_kv_lease(&config_, bucket, "job-7", "worker-a", 1000), 1);  // renewed
    EXPECT_EQ(kv_value(bucket, "job-7"), "worker-a");
    // An owner that is a prefix of the holder is another owner.
    EXPECT_EQ(qz_nats_kv_lease(&config_, bucket, "job-7", "worker-", 1000), 0);
    // An empty value counts as held by another.
    ASSERT_EQ(qz_nats_kv_put(&config_, bucket, "job-8", "", 0), 0);
    EXPECT_EQ(qz_nats_kv_lease(&config_, bucket, "job-8", "worker-a", 1000), 0);
    // A released lease is free again.
    qz_nats_kv_delete(&config_, bucket, "job-7");
    EXPECT_EQ(qz_nats_kv_lease(&config_, bucket, "job-7", "worker-b", 1000), 1);

    // Expiry by the bucket's TTL (this broker cannot expire single messages).
    auto start = Clock::now();
    int rc = 0;
    while (elapsed_ms(start) < 5000) {
        rc = qz_nats_kv_lease(&config_, bucket, "job-7", "worker-c", 1000);
        if (rc == 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(rc, 1);
    EXPECT_GE(elapsed_ms(start), 500);

    for (auto args : {std::vector<const char*>{"", "k", "o"},
                      {bucket, "", "o"},
                      {bucket, "k", ""},
                      {bucket, nullptr, "o"}}) {
        EXPECT_EQ(qz_nats_kv_lease(&config_, args[0], args[1], args[2], 1000), -1);
    }
    EXPECT_EQ(qz_nats_kv_lease(&config_, "no-such-bucket", "k", "o", 1000), -1);
}

TEST_F(NatsKv, RacingOwnersNeverBothHoldALease) {
    const char* bucket = QZ_NATS_KV_DEDUP_BUCKET;
    constexpr int kKeys = 20;
    std::atomic<int> wins[kKeys] = {};
    std::atomic<int> errors{0};
    auto contend = [&](const char* owner) {
        for (int i = 0; i < kKeys; ++i) {
            int rc = qz_nats_kv_lease(&config_, bucket, ("race-" + std::to_string(i)).c_str(),
                                      owner, 10000);
            if (rc == 1) wins[i]++;
            if (rc < 0) errors++;
        }
    };
    std::thread a(contend, "owner-a");
    std::thread b(contend, "owner-b");
    std::thread c(contend, "owner-c");
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(errors.load(), 0);
    for (int i = 0; i < kKeys; ++i) EXPECT_EQ(wins[i].load(), 1) << "race-" << i;
}

TEST_F(NatsKv, RegistryEntriesComeAndGo) {
    EXPECT_EQ(
        qz_nats_registry_put(&config_, "worker.host1.1234", "{\"service\":\"qz-av-dummy\"}", 0), 0);
    EXPECT_EQ(kv_value(QZ_NATS_KV_REGISTRY_BUCKET, "worker.host1.1234"),
              "{\"service\":\"qz-av-dummy\"}");
    EXPECT_EQ(keys(QZ_NATS_KV_REGISTRY_BUCKET, "worker."),
              (std::set<std::string>{"worker.host1.1234"}));
    qz_nats_registry_delete(&config_, "worker.host1.1234");
    int rc = 0;
    kv_value(QZ_NATS_KV_REGISTRY_BUCKET, "worker.host1.1234", &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(qz_nats_registry_put(&config_, "", "v", 0), -1);
    EXPECT_EQ(qz_nats_registry_put(&config_, "w", nullptr, 0), -1);
    qz_nats_registry_delete(&config_, nullptr);
}

TEST_F(NatsKv, MissingBucketsAreNamedOnEveryLookup) {
    qztest::TraceCapture trace(6);
    const std::string hint =
        "NATS: KV bucket 'qz-av-missing' not found — qz-av-broker should have created it at "
        "startup; is the broker running and on the same nats-server?: ";
    EXPECT_EQ(get_kvstore_for(&config_, "qz-av-missing"), nullptr);
    EXPECT_TRUE(trace.contains(hint));
    trace.clear();
    int rc = 0;
    kv_value("qz-av-missing", "k", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(trace.contains(hint));

    delete_bucket(QZ_NATS_KV_SCAN_DATA_BUCKET);
    trace.clear();
    char* key = nullptr;
    char errbuf[1024] = "";
    const std::string payload = pattern(100, 1);
    EXPECT_EQ(qz_nats_stage_scan_data(&config_, payload.data(), payload.size(), 1000, &key, errbuf),
              -1);
    EXPECT_EQ(key, nullptr);
    EXPECT_STREQ(errbuf, "NATS: failed to stage scan data in KV store");
    EXPECT_TRUE(trace.contains("NATS: KV bucket 'qz-av-scan-data' not found — qz-av-broker"));

    // Once the broker side creates it, the next call binds without a restart.
    create_bucket({QZ_NATS_KV_SCAN_DATA_BUCKET});
    EXPECT_FALSE(stage(payload).empty());
}

TEST_F(NatsKv, HandleCacheHoldsSevenExtraBuckets) {
    std::vector<std::string> names;
    for (int i = 0; i < QZ_NATS_KV_EXTRA_BUCKETS + 1; ++i) {
        names.push_back("qz-test-extra-" + std::to_string(i));
        create_bucket({names.back().c_str()});
    }
    for (int i = 0; i < QZ_NATS_KV_EXTRA_BUCKETS; ++i) {
        // The name comes from a temporary buffer that is overwritten afterwards.
        std::string scratch = names[i];
        EXPECT_EQ(qz_nats_kv_put(&config_, scratch.c_str(), "k", names[i].c_str(), 0), 0);
        scratch.assign(scratch.size(), 'x');
    }
    kvStore* first = get_kvstore_for(&config_, names[0].c_str());
    EXPECT_EQ(first, get_kvstore_for(&config_, names[0].c_str()));

    qztest::TraceCapture trace(6);
    EXPECT_EQ(qz_nats_kv_put(&config_, names.back().c_str(), "k", "v", 0), -1);
    EXPECT_TRUE(
        trace.contains("NATS: KV handle cache full; binding 'qz-test-extra-7' uncached "
                       "(raise QZ_NATS_KV_EXTRA_BUCKETS)"));
    for (int i = 0; i < QZ_NATS_KV_EXTRA_BUCKETS; ++i) {
        EXPECT_EQ(kv_value(names[i].c_str(), "k"), names[i]);
    }
    // The fixed buckets do not take cache slots.
    EXPECT_EQ(qz_nats_registry_put(&config_, "w", "v", 0), 0);
    EXPECT_FALSE(stage("x").empty());
}

TEST_F(NatsKv, ConcurrentCallersShareOneHandlePerBucket) {
    constexpr int kThreads = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string payload = pattern(kChunk + 1000 * t, 100 + t);
            char* key = nullptr;
            if (qz_nats_stage_scan_data(&config_, payload.data(), payload.size(), 5000, &key,
                                        nullptr) != 0) {
                failures++;
                return;
            }
            unsigned char* data = nullptr;
            size_t size = 0;
            if (kvstore_get_chunked(&config_, key, &data, &size) != 0 || size != payload.size() ||
                memcmp(data, payload.data(), size) != 0) {
                failures++;
            }
            free(data);
            if (qz_nats_kv_put(&config_, QZ_NATS_KV_DEDUP_BUCKET, key, "v", 0) != 0) failures++;
            qz_nats_unstage_scan_data(&config_, key);
            free(key);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_NE(config_.kv_scan_data, nullptr);
    int dedup_slots = 0;
    for (const char* name : config_.kv_extra_names) {
        if (name != nullptr && strcmp(name, QZ_NATS_KV_DEDUP_BUCKET) == 0) dedup_slots++;
    }
    EXPECT_EQ(dedup_slots, 1);
}

TEST_F(NatsKv, CallsRecoverAfterBrokerRestart) {
    const std::string before = pattern(2 * kChunk + 5, 11);
    const std::string key = stage(before);
    ASSERT_EQ(qz_nats_kv_put(&config_, QZ_NATS_KV_DEDUP_BUCKET, "r", "1", 0), 0);

    server_.stop();
    qztest::TraceCapture trace(6);
    // While the broker is away, calls fail with a reason instead of hanging.
    auto start = Clock::now();
    int rc = 0;
    kv_value(QZ_NATS_KV_DEDUP_BUCKET, "r", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_LT(elapsed_ms(start), 7000);

    server_.start();
    wait_connected();
    // The cached handles serve on; the stored payload survived the restart.
    std::string back;
    ASSERT_TRUE(read_chunked(key, &back));
    EXPECT_TRUE(back == before);
    EXPECT_EQ(kv_value(QZ_NATS_KV_DEDUP_BUCKET, "r"), "1");
    const std::string after = pattern(kChunk * 2, 12);
    const std::string key2 = stage(after);
    ASSERT_TRUE(read_chunked(key2, &back));
    EXPECT_TRUE(back == after);
}

TEST_F(NatsKv, StagingBrokerStoppedMidwayFailsInBoundedTime) {
    const std::string payload = pattern(8 * kChunk, 5);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server_.kill();
    });
    char* key = nullptr;
    char errbuf[1024] = "";
    auto start = Clock::now();
    int rc = qz_nats_stage_scan_data(&config_, payload.data(), payload.size(), 1000, &key, errbuf);
    stopper.join();
    // At most one acknowledgement wait (5 s) plus a bind and a metadata write (1.5 s each here),
    // not one wait per chunk; the rest is slack for a loaded machine.
    EXPECT_LT(elapsed_ms(start), 12000);
    if (rc == 0) {
        // Finished before the broker went away: then it must be complete.
        server_.start();
        wait_connected();
        std::string back;
        ASSERT_TRUE(read_chunked(key, &back));
        EXPECT_TRUE(back == payload);
    } else {
        EXPECT_EQ(key, nullptr);
        EXPECT_STREQ(errbuf, "NATS: failed to stage scan data in KV store");
    }
    free(key);
}

TEST_F(NatsKv, RefusedTtlWriteFallsBackOnceToBucketTtl) {
    // The header of a per-message TTL makes a full chunk exceed this bucket's value limit: the
    // broker refuses the TTL write exactly like one that forbids message TTLs.
    delete_bucket(QZ_NATS_KV_SCAN_DATA_BUCKET);
    create_bucket({QZ_NATS_KV_SCAN_DATA_BUCKET, 0, static_cast<int32_t>(kChunk)});
    qz_nats_kv_force_msg_ttl_for_tests(1);
    qztest::TraceCapture trace(6);

    const std::string payload = pattern(kChunk + 3, 21);
    const std::string key = stage(payload, 5000);
    ASSERT_FALSE(key.empty());
    EXPECT_TRUE(trace.contains("NATS: per-message TTL write for key=" + key +
                               " failed; falling back to bucket TTL. Ensure the KV stream has "
                               "AllowMsgTTL."));
    EXPECT_TRUE(trace.contains("NATS: KV put: key=" + key +
                               ", size=" + std::to_string(payload.size()) +
                               ", chunks=2 (bucket TTL, pipelined)"));
    std::string back;
    ASSERT_TRUE(read_chunked(key, &back));
    EXPECT_TRUE(back == payload);

    trace.clear();
    const std::string key2 = stage(payload, 5000);
    EXPECT_FALSE(trace.contains("falling back"));
    EXPECT_FALSE(trace.contains("async chunk publish"));
    ASSERT_TRUE(read_chunked(key2, &back));
    qz_nats_kv_force_msg_ttl_for_tests(0);
}

TEST_F(NatsKv, TtlHeaderWritesAreReadable) {
    // Where a broker honours per-message TTLs the writes carry a header; this broker stores them
    // like any other message, which checks the header path end to end.
    qz_nats_kv_force_msg_ttl_for_tests(1);
    qztest::TraceCapture trace(6);
    const std::string payload = pattern(2 * kChunk + 1, 31);
    const std::string key = stage(payload, 10000);
    EXPECT_TRUE(trace.contains("NATS: KV put: key=" + key +
                               ", size=" + std::to_string(payload.size()) +
                               ", chunks=3, ttl=11000ms (pipelined)"));
    std::string back;
    ASSERT_TRUE(read_chunked(key, &back));
    EXPECT_TRUE(back == payload);
    EXPECT_EQ(qz_nats_kv_put(&config_, QZ_NATS_KV_DEDUP_BUCKET, "t", "v", 300000), 0);
    EXPECT_EQ(kv_value(QZ_NATS_KV_DEDUP_BUCKET, "t"), "v");
    EXPECT_EQ(qz_nats_kv_lease(&config_, QZ_NATS_KV_DEDUP_BUCKET, "l", "a", 1000), 1);
    EXPECT_EQ(qz_nats_kv_lease(&config_, QZ_NATS_KV_DEDUP_BUCKET, "l", "b", 1000), 0);
    EXPECT_EQ(qz_nats_kv_lease(&config_, QZ_NATS_KV_DEDUP_BUCKET, "l", "a", 1000), 1);
    EXPECT_FALSE(trace.contains("falling back"));
    qz_nats_kv_force_msg_ttl_for_tests(0);
}

TEST_F(NatsKv, RefusedChunksAreNotReportedAsStaged) {
    delete_bucket(QZ_NATS_KV_SCAN_DATA_BUCKET);
    create_bucket({QZ_NATS_KV_SCAN_DATA_BUCKET, 0, 1000});
    qztest::TraceCapture trace(6);
    char* key = nullptr;
    char errbuf[1024] = "";
    const std::string payload = pattern(3 * kChunk, 41);
    EXPECT_EQ(qz_nats_stage_scan_data(&config_, payload.data(), payload.size(), 1000, &key, errbuf),
              -1);
    EXPECT_EQ(key, nullptr);
    EXPECT_STREQ(errbuf, "NATS: failed to stage scan data in KV store");
    EXPECT_TRUE(trace.contains("NATS: js_PublishAsyncComplete failed for key="))
        << trace.contents();
}

TEST(NatsKeys, UniqueKeysHaveTheStagingForm) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        char key[QZ_NATS_UNIQUE_KEY_SIZE];
        generate_unique_key(key, sizeof key);
        ASSERT_EQ(std::string(key).rfind("scan-", 0), 0u);
        unsigned long a = 0, b = 0, c = 0;
        ASSERT_EQ(sscanf(key, "scan-%lx-%lx-%lx", &a, &b, &c), 3) << key;
        EXPECT_LE(c, 0xffffffffUL);
        seen.insert(key);
    }
    EXPECT_GT(seen.size(), 990u);
    char tiny[8];
    generate_unique_key(tiny, sizeof tiny);
    EXPECT_EQ(strlen(tiny), 7u);
}

}  // namespace
