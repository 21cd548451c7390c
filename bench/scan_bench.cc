// VsaScan end to end, in one run against a farm on loopback: a nats-server provisioned with the
// built qz-av-provision, qz-av-control, qz-av-dummy and qz-av-eventsink from QZ_BIN_DIR, and the
// staged libqzAV.so (with libqzvsa.so beside it) loaded by dlopen from a private installation
// directory, as a host loads it. Prints a table of the figures and their ratios against the goals:
//
//   1. VsaScan of a 1 KiB buffer (dummy engine only) against one raw cnats request/reply round
//      trip of 1 KiB to a trivial responder on the same broker (goal: at most 3 times);
//   2. scans per second (VsaScan + VsaReleaseScan) on 1, 2 and 8 host threads sharing one init
//      handle (goal: 2 threads at least 1.7 times 1 thread);
//   3. a 256 MiB file scan: its staging throughput (from the library's own trace timestamps:
//      the mapping of the file to the line that reports the payload staged) against synchronous
//      KV puts of the same 512 KiB chunks from the same mapped file (goal: at least 0.8 times),
//      and the peak resident memory it adds to an idle host process (goal: at most 8 MiB).
//
// 1 and 2 run twice: with the broker provisioned without work queues (scan requests go over core
// request/reply) and then with the dummy's work queue. Besides the goals, the run prints where the
// time of a small scan goes (its broker and disk steps timed one by one, on one and on two threads)
// and the CPU time every process of the farm spent per scan, with the load of the whole machine
// and its disk, which is what bounds the thread scaling on a small shared machine.
//
// Each measurement runs in a child process forked before anything touched the broker client:
// libqzvsa tears down the client's process-wide state at its last VsaEnd, and a fresh process
// gives the memory figures a clean baseline. docs/performance.md explains the figures.
//
// Usage: qz_scan_bench [directory] [file MiB] [seconds per throughput run]
// The directory (default $TMPDIR or /tmp) holds the installation, the large file and the run
// directory; it should be on a disk, not tmpfs. QZ_SCAN_BENCH_KEEP=1 keeps it afterwards (library
// traces, service logs, the events the sink received).
#include <dlfcn.h>
#include <fcntl.h>
#include <nats/nats.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connection/nats_kv.h"
#include "event/event_message.h"
#include "log/log.h"
#include "platform/host.h"
#include "platform/semaphore.h"
#include "pqueue/pqueue.h"
#include "qzav/vsa.h"
#include "support/bench_broker.h"
#include "util/md5.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kSmallObject = 1024;
constexpr size_t kChunk = QZ_NATS_KV_CHUNK_SIZE;
constexpr int kLatencyRounds = 5;
constexpr int kLatencyPerRound = 100;
constexpr int kBreakdownCount = 100;
constexpr int kThroughputRounds = 3;
constexpr int kFileRounds = 3;
const int kThreadCounts[] = {1, 2, 8};
constexpr const char* kEchoSubject = "qzbench.echo";
constexpr const char* kAsapEchoSubject = "qzbench.echo-asap";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double us_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A failure of the run: thrown, so that the farm's processes are stopped on the way out.
[[noreturn]] void fail(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw std::runtime_error(text);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out.flush()) fail("cannot write %s", path.c_str());
}

// ---------------------------------------------------------------------------------------------
// Processes of the farm.

class Service {
  public:
    // Runs QZ_BIN_DIR/<name> with --server, --ready-file and args; output goes to <dir>/<name>.log.
    Service(const std::string& name, const std::string& url, const std::string& dir,
            std::vector<std::string> args)
        : name_(name), ready_(dir + "/" + name + ".ready") {
        const std::string program = std::string(QZ_BIN_DIR) + "/" + name;
        if (access(program.c_str(), X_OK) != 0) fail("%s is not built", program.c_str());
        std::vector<std::string> argv_text = {program, "--server", url, "--ready-file", ready_};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string log = dir + "/" + name + ".log";
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto start = Clock::now();
        while (access(ready_.c_str(), F_OK) != 0) {
            if (ms_since(start) > 15000 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                fail("%s did not come up; see %s", name.c_str(), log.c_str());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Service() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    std::string ready_;
    pid_t pid_ = -1;
};

// qz-av-provision with the work queue of one service or none, retried while the broker comes up
// (this process never connects itself: the children must start with an untouched broker client).
void provision(const std::string& url, const std::string& dir, const std::string& work_queue) {
    const std::string command = std::string(QZ_PROVISION_TOOL) + " --url " + url + " " +
                                work_queue + " > " + dir + "/provision.log 2>&1";
    const auto start = Clock::now();
    while (std::system(command.c_str()) != 0) {
        if (ms_since(start) > 15000) fail("provisioning failed; see %s/provision.log", dir.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// ---------------------------------------------------------------------------------------------
// CPU accounting from /proc.

// utime + stime of a process in clock ticks; -1 when it is gone.
long process_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return -1;
    // The command name may hold blanks; the fields after it are counted from its closing ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = atol(field.c_str());
        if (i == 15) stime = atol(field.c_str());
    }
    return utime + stime;
}

struct MachineTicks {
    long busy = 0, iowait = 0, total = 0;
};

// Ticks of the whole machine: busy (neither idle nor waiting for I/O), waiting for I/O, all.
MachineTicks machine_ticks() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    long values[8] = {};
    in >> cpu;
    for (long& v : values) in >> v;
    MachineTicks ticks;
    for (long v : values) ticks.total += v;
    ticks.iowait = values[4];
    ticks.busy = ticks.total - values[3] - values[4];
    return ticks;
}

// The block device's counters (/proc/diskstats): milliseconds it was busy, writes and cache
// flushes (what fsync turns into) completed.
struct DiskTicks {
    double busy_ms = 0, writes = 0, flushes = 0;
};

DiskTicks disk_ticks(dev_t device) {
    std::ifstream in("/proc/diskstats");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned major_number = 0, minor_number = 0;
        std::string name;
        fields >> major_number >> minor_number >> name;
        if (major_number != major(device) || minor_number != minor(device)) continue;
        std::vector<double> values;
        double v = 0;
        while (fields >> v) values.push_back(v);
        DiskTicks ticks;
        if (values.size() >= 10) {
            ticks.writes = values[4];
            ticks.busy_ms = values[9];
        }
        if (values.size() >= 16) ticks.flushes = values[15];
        return ticks;
    }
    return {};
}

struct CpuSample {
    std::vector<long> ticks;
    MachineTicks machine;
    DiskTicks disk;
    Clock::time_point when;
};

// The device that holds the run's directory (set before the children start).
dev_t g_disk = 0;

CpuSample sample_cpu(const std::vector<pid_t>& pids) {
    CpuSample sample;
    for (pid_t pid : pids) sample.ticks.push_back(process_ticks(pid));
    sample.machine = machine_ticks();
    sample.disk = disk_ticks(g_disk);
    sample.when = Clock::now();
    return sample;
}

// ---------------------------------------------------------------------------------------------
// Memory figures of this process in KiB.

long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line[n] == ':') return atol(line.c_str() + n + 1);
    }
    return -1;
}

