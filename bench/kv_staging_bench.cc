// Payload staging: 64 MiB through qz_nats_stage_scan_data (pipelined chunk publishes) against
// synchronous kvStore_Put of the same 512 KiB chunks, on one broker in one run, and the peak
// resident memory the staging call adds beyond the payload itself. Starts its own nats-server on
// a free loopback port with a temporary store. Prints the figures; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "support/bench_broker.h"

namespace {

using qzbench::median;

using Clock = std::chrono::steady_clock;
constexpr size_t kPayload = 64u << 20;
constexpr size_t kChunk = QZ_NATS_KV_CHUNK_SIZE;
constexpr int kRounds = 9;

// Resident set figures of this process in KiB.
long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line[n] == ':') return atol(line.c_str() + n + 1);
    }
    return -1;
}

// Resets VmHWM to the current RSS so the next reading is the peak of what follows.
bool reset_peak_rss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    return static_cast<bool>(out.flush());
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void purge_bucket(jsCtx* js) {
    js_PurgeStream(js, "KV_" QZ_NATS_KV_SCAN_DATA_BUCKET, nullptr, nullptr);
}

}  // namespace

int main() {
    qzbench::BenchBroker broker("qz-kv-bench");
    natsConnection* nc = broker.connect(100, 50);
    if (nc == nullptr) {
        fprintf(stderr, "kv_staging_bench: nats-server did not start\n");
        return 1;
    }
    qz_connection_config config{};
    config.conn = nc;
    natsConnection_JetStream(&config.js, nc, nullptr);
    kvConfig kc;
    kvConfig_Init(&kc);
    kc.Bucket = QZ_NATS_KV_SCAN_DATA_BUCKET;
    kc.History = 1;
    kc.StorageType = js_FileStorage;
    kvStore* raw_kv = nullptr;
    if (js_CreateKeyValue(&raw_kv, config.js, &kc) != NATS_OK) {
        fprintf(stderr, "kv_staging_bench: cannot create the bucket\n");
        return 1;
    }
    qz::nats::KvStorePtr kv(raw_kv);

    // The payload is written in full first so that its pages are resident before measuring.
    std::vector<unsigned char> payload(kPayload);
    uint32_t x = 12345;
    for (auto& b : payload) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }

    // Warm-up: connection buffers, the bucket binding, the allocator.
    char* key = nullptr;
    qz_nats_stage_scan_data(&config, payload.data(), 4 * kChunk, 60000, &key, nullptr);
    free(key);
    for (size_t i = 0; i < 4; ++i) {
        kvStore_Put(nullptr, kv.get(), ("warm-" + std::to_string(i)).c_str(),
                    payload.data() + i * kChunk, static_cast<int>(kChunk));
    }
    purge_bucket(config.js);

    std::vector<double> staged_ms, raw_ms;
    long peak_added_kib = 0;
    long raw_peak_added_kib = 0;
    bool rss_ok = true;
    for (int round = 0; round < kRounds; ++round) {
        // Staging through the library.
        const long rss_before = status_kib("VmRSS");
        rss_ok = reset_peak_rss() && rss_ok;
        auto start = Clock::now();
        key = nullptr;
        if (qz_nats_stage_scan_data(&config, payload.data(), payload.size(), 60000, &key,
                                    nullptr) != 0) {
            fprintf(stderr, "kv_staging_bench: staging failed\n");
            return 1;
        }
        staged_ms.push_back(ms_since(start));
        peak_added_kib = std::max(peak_added_kib, status_kib("VmHWM") - rss_before);
        free(key);
        purge_bucket(config.js);

        // One synchronous put per chunk, the same chunks and key layout.
        const long raw_rss_before = status_kib("VmRSS");
        rss_ok = reset_peak_rss() && rss_ok;
        start = Clock::now();
        const std::string base = "raw-" + std::to_string(round);
        for (size_t i = 0; i * kChunk < payload.size(); ++i) {
            const size_t len = std::min(kChunk, payload.size() - i * kChunk);
            if (kvStore_Put(nullptr, kv.get(), (base + "-" + std::to_string(i)).c_str(),
                            payload.data() + i * kChunk, static_cast<int>(len)) != NATS_OK) {
                fprintf(stderr, "kv_staging_bench: raw put failed\n");
                return 1;
            }
        }
        kvStore_PutString(nullptr, kv.get(), base.c_str(), "{\"chunks\":128,\"size\":67108864}");
        raw_ms.push_back(ms_since(start));
        raw_peak_added_kib = std::max(raw_peak_added_kib, status_kib("VmHWM") - raw_rss_before);
        purge_bucket(config.js);
    }

    const double staged = median(staged_ms);
    const double raw = median(raw_ms);
    const double mib = static_cast<double>(kPayload) / (1 << 20);
    printf("kv staging, 64 MiB in %zu KiB chunks, median of %d rounds, %d chunk(s) in flight\n",
           kChunk / 1024, kRounds, QZ_NATS_KV_MAX_PENDING_CHUNKS);
    printf("  qz_nats_stage_scan_data (pipelined):  %8.1f ms  %7.1f MiB/s\n", staged,
           mib * 1000 / staged);
    printf("  kvStore_Put per chunk (synchronous):   %8.1f ms  %7.1f MiB/s\n", raw,
           mib * 1000 / raw);
    printf("  speed ratio synchronous/pipelined:     %8.2f   (goal >= 1.0)\n", raw / staged);
    if (rss_ok) {
        printf(
            "  peak RSS added while staging:          %8ld KiB beyond the payload (goal <= 2048)\n",
            peak_added_kib);
        printf("  peak RSS added by the synchronous puts: %7ld KiB\n", raw_peak_added_kib);
    } else {
        printf("  peak RSS added while staging:          n/a (cannot reset VmHWM here)\n");
    }

    kv.reset();
    qz_nats_kv_release_handles(&config);
    jsCtx_Destroy(config.js);
    natsConnection_Destroy(nc);
    nats_Close();
    return 0;
}
