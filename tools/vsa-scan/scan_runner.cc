#include "scan_runner.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "scan_report.h"

namespace vsascan {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kProgressThreshold = 20;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr size_t kReadChunk = 64 * 1024;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

// Everything the descriptor yields up to its end; a file that grows or shrinks while being read
// gives what was there when it was read, never a fault.
bool read_all(int fd, std::vector<uint8_t>* bytes, std::string* error) {
    try {
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
            bytes->reserve(static_cast<size_t>(info.st_size));
        size_t used = 0;
        for (;;) {
            if (bytes->size() < used + kReadChunk) bytes->resize(used + kReadChunk);
            ssize_t n = read(fd, bytes->data() + used, kReadChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *error = std::string("cannot read: ") + strerror(errno);
                return false;
            }
            if (n == 0) break;
            used += static_cast<size_t>(n);
        }
        bytes->resize(used);
        return true;
    } catch (const std::bad_alloc&) {
        *error = "cannot read: too large to hold in memory";
        return false;
    }
}

// The line on stderr that says how far the run is. Only drawn while stderr is a terminal (or when
// forced); when stdout goes to the same terminal the line is wiped before each object line, so
// the two never mix.
class ProgressLine {
  public:
    ProgressLine(ProgressMode mode, size_t total) : total_(total) {
        enabled_ = mode == ProgressMode::kAlways ||
                   (mode == ProgressMode::kAuto && isatty(STDERR_FILENO) == 1 &&
                    total >= kProgressThreshold);
        shares_terminal_ = enabled_ && isatty(STDOUT_FILENO) == 1;
    }

    void before_line() {
        if (drawn_ && shares_terminal_) {
            fputs("\r\033[K", stderr);
            drawn_ = false;
        }
    }

    void after_line(const RunTally& tally, Clock::time_point start) {
        if (!enabled_) return;
        Clock::time_point now = Clock::now();
        if (drawn_ && now - last_draw_ < kProgressInterval && tally.objects < total_) return;
        double elapsed = seconds_between(start, now);
        fprintf(stderr, "\r[%zu/%zu] %3.0f%%  %.1f objects/s  findings=%zu errors=%zu\033[K",
                tally.objects, total_,
                100.0 * static_cast<double>(tally.objects) /
                    static_cast<double>(total_ == 0 ? 1 : total_),
                elapsed > 0 ? static_cast<double>(tally.objects) / elapsed : 0.0, tally.findings,
                tally.errors);
        fflush(stderr);
        drawn_ = true;
        last_draw_ = now;
    }

    void finish() {
        if (drawn_) fputs("\r\033[K", stderr);
        drawn_ = false;
    }

  private:
    size_t total_;
    bool enabled_ = false;
    bool shares_terminal_ = false;
    bool drawn_ = false;
    Clock::time_point last_draw_{};
};

class Runner {
  public:
    Runner(const AdapterLibrary& adapter, VSA_INIT* init, VSA_OPTPARAMS* optional,
           const std::vector<ScanObject>& objects, const RunSettings& settings,
           const std::atomic<bool>& stop)
        : adapter_(adapter),
          init_(init),
          optional_(optional),
          objects_(objects),
          settings_(settings),
          stop_(stop),
          progress_(settings.progress, objects.size()) {}

    RunTally run() {
        start_ = Clock::now();
        unsigned threads = settings_.threads;
        if (threads > objects_.size()) threads = static_cast<unsigned>(objects_.size());
        std::vector<std::thread> workers;
        try {
            for (unsigned i = 0; i < threads; ++i) {
                workers.emplace_back([this, i] {
                    char name[16];
                    snprintf(name, sizeof name, "vsa-scan-%u", i);
                    pthread_setname_np(pthread_self(), name);
                    work();
                });
            }
        } catch (const std::system_error& e) {
            // Fewer threads than asked for still scan everything.
            std::lock_guard<std::mutex> lock(output_);
            fprintf(stderr, "vsa-scan: started %zu of %u threads: %s\n", workers.size(), threads,
                    e.what());
        }
        if (workers.empty()) work();
        for (std::thread& worker : workers) worker.join();
        std::lock_guard<std::mutex> lock(output_);
        progress_.finish();
        tally_.seconds = seconds_between(start_, Clock::now());
        tally_.skipped = objects_.size() - tally_.objects;
        return tally_;
    }

