#include "vsalib_trace_file.h"

#include <set>
#include <string>

#include "log/log.h"
#include "vsalib_store.h"

namespace {

// The trace log borrows its file name. Every name handed to it stays here, unchanged, for the
// life of the library, since other threads may still be tracing into the previous one.
std::set<std::string> s_trace_paths;

// At unload (or process exit) tracing stops before the names go.
struct StopTracingAtUnload {
    StopTracingAtUnload() = default;
    StopTracingAtUnload(const StopTracingAtUnload&) = delete;
    StopTracingAtUnload& operator=(const StopTracingAtUnload&) = delete;
    ~StopTracingAtUnload() {
        log_set_level(QZ_LOG_OFF);
        log_set_filename(nullptr);
    }
};
// Defined after s_trace_paths, so it runs first.
StopTracingAtUnload s_stop_tracing;

}  // namespace

extern "C" {

void vsalib_open_trace_file(vsa_global* g) {
    if (g == nullptr) return;
    const std::string name = qz::vsalib::stored_text_or_empty(g, g->config, "TRACE", "TRACEFILE");
    const long level = qz::vsalib::stored_long(g, g->config, "TRACE", "TRACELEVEL").value_or(-1);
    const long size =
        qz::vsalib::stored_long(g, g->config, "TRACE", "TRACEFILE_MAX_SIZE_MB").value_or(0);
    const char* kept = s_trace_paths.insert(name).first->c_str();
    QZOpenTraceFile(kept, static_cast<int>(level), size > 0 ? static_cast<uint64_t>(size) : 0);
}
}
