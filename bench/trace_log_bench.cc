// Trace log cost: a call below the configured level must be nearly free, and an enabled line
// (open, one append, close) should cost little more than the bare system calls it makes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/log.h"

namespace {

std::string bench_dir() {
    static std::string dir = [] {
        char pattern[] = "/tmp/qzbench-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

void BM_DisabledTraceCall(benchmark::State& state) {
    static std::string path = bench_dir() + "/disabled.log";
    QZOpenTraceFile(path.c_str(), QZ_LOG_ERROR, 0);
    for (auto _ : state) LOG_DEBUG("scan %d of %s", 42, "object");
    QZOpenTraceFile(nullptr, 0, 0);
}
BENCHMARK(BM_DisabledTraceCall);

void BM_EnabledTraceLine(benchmark::State& state) {
    static std::string path = bench_dir() + "/enabled.log";
    log_set_quiet(1);
    QZOpenTraceFile(path.c_str(), QZ_LOG_INFO, 0);
    for (auto _ : state) LOG_INFO("scan %d of %s", 42, "object");
    QZOpenTraceFile(nullptr, 0, 0);
    std::remove(path.c_str());
}
BENCHMARK(BM_EnabledTraceLine)->ThreadRange(1, 4)->UseRealTime();

// Baseline: the same bytes with open/write/close and no formatting.
void BM_RawAppendLine(benchmark::State& state) {
    static std::string path = bench_dir() + "/raw.log";
    const char line[] =
        "[2026-08-09 22:41:27.042] INFO  PID:  12345 TID:  12399 vsa-lib:bench(): scan 42 of object\n";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        benchmark::DoNotOptimize(::write(fd, line, sizeof(line) - 1));
        ::close(fd);
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_RawAppendLine);

}  // namespace

BENCHMARK_MAIN();
