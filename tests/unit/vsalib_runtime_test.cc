// The runtime record of an init handle: the configuration hash, the run-directory file names,
// the SAP virtual host names from the instance profiles, the record's identity and realm, the
// job-ID semaphore and the string store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "config/config_store.h"
#include "connection/connection.h"
#include "platform/host.h"
#include "platform/semaphore.h"
#include "support/temp_dir.h"
#include "vsa_engine.h"
#include "vsalib_BuildUniquePaths.h"
#include "vsalib_sap_vhost.h"
#include "vsalib_semaphores.h"

namespace {

using qztest::TempDir;
using qztest::TraceCapture;
using qztest::write_file;

// Sets environment variables for its lifetime and restores what was there before.
class Environment {
  public:
    Environment() = default;
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    void set(const std::string& name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = getenv(name.c_str());
            saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value != nullptr)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A vsa_global as the adapter makes it: a critical section and a parameter store.
class Global {
  public:
    Global() {
        QZ_InitializeCriticalSection(&g_.cs, 1024);
        g_.config = qz_config_new_list();
    }
    ~Global() {
        qz_connection_config_free(static_cast<qz_connection_config*>(g_.connection_config));
        qz_config_free_list(g_.config);
        QZ_DeleteCriticalSection(&g_.cs);
    }
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;

    vsa_global* get() { return &g_; }
    void store(const char* section, const char* key, const char* value) {
        ASSERT_EQ(StoreConfigParameter_String(g_.config, section, key, value, QZ_SOURCE_VSI_API),
                  0);
    }
    qz_connection_config* connection() {
        return static_cast<qz_connection_config*>(g_.connection_config);
    }

