// The CONSOLIDATED_INIT exchange without a broker: the request document, and what a reply of the
// control service does to the runtime record, the parameter store and the VSA_INIT record.
#include "vsalib_consolidated_init.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "connection/nats_handles.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"
#include "vsa_engine.h"

namespace {

using qztest::TraceCapture;

// A runtime record with the given needed services and a store of its own, and the VSA_INIT
// record it belongs to.
class Fixture {
  public:
    explicit Fixture(const std::vector<std::string>& services) {
        QZ_InitializeCriticalSection(&g_.cs, 1024);
        g_.config = qz_config_new_list();
        engine_.config = g_.config;
        engine_.global = &g_;
        engine_.realmID = strdup("realm-1");
        engine_.SID = strdup("PRD");
        engine_.host_name = strdup("h1");
        engine_.services = static_cast<char**>(calloc(services.size() + 1, sizeof(char*)));
        for (size_t i = 0; i < services.size(); ++i)
            engine_.services[i] = strdup(services[i].c_str());
        init_.struct_size = sizeof init_;
    }
    ~Fixture() {
        VSA_ENGINE* engine = static_cast<VSA_ENGINE*>(malloc(sizeof engine_));
        memcpy(engine, &engine_, sizeof engine_);
        vsalib_FreeRuntimeConfig(engine);
        for (unsigned i = 0; i < init_.usDriverCount; ++i) free(init_.pDriverInfo[i].pszDriverName);
        free(init_.pDriverInfo);
        qz_config_free_list(g_.config);
        QZ_DeleteCriticalSection(&g_.cs);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    // Applies the reply text; the message (or "OK") is the result.
    std::string apply(const char* reply_text) {
        qz::nats::JsonPtr reply(json_tokener_parse(reply_text));
        char message[VSALIB_MESSAGE_SIZE] = "stale";
        const int rc =
            vsalib_apply_consolidated_init_reply(&engine_, &pointer_, reply.get(), message);
        return rc == 0 ? std::string("OK") : std::string(message);
    }
    VSA_ENGINE* engine() { return &engine_; }
    VSA_INIT* init() { return &init_; }
    list_t* store() { return g_.config; }

    // "<name>|<rc>|<major>.<minor>|<viruses>/<variants>|<date>" per entry.
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (unsigned i = 0; i < init_.usDriverCount; ++i) {
            const VSA_DRIVERINFO& e = init_.pDriverInfo[i];
            EXPECT_EQ(e.struct_size, 48u);
            out.push_back(
                std::string(e.pszDriverName != nullptr ? e.pszDriverName : "(null)") + "|" +
                std::to_string(e.iDriverRC) + "|" + std::to_string(e.usMajorVersion) + "." +
                std::to_string(e.usMinorVersion) + "|" + std::to_string(e.iNumberOfViruses) + "/" +
                std::to_string(e.iNumberOfVariants) + "|" + std::to_string(e.lDate));
        }
        return out;
    }

