#include "support/temp_dir.h"

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "log/log.h"

namespace qztest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qztest-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {
// The trace log borrows its file name, and threads of the client libraries may still be tracing
// with the old name just after a capture ends: the names a test hands over are never freed.
const char* lasting_copy(const std::string& path) {
    static std::mutex mutex;
    static std::deque<std::string> names;
    std::lock_guard<std::mutex> guard(mutex);
    return names.emplace_back(path).c_str();
}
}  // namespace

TraceCapture::TraceCapture(int level) : path_(dir_.file("trace.log")) {
    log_set_quiet(1);
    QZOpenTraceFile(lasting_copy(path_), level, 0);
}

TraceCapture::~TraceCapture() { QZOpenTraceFile(nullptr, 0, 0); }

std::string TraceCapture::contents() const { return read_file(path_); }

bool TraceCapture::contains(const std::string& text) const {
    return contents().find(text) != std::string::npos;
}

void TraceCapture::clear() const { std::filesystem::remove(path_); }

}  // namespace qztest
