#include "log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/file_io.h"
#include "platform/semaphore.h"
#include "platform/thread.h"

// A library that does not name itself prints this; the adapter and the implementation each
// define their own strong qz__progname.
__attribute__((weak)) const char* qz__progname = "qz-shared";

const char* const level_names[7] = {"OFF", "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
const char* const level_colors[7] = {"\033[94m", "\033[36m", "\033[31m", "\033[33m",
                                     "\033[32m", "\033[35m", "\033[34m"};

namespace {

// The setters run during start-up, reconfiguration and shutdown while other threads may be
// tracing; relaxed atomics make those plain stores well defined at no cost on the hot path.
struct TraceState {
    std::atomic<void*> udata{nullptr};
    std::atomic<log_LockFn> lock{nullptr};
    std::atomic<int> level{0};
    std::atomic<int> quiet{0};
    std::atomic<uint64_t> maxsize{0};
    std::atomic<const char*> filename{nullptr};
    std::atomic<unsigned char> screentrace{0};
};

TraceState s_state;

// Serialises rotation and append within the process. Every line is written with one write() on an
// O_APPEND descriptor, so lines of other processes never interleave with ours either; the mutex
// keeps two threads from both deciding to rotate and from writing into a file that is being
// renamed away under them.
std::mutex s_file_mutex;

constexpr size_t kStackLine = 4096;

// Owns the text of one trace line: a stack buffer for the usual case, the heap for long messages.
class LineBuffer {
  public:
    LineBuffer() { stack_[0] = '\0'; }
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    void append(const char* text) { append_bytes(text, std::strlen(text)); }

    void append_format(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        append_vformat(fmt, ap);
        va_end(ap);
    }

    void append_vformat(const char* fmt, va_list ap) {
        va_list copy;
        va_copy(copy, ap);
        char* dest = heap_.empty() ? stack_ + length_ : nullptr;
        size_t room = heap_.empty() ? sizeof(stack_) - length_ : 0;
        int needed = std::vsnprintf(dest, room, fmt, copy);
        va_end(copy);
        if (needed < 0) return;
        if (heap_.empty() && static_cast<size_t>(needed) < room) {
            length_ += static_cast<size_t>(needed);
            return;
        }
        move_to_heap();
        size_t old = heap_.size();
        heap_.resize(old + static_cast<size_t>(needed) + 1);
        std::vsnprintf(heap_.data() + old, static_cast<size_t>(needed) + 1, fmt, ap);
        heap_.resize(old + static_cast<size_t>(needed));
        length_ = heap_.size();
    }

    const char* data() const { return heap_.empty() ? stack_ : heap_.data(); }
    size_t size() const { return length_; }

  private:
    void append_bytes(const char* text, size_t n) {
        if (heap_.empty() && length_ + n < sizeof(stack_)) {
            std::memcpy(stack_ + length_, text, n);
            length_ += n;
            stack_[length_] = '\0';
            return;
        }
        move_to_heap();
        heap_.append(text, n);
        length_ = heap_.size();
    }

    void move_to_heap() {
        if (heap_.empty()) heap_.assign(stack_, length_);
    }

    char stack_[kStackLine];
    std::string heap_;
    size_t length_ = 0;
};

// "2026-08-09 22:41:27.042" in UTC, or "" when the time cannot be broken down.
void format_timestamp(char out[42]) {
    out[0] = '\0';
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm broken;
    if (gmtime_r(&now.tv_sec, &broken) == nullptr) return;
    char date[20];
    if (std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &broken) == 0) return;
    long millis = (now.tv_nsec + 500000) / 1000000;
    if (millis > 999) millis = 999;
    std::snprintf(out, 42, "%s.%03ld", date, millis);
}

void append_to_file(const char* path, const LineBuffer& line) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return;  // the line is lost: the trace file is best effort by contract
    qz_write_all(fd, line.data(), line.size());
    ::close(fd);
}

void write_file_line(int level, const char* function, const char* file, int line, const char* stamp,
                     const char* fmt, va_list ap, bool check_rotation);

void write_file_line_f(int level, const char* function, const char* file, int line,
                       const char* stamp, bool check_rotation, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_file_line(level, function, file, line, stamp, fmt, ap, check_rotation);
    va_end(ap);
}

// Renames the trace file to "<path>_<local time>.log". Never replaces an existing file: two
// rotations within one second must not overwrite the older rotated trace.
bool switch_logfile(const char* path) {
    time_t now = time(nullptr);
    struct tm local;
    char stamp[80] = "";
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof(stamp), "%F__%H-%M-%S", &local);
    char rotated[4096];
    int n = std::snprintf(rotated, 4095, "%s_%s.log", path, stamp);
    if (n < 0 || n >= 4095) return false;
    return qz_rename_noreplace(path, rotated) == 0;
}

// Caller holds s_file_mutex.
void check_log_switch_locked(const char* path, uint64_t maxsize_mb, const char* stamp) {
    if (path == nullptr) return;
    struct stat st;
    if (::stat(path, &st) != 0) return;
    if (static_cast<uint64_t>(st.st_size) < maxsize_mb * 1000000ULL) return;
    if (!switch_logfile(path)) {
        write_file_line_f(QZ_LOG_ERROR, "s_switch_logfile", __FILE__, __LINE__, stamp, false,
                          "Failed to rotate log file %s", path);
    }
}

