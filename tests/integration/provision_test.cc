// The provisioning tool against a real nats-server: what it creates, that a second run changes
// nothing, that drifted settings come back, that incompatible objects are reported, bad command
// lines, an unreachable broker and TLS with client certificates.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "connection/nats_handles.h"
#include "support/nats_server.h"

namespace {

constexpr int64_t kSecond = 1000000000LL;

struct ToolResult {
    int rc = -1;
    std::string output;
};

std::string shell_quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

ToolResult run_tool(const std::vector<std::string>& args) {
    std::string command = QZ_PROVISION_TOOL;
    for (const auto& arg : args) command += " " + shell_quote(arg);
    command += " 2>&1";
    ToolResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

struct StreamInfoDeleter {
    void operator()(jsStreamInfo* si) const { jsStreamInfo_Destroy(si); }
};
using StreamInfoPtr = std::unique_ptr<jsStreamInfo, StreamInfoDeleter>;
struct ConsumerInfoDeleter {
    void operator()(jsConsumerInfo* ci) const { jsConsumerInfo_Destroy(ci); }
};
using ConsumerInfoPtr = std::unique_ptr<jsConsumerInfo, ConsumerInfoDeleter>;

class Provision : public ::testing::Test {
  protected:
    void SetUp() override {
        natsConnection* nc = nullptr;
        ASSERT_EQ(natsConnection_ConnectTo(&nc, server_.url().c_str()), NATS_OK);
        nc_.reset(nc);
        jsCtx* js = nullptr;
        ASSERT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
        js_.reset(js);
    }

    StreamInfoPtr stream(const char* name) {
        jsStreamInfo* si = nullptr;
        EXPECT_EQ(js_GetStreamInfo(&si, js_.get(), name, nullptr, nullptr), NATS_OK) << name;
        return StreamInfoPtr(si);
    }

    ConsumerInfoPtr consumer(const char* stream_name, const char* durable) {
        jsConsumerInfo* ci = nullptr;
        EXPECT_EQ(js_GetConsumerInfo(&ci, js_.get(), stream_name, durable, nullptr, nullptr),
                  NATS_OK)
            << durable;
        return ConsumerInfoPtr(ci);
    }

    qztest::NatsServer server_;
    qz::nats::ConnectionPtr nc_;
    qz::nats::JsCtxPtr js_;
};

TEST_F(Provision, CreatesBucketsAndWorkQueuesOnceWithTheDocumentedSettings) {
    ToolResult first = run_tool({"--url", server_.url(), "qz-av-clamav", "qz-av.dotted"});
    ASSERT_EQ(first.rc, 0) << first.output;
    EXPECT_NE(first.output.find("qz-av-provision: ready on " + server_.url() +
                                " — 3 buckets, 2 work queue(s); created 7, updated 0, unchanged "
                                "0, failed 0"),
              std::string::npos)
        << first.output;

    struct BucketCase {
        const char* stream;
        int64_t max_age_s;
        int64_t max_bytes;
    };
    for (const auto& b : {BucketCase{"KV_qz-av-scan-data", 3600, 4096LL << 20},
                          BucketCase{"KV_qz-av-worker-registry", 15, 16LL << 20},
                          BucketCase{"KV_qz-av-wq-dedup", 300, 256LL << 20}}) {
        SCOPED_TRACE(b.stream);
        auto si = stream(b.stream);
        ASSERT_TRUE(si);
        EXPECT_EQ(si->Config->MaxMsgsPerSubject, 1);
        EXPECT_EQ(si->Config->MaxAge, b.max_age_s * kSecond);
        EXPECT_EQ(si->Config->MaxBytes, b.max_bytes);
        EXPECT_EQ(si->Config->Storage, js_FileStorage);
        // A full bucket must refuse new values, never drop parts of staged payloads.
        EXPECT_EQ(si->Config->Discard, js_DiscardNew);
    }
    struct QueueCase {
        const char* stream;
        const char* durable;
        const char* subject;
    };
    for (const auto& q :
         {QueueCase{"JOBS_qz-av-clamav", "WORK_qz-av-clamav", "jobs.qz-av-clamav"},
          QueueCase{"JOBS_qz-av_dotted", "WORK_qz-av_dotted", "jobs.qz-av.dotted"}}) {
        SCOPED_TRACE(q.stream);
        auto si = stream(q.stream);
        ASSERT_TRUE(si);
        ASSERT_EQ(si->Config->SubjectsLen, 1);
        EXPECT_STREQ(si->Config->Subjects[0], q.subject);
        EXPECT_EQ(si->Config->Retention, js_WorkQueuePolicy);
        EXPECT_EQ(si->Config->Discard, js_DiscardNew);
        EXPECT_EQ(si->Config->Duplicates, 120 * kSecond);
        EXPECT_EQ(si->Config->MaxAge, 900 * kSecond);
        auto ci = consumer(q.stream, q.durable);
        ASSERT_TRUE(ci);
        EXPECT_STREQ(ci->Config->Durable, q.durable);
        EXPECT_EQ(ci->Config->DeliverSubject, nullptr);  // pull
        EXPECT_EQ(ci->Config->AckPolicy, js_AckExplicit);
        EXPECT_EQ(ci->Config->AckWait, 30 * kSecond);
        EXPECT_EQ(ci->Config->MaxDeliver, 5);
        EXPECT_EQ(ci->Config->MaxAckPending, 1024);
        EXPECT_STREQ(ci->Config->FilterSubject, q.subject);
    }

    ToolResult second = run_tool({"--url", server_.url(), "qz-av-clamav", "qz-av.dotted"});
    EXPECT_EQ(second.rc, 0) << second.output;
    EXPECT_NE(second.output.find("created 0, updated 0, unchanged 7, failed 0"), std::string::npos)
        << second.output;
}

TEST_F(Provision, WorkQueueDropsDuplicateRequestIdsAndServesThePuller) {
    ASSERT_EQ(run_tool({"--url", server_.url(), "qz-av-dummy"}).rc, 0);
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MsgId = "scan-1-2-3";
    for (int i = 0; i < 2; ++i) {
        jsPubAck* ack = nullptr;
        ASSERT_EQ(js_Publish(&ack, js_.get(), "jobs.qz-av-dummy", "{}", 2, &po, nullptr), NATS_OK);
        jsPubAck_Destroy(ack);
    }
    EXPECT_EQ(stream("JOBS_qz-av-dummy")->State.Msgs, 1u);

    natsSubscription* sub = nullptr;
    ASSERT_EQ(js_PullSubscribe(&sub, js_.get(), "jobs.qz-av-dummy", "WORK_qz-av-dummy", nullptr,
                               nullptr, nullptr),
              NATS_OK);
    qz::nats::SubscriptionPtr owner(sub);
    natsMsgList list{};
    ASSERT_EQ(natsSubscription_Fetch(&list, sub, 1, 2000, nullptr), NATS_OK);
    ASSERT_EQ(list.Count, 1);
    EXPECT_EQ(natsMsg_Ack(list.Msgs[0], nullptr), NATS_OK);
    natsMsgList_Destroy(&list);
}

TEST_F(Provision, DriftedSettingsAreBroughtBack) {
    ASSERT_EQ(run_tool({"--url", server_.url(), "svc"}).rc, 0);
    auto ci = consumer("JOBS_svc", "WORK_svc");
    jsConsumerConfig cc = *ci->Config;
    cc.AckWait = 2 * kSecond;
    cc.MaxDeliver = 50;
    jsConsumerInfo* changed = nullptr;
    natsStatus ignored;
    ASSERT_EQ(js_UpdateConsumer(&changed, js_.get(), "JOBS_svc", &cc, nullptr, nullptr), NATS_OK)
        << nats_GetLastError(&ignored);
    jsConsumerInfo_Destroy(changed);
    auto si = stream("KV_qz-av-wq-dedup");
    jsStreamConfig sc = *si->Config;
    sc.MaxAge = 10 * kSecond;
    sc.Duplicates = 10 * kSecond;
    jsStreamInfo* updated = nullptr;
    ASSERT_EQ(js_UpdateStream(&updated, js_.get(), &sc, nullptr, nullptr), NATS_OK)
        << nats_GetLastError(&ignored);
    jsStreamInfo_Destroy(updated);

    ToolResult again = run_tool({"--url", server_.url(), "svc"});
    EXPECT_EQ(again.rc, 0) << again.output;
    EXPECT_NE(again.output.find("created 0, updated 2, unchanged 3"), std::string::npos)
        << again.output;
    EXPECT_EQ(consumer("JOBS_svc", "WORK_svc")->Config->AckWait, 30 * kSecond);
    EXPECT_EQ(consumer("JOBS_svc", "WORK_svc")->Config->MaxDeliver, 5);
    EXPECT_EQ(stream("KV_qz-av-wq-dedup")->Config->MaxAge, 300 * kSecond);
}

TEST_F(Provision, IncompatibleExistingStreamIsReportedNotReplaced) {
    jsStreamConfig sc;
    jsStreamConfig_Init(&sc);
    sc.Name = "JOBS_legacy";
    const char* subjects[] = {"jobs.legacy"};
    sc.Subjects = subjects;
    sc.SubjectsLen = 1;
    sc.Retention = js_LimitsPolicy;
    jsStreamInfo* si = nullptr;
    ASSERT_EQ(js_AddStream(&si, js_.get(), &sc, nullptr, nullptr), NATS_OK);
    jsStreamInfo_Destroy(si);

    ToolResult r = run_tool({"--url", server_.url(), "legacy", "fresh"});
    EXPECT_EQ(r.rc, 1) << r.output;
    EXPECT_NE(r.output.find("stream JOBS_legacy exists with another retention or storage"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("NOT ready"), std::string::npos);
    // Everything else was still done.
    EXPECT_TRUE(consumer("JOBS_fresh", "WORK_fresh"));
    EXPECT_EQ(stream("JOBS_legacy")->Config->Retention, js_LimitsPolicy);
}

TEST(ProvisionCommandLine, BadInputIsAUsageError) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--url"},
        {"a*b"},
        {"a>b"},
        {"with space"},
        {".lead"},
        {"trail."},
        {"a..b"},
        {""},
        {std::string(195, 'x')},
        {"--replicas", "0"},
        {"--replicas", "x"},
        {"--scan-data-max-bytes", "0"},
        {"--user", "u"},
        {"--cert", "c.pem"},
    };
    for (const auto& args : cases) {
        ToolResult r = run_tool(args);
        EXPECT_EQ(r.rc, 2) << args[0] << ": " << r.output;
        EXPECT_NE(r.output.find("qz-av-provision: "), std::string::npos) << r.output;
    }
    ToolResult help = run_tool({"--help"});
    EXPECT_EQ(help.rc, 0);
    EXPECT_NE(help.output.find("Example:"), std::string::npos);
    EXPECT_NE(help.output.find("Usage: qz-av-provision"), std::string::npos);
}

TEST(ProvisionBroker, UnreachableBrokerFailsQuickly) {
    const int port = qztest::free_loopback_port();
    auto start = std::chrono::steady_clock::now();
    ToolResult r = run_tool({"--url", "nats://127.0.0.1:" + std::to_string(port), "svc"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.output.find("cannot connect to nats://127.0.0.1:"), std::string::npos) << r.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ProvisionBroker, TlsWithClientCertificate) {
    qztest::NatsServer::Options options;
    options.tls = true;
    qztest::NatsServer server(options);
    ToolResult ok = run_tool({"--url", server.tls_url(), "--ca", server.ca_file(), "--cert",
                              server.client_cert_file(), "--key", server.client_key_file(), "svc"});
    EXPECT_EQ(ok.rc, 0) << ok.output;
    EXPECT_NE(ok.output.find("created 5"), std::string::npos) << ok.output;

    ToolResult no_cert = run_tool({"--url", server.tls_url(), "--ca", server.ca_file(), "svc"});
    EXPECT_EQ(no_cert.rc, 1) << no_cert.output;
    ToolResult wrong_ca =
        run_tool({"--url", server.tls_url(), "--ca", server.other_ca_file(), "--cert",
                  server.client_cert_file(), "--key", server.client_key_file()});
    EXPECT_EQ(wrong_ca.rc, 1) << wrong_ca.output;
}

}  // namespace