// Resets VmHWM to the current RSS, so that the next reading is the peak of what follows.
bool reset_peak_rss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    return static_cast<bool>(out.flush());
}

// ---------------------------------------------------------------------------------------------
// Results from a child: "name value" lines through a pipe.

using Results = std::map<std::string, double>;

class Reporter {
  public:
    explicit Reporter(int fd) : fd_(fd) {}
    void put(const std::string& name, double value) {
        char line[256];
        const int n = snprintf(line, sizeof line, "%s %.6f\n", name.c_str(), value);
        if (write(fd_, line, static_cast<size_t>(n)) != n) _exit(3);
    }

  private:
    int fd_;
};

Results run_child(const char* what, const std::function<void(Reporter&)>& body) {
    int fds[2];
    if (pipe(fds) != 0) fail("pipe failed");
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(300);  // never hang the run
        Reporter reporter(fds[1]);
        try {
            body(reporter);
        } catch (const std::exception& e) {
            fprintf(stderr, "qz_scan_bench (child): %s\n", e.what());
            _exit(2);
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the %s child failed (status %d)", what, status);
    }
    Results results;
    std::istringstream lines(text);
    std::string name;
    double value = 0;
    while (lines >> name >> value) results[name] = value;
    return results;
}

[[noreturn]] void child_fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "qz_scan_bench (child %d): ", static_cast<int>(getpid()));
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    _exit(2);
}

// ---------------------------------------------------------------------------------------------
// The adapter as a host drives it.

// An installation directory "<base>/qz-av-vsa/latest/lib" with copies of the staged libraries and
// a configuration with the given trace level and a scan time-out for large objects.
void stage_installation(const std::string& base, const std::string& trace_file, int trace_level) {
    const std::string lib = base + "/qz-av-vsa/latest/lib";
    fs::create_directories(lib);
    fs::create_directories(base + "/config");
    for (const char* name : {"libqzAV.so", "libqzvsa.so"}) {
        fs::copy_file(std::string(QZ_STAGE_LIB_DIR) + "/" + name, lib + "/" + name,
                      fs::copy_options::overwrite_existing);
    }
    write_text(base + "/config/qzvsa4.cfg", "[TRACE]\nTRACEFILE = " + trace_file +
                                                "\nTRACELEVEL = " + std::to_string(trace_level) +
                                                "\n[SCAN]\nSCANTIMEOUT = 120000\n");
}

// The job-ID semaphore of an installation is named after the SID and a hash of the directory;
// it outlives the processes, so the run removes the ones it made.
void remove_job_semaphore(const std::string& base) {
    char host[256] = {};
    qz_gethostname(host, sizeof host);
    const char* sid_env = getenv("SAPSYSTEMNAME");
    const std::string sid = sid_env != nullptr && *sid_env != '\0' ? sid_env : host;
    std::error_code ec;
    const std::string directory = fs::canonical(base, ec).string();
    constexpr size_t kField = 4095;
    std::string block(kField * 3, '\0');
    const std::string texts[] = {directory, sid, host};
    for (size_t i = 0; i < 3; ++i) texts[i].copy(&block[i * kField], kField - 1);
    md5_state_t state;
    md5_byte_t digest[16];
    md5_init(&state);
    md5_append(&state, reinterpret_cast<const md5_byte_t*>(block.data()), block.size());
    md5_finish(&state, digest);
    std::string name = "/qz_jobID_" + sid + "_";
    char hex[3];
    for (size_t i = 1; i < 16; ++i) {
        snprintf(hex, sizeof hex, "%02x", digest[i]);
        name += hex;
    }
    QZsem_remove(name.c_str());
}

class Adapter {
  public:
    // Loads the adapter of the installation in base and runs VsaStartup and VsaInit.
    Adapter(const std::string& base, const std::string& url) {
        const std::string path = base + "/qz-av-vsa/latest/lib/libqzAV.so";
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) child_fail("dlopen %s: %s", path.c_str(), dlerror());
        resolve("VsaStartup", &startup_);
        resolve("VsaInit", &init_);
        resolve("VsaScan", &scan_);
        resolve("VsaReleaseScan", &release_);
        resolve("VsaEnd", &end_);
        resolve("VsaCleanup", &cleanup_);
        if (startup_() != VSA_OK) child_fail("VsaStartup failed");

