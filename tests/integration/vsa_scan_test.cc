// VsaScan end to end: the real libqzAV.so and libqzvsa.so loaded as a host loads them, scanning
// buffers and files through a real broker with the real MIME scanner, EICAR engine, quarantine
// service and event sink running as their own processes. Covers the verdicts and their records,
// the size limits and optional parameters, objects that cannot be scanned, a file that shrinks
// while it is mapped, quarantine, many threads on one handle, a second handle outliving the
// first, a broker restart, and one log message per scan at the sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "platform/semaphore.h"
#include "support/event_sink.h"
#include "support/farm.h"
#include "support/nats_test_helpers.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "support/vsa_host.h"
#include "vsa_engine.h"

namespace {

namespace fs = std::filesystem;
using qz::nats::JsonPtr;
using qztest::InitParams;
using qztest::TempDir;

constexpr int kThreads = 8;

// Scans per thread of the many-threads test: fewer under a sanitizer; QZ_SCANS_PER_THREAD sets
// another number for a longer or shorter run.
int scans_per_thread() {
    if (const char* set = getenv("QZ_SCANS_PER_THREAD"); set != nullptr && atoi(set) > 0)
        return atoi(set);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 60;
#else
    return 500;
#endif
}

// The 68-byte EICAR test string, in two halves so that this source is not itself a finding.
const std::string& eicar() {
    static const std::string text =
        std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-") + "STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

std::string stage_lib(const char* name) {
    return std::string(QZ_STAGE_DIR) + "/qz-av-vsa/latest/lib/" + name;
}

qztest::VsaLibraries real_libraries() {
    const std::string implementation = stage_lib("libqzvsa.so");
    return {stage_lib("libqzAV.so"), implementation, implementation};
}

// Removes the job-ID semaphore that start-ups of the installation in `base` created.
void remove_job_semaphore(const std::string& base) {
    char host[256] = {};
    qz_gethostname(host, sizeof host);
    const char* sid_env = getenv("SAPSYSTEMNAME");
    const std::string sid = sid_env != nullptr ? sid_env : host;
    std::error_code ec;
    const std::string directory = fs::weakly_canonical(base, ec).string();
    char hash[VSALIB_CONFIG_HASH_SIZE];
    VsaCreateConfigHash(hash, directory.c_str(), sid.c_str(), host);
    QZsem_remove(("/qz_jobID_" + sid + "_" + hash).c_str());
}

std::string text(const char* s) { return s != nullptr ? s : "<null>"; }

json_object* at(json_object* object, const char* key) {
    json_object* value = nullptr;
    return object != nullptr && json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

// The broker with everything a scan talks to, each a process of its own.
class ScanFarm {
  public:
    explicit ScanFarm(const std::string& scan_timeout_ms = "5000")
        : farm_(options(scan_timeout_ms)),
          sink_(farm_.start_event_sink()),
          mimescan_(farm_.start_service("qz-av-mimescan")),
          dummy_(farm_.start_service("qz-av-dummy")),
          quarantine_(farm_.start_service("qz-av-quarantine", {"--dir", vault()})) {}

    std::string url() { return farm_.url(); }
    qztest::Farm& farm() { return farm_; }
    qztest::EventSink& sink() { return sink_; }
    qztest::ServiceProcess& quarantine() { return quarantine_; }
    std::string vault() const { return dir_.file("vault"); }

    // The messages the sink got on subject whose object (scan-log file name or event file
    // name) is `name`.
    std::vector<JsonPtr> messages(const std::string& subject, const std::string& name) const {
        std::vector<JsonPtr> found;
        for (JsonPtr& line : sink_.lines()) {
            if (!line || qztest::member(line.get(), "subject") != subject) continue;
            json_object* message = at(line.get(), "message");
            const std::string object =
                subject == "qz-av-log"
                    ? qztest::member(at(at(message, "ScanLog"), "LogData"), "Filename")
                    : qztest::member(at(message, "Event"), "Filename");
            if (object == name) found.emplace_back(json_object_get(message));
        }
        return found;
    }
    // Waits until the sink holds a log message and an event for every name.
    bool wait_for_scans(const std::vector<std::string>& names, int limit_ms) const {
        return qztest::wait_until(
            [&] {
                std::multiset<std::string> logs, events;
                for (JsonPtr& line : sink_.lines()) {
                    if (!line) continue;
                    json_object* message = at(line.get(), "message");
                    if (qztest::member(line.get(), "subject") == "qz-av-log")
                        logs.insert(qztest::member(at(at(message, "ScanLog"), "LogData"),
                                                   "Filename"));
                    else
                        events.insert(qztest::member(at(message, "Event"), "Filename"));
                }
                for (const std::string& name : names)
                    if (logs.count(name) == 0 || events.count(name) == 0) return false;
                return true;
            },
            limit_ms);
    }

  private:
    static qztest::Farm::Options options(const std::string& scan_timeout_ms) {
        qztest::Farm::Options o;
        o.scan = {{"SCANTIMEOUT", scan_timeout_ms}};
        // Jobs of the scan services go through their work queues, as in production.
        o.work_queues = {"qz-av-mimescan", "qz-av-dummy"};
        return o;
    }

    TempDir dir_;
    qztest::Farm farm_;
    qztest::EventSink& sink_;
    qztest::ServiceProcess& mimescan_;
    qztest::ServiceProcess& dummy_;
    qztest::ServiceProcess& quarantine_;
};

// A host process's view: the adapter loaded, started and with one or more init handles.
class Host {
  public:
    // `config` goes into the installation's configuration file after the trace settings.
    Host(const std::string& url, const std::string& config = "", int trace_level = 6)
        : url_(url) {
        qztest::VsaHostOptions options;
        options.write_config = false;
        host_ = std::make_unique<qztest::VsaHost>(real_libraries(), options);
        qztest::write_file(host_->base() + "/config/qzvsa4.cfg",
                           "[TRACE]\nTRACEFILE = " + host_->temp() + "/trace.log\nTRACELEVEL = " +
                               std::to_string(trace_level) + "\n" + config);
        EXPECT_EQ(host_->startup(), VSA_OK);
    }
    ~Host() {
        for (VSA_INIT*& handle : handles_) {
            if (handle != nullptr) {
                EXPECT_EQ(host_->end(&handle, nullptr), VSA_OK);
            }
        }
        EXPECT_EQ(host_->cleanup(), VSA_OK);
        // The semaphore's name hashes the canonical installation path: remove it while the
        // directory still exists.
        remove_job_semaphore(host_->base());
        host_.reset();
    }

    VSA_INIT* init() {
        InitParams p;
        p.text(VSA_INITDRIVERS, url_)
            .text(VSA_INITDIRECTORY, host_->base())
            .text(VSA_INITENGINES, "MIMESCAN;DUMMY")
            .number(VSA_INITTIMEOUT, 10);
        VSA_INIT* handle = nullptr;
        const VSA_RC rc = host_->init(nullptr, p.get(), &handle);
        EXPECT_EQ(rc, VSA_OK) << text(handle != nullptr ? handle->pszErrorText : nullptr);
        handles_.push_back(handle);
        return handle;
    }
    VSA_RC end(VSA_INIT* handle) {
        for (VSA_INIT*& kept : handles_)
            if (kept == handle) return host_->end(&kept, nullptr);
        return -1;
    }

    VSA_RC scan(VSA_INIT* handle, uint32_t method, const char* name, const void* bytes,
                size_t length, VSA_SCANINFO** info, VSA_OPTPARAMS* options = nullptr,
                uint32_t action = VSA_ACTION_SCAN) {
        VSA_SCANPARAM param{};
        param.struct_size = sizeof param;
        param.tScanMethod = method;
        param.tActioncode = action;
        param.pszObjectname = const_cast<char*>(name);
        param.pbBytes = static_cast<uint8_t*>(const_cast<void*>(bytes));
        param.lLength = length;
        param.uiJobID = 4711;
        return host_->scan(handle, nullptr, &param, options, info);
    }
    VSA_RC scan_buffer(VSA_INIT* handle, const std::string& name, const std::string& bytes,
                       VSA_SCANINFO** info, VSA_OPTPARAMS* options = nullptr) {
        return scan(handle, VSA_SCANMETHOD_BYTES, name.c_str(), bytes.data(), bytes.size(), info,
                    options);
    }
    VSA_RC scan_file(VSA_INIT* handle, const std::string& path, VSA_SCANINFO** info,
                     VSA_OPTPARAMS* options = nullptr) {
        return scan(handle, VSA_SCANMETHOD_FILE, path.c_str(), nullptr, 0, info, options);
    }
    VSA_RC release(VSA_SCANINFO** info) { return host_->release_scan(info); }

    qztest::VsaHost& adapter() { return *host_; }

  private:
    std::string url_;
    std::unique_ptr<qztest::VsaHost> host_;
    std::vector<VSA_INIT*> handles_;
};

// What the host got back, flattened for comparison.
struct Records {
    uint32_t scanned = 0, not_scanned = 0, clean = 0, infections = 0, errors = 0;
    std::string object, mime, virus, error_text;
    int32_t error_rc = 0;
    int32_t detect_type = -1;
};

Records records_of(const VSA_SCANINFO* info) {
    Records r;
    if (info == nullptr) return r;
    EXPECT_EQ(info->struct_size, 80u);
    r.scanned = info->uiScanned;
    r.not_scanned = info->uiNotScanned;
    r.clean = info->uiClean;
    r.infections = info->uiInfections;
    r.errors = info->uiScanErrors;
    if (info->uiScanned > 0) {
        r.object = text(info->pContentInfo[0].pszObjectName);
        r.mime = text(info->pContentInfo[0].pszContentType);
    }
    if (info->uiInfections > 0) {
        r.virus = text(info->pVirusInfo[0].pszVirusName);
        r.detect_type = info->pVirusInfo[0].tDetectType;
    }
    if (info->uiScanErrors > 0) {
        r.error_text = text(info->pScanError[0].pszErrorText);
        r.error_rc = info->pScanError[0].iErrorRC;
        EXPECT_EQ(info->pScanError[0].uiJobID, 4711u) << "the host's job number";
        if (r.object.empty()) r.object = text(info->pScanError[0].pszObjectName);
    }
    return r;
}

// Optional parameters as a host builds them; texts are kept by the list.
class Options {
  public:
    Options& text(uint32_t code, const std::string& value, size_t length) {
        texts_.push_back(value);
        entries_.push_back({sizeof(VSA_OPTPARAM), code, VSA_TYPE_STRING, length,
                            texts_.back().data()});
        return *this;
    }
    Options& raw(uint32_t code, uint32_t type, size_t length, uintptr_t value) {
        entries_.push_back({sizeof(VSA_OPTPARAM), code, type, length,
                            reinterpret_cast<void*>(value)});
        return *this;
    }
    VSA_OPTPARAMS* get() {
        list_ = {static_cast<uint16_t>(entries_.size()), entries_.data()};
        return &list_;
    }

  private:
    std::deque<std::string> texts_;
    std::vector<VSA_OPTPARAM> entries_;
    VSA_OPTPARAMS list_{};
};

class VsaScan : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { farm_ = new ScanFarm(); }
    static void TearDownTestSuite() {
        delete farm_;
        farm_ = nullptr;
    }
    static ScanFarm* farm_;
};
ScanFarm* VsaScan::farm_ = nullptr;

TEST_F(VsaScan, CleanAndEicarBuffersAndFilesGetTheirVerdictsAndOneLogMessageEach) {
    TempDir dir;
    qztest::write_file(dir.file("basic-clean.txt"), "nothing to see here\n");
    qztest::write_file(dir.file("basic-eicar.com"), eicar() + "\n");
    qztest::write_file(dir.file("basic-empty.dat"), "");
    struct Case {
        const char* what;
        bool file;
        std::string name;  // path for files, object name for buffers
        std::string bytes;
        VSA_RC rc;
        const char* base;
        const char* mime;
        const char* virus;
        const char* result_text;
        int event_type;
    };
    const Case kCases[] = {
        {"clean buffer", false, "basic-notes.txt", "hello world\n", VSA_OK, "basic-notes.txt",
         "text/plain", "", "CLEAN", 1040},
        {"EICAR buffer with a Windows path", false, "C:\\upload\\in\\basic-eicar-buffer.com",
         eicar(), VSA_E_VIRUS_FOUND, "basic-eicar-buffer.com", "text/plain", "EICAR-Test-File ",
         "MALWARE DETECTED", 1060},
        {"EICAR buffer with a Unix path", false, "/usr/sap/trans/basic-eicar-unix.txt",
         "prefix " + eicar(), VSA_E_VIRUS_FOUND, "basic-eicar-unix.txt", "text/plain",
         "EICAR-Test-File ", "MALWARE DETECTED", 1060},
        {"empty buffer", false, "basic-empty-buffer", "", VSA_OK, "basic-empty-buffer",
         "application/x-empty", "", "CLEAN", 1040},
        {"clean file", true, dir.file("basic-clean.txt"), "", VSA_OK, "basic-clean.txt",
         "text/plain", "", "CLEAN", 1040},
        {"EICAR file", true, dir.file("basic-eicar.com"), "", VSA_E_VIRUS_FOUND,
         "basic-eicar.com", "text/plain", "EICAR-Test-File ", "MALWARE DETECTED", 1060},
        {"empty file", true, dir.file("basic-empty.dat"), "", VSA_OK, "basic-empty.dat",
         "application/x-empty", "", "CLEAN", 1040},
    };
    Host host(farm_->url());
    VSA_INIT* handle = host.init();
    ASSERT_NE(handle, nullptr);
    std::vector<std::string> names;
    for (const Case& c : kCases) {
        VSA_SCANINFO* info = nullptr;
        const VSA_RC rc = c.file ? host.scan_file(handle, c.name, &info)
                                 : host.scan_buffer(handle, c.name, c.bytes, &info);
        EXPECT_EQ(rc, c.rc) << c.what;
        ASSERT_NE(info, nullptr) << c.what;
        const Records r = records_of(info);
        EXPECT_GE(r.scanned, 1u) << c.what;
        EXPECT_EQ(r.object, c.base) << c.what;
        EXPECT_EQ(r.mime, c.mime) << c.what;
        EXPECT_EQ(r.virus, c.virus) << c.what;
        EXPECT_EQ(r.infections, c.rc == VSA_OK ? 0u : 1u) << c.what;
        if (c.rc != VSA_OK) {
            EXPECT_EQ(r.detect_type, VSA_DETECT_VIRUS) << c.what;
        }
        EXPECT_EQ(r.errors, 0u) << c.what << ": " << r.error_text;
        EXPECT_EQ(host.release(&info), VSA_OK) << c.what;
        EXPECT_EQ(info, nullptr);
        names.push_back(c.base);
    }
    // Without a place for the record the answer is the same and nothing is left behind.
    EXPECT_EQ(host.scan_buffer(handle, "basic-no-record.com", eicar(), nullptr),
              VSA_E_VIRUS_FOUND);
    names.push_back("basic-no-record.com");

    ASSERT_TRUE(farm_->wait_for_scans(names, 15000));
    for (const Case& c : kCases) {
        std::vector<JsonPtr> logs = farm_->messages("qz-av-log", c.base);
        ASSERT_EQ(logs.size(), 1u) << c.what << ": exactly one log message per scan";
        json_object* data = at(at(logs[0].get(), "ScanLog"), "LogData");
        EXPECT_EQ(qztest::member(data, "Result-Text"), c.result_text) << c.what;
        EXPECT_EQ(qztest::member(data, "MIME-type"), c.mime) << c.what;
        EXPECT_EQ(qztest::member(logs[0].get(), "Tenant"), "test-tenant");
        EXPECT_EQ(qztest::member(logs[0].get(), "RealmName"), "test-realm");
        EXPECT_NE(at(logs[0].get(), "EPOLog"), nullptr) << c.what;
        EXPECT_EQ(at(logs[0].get(), "BlockLog") != nullptr, c.rc != VSA_OK) << c.what;
        std::vector<JsonPtr> events = farm_->messages("qz-av-events-dispatch", c.base);
        ASSERT_EQ(events.size(), 1u) << c.what;
        EXPECT_EQ(json_object_get_int(at(at(events[0].get(), "Event"), "Type")), c.event_type)
            << c.what;
    }
}

TEST_F(VsaScan, EventIdInTheVirusNameLinksTheRecordToItsLogMessage) {
    Host host(farm_->url(), "[SCAN]\nINCLUDE_EVENT_ID_IN_MESSAGE = 1\nEVENT_ID_DELIMITER = ID#\n");
    VSA_INIT* handle = host.init();
    VSA_SCANINFO* info = nullptr;
    ASSERT_EQ(host.scan_buffer(handle, "event-id-eicar.com", eicar(), &info), VSA_E_VIRUS_FOUND);
    const std::string virus = records_of(info).virus;
    EXPECT_EQ(host.release(&info), VSA_OK);
    const std::string prefix = "EICAR-Test-File  ID#";
    ASSERT_EQ(virus.rfind(prefix, 0), 0u) << virus;
    const std::string event_id = virus.substr(prefix.size());
    EXPECT_EQ(event_id.size(), 36u) << virus;

    ASSERT_TRUE(farm_->wait_for_scans({"event-id-eicar.com"}, 10000));
    std::vector<JsonPtr> logs = farm_->messages("qz-av-log", "event-id-eicar.com");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(qztest::member(logs[0].get(), "EventID"), event_id);
    // The reason stops before the event ID; the EPO text of the detection keeps the message.
    json_object* block = at(at(logs[0].get(), "BlockLog"), "LogData");
    EXPECT_EQ(qztest::member(block, "Reason-Text"), "EICAR-Test-File  ");
}

TEST_F(VsaScan, SizeLimitsAndOptionalParametersDecideWithoutOrWithTheServices) {
    Host host(farm_->url(), "[SCAN]\nSCAN_MIN_SIZE = 100\nSCAN_MAX_SIZE = 100000\n");
    VSA_INIT* handle = host.init();
    const std::string text_99(99, 'a'), text_100(100, 'a'), text_big(100001, 'a');
    // BLOCKMIMETYPES without NUL within its length: only "text/plain" counts.
    Options unterminated;
    unterminated.text(VSA_BLOCKMIMETYPES, "text/plainGARBAGE", 10);
    // Wrong types and unknown codes are passed over; the scan goes on as if they were absent.
    Options ignored;
    ignored.raw(VSA_BLOCKMIMETYPES, VSA_TYPE_INTEGER, 4, 0x10)
        .raw(VSA_SCANLOGPATH, VSA_TYPE_BOOLEAN, 0, 1)
        .text(VSA_SCANEXTRACT_SIZE, "text/plain", 10)
        .text(4711, "text/plain", 10)
        .raw(999, VSA_TYPE_INTEGER, 4, 1);
    struct Case {
        const char* what;
        std::string name;
        const std::string* bytes;
        VSA_OPTPARAMS* options;
        VSA_RC rc;
        const char* mime;
        const char* virus;  // prefix
    };
    const Case kCases[] = {
        {"99 bytes, below SCAN_MIN_SIZE", "limits-99.txt", &text_99, nullptr, VSA_OK,
         "application/vnd.vendrix.smallfile", ""},
        {"100 bytes are scanned", "limits-100.txt", &text_100, nullptr, VSA_OK, "text/plain", ""},
        {"above SCAN_MAX_SIZE", "limits-big.txt", &text_big, nullptr, VSA_E_BLOCKED_BY_POLICY,
         "application/vnd.vendrix.largefile", "File exceeds size limit (SCAN_MAX_SIZE) "},
        {"blocked MIME type, cut at its length", "limits-blocked.txt", &text_100,
         unterminated.get(), VSA_E_BLOCKED_BY_POLICY, "text/plain", ""},
        {"wrong types and unknown codes", "limits-ignored.txt", &text_100, ignored.get(), VSA_OK,
         "text/plain", ""},
    };
    std::vector<std::string> names;
    for (const Case& c : kCases) {
        VSA_SCANINFO* info = nullptr;
        EXPECT_EQ(host.scan_buffer(handle, c.name, *c.bytes, &info, c.options), c.rc) << c.what;
        const Records r = records_of(info);
        EXPECT_EQ(r.scanned, 1u) << c.what;
        EXPECT_EQ(r.mime, c.mime) << c.what;
        EXPECT_EQ(r.virus.rfind(c.virus, 0), 0u) << c.what << ": " << r.virus;
        if (c.rc == VSA_E_BLOCKED_BY_POLICY) {
            EXPECT_EQ(r.infections, 1u) << c.what;
            EXPECT_EQ(r.detect_type, VSA_DETECT_POLICY) << c.what;
        }
        EXPECT_EQ(host.release(&info), VSA_OK);
        names.push_back(c.name);
    }
    ASSERT_TRUE(farm_->wait_for_scans(names, 10000));
    std::vector<JsonPtr> blocked = farm_->messages("qz-av-events-dispatch", "limits-big.txt");
    ASSERT_EQ(blocked.size(), 1u);
    json_object* event = at(blocked[0].get(), "Event");
    EXPECT_EQ(json_object_get_int(at(event, "Type")), 1060);
    EXPECT_EQ(qztest::member(event, "Blocking-Reason"), "File exceeds size limit (SCAN_MAX_SIZE) ");
}

TEST_F(VsaScan, ObjectsThatCannotBeScannedAreRefusedWithAnErrorRecord) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);  // searchable by the user the test becomes
    const std::string fifo = dir.file("refused-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string locked = dir.file("refused-locked.txt");
    qztest::write_file(locked, "secret\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    const std::string missing = dir.file("refused-missing.txt");

    Host host(farm_->url());
    VSA_INIT* handle = host.init();
    struct Case {
        const char* what;
        uint32_t method;
        const char* name;
        const void* bytes;
        size_t length;
        VSA_RC rc;
        std::string error_text;
        const char* object;
    };
    const Case kCases[] = {
        {"file missing", VSA_SCANMETHOD_FILE, missing.c_str(), nullptr, 0,
         VSA_E_INVALID_SCANOBJECT, "File " + missing + " does not exist", "refused-missing.txt"},
        {"no file name", VSA_SCANMETHOD_FILE, nullptr, nullptr, 0, VSA_E_INVALID_SCANOBJECT,
         "File (null) does not exist", "empty_filename"},
        {"a directory", VSA_SCANMETHOD_FILE, dir.path().c_str(), nullptr, 0,
         VSA_E_INVALID_SCANOBJECT, "Failed to map " + dir.path() + " to memory. Is a directory",
         ""},
        {"a FIFO without writer", VSA_SCANMETHOD_FILE, fifo.c_str(), nullptr, 0,
         VSA_E_INVALID_SCANOBJECT, "Failed to map " + fifo + " to memory. No such device",
         "refused-fifo"},
        {"unknown scan method", 10, "refused-method.txt", "abc", 3, VSA_E_NOT_SUPPORTED, "<null>",
         "refused-method.txt"},
        {"NULL buffer with a length", VSA_SCANMETHOD_BYTES, "refused-null.bin", nullptr, 5,
         VSA_E_INVALID_SCANOBJECT, "Buffer refused-null.bin of 5 bytes has no data",
         "refused-null.bin"},
    };
    for (const Case& c : kCases) {
        VSA_SCANINFO* info = nullptr;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(host.scan(handle, c.method, c.name, c.bytes, c.length, &info), c.rc) << c.what;
        EXPECT_LT(qztest::elapsed_ms(start), 2000) << c.what << ": refused without waiting";
        const Records r = records_of(info);
        EXPECT_EQ(r.scanned, 0u) << c.what;
        EXPECT_EQ(r.infections, 0u) << c.what;
        ASSERT_EQ(r.errors, 1u) << c.what;
        EXPECT_EQ(r.error_rc, c.rc) << c.what;
        EXPECT_EQ(r.error_text, c.error_text) << c.what;
        if (*c.object != '\0') {
            EXPECT_EQ(r.object, c.object) << c.what;
        }
        EXPECT_EQ(host.release(&info), VSA_OK);
        // The same without a place for the record.
        EXPECT_EQ(host.scan(handle, c.method, c.name, c.bytes, c.length, nullptr), c.rc) << c.what;
    }

    // A file that exists but that the scanning user may not read. Root reads everything, so the
    // scanning thread gives up root's file access for the call (the file-system user ID and the
    // capabilities that go with it are the thread's own).
    VSA_SCANINFO* info = nullptr;
    VSA_RC rc = -1;
    std::thread reader([&] {
        const bool root = geteuid() == 0;
        if (root) setfsuid(65534);
        rc = host.scan_file(handle, locked, &info);
        if (root) setfsuid(0);
    });
    reader.join();
    EXPECT_EQ(rc, VSA_E_INVALID_SCANOBJECT);
    const Records r = records_of(info);
    ASSERT_EQ(r.errors, 1u);
    EXPECT_EQ(r.error_text, "Failed to map " + locked + " to memory. Permission denied");
    EXPECT_EQ(host.release(&info), VSA_OK);
}

TEST_F(VsaScan, RequestWithoutTheScanActionAsksNobodyAndAnswersWithAnEmptyRecord) {
    Host host(farm_->url());
    VSA_INIT* handle = host.init();
    VSA_SCANINFO* info = nullptr;
    EXPECT_EQ(host.scan(handle, VSA_SCANMETHOD_BYTES, "no-scan-bit.com", eicar().data(),
                        eicar().size(), &info, nullptr, VSA_ACTION_CHECK_MIME_TYPE),
              VSA_E_SCAN_FAILED);
    ASSERT_NE(info, nullptr);
    const Records r = records_of(info);
    EXPECT_EQ(r.scanned + r.infections + r.errors + r.clean + r.not_scanned, 0u);
    EXPECT_EQ(host.release(&info), VSA_OK);
    EXPECT_TRUE(host.adapter().traced(
        "Failed to encode the scan job for no-scan-bit.com: Unsupported Scan Action Code 1"));
    // No service was asked and nothing was logged: the next scan's messages come, this one's not.
    ASSERT_EQ(host.scan_buffer(handle, "no-scan-bit-marker.txt", "marker\n", &info), VSA_OK);
    EXPECT_EQ(host.release(&info), VSA_OK);
    ASSERT_TRUE(farm_->wait_for_scans({"no-scan-bit-marker.txt"}, 10000));
    EXPECT_TRUE(farm_->messages("qz-av-log", "no-scan-bit.com").empty());
    EXPECT_TRUE(farm_->messages("qz-av-events-dispatch", "no-scan-bit.com").empty());
}

TEST_F(VsaScan, ScanLogPathIsExpandedAndOneThatCannotBeDropsOnlyTheLogMessage) {
    setenv("QZ_VSA_SCAN_TEST_LOGDIR", "/var/log/sap-scans", 1);
    unsetenv("QZ_VSA_SCAN_TEST_UNSET");
    Host host(farm_->url());
    VSA_INIT* handle = host.init();
    Options expanded, unexpandable;
    expanded.text(VSA_SCANLOGPATH, "$QZ_VSA_SCAN_TEST_LOGDIR/scan.log", 33);
    unexpandable.text(VSA_SCANLOGPATH, "$QZ_VSA_SCAN_TEST_UNSET/scan.log", 32);
    VSA_SCANINFO* info = nullptr;
    ASSERT_EQ(host.scan_buffer(handle, "scanlog-path.com", eicar(), &info, expanded.get()),
              VSA_E_VIRUS_FOUND);
    EXPECT_EQ(host.release(&info), VSA_OK);
    // Logging never changes the answer.
    ASSERT_EQ(host.scan_buffer(handle, "scanlog-dropped.com", eicar(), &info, unexpandable.get()),
              VSA_E_VIRUS_FOUND);
    EXPECT_EQ(records_of(info).virus, "EICAR-Test-File ");
    EXPECT_EQ(host.release(&info), VSA_OK);
    ASSERT_EQ(host.scan_buffer(handle, "scanlog-marker.txt", "marker\n", &info), VSA_OK);
    EXPECT_EQ(host.release(&info), VSA_OK);

    ASSERT_TRUE(farm_->wait_for_scans({"scanlog-path.com", "scanlog-marker.txt"}, 10000));
    std::vector<JsonPtr> logs = farm_->messages("qz-av-log", "scanlog-path.com");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(qztest::member(at(logs[0].get(), "ScanLog"), "ScanLogPath"),
              "/var/log/sap-scans/scan.log");
    EXPECT_EQ(qztest::member(at(at(logs[0].get(), "ScanLog"), "LogData"), "Result-Text"),
              "MALWARE DETECTED");
    EXPECT_TRUE(qztest::wait_until(
        [&] { return farm_->messages("qz-av-events-dispatch", "scanlog-dropped.com").size() == 1; },
        10000))
        << "the event goes before the scan log";
    EXPECT_TRUE(farm_->messages("qz-av-log", "scanlog-dropped.com").empty());
    unsetenv("QZ_VSA_SCAN_TEST_LOGDIR");
}

// The file is truncated by another thread while the scan has it mapped: reads past the new end
// must neither kill the host nor let the scan answer clean for bytes that are not there, and the
// transfer of the vanished pages must not break the broker connection the next scans need.
TEST_F(VsaScan, FileThatShrinksWhileMappedIsNotAnsweredClean) {
    TempDir dir;
    const std::string path = dir.file("shrinking.bin");
    constexpr size_t kSize = 16u << 20;
    {
        std::ofstream out(path, std::ios::binary);
        const std::string block(1 << 20, 'A');
        for (size_t i = 0; i < kSize / block.size(); ++i) out << block;
    }
    const std::string mapped_name = fs::canonical(path).string();
    Host host(farm_->url(), "", 4);
    VSA_INIT* handle = host.init();

    std::atomic<bool> done{false};
    std::atomic<bool> truncated{false};
    std::thread truncator([&] {
        // Truncate as soon as the scan has the file mapped.
        while (!done.load()) {
            std::ifstream maps("/proc/self/maps");
            std::string line;
            bool mapped = false;
            while (!mapped && std::getline(maps, line))
                mapped = line.find(mapped_name) != std::string::npos;
            if (mapped) {
                truncated = truncate(path.c_str(), 4096) == 0;
                return;
            }
        }
    });
    VSA_SCANINFO* info = nullptr;
    const VSA_RC rc = host.scan_file(handle, path, &info);
    done = true;
    truncator.join();
    ASSERT_TRUE(truncated.load()) << "the file was never seen mapped";
    EXPECT_EQ(rc, VSA_E_INVALID_SCANOBJECT);
    const Records r = records_of(info);
    ASSERT_EQ(r.errors, 1u);
    EXPECT_EQ(r.error_rc, VSA_E_INVALID_SCANOBJECT);
    EXPECT_EQ(r.error_text, "File " + path + " changed while being scanned");
    EXPECT_EQ(host.release(&info), VSA_OK);

    // The host goes on scanning at once, on the same connection.
    qztest::write_file(path, "small and stable\n");
    EXPECT_EQ(host.scan_file(handle, path, &info), VSA_OK) << records_of(info).error_text;
    EXPECT_EQ(host.release(&info), VSA_OK);
}

TEST_F(VsaScan, QuarantineStoresTheObjectAndAFailedOneKeepsTheFinding) {
    Host host(farm_->url());
    VSA_INIT* handle = host.init();
    Options to_vault;
    to_vault.text(VSA_CLEANQUARANTINE, "vault:key-is-dropped", 20);

    VSA_SCANINFO* info = nullptr;
    ASSERT_EQ(host.scan_buffer(handle, "quarantine-eicar.com", eicar(), &info, to_vault.get()),
              VSA_E_VIRUS_FOUND);
    Records r = records_of(info);
    EXPECT_EQ(r.virus, "EICAR-Test-File ");
    EXPECT_EQ(r.errors, 0u) << r.error_text;
    EXPECT_EQ(host.release(&info), VSA_OK);
    // A clean object is not quarantined.
    ASSERT_EQ(host.scan_buffer(handle, "quarantine-clean.txt", "clean\n", &info, to_vault.get()),
              VSA_OK);
    EXPECT_EQ(host.release(&info), VSA_OK);

    ASSERT_TRUE(farm_->wait_for_scans({"quarantine-eicar.com", "quarantine-clean.txt"}, 10000));
    std::vector<JsonPtr> events = farm_->messages("qz-av-events-dispatch", "quarantine-eicar.com");
    ASSERT_EQ(events.size(), 1u);
    json_object* event = at(events[0].get(), "Event");
    EXPECT_EQ(json_object_get_int(at(event, "Type")), 1070);
    const std::string reason = qztest::member(event, "Blocking-Reason");
    const std::string marker = "EICAR-Test-File . Quarantined file ";
    ASSERT_EQ(reason.rfind(marker, 0), 0u) << reason;
    const std::string stored = reason.substr(marker.size());
    EXPECT_EQ(qztest::read_file(farm_->vault() + "/" + stored), eicar());
    size_t stored_objects = 0;
    for (const auto& entry : fs::directory_iterator(farm_->vault()))
        stored_objects += entry.path().extension() == ".bin" ? 1 : 0;
    EXPECT_EQ(stored_objects, 1u) << "only the finding is quarantined";

    // Without a quarantine service the answer becomes a failure; the finding stays with it.
    farm_->quarantine().stop();
    ASSERT_EQ(host.scan_buffer(handle, "quarantine-failed.com", eicar(), &info, to_vault.get()),
              VSA_E_SCAN_FAILED);
    r = records_of(info);
    EXPECT_EQ(r.infections, 1u);
    EXPECT_EQ(r.virus, "EICAR-Test-File ");
    ASSERT_EQ(r.errors, 1u);
    EXPECT_EQ(r.error_rc, VSA_E_SCAN_FAILED);
    EXPECT_EQ(r.error_text, "Quarantine failed for quarantine-failed.com");
    EXPECT_EQ(host.release(&info), VSA_OK);
    farm_->quarantine().start();
}

TEST_F(VsaScan, ManyThreadsScanAndReleaseAtOnceWithOneHandle) {
    Host host(farm_->url(), "", 2);
    VSA_INIT* handle = host.init();
    ASSERT_NE(handle, nullptr);
    std::atomic<int> wrong{0};
    std::atomic<int> released{0};
    std::vector<std::string> failures;
    std::mutex failures_lock;
    const auto start = std::chrono::steady_clock::now();
    const int per_thread = scans_per_thread();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                const bool infected = (i + t) % 3 == 0;
                const std::string name = "many-" + std::to_string(t) + "-" + std::to_string(i);
                const std::string bytes = infected ? "x " + eicar() + " " + name : "clean " + name;
                VSA_SCANINFO* info = nullptr;
                const VSA_RC rc = host.scan_buffer(handle, name, bytes, &info);
                const Records r = records_of(info);
                const bool right = infected ? rc == VSA_E_VIRUS_FOUND && r.infections == 1 &&
                                                  r.virus == "EICAR-Test-File " && r.object == name
                                            : rc == VSA_OK && r.infections == 0 &&
                                                  r.object == name && r.errors == 0;
                if (!right) {
                    ++wrong;
                    std::lock_guard<std::mutex> lock(failures_lock);
                    if (failures.size() < 5)
                        failures.push_back(name + ": rc " + std::to_string(rc) + " " +
                                           r.error_text);
                }
                if (host.release(&info) == VSA_OK && info == nullptr) ++released;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const long long took = qztest::elapsed_ms(start);
    const int total = kThreads * per_thread;
    EXPECT_EQ(wrong.load(), 0) << (failures.empty() ? "" : failures.front());
    EXPECT_EQ(released.load(), total);
    printf("[ MEASURE  ] %d scans on %d threads with one handle in %lld ms (%.0f scans/s)\n", total,
           kThreads, took, took > 0 ? total * 1000.0 / static_cast<double>(took) : 0.0);

    // Every scan leaves exactly one log message at the sink.
    const auto wait_start = std::chrono::steady_clock::now();
    ASSERT_TRUE(qztest::wait_until(
        [&] {
            size_t logs = 0;
            for (JsonPtr& line : farm_->sink().lines()) {
                if (line && qztest::member(line.get(), "subject") == "qz-av-log" &&
                    qztest::member(at(at(at(line.get(), "message"), "ScanLog"), "LogData"),
                                   "Filename")
                            .rfind("many-", 0) == 0)
                    ++logs;
            }
            return logs >= static_cast<size_t>(total);
        },
        60000));
    std::map<std::string, int> per_name;
    for (JsonPtr& line : farm_->sink().lines()) {
        if (!line || qztest::member(line.get(), "subject") != "qz-av-log") continue;
        const std::string name = qztest::member(
            at(at(at(line.get(), "message"), "ScanLog"), "LogData"), "Filename");
        if (name.rfind("many-", 0) == 0) ++per_name[name];
    }
    EXPECT_EQ(per_name.size(), static_cast<size_t>(total));
    int repeated = 0;
    for (const auto& [name, n] : per_name) repeated += n != 1 ? 1 : 0;
    EXPECT_EQ(repeated, 0);
    printf("[ MEASURE  ] the sink had every log message %lld ms after the last scan\n",
           qztest::elapsed_ms(wait_start));
}

TEST_F(VsaScan, SecondHandleKeepsScanningAfterTheFirstEnds) {
    Host host(farm_->url());
    VSA_INIT* first = host.init();
    VSA_INIT* second = host.init();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(host.end(first), VSA_OK);
    VSA_SCANINFO* info = nullptr;
    EXPECT_EQ(host.scan_buffer(second, "second-handle.com", eicar(), &info), VSA_E_VIRUS_FOUND);
    EXPECT_EQ(host.release(&info), VSA_OK);
    EXPECT_EQ(host.scan_buffer(second, "second-handle.txt", "fine\n", &info), VSA_OK);
    EXPECT_EQ(host.release(&info), VSA_OK);
}

// The broker goes away under running scans and comes back: the scans it took with it fail with
// VSA_E_SCAN_FAILED and an error record, later scans get their verdicts again.
TEST(VsaScanBroker, ScansFailWhileTheBrokerIsGoneAndSucceedOnceItIsBack) {
    ScanFarm farm("2000");
    Host host(farm.url(), "", 4);
    VSA_INIT* handle = host.init();
    ASSERT_NE(handle, nullptr);

    std::atomic<bool> stop{false};
    std::atomic<int> failed{0}, succeeded_before{0}, unexpected{0};
    std::atomic<bool> broker_down{false};
    std::mutex notes_lock;
    std::vector<std::string> notes;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                const bool infected = i % 2 == 0;
                const std::string name = "restart-" + std::to_string(t) + "-" + std::to_string(i);
                VSA_SCANINFO* info = nullptr;
                const VSA_RC rc =
                    host.scan_buffer(handle, name, infected ? eicar() : "clean\n", &info);
                const Records r = records_of(info);
                const VSA_RC verdict = infected ? VSA_E_VIRUS_FOUND : VSA_OK;
                if (rc == verdict) {
                    if (!broker_down.load()) ++succeeded_before;
                } else if (rc == VSA_E_SCAN_FAILED && r.errors == 1 &&
                           r.error_rc == VSA_E_SCAN_FAILED && r.error_text.rfind("Service ", 0) == 0) {
                    ++failed;
                } else {
                    ++unexpected;
                    std::lock_guard<std::mutex> lock(notes_lock);
                    notes.push_back(name + ": " + std::to_string(rc) + " " + r.error_text);
                }
                host.release(&info);
            }
        });
    }
    ASSERT_TRUE(qztest::wait_until([&] { return succeeded_before.load() >= 6; }, 10000));
    broker_down = true;
    farm.farm().server().stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    farm.farm().server().start();
    broker_down = false;
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_GT(failed.load(), 0) << "no scan met the outage";
    EXPECT_EQ(unexpected.load(), 0) << (notes.empty() ? "" : notes.front());

    // Once the connections are back every verdict is right again.
    const auto back = std::chrono::steady_clock::now();
    VSA_SCANINFO* info = nullptr;
    ASSERT_TRUE(qztest::wait_until(
        [&] {
            const VSA_RC rc = host.scan_buffer(handle, "restart-probe.com", eicar(), &info);
            host.release(&info);
            return rc == VSA_E_VIRUS_FOUND;
        },
        20000));
    printf("[ MEASURE  ] first right verdict %lld ms after the broker was started again\n",
           qztest::elapsed_ms(back));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(host.scan_buffer(handle, "restart-after.txt", "clean\n", &info), VSA_OK);
        host.release(&info);
        EXPECT_EQ(host.scan_buffer(handle, "restart-after.com", eicar(), &info), VSA_E_VIRUS_FOUND);
        host.release(&info);
    }
}

}  // namespace