void write_file_line(int level, const char* function, const char* file, int line, const char* stamp,
                     const char* fmt, va_list ap, bool check_rotation) {
    if (s_state.level < level) return;
    const char* path = s_state.filename;
    if (path == nullptr || path[0] == '\0') return;
    if (check_rotation && s_state.maxsize != 0)
        check_log_switch_locked(path, s_state.maxsize, stamp);

    LineBuffer text;
    text.append_format("[%s] %-5s PID: %6d TID: %6lu %s:%s(): ", stamp,
                       level_names[level < 0 || level > 6 ? 0 : level],
                       static_cast<int>(QZ_GetProcessId()),
                       static_cast<unsigned long>(QZ_GetThreadId()), qz__progname, function);
    text.append_vformat(fmt, ap);
    if (s_state.level == QZ_LOG_TRACE) text.append_format(" (%s:%d)", file, line);
    text.append("\n");
    append_to_file(path, text);
}

void write_console_line(int level, const char* function, const char* file, int line,
                        const char* stamp, const char* fmt, va_list ap) {
    int index = level < 0 || level > 6 ? 0 : level;
    LineBuffer text;
    text.append_format("[%s] %s%-5s PID: %6d TID: %6lu %s:%s(): ", stamp, level_colors[index],
                       level_names[index], static_cast<int>(QZ_GetProcessId()),
                       static_cast<unsigned long>(QZ_GetThreadId()), qz__progname, function);
    text.append_vformat(fmt, ap);
    text.append_format(" \033[90m(%s:%d)\033[0m \n", file, line);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

extern "C" {

void log_log(int level, const char* function, const char* file, int line, const char* fmt, ...) {
    if (s_state.level < level) return;
    if (s_state.filename == nullptr && s_state.screentrace == 0) return;
    if (function == nullptr) function = "";
    if (file == nullptr) file = "";
    if (fmt == nullptr) fmt = "";

    char stamp[42];
    format_timestamp(stamp);

    if (s_state.quiet == 0 || s_state.screentrace == 1) {
        va_list ap;
        va_start(ap, fmt);
        write_console_line(level, function, file, line, stamp, fmt, ap);
        va_end(ap);
    }

    const char* path = s_state.filename;
    if (path == nullptr || path[0] == '\0') return;

    log_LockFn lock = s_state.lock;
    void* udata = s_state.udata;
    if (lock != nullptr && lock(udata, 1) == -1) {
        std::fputs(
            "vendrix Anti-Virus: Debug-trace semaphore timeout. Trace line was possibly lost!\r\n",
            stderr);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(s_file_mutex);
        va_list ap;
        va_start(ap, fmt);
        write_file_line(level, function, file, line, stamp, fmt, ap, true);
        va_end(ap);
    }
    if (lock != nullptr) lock(udata, 0);
}

int QZOpenTraceFile(const char* path, int level, uint64_t max_size_mb) {
    if (path != nullptr && path[0] != '\0' && level != 0) {
        s_state.udata = nullptr;
        s_state.lock = nullptr;
        s_state.filename = path;
        s_state.maxsize = max_size_mb;
        s_state.level = level < 0 ? QZ_LOG_ERROR : level;
        s_state.screentrace = 0;
        return 0;
    }
    LOG_INFO("No trace configured");
    s_state.udata = nullptr;
    s_state.lock = nullptr;
    s_state.filename = nullptr;
    s_state.level = 0;
    return 0;
}

void QZCloseTraceFile(void) {
    auto* sem = static_cast<QZ_SEM_HANDLE>(s_state.udata.load());
    if (sem == nullptr) return;
    QZsem_timedwait(sem, 5000);
    s_state.quiet = 1;
    s_state.lock = nullptr;
    s_state.udata = nullptr;
    QZsem_post(sem);
    QZsem_close(sem);
}

void QZLogCheckLogSwitch(const char* path, uint64_t max_size_mb) {
    char stamp[42];
    format_timestamp(stamp);
    std::lock_guard<std::mutex> guard(s_file_mutex);
    check_log_switch_locked(path, max_size_mb, stamp);
}

int QZLogLock(void* semaphore, int action) {
    if (semaphore == nullptr) {
        LOG_ERROR("Invalid semaphore handle");
        return -1;
    }
    auto* sem = static_cast<QZ_SEM_HANDLE>(semaphore);
    if (action == 1) return QZsem_timedwait(sem, 5000) == 0 ? 0 : -1;
    if (action == 0) return QZsem_post(sem);
    LOG_ERROR("Invalid action parameter value");
    return -1;
}

void log_set_udata(void* udata) { s_state.udata = udata; }
void* log_get_udata(void) { return s_state.udata; }
void log_set_lock(log_LockFn fn) { s_state.lock = fn; }
void log_set_level(int level) { s_state.level = level; }
int log_get_level(void) { return s_state.level; }
void log_set_quiet(int enable) { s_state.quiet = enable != 0; }
void log_set_screentrace(int enable) { s_state.screentrace = enable != 0; }
void log_set_filename(const char* path) { s_state.filename = path; }
const char* log_get_filename(void) { return s_state.filename; }
void log_set_maxsize(uint64_t max_size_mb) { s_state.maxsize = max_size_mb; }
uint64_t log_get_maxsize(void) { return s_state.maxsize; }
}