  private:
    vsa_global g_{};
};

// An init handle with its runtime record, released as VsaEnd would.
class Handle {
  public:
    explicit Handle(vsa_global* g) {
        init_.struct_size = sizeof init_;
        engine_ = vsalib_AllocateRuntimeConfig(&pointer_, g);
    }
    ~Handle() { vsalib_FreeRuntimeConfig(engine_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    VSA_ENGINE* engine() const { return engine_; }
    VSA_INIT* init() { return &init_; }

  private:
    VSA_INIT init_{};
    VSA_INIT* pointer_ = &init_;
    VSA_ENGINE* engine_ = nullptr;
};

std::string host_name() {
    char name[256] = {};
    qz_gethostname(name, sizeof name);
    return name;
}

TEST(VsalibConfigHash, ThirtyDigitsOfTheDigestOfThreePaddedFields) {
    struct Case {
        const char* directory;
        const char* sid;
        const char* host;
        const char* hash;
    };
    // Digests computed independently (MD5 of three zero-filled 4095-byte fields, bytes 2..16).
    const Case kCases[] = {
        {"C:\\inst", "PRD", "h1", "05473bc7dc03552c7f0607adda9672"},
        {"/opt/qz", "PRD", "h1", "b0730bbbf6d203dacb71a5c12d9dec"},
        {"", "", "", "c5bed011ae897c75dea539a6d745ef"},
        {nullptr, nullptr, nullptr, "c5bed011ae897c75dea539a6d745ef"},
    };
    for (const Case& c : kCases) {
        char out[VSALIB_CONFIG_HASH_SIZE];
        memset(out, 'x', sizeof out);
        ASSERT_EQ(VsaCreateConfigHash(out, c.directory, c.sid, c.host), 0);
        EXPECT_STREQ(out, c.hash) << (c.directory != nullptr ? c.directory : "(null)");
        EXPECT_EQ(out[30], '\0');
        EXPECT_EQ(out[32], '\0');
    }
    EXPECT_EQ(VsaCreateConfigHash(nullptr, "a", "b", "c"), -1);
}

TEST(VsalibConfigHash, FieldsAreCutAt4094Characters) {
    const std::string cut(4094, 'd');
    char hash_cut[VSALIB_CONFIG_HASH_SIZE], hash_long[VSALIB_CONFIG_HASH_SIZE],
        hash_short[VSALIB_CONFIG_HASH_SIZE];
    VsaCreateConfigHash(hash_cut, cut.c_str(), "PRD", "h1");
    VsaCreateConfigHash(hash_long, (cut + "tail that does not count").c_str(), "PRD", "h1");
    VsaCreateConfigHash(hash_short, cut.substr(1).c_str(), "PRD", "h1");
    EXPECT_STREQ(hash_cut, hash_long);
    EXPECT_STRNE(hash_cut, hash_short);
    // The field boundaries count: moving a character from one field to the next changes it.
    char a[VSALIB_CONFIG_HASH_SIZE], b[VSALIB_CONFIG_HASH_SIZE];
    VsaCreateConfigHash(a, "/opt/q", "zPRD", "h1");
    VsaCreateConfigHash(b, "/opt/qz", "PRD", "h1");
    EXPECT_STRNE(a, b);
}

TEST(VsalibUniquePaths, ThreeRunDirectoryNamesCarryTheHash) {
    struct Case {
        const char* directory;  // NULL: not stored
        const char* hash;
        int rc;
        const char* lock;
        const char* heartbeat;
        const char* job_id;
    };
    const std::string too_long(4080, 'l');
    const Case kCases[] = {
        {"/opt/qz", "abc", 0, "/opt/qz/run/vendrixControl_abc.lock",
         "/opt/qz/run/QZ_heartbeat_abc.dat", "/opt/qz/run/VSA_jobid_abc.dat"},
        {nullptr, "h", 0, "/run/vendrixControl_h.lock", "/run/QZ_heartbeat_h.dat",
         "/run/VSA_jobid_h.dat"},
        // A cut name would point at another file; none is built.
        {too_long.c_str(), "abc", -1, nullptr, nullptr, nullptr},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        Global g;
        if (c.directory != nullptr) g.store("INIT", "INITDIRECTORY", c.directory);
        VSA_ENGINE engine{};
        vsalib_ctl_details ctl{};
        engine.config = g.get()->config;
        engine.global = g.get();
        engine.ctlDetails = &ctl;
        engine.configHash = strdup(c.hash);
        EXPECT_EQ(qz_BuildUniquePaths(&engine), c.rc);
        auto text = [](const char* s) { return std::string(s != nullptr ? s : "(null)"); };
        EXPECT_EQ(text(ctl.lockFile), text(c.lock));
        EXPECT_EQ(text(engine.heartbeatFile), text(c.heartbeat));
        EXPECT_EQ(text(engine.jobIdFile), text(c.job_id));
        if (c.rc == 0) {
            EXPECT_TRUE(
                trace.contains("vendrixControl PID/lock filename \"" + text(c.lock) + "\" stored"));
            EXPECT_TRUE(trace.contains("VSA JobID filename \"" + text(c.job_id) + "\" stored"));
        } else {
            EXPECT_TRUE(
                trace.contains("Failed to allocate/store vendrixControl PID/lock filename buffer"));
        }
        free(ctl.lockFile);
        free(engine.heartbeatFile);
        free(engine.jobIdFile);
        free(engine.configHash);
    }
    EXPECT_EQ(qz_BuildUniquePaths(nullptr), -1);
}

class SapProfiles : public ::testing::Test {
  protected:
    void SetUp() override {
        env.set("SAPSYSTEMNAME", "PRD");
        env.set("DIR_PROFILE", dir.path().c_str());
        env.set("DIR_INSTANCE", "/usr/sap/PRD/D00/");
    }
    void profile(const std::string& name, const std::string& text) {
        write_file(dir.file(name), text);
    }
    // The two names, "(null)" for a missing one, joined by '|'.
    std::string names(int expected_rc = 0) {
        char* short_name = reinterpret_cast<char*>(1);
        char* long_name = reinterpret_cast<char*>(1);
        EXPECT_EQ(get_sap_virtual_hostname(&short_name, &long_name), expected_rc);
        std::string result = std::string(short_name != nullptr ? short_name : "(null)") + "|" +
                             (long_name != nullptr ? long_name : "(null)");
        free(short_name);
        free(long_name);
        return result;
    }

    Environment env;
    TempDir dir;
};

TEST_F(SapProfiles, LinesAreTrimmedAndOnlyTheTwoKeysCount) {
    profile("DEFAULT.PFL",
            "# SAPLOCALHOST = commented\n"
            "\n"
            "SAPLOCALHOST\n"
            "SAPSYSTEM = 00\n"
            "  SAPLOCALHOST   =   vhost  \r\n"
            "SAPFQDN=example.com\n"
            "SAPLOCALHOSTFULL = other\n");
    EXPECT_EQ(names(), "vhost|vhost.example.com");
}

TEST_F(SapProfiles, TheSmallestInstanceProfileOverridesTheDefault) {
    profile("DEFAULT.PFL", "SAPLOCALHOST = default\nSAPFQDN = corp.example\n");
    profile("PRD_D00_zeta", "SAPLOCALHOST = zeta\n");
    profile("PRD_D00_alpha", "SAPLOCALHOST = alpha\nSAPLOCALHOST = alpha2\n");
    profile("PRD_D01_aaa", "SAPLOCALHOST = wrong-instance\n");
    profile("PRD_D00", "SAPLOCALHOST = no-underscore-after-instance\n");
    EXPECT_EQ(names(), "alpha2|alpha2.corp.example");
}

TEST_F(SapProfiles, InstanceNameRules) {
    struct Case {
        const char* dir_instance;  // NULL: unset
        const char* cwd;           // relative to the temporary directory; NULL: unchanged
        const char* instance;      // NULL: none found
    };
    const Case kCases[] = {
        {"/usr/sap/PRD/D00/", nullptr, "D00"},
        {"/usr/sap/PRD/ASCS01//", nullptr, "ASCS01"},
        {"D02", nullptr, "D02"},
        {nullptr, "sap/DVEBMGS03/work", "DVEBMGS03"},
        {nullptr, "sap/DVEBMGS03/data", nullptr},
    };
    char original[4096];
    ASSERT_NE(getcwd(original, sizeof original), nullptr);
    for (const Case& c : kCases) {
        env.set("DIR_INSTANCE", c.dir_instance);
        if (c.cwd != nullptr) {
            std::filesystem::create_directories(dir.file(c.cwd));
            ASSERT_EQ(chdir(dir.file(c.cwd).c_str()), 0);
        }
        char name[64] = "unchanged";
        const int rc = vsalib_sap_instance_name(name, sizeof name);
        ASSERT_EQ(chdir(original), 0);
        if (c.instance == nullptr) {
            EXPECT_EQ(rc, -1);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_STREQ(name, c.instance);
        }
    }
    // At most 63 characters.
    const std::string long_name(80, 'i');
    env.set("DIR_INSTANCE", ("/usr/sap/PRD/" + long_name).c_str());
    char name[64];
    ASSERT_EQ(vsalib_sap_instance_name(name, sizeof name), 0);
    EXPECT_EQ(std::string(name), long_name.substr(0, 63));
}

TEST_F(SapProfiles, WithoutInstanceOnlyTheDefaultProfileIsRead) {
    TraceCapture trace;
    env.set("DIR_INSTANCE", nullptr);
    profile("DEFAULT.PFL", "SAPLOCALHOST = default\n");
    profile("PRD_D00_x", "SAPLOCALHOST = instance\n");
    EXPECT_EQ(names(), "default|(null)");
    EXPECT_TRUE(
        trace.contains("Failed to determine SAP instance name (DIR_INSTANCE unset and CWD "
                       "is not a .../work directory)"));
}

TEST_F(SapProfiles, MissingSystemOrProfilesGiveNoNames) {
    // No profiles at all: success without names.
    EXPECT_EQ(names(), "(null)|(null)");
    // A FQDN without a short name makes no long name.
    profile("DEFAULT.PFL", "SAPFQDN = corp.example\n");
    EXPECT_EQ(names(), "(null)|(null)");
    env.set("SAPSYSTEMNAME", "");
    EXPECT_EQ(names(-1), "(null)|(null)");
    env.set("SAPSYSTEMNAME", nullptr);
    EXPECT_EQ(names(-1), "(null)|(null)");
}

TEST(VsalibStoreString, CopiesReplacesAndRefusesEmptyText) {
    TraceCapture trace;
    char* dest = nullptr;
    EXPECT_EQ(vsalib_StoreString(&dest, "first"), 0);
    ASSERT_NE(dest, nullptr);
    EXPECT_STREQ(dest, "first");
    const char* source = "second";
    EXPECT_EQ(vsalib_StoreString(&dest, source), 0);
    EXPECT_STREQ(dest, "second");
    EXPECT_NE(dest, source);
    char* kept = dest;
    EXPECT_EQ(vsalib_StoreString(&dest, ""), 1);
    EXPECT_EQ(dest, kept);
    EXPECT_EQ(vsalib_StoreString(&dest, nullptr), 1);
    EXPECT_EQ(dest, kept);
    EXPECT_EQ(vsalib_StoreString(nullptr, "x"), 1);
    EXPECT_TRUE(trace.contains("Stored \"first\" (len: 5) to "));
    EXPECT_TRUE(trace.contains("Invalid parameter: dest: "));
    EXPECT_TRUE(trace.contains("Exciting, rc=1"));
    free(dest);
}

class RuntimeRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        env.set("SAPSYSTEMNAME", nullptr);
        env.set("DIR_PROFILE", dir.path().c_str());
    }
    Environment env;
    TempDir dir;
    Global g;
};

TEST_F(RuntimeRecord, WithoutSapSystemTheHostNameIsTheSid) {
    Handle handle(g.get());
    VSA_ENGINE* engine = handle.engine();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(handle.init()->hEngine, engine);
    EXPECT_EQ(engine->global, g.get());
    EXPECT_EQ(engine->config, g.get()->config);
    EXPECT_EQ(std::string(engine->SID), host_name());
    EXPECT_EQ(std::string(engine->host_name), host_name());
    EXPECT_NE(engine->FQDN, nullptr);
    EXPECT_EQ(engine->sapVirtualHost, nullptr);
    EXPECT_EQ(engine->sapVirtualHostLong, nullptr);
    EXPECT_STREQ(engine->realmID, "default");
    ASSERT_NE(engine->ctlDetails, nullptr);
    ASSERT_NE(engine->semDetails, nullptr);
    EXPECT_EQ(engine->services, nullptr);
    EXPECT_EQ(engine->refCounted, 0);
    // No credentials configured: none set.
    ASSERT_NE(g.connection(), nullptr);
    EXPECT_EQ(g.connection()->default_user, nullptr);
    EXPECT_EQ(g.connection()->default_password, nullptr);
}

TEST_F(RuntimeRecord, SapSystemRealmAndBrokerCredentialsComeFromTheInstallation) {
    env.set("SAPSYSTEMNAME", "PRD");
    env.set("DIR_INSTANCE", "/usr/sap/PRD/D00");
    write_file(dir.file("DEFAULT.PFL"), "SAPLOCALHOST = vhost\nSAPFQDN = corp.example\n");
    g.store("GLOBAL", "REALMID", "realm-7");
    g.store("GLOBAL", "BROKER_USER", "qzav");
    g.store("GLOBAL", "BROKER_PASSWORD", "s3cret");
    TraceCapture trace;
    Handle handle(g.get());
    VSA_ENGINE* engine = handle.engine();
    ASSERT_NE(engine, nullptr);
    EXPECT_STREQ(engine->SID, "PRD");
    EXPECT_STREQ(engine->sapVirtualHost, "vhost");
    EXPECT_STREQ(engine->sapVirtualHostLong, "vhost.corp.example");
    EXPECT_STREQ(engine->realmID, "realm-7");
    EXPECT_STREQ(g.connection()->default_user, "qzav");
    EXPECT_STREQ(g.connection()->default_password, "s3cret");
    // The password never reaches the trace.
    EXPECT_FALSE(trace.contains("s3cret"));
    EXPECT_TRUE(trace.contains("realmID: realm-7"));
}

TEST_F(RuntimeRecord, ALaterHandleSharesTheConnectionSettings) {
    g.store("GLOBAL", "BROKER_USER", "first");
    Handle first(g.get());
    ASSERT_NE(first.engine(), nullptr);
    qz_connection_config* shared = g.connection();
    g.get()->gRefCounter = 1;
    g.store("GLOBAL", "BROKER_USER", "second");
    Handle second(g.get());
    ASSERT_NE(second.engine(), nullptr);
    EXPECT_NE(second.engine(), first.engine());
    EXPECT_EQ(g.connection(), shared);
    EXPECT_STREQ(g.connection()->default_user, "first");
}

TEST_F(RuntimeRecord, ANewStartUpReplacesTheSettingsAnEarlierOneLeft) {
    {
        Handle earlier(g.get());
        ASSERT_NE(earlier.engine(), nullptr);
    }
    qz_connection_config* left = g.connection();
    ASSERT_NE(left, nullptr);
    left->server_url = strdup("nats://left.example:4222");
    // gRefCounter is 0 again: the record is released (the sanitizer build sees a leak otherwise)
    // and a fresh one made.
    Handle next(g.get());
    ASSERT_NE(next.engine(), nullptr);
    ASSERT_NE(g.connection(), nullptr);
    EXPECT_EQ(g.connection()->server_url, nullptr);
}

TEST_F(RuntimeRecord, InvalidArgumentsCreateNothing) {
    VSA_INIT* none = nullptr;
    EXPECT_EQ(vsalib_AllocateRuntimeConfig(nullptr, g.get()), nullptr);
    EXPECT_EQ(vsalib_AllocateRuntimeConfig(&none, g.get()), nullptr);
    VSA_INIT init{};
    VSA_INIT* pointer = &init;
    EXPECT_EQ(vsalib_AllocateRuntimeConfig(&pointer, nullptr), nullptr);
    EXPECT_EQ(init.hEngine, nullptr);
    EXPECT_EQ(vsalib_FreeRuntimeConfig(nullptr), -1);
}

TEST_F(RuntimeRecord, TheJobIdSemaphoreIsNamedAfterSidAndHash) {
    TraceCapture trace;
    Handle handle(g.get());
    VSA_ENGINE* engine = handle.engine();
    ASSERT_NE(engine, nullptr);
    engine->configHash = strdup("0123456789abcdef0123456789abcd");
    const std::string name = std::string("/qz_jobID_") + engine->SID + "_" + engine->configHash;
    char message[VSALIB_MESSAGE_SIZE] = "";
    ASSERT_EQ(vsalib_CreateSemaphores(engine, message), 0) << message;
    ASSERT_NE(engine->semDetails->jobIdSemaphore, nullptr);
    EXPECT_TRUE(trace.contains("Created JobID semaphore " + name));
    // Initial count 1, maximum 1.
    EXPECT_EQ(QZsem_timedwait(engine->semDetails->jobIdSemaphore, -1), 0);
    EXPECT_NE(QZsem_timedwait(engine->semDetails->jobIdSemaphore, -1), 0);
    EXPECT_NE(QZsem_post(engine->semDetails->jobIdSemaphore), 0);
    EXPECT_EQ(QZsem_post(engine->semDetails->jobIdSemaphore), 0);
    QZsem_remove(name.c_str());
}

}  // namespace