        std::vector<std::pair<uint32_t, std::string>> texts = {
            {VSA_INITDRIVERS, url}, {VSA_INITDIRECTORY, base}, {VSA_INITENGINES, "dummy"}};
        texts_ = texts;
        for (auto& [code, text] : texts_)
            add_param(code, VSA_TYPE_STRING, text.size(), text.data());
        add_param(VSA_INITTIMEOUT, VSA_TYPE_TIMEOUT, 4, reinterpret_cast<void*>(intptr_t{30}));
        VSA_INITPARAMS params{};
        params.usCount = static_cast<uint16_t>(records_.size());
        params.pParams = records_.data();
        const VSA_RC rc = init_(nullptr, &params, &init_handle_);
        if (rc != VSA_OK) {
            child_fail("VsaInit answered %d: %s", static_cast<int>(rc),
                       init_handle_ != nullptr && init_handle_->pszErrorText != nullptr
                           ? init_handle_->pszErrorText
                           : "(no text)");
        }
    }
    ~Adapter() {
        end_(&init_handle_, nullptr);
        cleanup_();
        dlclose(handle_);
    }
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // One scan of a buffer or a file, its record released; the VSA code.
    VSA_RC scan_buffer(const uint8_t* bytes, size_t length, const char* name) const {
        VSA_SCANPARAM request{};
        request.struct_size = sizeof request;
        request.tScanMethod = VSA_SCANMETHOD_BYTES;
        request.tActioncode = VSA_ACTION_SCAN;
        request.pszObjectname = const_cast<char*>(name);
        request.pbBytes = const_cast<uint8_t*>(bytes);
        request.lLength = length;
        return scan(&request, nullptr);
    }
    VSA_RC scan_file(const std::string& path) const {
        VSA_SCANPARAM request{};
        request.struct_size = sizeof request;
        request.tScanMethod = VSA_SCANMETHOD_FILE;
        request.tActioncode = VSA_ACTION_SCAN;
        request.pszObjectname = const_cast<char*>(path.c_str());
        return scan(&request, nullptr);
    }
    // One scan; the record goes to *keep for a separate release, or is released when keep is
    // NULL.
    VSA_RC scan(VSA_SCANPARAM* request, VSA_SCANINFO** keep) const {
        VSA_SCANINFO* info = nullptr;
        const VSA_RC rc = scan_(init_handle_, nullptr, request, nullptr, &info);
        if (keep != nullptr) {
            *keep = info;
        } else if (info != nullptr) {
            release_(&info);
        }
        return rc;
    }
    void release(VSA_SCANINFO** info) const { release_(info); }

  private:
    template <typename Fn>
    void resolve(const char* name, Fn* slot) {
        void* address = dlsym(handle_, name);
        if (address == nullptr) child_fail("the adapter lacks %s", name);
        *slot = reinterpret_cast<Fn>(address);
    }
    void add_param(uint32_t code, uint32_t type, size_t length, void* value) {
        VSA_INITPARAM record{};
        record.struct_size = sizeof record;
        record.tCode = code;
        record.tType = type;
        record.lLength = length;
        record.pvValue = value;
        records_.push_back(record);
    }

    void* handle_ = nullptr;
    decltype(&VsaStartup) startup_ = nullptr;
    decltype(&VsaInit) init_ = nullptr;
    decltype(&VsaScan) scan_ = nullptr;
    decltype(&VsaReleaseScan) release_ = nullptr;
    decltype(&VsaEnd) end_ = nullptr;
    decltype(&VsaCleanup) cleanup_ = nullptr;
    std::vector<std::pair<uint32_t, std::string>> texts_;
    std::vector<VSA_INITPARAM> records_;
    VSA_INIT* init_handle_ = nullptr;
};