  private:
    void work() {
        for (;;) {
            if (stop_.load()) return;
            size_t index = next_.fetch_add(1);
            if (index >= objects_.size()) return;
            ObjectReport report;
            bool release_failed = false;
            std::string release_message;
            try {
                report = scan(objects_[index], static_cast<uint32_t>(index + 1), &release_failed,
                              &release_message);
            } catch (const std::exception& e) {
                report = report_not_scanned(display_name(objects_[index]),
                                            std::string("vsa-scan failed: ") + e.what());
            }
            publish(report, release_failed, release_message);
        }
    }

    std::string display_name(const ScanObject& object) const {
        return object.from_stdin ? settings_.stdin_name : object.path;
    }

    ObjectReport scan(const ScanObject& object, uint32_t job_id, bool* release_failed,
                      std::string* release_message) {
        std::string name = display_name(object);
        // A host's buffer of length 0 still has an address.
        static uint8_t empty_buffer[1] = {0};
        std::vector<uint8_t> bytes;
        uint64_t size = 0;

        VSA_SCANPARAM request{};
        request.struct_size = sizeof request;
        request.tActioncode = settings_.action;
        request.pszObjectname = name.data();
        request.uiJobID = job_id;

        if (object.from_stdin || settings_.mode == ScanMode::kBuffer) {
            FdCloser file{object.from_stdin ? -1 : open(object.path.c_str(), O_RDONLY | O_CLOEXEC)};
            if (!object.from_stdin && file.fd < 0)
                return report_not_scanned(name, std::string("cannot open: ") + strerror(errno));
            std::string error;
            if (!read_all(object.from_stdin ? STDIN_FILENO : file.fd, &bytes, &error))
                return report_not_scanned(name, error);
            request.tScanMethod = VSA_SCANMETHOD_BYTES;
            request.pbBytes = bytes.empty() ? empty_buffer : bytes.data();
            request.lLength = bytes.size();
            size = bytes.size();
        } else {
            // The library maps the file itself; opening it here first turns an unreadable file
            // into a plain reason instead of whatever the library makes of it.
            FdCloser file{open(object.path.c_str(), O_RDONLY | O_CLOEXEC)};
            if (file.fd < 0)
                return report_not_scanned(name, std::string("cannot open: ") + strerror(errno));
            struct stat info {};
            if (fstat(file.fd, &info) == 0) size = static_cast<uint64_t>(info.st_size);
            request.tScanMethod = VSA_SCANMETHOD_FILE;
        }

        VSA_SCANINFO* info = nullptr;
        Clock::time_point begin = Clock::now();
        VSA_RC rc = adapter_.scan(init_, nullptr, &request, optional_, &info);
        double ms = seconds_between(begin, Clock::now()) * 1000.0;
        ObjectReport report = report_from_records(name, rc, info);
        report.ms = ms;
        if (report.size == 0) report.size = size;
        if (info != nullptr) {
            VSA_RC released = adapter_.release_scan(&info);
            if (released != VSA_OK) {
                *release_failed = true;
                *release_message = "vsa-scan: " + name + ": VsaReleaseScan answered " +
                                   std::to_string(released) + " (" + vsa_code_name(released) +
                                   ")\n";
            }
        }
        return report;
    }

    void publish(const ObjectReport& report, bool release_failed,
                 const std::string& release_message) {
        std::string line = settings_.json ? json_line(report) : text_line(report);
        std::lock_guard<std::mutex> lock(output_);
        ++tally_.objects;
        switch (report.outcome()) {
            case Outcome::kClean:
                ++tally_.clean;
                break;
            case Outcome::kFinding:
                ++tally_.findings;
                break;
            case Outcome::kError:
                ++tally_.errors;
                break;
        }
        if (release_failed) ++tally_.errors;
        progress_.before_line();
        fputs(line.c_str(), stdout);
        if (release_failed) fputs(release_message.c_str(), stderr);
        progress_.after_line(tally_, start_);
    }

    const AdapterLibrary& adapter_;
    VSA_INIT* init_;
    VSA_OPTPARAMS* optional_;
    const std::vector<ScanObject>& objects_;
    const RunSettings& settings_;
    const std::atomic<bool>& stop_;
    std::atomic<size_t> next_{0};
    Clock::time_point start_{};

    std::mutex output_;  // guards stdout, stderr, tally_ and progress_
    RunTally tally_;
    ProgressLine progress_;
};

}  // namespace

RunTally run_scans(const AdapterLibrary& adapter, VSA_INIT* init, VSA_OPTPARAMS* optional,
                   const std::vector<ScanObject>& objects, const RunSettings& settings,
                   const std::atomic<bool>& stop) {
    Runner runner(adapter, init, optional, objects, settings, stop);
    return runner.run();
}

}  // namespace vsascan