  private:
    vsa_global g_{};
    VSA_ENGINE engine_{};
    VSA_INIT init_{};
    VSA_INIT* pointer_ = &init_;
};

constexpr const char* kClamav =
    R"({"Servicename":"qz-av-clamav","Driverinfo":{"Present":true,"MajorVersion":1,)"
    R"("MinorVersion":4,"NumberOfViruses":8000000,"NumberOfVariants":12,"Timestamp":1786290085,)"
    R"("DriverName":"ClamAV 1.4"}})";

TEST(ControlServiceName, PartBeforePlusMustBeExact) {
    struct Case {
        const char* name;
        bool control;
    };
    const Case kCases[] = {
        {"qz-av-control", true},    {"qz-av-control+2", true},
        {"qz-av-control+", true},   {"qz-av-controls", false},
        {"qz-av-contro", false},    {"QZ-AV-CONTROL", false},
        {"x+qz-av-control", false}, {"", false},
        {nullptr, false},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(s_is_control_service(c.name), c.control) << (c.name ? c.name : "(null)");
}

TEST(ConsolidatedInitRequest, MembersInOrderWithSuffixesCut) {
    Fixture f({"qz-av-clamav+1", "qz-av-mimescan"});
    std::unique_ptr<char, decltype(&free)> text(
        vsalib_build_consolidated_init_request(f.engine(), "scan1:3310"), free);
    ASSERT_NE(text, nullptr);
    const std::string request = text.get();
    // Compact, in this order, no virtual host members when there are none.
    const std::string prefix = R"({"Command":6,"RequestID":")";
    ASSERT_EQ(request.rfind(prefix, 0), 0u) << request;
    const size_t id_end = request.find('"', prefix.size());
    const std::string id = request.substr(prefix.size(), id_end - prefix.size());
    EXPECT_EQ(std::count(id.begin(), id.end(), '-'), 2) << id;
    EXPECT_EQ(id.rfind(std::to_string(getpid()) + "-", 0), 0u) << id;
    EXPECT_EQ(request.substr(id_end + 1),
              R"(,"realmID":"realm-1","SID":"PRD","Hostname":"h1","Scan-Servers":"scan1:3310",)"
              R"("Services":["qz-av-clamav","qz-av-mimescan"]})");

    f.engine()->sapVirtualHost = strdup("vhost");
    f.engine()->sapVirtualHostLong = strdup("vhost.corp.example");
    text.reset(vsalib_build_consolidated_init_request(f.engine(), nullptr));
    EXPECT_NE(std::string(text.get())
                  .find(R"("Hostname":"h1","SAP-VirtualHostname":"vhost",)"
                        R"("SAP-VirtualHostnameLong":"vhost.corp.example","Scan-Servers":"",)"),
              std::string::npos)
        << text.get();
}

TEST(ConsolidatedInitReply, RefusalsLeaveTheReasonInTheMessage) {
    struct Case {
        const char* reply;  // NULL: no object
        const char* message;
    };
    const Case kCases[] = {
        {R"({"ReturnCode":5,"Error":"busy"})", "CONSOLIDATED_INIT control reported error: busy"},
        {R"({"ReturnCode":5})", "CONSOLIDATED_INIT control reported error: "},
        {R"({"Error":"no code","Services":[]})",
         "CONSOLIDATED_INIT control reported error: no code"},
        {R"({"ReturnCode":"0","Services":[]})", "CONSOLIDATED_INIT control reported error: "},
        {R"({"ReturnCode":0.0,"Services":[]})", "CONSOLIDATED_INIT control reported error: "},
        {R"([0])", "CONSOLIDATED_INIT control reported error: "},
        {nullptr, "CONSOLIDATED_INIT control reported error: "},
        {R"({"ReturnCode":0})", "CONSOLIDATED_INIT: response missing/invalid 'Services'"},
        {R"({"ReturnCode":0,"Services":{}})",
         "CONSOLIDATED_INIT: response missing/invalid 'Services'"},
        {R"({"ReturnCode":0,"SCAN":[["K",null]],"Services":[]})",
         "CONSOLIDATED_INIT: failed to store SCAN config in runtime"},
        {R"({"ReturnCode":0,"SCAN":[["K"]],"Services":[]})",
         "CONSOLIDATED_INIT: failed to store SCAN config in runtime"},
        {R"({"ReturnCode":0,"SCAN":{"K":"V"},"Services":[]})",
         "CONSOLIDATED_INIT: failed to store SCAN config in runtime"},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        Fixture f({"qz-av-clamav"});
        EXPECT_EQ(f.apply(c.reply != nullptr ? c.reply : "not json"), c.message)
            << (c.reply ? c.reply : "(null)");
        EXPECT_EQ(f.init()->usDriverCount, 0u);
    }
    TraceCapture trace;
    Fixture f({"qz-av-clamav"});
    f.apply(R"({"Services":[]})");
    EXPECT_TRUE(trace.contains("Object ReturnCode not found"));

    Fixture none({});
    EXPECT_EQ(none.apply(R"({"ReturnCode":0,"Services":[]})"),
              "CONSOLIDATED_INIT: no needed services");
    char message[VSALIB_MESSAGE_SIZE];
    EXPECT_EQ(vsalib_get_consolidated_init(none.engine(), nullptr, "", 5, message), -1);
    EXPECT_STREQ(message, "CONSOLIDATED_INIT: no needed services");
}

TEST(ConsolidatedInitReply, DriverEntriesFollowTheNeededServices) {
    struct Case {
        const char* label;
        std::vector<std::string> services;
        std::string reply_services;
        std::vector<std::string> entries;
    };
    const std::string kClamavEntry = "ClamAV 1.4|0|1.4|8000000/12|1786290085";
    const std::string kControl =
        R"({"Servicename":"qz-av-control","Driverinfo":{"Present":true,"MajorVersion":2,)"
        R"("MinorVersion":1,"NumberOfViruses":0,"NumberOfVariants":0,"Timestamp":5,)"
        R"("DriverName":"control"}})";
    const Case kCases[] = {
        {"suffix: the entry keeps its preset name until the reply fills it",
         {"qz-av-clamav+1", "qz-av-mimescan"},
         kClamav,
         {kClamavEntry, "qz-av-mimescan - NOT AVAILABLE|-1000|0.0|0/0|0"}},
        {"an empty Services array leaves the presets",
         {"qz-av-clamav+1", "qz-av-mimescan"},
         "",
         {"qz-av-clamav+1 - NOT AVAILABLE|-1000|0.0|0/0|0",
          "qz-av-mimescan - NOT AVAILABLE|-1000|0.0|0/0|0"}},
        {"control reported without being asked: extra entry 0",
         {"qz-av-clamav", "qz-av-mimescan"},
         std::string(kClamav) + "," + kControl,
         {"control|0|2.1|0/0|5", kClamavEntry, "qz-av-mimescan - NOT AVAILABLE|-1000|0.0|0/0|0"}},
        {"control asked for: no extra entry",
         {"qz-av-control", "qz-av-clamav"},
         kControl + "," + kClamav,
         {"control|0|2.1|0/0|5", kClamavEntry}},
        {"Present false",
         {"qz-av-clamav"},
         R"({"Servicename":"qz-av-clamav","Driverinfo":{"Present":false,"DriverName":"x"}})",
         {"qz-av-clamav - NOT AVAILABLE|-1000|0.0|0/0|0"}},
        {"Present missing or not a Boolean",
         {"qz-av-clamav", "qz-av-dummy"},
         R"({"Servicename":"qz-av-clamav","Driverinfo":{"DriverName":"x"}},)"
         R"({"Servicename":"qz-av-dummy","Driverinfo":{"Present":"false"}})",
         {"qz-av-clamav - NOT AVAILABLE|-1000|0.0|0/0|0",
          "qz-av-dummy - NOT AVAILABLE|-1000|0.0|0/0|0"}},
        {"missing numbers are 0, an empty or missing DriverName none",
         {"qz-av-clamav", "qz-av-dummy"},
         R"({"Servicename":"qz-av-clamav","Driverinfo":{"Present":true,"DriverName":""}},)"
         R"({"Servicename":"qz-av-dummy","Driverinfo":{"Present":true,"MajorVersion":3}})",
         {"(null)|0|0.0|0/0|0", "(null)|0|3.0|0/0|0"}},
        {"unrequested, incomplete and malformed objects are skipped",
         {"qz-av-clamav"},
         R"({"Servicename":"qz-av-sophos","Driverinfo":{"Present":true}},)"
         R"({"Servicename":"qz-av-clamav"},{"Driverinfo":{"Present":true}},17,"text")",
         {"qz-av-clamav - NOT AVAILABLE|-1000|0.0|0/0|0"}},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        Fixture f(c.services);
        const std::string reply = R"({"ReturnCode":0,"Services":[)" + c.reply_services + "]}";
        ASSERT_EQ(f.apply(reply.c_str()), "OK") << c.label;
        EXPECT_EQ(f.entries(), c.entries) << c.label;
    }
}

TEST(ConsolidatedInitReply, TracesNameTheMissingParts) {
    TraceCapture trace;
    Fixture f({"qz-av-clamav", "qz-av-dummy", "qz-av-icap"});
    ASSERT_EQ(
        f.apply(R"({"ReturnCode":0,"Services":[)"
                R"({"Servicename":"qz-av-clamav","Driverinfo":{"Present":true,"DriverName":""}},)"
                R"({"Servicename":"qz-av-dummy","Driverinfo":{"Present":false}},)"
                R"({"Servicename":"qz-av-sophos","Driverinfo":{"Present":true}},)"
                R"({"Servicename":"qz-av-icap","Driverinfo":{"Present":true,"DriverName":"i"}}]})"),
        "OK");
    EXPECT_TRUE(trace.contains("Key DriverName found, but value is empty"));
    EXPECT_TRUE(trace.contains("Object MajorVersion not found"));
    EXPECT_TRUE(
        trace.contains("Driverinfo for service qz-av-dummy not available (no registered worker)"));
    EXPECT_TRUE(trace.contains(
        "CONSOLIDATED_INIT: reply carries unrequested service qz-av-sophos \xE2\x80\x94 ignored"));
    EXPECT_TRUE(trace.contains("Got Drivername: i"));
    EXPECT_TRUE(trace.contains("CONSOLIDATED_INIT: response missing 'SCAN' field"));
    EXPECT_TRUE(trace.contains("CONSOLIDATED_INIT: tenantID=(none) realmName=(none)"));
}

TEST(ConsolidatedInitReply, TenantRealmAndScanSettingsAreTaken) {
    Fixture f({"qz-av-clamav"});
    // The host's own value outranks a retrieved one.
    ASSERT_EQ(
        StoreConfigParameter_String(f.store(), "SCAN", "SCANALLFILES", "0", QZ_SOURCE_VSI_API), 0);
    ASSERT_EQ(f.apply(R"({"ReturnCode":0,"tenantID":"t-9","realmName":"Realm Nine",)"
                      R"("SCAN":[["SCANBESTEFFORT","1"],["SCAN_MAX_SIZE","1000"],)"
                      R"(["SCANALLFILES","1"]],"Services":[]})"),
              "OK");
    EXPECT_STREQ(f.engine()->TenantID, "t-9");
    EXPECT_STREQ(f.engine()->realmName, "Realm Nine");
    int value = 0;
    ASSERT_EQ(GetConfigParameter_Int(f.store(), "SCAN", "SCANBESTEFFORT", &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(GetConfigParameter_Source(f.store(), "SCAN", "SCANBESTEFFORT"), QZ_SOURCE_RETRIEVED);
    EXPECT_STREQ(qz_parametersource[GetConfigParameter_Source(f.store(), "SCAN", "SCAN_MAX_SIZE")],
                 "Retrieved");
    EXPECT_STREQ(GetConfigParameter_String(f.store(), "SCAN", "SCANALLFILES"), "0");

    // Empty or missing names leave the fields unset.
    Fixture g({"qz-av-clamav"});
    ASSERT_EQ(g.apply(R"({"ReturnCode":0,"tenantID":"","Services":[]})"), "OK");
    EXPECT_EQ(g.engine()->TenantID, nullptr);
    EXPECT_EQ(g.engine()->realmName, nullptr);
}

TEST(ConsolidatedInit, WithoutConnectionThereIsNoReply) {
    Fixture f({"qz-av-clamav"});
    char message[VSALIB_MESSAGE_SIZE];
    VSA_INIT* init = f.init();
    EXPECT_EQ(vsalib_get_consolidated_init(f.engine(), &init, "", 1, message), -1);
    EXPECT_STREQ(message, "CONSOLIDATED_INIT: no reply from control");
}

}  // namespace