std::vector<uint8_t> small_object() {
    std::vector<uint8_t> bytes(kSmallObject);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>('a' + i % 26);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Raw broker client: a trivial responder and a requester on connections of their own.

void echo(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
    if (natsMsg_GetReply(msg) != nullptr)
        natsConnection_PublishString(nc, natsMsg_GetReply(msg), "ok");
    natsMsg_Destroy(msg);
}

class RawClient {
  public:
    explicit RawClient(const std::string& url) {
        natsOptions* options = nullptr;
        if (natsOptions_Create(&options) != NATS_OK ||
            natsOptions_SetURL(options, url.c_str()) != NATS_OK ||
            natsOptions_SetSendAsap(options, true) != NATS_OK ||
            natsConnection_ConnectTo(&responder_, url.c_str()) != NATS_OK ||
            natsConnection_Connect(&asap_responder_, options) != NATS_OK ||
            natsConnection_ConnectTo(&requester_, url.c_str()) != NATS_OK) {
            child_fail("cannot connect to %s", url.c_str());
        }
        natsOptions_Destroy(options);
        if (natsConnection_Subscribe(&subscription_, responder_, kEchoSubject, echo, nullptr) !=
                NATS_OK ||
            natsConnection_Subscribe(&asap_subscription_, asap_responder_, kAsapEchoSubject, echo,
                                     nullptr) != NATS_OK ||
            natsConnection_Flush(responder_) != NATS_OK ||
            natsConnection_Flush(asap_responder_) != NATS_OK) {
            child_fail("cannot subscribe");
        }
        config_.conn = requester_;
        if (natsConnection_JetStream(&config_.js, requester_, nullptr) != NATS_OK)
            child_fail("no JetStream context");
    }
    ~RawClient() {
        qz_nats_kv_release_handles(&config_);
        jsCtx_Destroy(config_.js);
        natsSubscription_Destroy(asap_subscription_);
        natsSubscription_Destroy(subscription_);
        natsConnection_Destroy(requester_);
        natsConnection_Destroy(asap_responder_);
        natsConnection_Destroy(responder_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // One round trip of `length` bytes; microseconds. The plain responder publishes its reply as
    // cnats does by default (and as the services do): buffered, sent by the connection's flusher.
    // The other sends it at once (natsOptions_SetSendAsap).
    double round_trip(const uint8_t* bytes, size_t length, bool asap = false) {
        natsMsg* reply = nullptr;
        const auto start = Clock::now();
        if (natsConnection_Request(&reply, requester_, asap ? kAsapEchoSubject : kEchoSubject,
                                   bytes, static_cast<int>(length), 5000) != NATS_OK) {
            child_fail("raw request failed");
        }
        const double us = us_since(start);
        natsMsg_Destroy(reply);
        return us;
    }
    qz_connection_config* config() { return &config_; }

  private:
    natsConnection* responder_ = nullptr;
    natsConnection* asap_responder_ = nullptr;
    natsConnection* requester_ = nullptr;
    natsSubscription* subscription_ = nullptr;
    natsSubscription* asap_subscription_ = nullptr;
    qz_connection_config config_{};
};

// ---------------------------------------------------------------------------------------------
// 1 and 2: latency, its parts, and throughput on 1, 2 and 8 threads, in one child.

struct Paths {
    std::string dir;
    std::string url;
    std::string base_small;  // installation for the small scans
    std::string base_file;   // installation for the large file, traced in detail
    std::string trace_file;  // its trace
    std::string large_file;
    std::string small_file;
    std::vector<pid_t> farm_pids;  // broker, control, dummy, sink
    std::vector<std::string> farm_names;
};

void time_steps(const Paths& paths, RawClient& raw, const std::vector<uint8_t>& object, int threads,
                const std::string& prefix, Reporter& out);
void measure_throughput(const Paths& paths, const Adapter& adapter,
                        const std::vector<uint8_t>& object, double seconds, Reporter& out);
double jobs_queued(RawClient& raw);

// Waits (up to 20 s) until the event queue's data directory holds no entries.
void wait_for_empty_queue(const std::string& directory) {
    const auto start = Clock::now();
    while (ms_since(start) < 20000) {
        std::error_code ec;
        size_t entries = 0;
        for (const auto& entry : fs::directory_iterator(directory, ec)) {
            (void)entry;
            ++entries;
        }
        if (ec || entries == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The breakdown times the steps of a scan on the core route; the work-queue route skips it.
void small_scans(const Paths& paths, double seconds, bool breakdown, Reporter& out) {
    Adapter adapter(paths.base_small, paths.url);
    RawClient raw(paths.url);
    const std::vector<uint8_t> object = small_object();

    for (int i = 0; i < 50; ++i) {
        raw.round_trip(object.data(), object.size());
        if (adapter.scan_buffer(object.data(), object.size(), "warm-up.txt") != VSA_OK)
            child_fail("a clean 1 KiB scan did not answer VSA_OK");
    }

    // Interleaved rounds, so both see the same load of the machine.
    std::vector<double> raw_us, asap_us, scan_us, cycle_us;
    for (int round = 0; round < kLatencyRounds; ++round) {
        for (int i = 0; i < kLatencyPerRound; ++i) {
            raw_us.push_back(raw.round_trip(object.data(), object.size()));
            asap_us.push_back(raw.round_trip(object.data(), object.size(), true));
        }
        for (int i = 0; i < kLatencyPerRound; ++i) {
            VSA_SCANPARAM request{};
            request.struct_size = sizeof request;
            request.tScanMethod = VSA_SCANMETHOD_BYTES;
            request.tActioncode = VSA_ACTION_SCAN;
            request.pszObjectname = const_cast<char*>("object.txt");
            request.pbBytes = const_cast<uint8_t*>(object.data());
            request.lLength = object.size();
            VSA_SCANINFO* info = nullptr;
            const auto start = Clock::now();
            const VSA_RC rc = adapter.scan(&request, &info);
            scan_us.push_back(us_since(start));
            if (info != nullptr) adapter.release(&info);
            cycle_us.push_back(us_since(start));
            if (rc != VSA_OK) child_fail("a clean 1 KiB scan answered %d", static_cast<int>(rc));
        }
    }
    out.put("raw_us_p50", percentile(raw_us, 0.5));
    out.put("raw_us_p90", percentile(raw_us, 0.9));
    out.put("asap_us_p50", percentile(asap_us, 0.5));
    out.put("scan_us_p50", percentile(scan_us, 0.5));
    out.put("scan_us_p90", percentile(scan_us, 0.9));
    out.put("cycle_us_p50", percentile(cycle_us, 0.5));

    if (breakdown) {
        // The scans above left a backlog of events for the dispatcher; its disk work would
        // otherwise land on the first steps.
        wait_for_empty_queue(paths.base_small + "/run/VSA.pq/data");
        time_steps(paths, raw, object, 1, "", out);
        time_steps(paths, raw, object, 2, "two_", out);
    }
    measure_throughput(paths, adapter, object, seconds, out);
    out.put("jobs_queued", jobs_queued(raw));
}

// Jobs published into the dummy's work queue so far (0 without the queue): which route the
// scans took.
double jobs_queued(RawClient& raw) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&info, raw.config()->js, "JOBS_qz-av-dummy", nullptr, &code) != NATS_OK)
        return 0;
    const double jobs = static_cast<double>(info->State.LastSeq);
    jsStreamInfo_Destroy(info);
    return jobs;
}

// The steps a small scan takes besides its request, each timed alone with the same building
// blocks: staging the payload (chunk + metadata puts), the service's fetch of it, its deletion at
// release, the durable pushes of the scan's event and log message, the work-queue publish that
// fails first while the service has no queue, and one trace line. Run on `threads` threads at once
// (keys "<prefix>stage_us_p50", ...), to see which step slows down when two scans overlap.
void time_steps(const Paths& paths, RawClient& raw, const std::vector<uint8_t>& object, int threads,
                const std::string& prefix, Reporter& out) {
    struct Samples {
        std::vector<double> stage, fetch, unstage, push, queue, trace;
    };
    std::vector<Samples> samples(static_cast<size_t>(threads));
    const std::string queue_dir = paths.dir + "/breakdown-queue";
    fs::create_directories(queue_dir);
    qz_pqueue* queue = qz_pqueue_open(queue_dir.c_str(), "VSA.pq", 1000000, INT32_MAX, O_CREAT, 1);
    if (queue == nullptr) child_fail("cannot open a queue in %s", queue_dir.c_str());
    json_object* message = qz_log_create_message();
    json_object* data = json_object_new_object();
    json_object_object_add(data, "Result", json_object_new_string("CLEAN"));
    json_object_object_add(data, "Object", json_object_new_string("object.txt"));
    qz_log_add_scanlog_section(message, "", "default", data);
    const std::string job = R"({"Command":101,"ObjectName":"object.txt","ObjectLen":1024})";
    const std::string trace_file = paths.dir + "/breakdown-trace.log";

    auto steps = [&](Samples& out_samples) {
        for (int i = 0; i < kBreakdownCount; ++i) {
            char* key = nullptr;
            auto start = Clock::now();
            if (qz_nats_stage_scan_data(raw.config(), object.data(), object.size(), 60000, &key,
                                        nullptr) != 0) {
                child_fail("staging failed");
            }
            out_samples.stage.push_back(us_since(start));
            unsigned char* fetched = nullptr;
            size_t fetched_size = 0;
            start = Clock::now();
            if (kvstore_get_chunked(raw.config(), key, &fetched, &fetched_size) != 0)
                child_fail("fetching the staged payload failed");
            out_samples.fetch.push_back(us_since(start));
            free(fetched);
            start = Clock::now();
            qz_nats_unstage_scan_data(raw.config(), key);
            out_samples.unstage.push_back(us_since(start));
            free(key);

            start = Clock::now();
            if (qz_log_enqueue(queue, 'E', message) != 0 ||
                qz_log_enqueue(queue, 'L', message) != 0) {
                child_fail("enqueue failed");
            }
            out_samples.push.push_back(us_since(start));

            jsPubAck* ack = nullptr;
            start = Clock::now();
            const natsStatus s = js_Publish(&ack, raw.config()->js, "jobs.qz-av-dummy", job.data(),
                                            static_cast<int>(job.size()), nullptr, nullptr);
            out_samples.queue.push_back(us_since(start));
            jsPubAck_Destroy(ack);
            if (s != NATS_NO_RESPONDERS) child_fail("a publish without a queue answered %d", s);

            // The trace settings are process-wide: timed on one thread only.
            if (threads == 1) {
                QZOpenTraceFile(trace_file.c_str(), QZ_LOG_WARN, 0);
                start = Clock::now();
                LOG_WARN("Object %s not found", "SCANEXTRACT");
                out_samples.trace.push_back(us_since(start));
                QZOpenTraceFile(nullptr, 0, 0);
            }
        }
    };
    std::vector<std::thread> workers;
    for (Samples& each : samples) workers.emplace_back(steps, std::ref(each));
    for (auto& w : workers) w.join();
    json_object_put(message);
    qz_pqueue_purge(queue);
    qz_pqueue_close(queue);

    Samples all;
    for (const Samples& each : samples) {
        for (auto [from, to] : {std::pair{&each.stage, &all.stage},
                                {&each.fetch, &all.fetch},
                                {&each.unstage, &all.unstage},
                                {&each.push, &all.push},
                                {&each.queue, &all.queue},
                                {&each.trace, &all.trace}}) {
            to->insert(to->end(), from->begin(), from->end());
        }
    }
    out.put(prefix + "stage_us_p50", percentile(all.stage, 0.5));
    out.put(prefix + "fetch_us_p50", percentile(all.fetch, 0.5));
    out.put(prefix + "unstage_us_p50", percentile(all.unstage, 0.5));
    out.put(prefix + "push_us_p50", percentile(all.push, 0.5));
    out.put(prefix + "queue_us_p50", percentile(all.queue, 0.5));
    if (threads == 1) out.put(prefix + "trace_us_p50", percentile(all.trace, 0.5));
}

// Rounds over the thread counts (1, 2, 8, 1, 2, 8, ...: a change in the load of the machine hits
// every count alike), each a fixed time of scan + release per thread, with the CPU time every
// process of the farm spent meanwhile.
void measure_throughput(const Paths& paths, const Adapter& adapter,
                        const std::vector<uint8_t>& object, double seconds, Reporter& out) {
    std::vector<pid_t> pids = paths.farm_pids;
    pids.push_back(getpid());
    struct Tally {
        std::vector<double> cpu_ticks;
        double scans = 0, wall = 0, machine_busy = 0, machine_iowait = 0, machine_total = 0;
        double disk_busy_ms = 0, disk_writes = 0, disk_flushes = 0;
    };
    std::map<int, Tally> tallies;
    for (int round = 0; round < kThroughputRounds; ++round) {
        for (int threads : kThreadCounts) {
            Tally& tally = tallies[threads];
            tally.cpu_ticks.resize(pids.size(), 0.0);
            std::atomic<bool> stop{false};
            std::atomic<long> done{0}, failed{0};
            const CpuSample before = sample_cpu(pids);
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&] {
                    while (!stop.load(std::memory_order_relaxed)) {
                        if (adapter.scan_buffer(object.data(), object.size(), "object.txt") ==
                            VSA_OK) {
                            done.fetch_add(1);
                        } else {
                            failed.fetch_add(1);
                        }
                    }
                });
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            stop.store(true);
            for (auto& w : workers) w.join();
            const CpuSample after = sample_cpu(pids);
            if (failed.load() != 0) {
                child_fail("%ld scans failed on %d threads", failed.load(), threads);
            }
            for (size_t i = 0; i < pids.size(); ++i)
                tally.cpu_ticks[i] += static_cast<double>(after.ticks[i] - before.ticks[i]);
            tally.scans += static_cast<double>(done.load());
            tally.wall += std::chrono::duration<double>(after.when - before.when).count();
            tally.machine_busy += static_cast<double>(after.machine.busy - before.machine.busy);
            tally.machine_iowait +=
                static_cast<double>(after.machine.iowait - before.machine.iowait);
            tally.machine_total += static_cast<double>(after.machine.total - before.machine.total);
            tally.disk_busy_ms += after.disk.busy_ms - before.disk.busy_ms;
            tally.disk_writes += after.disk.writes - before.disk.writes;
            tally.disk_flushes += after.disk.flushes - before.disk.flushes;
        }
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto& [threads, tally] : tallies) {
        const std::string prefix = "t" + std::to_string(threads) + "_";
        out.put(prefix + "rate", tally.scans / tally.wall);
        double farm_ticks = 0;
        for (size_t i = 0; i < pids.size(); ++i) {
            out.put(prefix + "cpu_us_per_scan_" + std::to_string(i),
                    tally.cpu_ticks[i] / tick * 1e6 / tally.scans);
            farm_ticks += tally.cpu_ticks[i];
        }
        out.put(prefix + "cpu_us_per_scan_sum", farm_ticks / tick * 1e6 / tally.scans);
        // Cores busy: what the farm and this process account for, and the whole machine.
        out.put(prefix + "farm_cores_busy", farm_ticks / tick / tally.wall);
        const double cores = static_cast<double>(std::thread::hardware_concurrency());
        out.put(prefix + "machine_cores_busy", tally.machine_busy / tally.machine_total * cores);
        out.put(prefix + "machine_cores_iowait",
                tally.machine_iowait / tally.machine_total * cores);
        // The disk is shared with everything else on the machine; per scan is an upper bound.
        out.put(prefix + "disk_busy", tally.disk_busy_ms / 1000.0 / tally.wall);
        out.put(prefix + "disk_writes_per_scan", tally.disk_writes / tally.scans);
        out.put(prefix + "disk_flushes_per_scan", tally.disk_flushes / tally.scans);
    }
}

// ---------------------------------------------------------------------------------------------
// 3: the large file.

// Milliseconds since the epoch of a trace line's "YYYY-MM-DD HH:MM:SS.mmm" (UTC) stamp; -1 if
// the line has none.
double trace_stamp_ms(const std::string& line) {
    const size_t open = line.find('[');
    if (open == std::string::npos) return -1;
    struct tm broken {};
    int millis = 0;
    if (sscanf(line.c_str() + open + 1, "%d-%d-%d %d:%d:%d.%d", &broken.tm_year, &broken.tm_mon,
               &broken.tm_mday, &broken.tm_hour, &broken.tm_min, &broken.tm_sec, &millis) != 7) {
        return -1;
    }
    broken.tm_year -= 1900;
    broken.tm_mon -= 1;
    return static_cast<double>(timegm(&broken)) * 1000.0 + millis;
}

// The stamp of the last trace line that contains text.
double last_stamp_of(const std::string& trace_file, const std::string& text) {
    std::ifstream in(trace_file);
    std::string line;
    double stamp = -1;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos) stamp = trace_stamp_ms(line);
    }
    return stamp;
}

