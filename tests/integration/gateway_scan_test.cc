// Scanning through the HTTPS gateway against scanning through the broker: the real libqzAV.so and
// libqzvsa.so, loaded as a host loads them, scan the same objects once with the broker's URL and
// once with the gateway's https URL (its CA in the installation, its Basic credentials in the
// configuration), with the real control, MIME scanner, EICAR engine, event sink and gateway each
// running as their own processes. The verdicts must be the same and right; wrong gateway
// credentials must fail the start-up with a clear error in bounded time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/semaphore.h"
#include "support/farm.h"
#include "support/http_gateway_fixtures.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"
#include "support/vsa_host.h"
#include "util/md5.h"

namespace {

namespace fs = std::filesystem;
using qztest::GatewayProcess;
using qztest::InitParams;
using qztest::TempDir;

// The 68-byte EICAR test string, in two halves so that this source is not itself a finding.
const std::string& eicar() {
    static const std::string text =
        std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-") + "STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

// A PDF that libmagic knows as application/pdf, which the installation blocks.
const std::string& pdf() {
    static const std::string text =
        "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
        "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n"
        "%%EOF\n";
    return text;
}

std::string stage_lib(const char* name) {
    return std::string(QZ_STAGE_DIR) + "/qz-av-vsa/latest/lib/" + name;
}

qztest::VsaLibraries real_libraries() {
    const std::string implementation = stage_lib("libqzvsa.so");
    return {stage_lib("libqzAV.so"), implementation, implementation};
}

// Removes the job-ID semaphore that start-ups of the installation in `directory` (canonical,
// taken while it still exists) created.
void remove_job_semaphore(const std::string& directory) {
    char host[256] = {};
    qz_gethostname(host, sizeof host);
    const char* sid_env = getenv("SAPSYSTEMNAME");
    const std::string sid = sid_env != nullptr ? sid_env : host;
    // The library names it after an MD5 of three zero-padded 4095-byte fields (directory, SID,
    // host), bytes 1..15 of the digest in hex.
    constexpr size_t kField = 4095;
    std::string block(kField * 3, '\0');
    const std::string fields[] = {directory, sid, host};
    for (size_t i = 0; i < 3; ++i)
        memcpy(&block[i * kField], fields[i].data(), std::min(fields[i].size(), kField - 1));
    md5_state_t state;
    md5_byte_t digest[16];
    md5_init(&state);
    md5_append(&state, reinterpret_cast<const md5_byte_t*>(block.data()), block.size());
    md5_finish(&state, digest);
    char hash[33] = {};
    for (size_t i = 1; i < 16; ++i) snprintf(hash + (i - 1) * 2, 3, "%02x", digest[i]);
    QZsem_remove(("/qz_jobID_" + sid + "_" + hash).c_str());
}

std::string text(const char* s) { return s != nullptr ? s : "<null>"; }

// A host process's view of one installation: the adapter loaded and started, its handles ended
// and the adapter cleaned up and unloaded at the end.
class Host {
  public:
    // `ca_file` becomes the installation's trusted CA when not empty.
    Host(const std::string& url, const std::string& config, const std::string& ca_file)
        : url_(url) {
        qztest::VsaHostOptions options;
        options.write_config = false;
        host_ = std::make_unique<qztest::VsaHost>(real_libraries(), options);
        qztest::write_file(
            host_->base() + "/config/qzvsa4.cfg",
            "[TRACE]\nTRACEFILE = " + host_->temp() + "/trace.log\nTRACELEVEL = 6\n" + config);
        if (!ca_file.empty()) {
            fs::create_directories(host_->base() + "/config/certificates");
            fs::copy_file(ca_file, host_->base() + "/config/certificates/qz-av-ca-root.crt");
        }
        EXPECT_EQ(host_->startup(), VSA_OK);
    }
    ~Host() {
        if (handle_ != nullptr) {
            EXPECT_EQ(host_->end(&handle_, nullptr), VSA_OK);
        }
        EXPECT_EQ(host_->cleanup(), VSA_OK);
        std::error_code ec;
        const std::string directory = fs::canonical(host_->base(), ec).string();
        host_.reset();
        remove_job_semaphore(directory);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // VsaInit with this host's URL; the handle (also a failed one) is kept and ended at the end.
    VSA_RC init() {
        InitParams p;
        p.text(VSA_INITDRIVERS, url_)
            .text(VSA_INITDIRECTORY, host_->base())
            .text(VSA_INITENGINES, "MIMESCAN;DUMMY")
            .number(VSA_INITTIMEOUT, 10);
        return host_->init(nullptr, p.get(), &handle_);
    }
    VSA_INIT* handle() const { return handle_; }
    std::string error_text() const {
        return handle_ != nullptr ? text(handle_->pszErrorText) : "<no handle>";
    }

    VSA_RC scan(uint32_t method, const std::string& name, const std::string* bytes,
                VSA_SCANINFO** info) {
        VSA_SCANPARAM param{};
        param.struct_size = sizeof param;
        param.tScanMethod = method;
        param.tActioncode = VSA_ACTION_SCAN;
        param.pszObjectname = const_cast<char*>(name.c_str());
        if (bytes != nullptr) {
            param.pbBytes = reinterpret_cast<uint8_t*>(const_cast<char*>(bytes->data()));
            param.lLength = bytes->size();
        }
        param.uiJobID = 4711;
        return host_->scan(handle_, nullptr, &param, nullptr, info);
    }
    VSA_RC release(VSA_SCANINFO** info) { return host_->release_scan(info); }

    qztest::VsaHost& adapter() { return *host_; }

  private:
    std::string url_;
    std::unique_ptr<qztest::VsaHost> host_;
    VSA_INIT* handle_ = nullptr;
};

// What the host got back for one object, flattened for comparison between the two routes.
struct Verdict {
    VSA_RC rc = -1;
    uint32_t scanned = 0, infections = 0, errors = 0;
    std::string mime, viruses, error_text;

    bool operator==(const Verdict&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Verdict& v) {
    return out << "{rc " << v.rc << ", scanned " << v.scanned << ", infections " << v.infections
               << ", errors " << v.errors << ", mime '" << v.mime << "', viruses '" << v.viruses
               << "', error '" << v.error_text << "'}";
}

Verdict verdict_of(VSA_RC rc, const VSA_SCANINFO* info) {
    Verdict v;
    v.rc = rc;
    if (info == nullptr) return v;
    v.scanned = info->uiScanned;
    v.infections = info->uiInfections;
    v.errors = info->uiScanErrors;
    if (info->uiScanned > 0) v.mime = text(info->pContentInfo[0].pszContentType);
    for (uint32_t i = 0; i < info->uiInfections; ++i)
        v.viruses += (i > 0 ? "|" : "") + text(info->pVirusInfo[i].pszVirusName);
    for (uint32_t i = 0; i < info->uiScanErrors; ++i)
        v.error_text += (i > 0 ? "|" : "") + text(info->pScanError[i].pszErrorText);
    return v;
}

struct Case {
    const char* what;
    bool file;
    std::string name;  // path for files, object name for buffers
    std::string bytes;
    VSA_RC rc;
    const char* mime;
    const char* virus;  // prefix of the first virus name
};

// One farm for the suite: broker, control, scan services, event sink and the gateway on it.
class GatewayScan : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        qztest::Farm::Options o;
        o.scan = {{"SCANTIMEOUT", "5000"}};
        o.work_queues = {"qz-av-mimescan", "qz-av-dummy"};
        farm_ = new qztest::Farm(o);
        farm_->start_event_sink();
        farm_->start_service("qz-av-mimescan");
        farm_->start_service("qz-av-dummy");
        tls_ = new qztest::TlsFiles();
        gateway_ = new GatewayProcess(*tls_, farm_->url(), "timeout_ms = 10000");
    }
    static void TearDownTestSuite() {
        delete gateway_;
        gateway_ = nullptr;
        delete tls_;
        tls_ = nullptr;
        delete farm_;
        farm_ = nullptr;
    }

    // The installation's configuration: the scan time-out and the MIME block list, plus the
    // gateway credentials when given.
    static std::string config(const std::string& user, const std::string& password) {
        std::string c = "[SCAN]\nSCANTIMEOUT = 5000\nBLOCKMIMETYPES = application/pdf\n";
        if (!user.empty())
            c += "[GLOBAL]\nBROKER_USER = " + user + "\nBROKER_PASSWORD = " + password + "\n";
        return c;
    }

    // Scans every case in one VsaStartup .. VsaCleanup cycle against url.
    static std::vector<Verdict> scan_all(const std::vector<Case>& cases, const std::string& url,
                                         const std::string& config, const std::string& ca_file) {
        std::vector<Verdict> verdicts;
        Host host(url, config, ca_file);
        const VSA_RC rc = host.init();
        EXPECT_EQ(rc, VSA_OK) << url << ": " << host.error_text();
        if (rc != VSA_OK) return verdicts;
        for (const Case& c : cases) {
            VSA_SCANINFO* info = nullptr;
            const VSA_RC scan_rc = c.file
                                       ? host.scan(VSA_SCANMETHOD_FILE, c.name, nullptr, &info)
                                       : host.scan(VSA_SCANMETHOD_BYTES, c.name, &c.bytes, &info);
            verdicts.push_back(verdict_of(scan_rc, info));
            EXPECT_EQ(host.release(&info), VSA_OK) << c.what;
        }
        return verdicts;
    }

    static qztest::Farm* farm_;
    static qztest::TlsFiles* tls_;
    static GatewayProcess* gateway_;
};
qztest::Farm* GatewayScan::farm_ = nullptr;
qztest::TlsFiles* GatewayScan::tls_ = nullptr;
GatewayProcess* GatewayScan::gateway_ = nullptr;

TEST_F(GatewayScan, TheGatewayGivesTheSameVerdictsAsTheBroker) {
    TempDir dir;
    qztest::write_file(dir.file("gw-clean.txt"), "nothing to see here\n");
    qztest::write_file(dir.file("gw-eicar.com"), eicar() + "\n");
    const std::vector<Case> cases = {
        {"clean buffer", false, "gw-notes.txt", "hello world\n", VSA_OK, "text/plain", ""},
        {"clean file", true, dir.file("gw-clean.txt"), "", VSA_OK, "text/plain", ""},
        {"EICAR buffer", false, "gw-eicar-buffer.com", eicar(), VSA_E_VIRUS_FOUND, "text/plain",
         "EICAR-Test-File"},
        {"EICAR file", true, dir.file("gw-eicar.com"), "", VSA_E_VIRUS_FOUND, "text/plain",
         "EICAR-Test-File"},
        {"blocked MIME type", false, "gw-report.pdf", pdf(), VSA_E_BLOCKED_BY_POLICY,
         "application/pdf", "MIME type application/pdf is blocked"},
    };
    const std::vector<Verdict> broker = scan_all(cases, farm_->url(), config("", ""), "");
    const std::vector<Verdict> gateway =
        scan_all(cases, gateway_->url(), config(GatewayProcess::kUser, GatewayProcess::kPassword),
                 tls_->ca_file());
    ASSERT_EQ(broker.size(), cases.size());
    ASSERT_EQ(gateway.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(gateway[i], broker[i]) << c.what << ": gateway against broker";
        EXPECT_EQ(broker[i].rc, c.rc) << c.what << ": " << broker[i];
        EXPECT_EQ(broker[i].scanned, 1u) << c.what << ": " << broker[i];
        EXPECT_EQ(broker[i].mime, c.mime) << c.what;
        EXPECT_EQ(broker[i].infections, c.rc == VSA_OK ? 0u : 1u) << c.what;
        EXPECT_EQ(broker[i].viruses.rfind(c.virus, 0), 0u) << c.what << ": " << broker[i];
        EXPECT_EQ(broker[i].errors, 0u) << c.what << ": " << broker[i];
    }
}

TEST_F(GatewayScan, AWrongGatewayPasswordFailsTheStartUpQuicklyWithTheReasonInTheTrace) {
    const auto started = std::chrono::steady_clock::now();
    Host host(gateway_->url(), config(GatewayProcess::kUser, "not-the-password"), tls_->ca_file());
    const VSA_RC rc = host.init();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
    EXPECT_EQ(rc, VSA_E_DRIVER_FAILED) << host.error_text();
    EXPECT_LE(took, 12000) << "bounded by the init time-out, not a hang";
    ASSERT_NE(host.handle(), nullptr);
    EXPECT_NE(host.error_text(), "<null>");
    // The host's error text only says the control did not answer; the reason is in the trace.
    EXPECT_TRUE(host.adapter().traced("rejected the credentials")) << host.adapter().trace();
}

}  // namespace