// Samples this process's anonymous and file-backed resident memory until stopped; keeps peaks.
class MemorySampler {
  public:
    MemorySampler()
        : thread_([this] {
              while (!stop_.load()) {
                  peak_anon_ = std::max(peak_anon_, status_kib("RssAnon"));
                  peak_file_ = std::max(peak_file_, status_kib("RssFile"));
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    // Stops and joins; the peaks are final afterwards.
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    ~MemorySampler() { stop(); }
    long peak_anon() const { return peak_anon_; }
    long peak_file() const { return peak_file_; }

  private:
    std::atomic<bool> stop_{false};
    long peak_anon_ = 0;
    long peak_file_ = 0;
    std::thread thread_;
};

void large_file_scan(const Paths& paths, Reporter& out) {
    Adapter adapter(paths.base_file, paths.url);
    // A small file first: code, mappings, buffers and the fault handler of file views are in
    // place before the baseline is taken.
    if (adapter.scan_file(paths.small_file) != VSA_OK) child_fail("the small file scan failed");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const bool reset = reset_peak_rss();
    const long rss_before = status_kib("VmRSS");
    const long anon_before = status_kib("RssAnon");
    const long file_before = status_kib("RssFile");
    auto sampler = std::make_unique<MemorySampler>();
    const auto start = Clock::now();
    const VSA_RC rc = adapter.scan_file(paths.large_file);
    const double scan_ms = ms_since(start);
    sampler->stop();
    const long hwm = status_kib("VmHWM");
    if (rc != VSA_OK) child_fail("the large file scan answered %d", static_cast<int>(rc));

    // Staging runs from the mapping of the file to the line that reports the payload staged.
    const double mapped = last_stamp_of(paths.trace_file, "Mapped ");
    const double staged = last_stamp_of(paths.trace_file, "staged payload once");
    if (mapped < 0 || staged < 0) child_fail("no staging lines in %s", paths.trace_file.c_str());
    out.put("stage_ms", staged - mapped);
    out.put("scan_ms", scan_ms);
    out.put("hwm_added_kib", reset ? static_cast<double>(hwm - rss_before) : -1);
    out.put("anon_added_kib", static_cast<double>(sampler->peak_anon() - anon_before));
    out.put("file_added_kib", static_cast<double>(sampler->peak_file() - file_before));
}

// Synchronous puts of the same chunks from the same mapped file, then the metadata value. With
// drop_behind each chunk's pages leave this process once put (the file stays in the page cache):
// what the resident figures look like when a reader of a mapping lets go of what it has sent.
void raw_puts(const Paths& paths, int round, bool drop_behind, Reporter& out) {
    natsConnection* nc = nullptr;
    if (natsConnection_ConnectTo(&nc, paths.url.c_str()) != NATS_OK) child_fail("cannot connect");
    jsCtx* js = nullptr;
    kvStore* kv = nullptr;
    if (natsConnection_JetStream(&js, nc, nullptr) != NATS_OK ||
        js_KeyValue(&kv, js, QZ_NATS_KV_SCAN_DATA_BUCKET) != NATS_OK) {
        child_fail("cannot bind %s", QZ_NATS_KV_SCAN_DATA_BUCKET);
    }
    // One small put first: buffers and the stream lookup are in place before the baseline.
    if (kvStore_PutString(nullptr, kv, "bench-raw-warm-up", "x") != NATS_OK)
        child_fail("warm-up put failed");
    const int fd = open(paths.large_file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    fstat(fd, &info);
    const size_t size = static_cast<size_t>(info.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) child_fail("cannot map %s", paths.large_file.c_str());
    const auto* bytes = static_cast<const uint8_t*>(mapped);
    const std::string base = "bench-raw-" + std::to_string(round);

    const bool reset = reset_peak_rss();
    const long rss_before = status_kib("VmRSS");
    const std::vector<pid_t> pids = {paths.farm_pids[0], getpid()};
    const CpuSample cpu_before = sample_cpu(pids);
    const auto start = Clock::now();
    size_t chunks = 0;
    for (size_t at = 0; at < size; at += kChunk, ++chunks) {
        const std::string key = base + "." + std::to_string(chunks);
        const size_t length = std::min(kChunk, size - at);
        if (kvStore_Put(nullptr, kv, key.c_str(), bytes + at, static_cast<int>(length)) !=
            NATS_OK) {
            child_fail("raw put of chunk %zu failed", chunks);
        }
        if (drop_behind) madvise(const_cast<uint8_t*>(bytes + at), length, MADV_DONTNEED);
    }
    const std::string meta =
        "{\"chunks\":" + std::to_string(chunks) + ",\"size\":" + std::to_string(size) + "}";
    if (kvStore_PutString(nullptr, kv, base.c_str(), meta.c_str()) != NATS_OK)
        child_fail("raw metadata put failed");
    out.put("put_ms", ms_since(start));
    const CpuSample cpu_after = sample_cpu(pids);
    const double tick_seconds = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const double wall = std::chrono::duration<double>(cpu_after.when - cpu_before.when).count();
    out.put("broker_cores",
            static_cast<double>(cpu_after.ticks[0] - cpu_before.ticks[0]) * tick_seconds / wall);
    out.put("client_cores",
            static_cast<double>(cpu_after.ticks[1] - cpu_before.ticks[1]) * tick_seconds / wall);
    out.put("hwm_added_kib", reset ? static_cast<double>(status_kib("VmHWM") - rss_before) : -1);
    munmap(mapped, size);
    close(fd);
    js_PurgeStream(js, "KV_" QZ_NATS_KV_SCAN_DATA_BUCKET, nullptr, nullptr);
    kvStore_Destroy(kv);
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
    nats_Close();
}

void make_file(const std::string& path, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create %s", path.c_str());
    std::vector<uint8_t> block(1 << 20);
    uint32_t x = 12345;
    for (size_t written = 0; written < size;) {
        for (auto& b : block) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        const size_t n = std::min(block.size(), size - written);
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n))
            fail("cannot write %s", path.c_str());
        written += n;
    }
    // On disk before measuring, so write-back does not run during the scans.
    fsync(fd);
    close(fd);
}

int run(int argc, char** argv) {
    const char* tmp = getenv("TMPDIR");
    const std::string parent = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
    const size_t file_mib = argc > 2 ? static_cast<size_t>(atol(argv[2])) : 256;
    const double seconds = argc > 3 ? atof(argv[3]) : 2.0;
    if (file_mib == 0 || seconds <= 0)
        fail("usage: qz_scan_bench [directory] [file MiB] [seconds]");
    log_set_quiet(1);
    QZOpenTraceFile(nullptr, 0, 0);
    signal(SIGPIPE, SIG_IGN);
    const auto run_start = Clock::now();

    std::string pattern = parent + "/qzbench-scan-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp in %s failed", parent.c_str());
    struct stat directory_info {};
    if (stat(pattern.c_str(), &directory_info) == 0) g_disk = directory_info.st_dev;
    Paths paths;
    paths.dir = pattern;
    // Also when the run fails: the job-ID semaphores and, unless kept, the directory.
    struct Cleanup {
        const Paths& paths;
        ~Cleanup() {
            remove_job_semaphore(paths.base_small);
            remove_job_semaphore(paths.base_file);
            if (getenv("QZ_SCAN_BENCH_KEEP") != nullptr) {
                printf("kept %s (traces, service logs, events)\n", paths.dir.c_str());
            } else {
                std::error_code ec;
                fs::remove_all(paths.dir, ec);
            }
        }
    } cleanup{paths};
    paths.base_small = paths.dir + "/inst-small";
    paths.base_file = paths.dir + "/inst-file";
    paths.trace_file = paths.dir + "/trace-file.log";
    paths.large_file = paths.dir + "/large.bin";
    paths.small_file = paths.dir + "/small.bin";
    stage_installation(paths.base_small, paths.dir + "/trace-small.log", 3);
    stage_installation(paths.base_file, paths.trace_file, 6);
    make_file(paths.small_file, 64 * 1024);
    printf("qz_scan_bench: directory %s, %u cores, file %zu MiB, %.1f s per throughput run\n",
           paths.dir.c_str(), std::thread::hardware_concurrency(), file_mib, seconds);
    fflush(stdout);

    Results core, queue;
    std::vector<double> dropped_put_ms, broker_cores, client_cores;
    double dropped_hwm_added = 0;
    std::vector<double> stage_ms, put_ms, scan_ms;
    double hwm_added = 0, anon_added = 0, file_added = 0, raw_hwm_added = 0;
    {
        qzbench::BenchBroker broker("qz-scan-bench");
        paths.url = broker.url();
        // First without work queues (the farm's default): scan requests go over core
        // request/reply, the route the raw round trip compares with.
        provision(paths.url, paths.dir, "");
        write_text(paths.dir + "/control.cfg",
                   "[CONTROL]\nTENANTID = bench\nREALMNAME = bench\n[SCAN]\nSCANBESTEFFORT = 1\n");
        Service control("qz-av-control", paths.url, paths.dir,
                        {"--config", paths.dir + "/control.cfg", "--trace-level", "0"});
        Service sink("qz-av-eventsink", paths.url, paths.dir,
                     {"--out", paths.dir + "/events.jsonl", "--trace-level", "0"});
        const std::vector<std::string> dummy_args = {"--trace-level", "0"};
        auto dummy = std::make_unique<Service>("qz-av-dummy", paths.url, paths.dir, dummy_args);
        paths.farm_pids = {broker.pid(), control.pid(), dummy->pid(), sink.pid()};
        paths.farm_names = {"nats-server", "qz-av-control", "qz-av-dummy", "qz-av-eventsink"};

        printf("small scans, core route ...\n");
        fflush(stdout);
        core = run_child("small scan (core route)",
                         [&](Reporter& out) { small_scans(paths, seconds, true, out); });

        printf("%zu MiB file ...\n", file_mib);
        fflush(stdout);
        make_file(paths.large_file, file_mib << 20);
        // Read once, so the first round finds the file in the page cache like the others.
        run_child("page cache", [&](Reporter&) {
            std::ifstream in(paths.large_file, std::ios::binary);
            std::vector<char> buffer(1 << 20);
            while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
            }
        });
        for (int round = 0; round < kFileRounds; ++round) {
            Results file =
                run_child("large file", [&](Reporter& out) { large_file_scan(paths, out); });
            stage_ms.push_back(file["stage_ms"]);
            scan_ms.push_back(file["scan_ms"]);
            hwm_added = std::max(hwm_added, file["hwm_added_kib"]);
            anon_added = std::max(anon_added, file["anon_added_kib"]);
            file_added = std::max(file_added, file["file_added_kib"]);
            Results raw =
                run_child("raw puts", [&](Reporter& out) { raw_puts(paths, round, false, out); });
            put_ms.push_back(raw["put_ms"]);
            broker_cores.push_back(raw["broker_cores"]);
            client_cores.push_back(raw["client_cores"]);
            raw_hwm_added = std::max(raw_hwm_added, raw["hwm_added_kib"]);
            Results dropped = run_child("raw puts, pages dropped", [&](Reporter& out) {
                raw_puts(paths, kFileRounds + round, true, out);
            });
            dropped_put_ms.push_back(dropped["put_ms"]);
            dropped_hwm_added = std::max(dropped_hwm_added, dropped["hwm_added_kib"]);
        }

        // Then with the dummy's work queue: requests become JetStream jobs.
        printf("small scans, work-queue route ...\n");
        fflush(stdout);
        provision(paths.url, paths.dir, "qz-av-dummy");
        dummy.reset();
        dummy = std::make_unique<Service>("qz-av-dummy", paths.url, paths.dir, dummy_args);
        paths.farm_pids[2] = dummy->pid();
        queue = run_child("small scan (work queue)",
                          [&](Reporter& out) { small_scans(paths, seconds, false, out); });
    }

    // ---- the table
    const double mib = static_cast<double>(file_mib);
    const double stage_rate = mib * 1000.0 / qzbench::median(stage_ms);
    const double put_rate = mib * 1000.0 / qzbench::median(put_ms);
    const double staging_ratio = stage_rate / put_rate;
    const double hwm_mib = hwm_added / 1024.0;
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    auto row = [&](const char* label, const char* key, const char* unit) {
        printf("%-46s %12.0f %12.0f  %s\n", label, core[key], queue[key], unit);
    };

    printf("\n%-46s %12s %12s\n", "1 KiB buffer, dummy engine only", "core route", "work queue");
    row("raw cnats request/reply of 1 KiB, median", "raw_us_p50", "us");
    row("raw cnats request/reply of 1 KiB, p90", "raw_us_p90", "us");
    row("  same, reply sent at once (SendAsap), median", "asap_us_p50", "us");
    row("VsaScan, median", "scan_us_p50", "us");
    row("VsaScan, p90", "scan_us_p90", "us");
    row("VsaScan + VsaReleaseScan, median", "cycle_us_p50", "us");
    row("scans per second, 1 host thread", "t1_rate", "/s");
    row("scans per second, 2 host threads", "t2_rate", "/s");
    row("scans per second, 8 host threads", "t8_rate", "/s");
    row("jobs that went through JOBS_qz-av-dummy", "jobs_queued", "");

    printf("\n%-58s %10s\n", "large file", "value");
    printf("%-58s %10.1f MiB/s\n", "staging inside VsaScan (trace: mapped -> staged), median",
           stage_rate);
    printf("%-58s %10.1f MiB/s\n", "same chunks, synchronous kvStore_Put, median", put_rate);
    printf("%-58s %10.2f\n", "  cores busy meanwhile: nats-server", qzbench::median(broker_cores));
    printf("%-58s %10.2f\n", "  cores busy meanwhile: the putting process",
           qzbench::median(client_cores));
    printf("%-58s %10.0f ms\n", "whole VsaScan (staging, dummy fetch and scan), median",
           qzbench::median(scan_ms));
    printf("%-58s %10.1f MiB\n", "peak RSS above idle during VsaScan (VmHWM)", hwm_mib);
    printf("%-58s %10.1f MiB\n", "  anonymous part (RssAnon, sampled every 2 ms)",
           anon_added / 1024.0);
    printf("%-58s %10.1f MiB\n", "  file pages of the mapping (RssFile, sampled)",
           file_added / 1024.0);
    printf("%-58s %10.1f MiB\n", "peak RSS above idle, raw puts from a mapping (VmHWM)",
           raw_hwm_added / 1024.0);
    printf("%-58s %10.1f MiB\n", "  the same, each chunk's pages dropped once put",
           dropped_hwm_added / 1024.0);
    printf("%-58s %10.1f MiB/s\n", "  its throughput",
           mib * 1000.0 / qzbench::median(dropped_put_ms));

    printf("\n%-44s %10s %10s %10s\n", "goal", "measured", "goal", "verdict");
    for (const auto& [name, results] : {std::pair<const char*, Results*>{"core route", &core},
                                        std::pair<const char*, Results*>{"work queue", &queue}}) {
        Results& r = *results;
        const double latency = r["scan_us_p50"] / core["raw_us_p50"];
        const double scaling = r["t2_rate"] / r["t1_rate"];
        printf("%-44s %9.2fx %10s %10s\n",
               (std::string("VsaScan / raw round trip (") + name + ")").c_str(), latency, "<= 3x",
               verdict(latency <= 3.0));
        printf("%-44s %9.2fx %10s %10s\n",
               (std::string("  against a SendAsap reply (") + name + ")").c_str(),
               r["scan_us_p50"] / core["asap_us_p50"], "-", "-");
        printf("%-44s %9.2fx %10s %10s\n",
               (std::string("2 threads / 1 thread (") + name + ")").c_str(), scaling, ">= 1.7x",
               verdict(scaling >= 1.7));
        printf("%-44s %9.2fx %10s %10s\n",
               (std::string("8 threads / 1 thread (") + name + ")").c_str(),
               r["t8_rate"] / r["t1_rate"], "-", "-");
    }
    printf("%-44s %9.2fx %10s %10s\n", "staging / raw KV puts", staging_ratio, ">= 0.8x",
           verdict(staging_ratio >= 0.8));
    printf("%-44s %7.1fMiB %10s %10s\n", "peak RSS above idle (VmHWM)", hwm_mib, "<= 8 MiB",
           verdict(hwm_mib <= 8.0));
    printf("%-44s %7.1fMiB %10s %10s\n", "  anonymous memory alone (no copy)", anon_added / 1024.0,
           "<= 8 MiB", verdict(anon_added / 1024.0 <= 8.0));

    printf(
        "\nwhere a 1 KiB scan's time goes (core route; medians of each step timed alone, on one\n"
        "thread and on two threads at once)\n");
    auto step = [&](const char* label, const std::string& key) {
        printf("  %-60s %8.0f %8.0f us\n", label, core[key], core["two_" + key]);
    };
    printf("  %-60s %8.0f %8s us\n", "raw request/reply (the scan request to the service)",
           core["raw_us_p50"], "-");
    step("stage the payload (chunk + metadata JetStream puts)", "stage_us_p50");
    step("the service fetches it (metadata + chunk gets)", "fetch_us_p50");
    step("durable pushes of the scan's event and log message", "push_us_p50");
    step("work-queue publish that fails (no queue) before the request", "queue_us_p50");
    // A core-route scan writes five WARN lines at this level: each of two absent optional
    // settings is reported twice, and the failed work-queue publish once.
    constexpr double kTraceLines = 5;
    printf("  %-60s %8.0f %8s us\n", "5 WARN trace lines (open, write, close each)",
           kTraceLines * core["trace_us_p50"], "-");
    const double sum = core["raw_us_p50"] + core["stage_us_p50"] + core["fetch_us_p50"] +
                       core["push_us_p50"] + core["queue_us_p50"] +
                       kTraceLines * core["trace_us_p50"];
    printf("  %-60s %8.0f %8s us   (VsaScan: %.0f us)\n", "sum of the above", sum, "-",
           core["scan_us_p50"]);
    step("delete the payload at release (in VsaReleaseScan)", "unstage_us_p50");

    printf("\nCPU time per scan (us) in the throughput runs, and cores busy\n");
    printf("  %-20s %8s %8s %8s   %8s %8s %8s\n", "", "core 1", "2", "8", "queue 1", "2", "8");
    std::vector<std::string> names = paths.farm_names;
    names.push_back("host (this bench)");
    auto cpu_row = [&](const std::string& label, const std::string& key, const char* format) {
        printf("  %-20s", label.c_str());
        for (Results* r : {&core, &queue}) {
            for (int t : kThreadCounts) printf(format, (*r)["t" + std::to_string(t) + "_" + key]);
            printf(" ");
        }
        printf("\n");
    };
    for (size_t i = 0; i < names.size(); ++i)
        cpu_row(names[i], "cpu_us_per_scan_" + std::to_string(i), " %8.0f");
    cpu_row("sum", "cpu_us_per_scan_sum", " %8.0f");
    cpu_row("farm cores busy", "farm_cores_busy", " %8.2f");
    cpu_row("machine cores busy", "machine_cores_busy", " %8.2f");
    cpu_row("machine I/O wait", "machine_cores_iowait", " %8.2f");
    cpu_row("disk busy (share)", "disk_busy", " %8.2f");
    cpu_row("disk writes / scan", "disk_writes_per_scan", " %8.1f");
    cpu_row("disk flushes / scan", "disk_flushes_per_scan", " %8.1f");
    printf("\nrun time %.0f s\n", ms_since(run_start) / 1000.0);

    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "qz_scan_bench: %s\n", e.what());
        return 1;
    }
}
