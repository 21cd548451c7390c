// The broker fixture itself: it starts, serves core NATS and JetStream, comes back on the same
// port with its store after a restart, and in TLS mode accepts exactly the clients that present
// a certificate of its CA.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "connection/nats_handles.h"
#include "support/nats_server.h"

namespace {

using qz::nats::ConnectionPtr;
using qz::nats::JsCtxPtr;
using qz::nats::MsgPtr;
using qz::nats::OptionsPtr;
using qz::nats::SubscriptionPtr;
using qztest::NatsServer;

OptionsPtr options_for(const std::string& url) {
    natsOptions* raw = nullptr;
    EXPECT_EQ(natsOptions_Create(&raw), NATS_OK);
    OptionsPtr options(raw);
    natsOptions_SetURL(raw, url.c_str());
    natsOptions_SetTimeout(raw, 2000);
    return options;
}

natsStatus connect(natsOptions* options, ConnectionPtr* out) {
    natsConnection* raw = nullptr;
    natsStatus s = natsConnection_Connect(&raw, options);
    out->reset(raw);
    return s;
}

// Publishes on a fresh subscription and reads it back: the connection really carries messages.
void expect_round_trip(natsConnection* nc) {
    natsSubscription* raw_sub = nullptr;
    ASSERT_EQ(natsConnection_SubscribeSync(&raw_sub, nc, "fixture.echo"), NATS_OK);
    SubscriptionPtr sub(raw_sub);
    ASSERT_EQ(natsConnection_PublishString(nc, "fixture.echo", "ping"), NATS_OK);
    natsMsg* raw_msg = nullptr;
    ASSERT_EQ(natsSubscription_NextMsg(&raw_msg, sub.get(), 2000), NATS_OK);
    MsgPtr msg(raw_msg);
    EXPECT_STREQ(natsMsg_GetData(msg.get()), "ping");
}

TEST(NatsServerFixture, ServesCoreAndJetStream) {
    NatsServer server;
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.url(), "nats://127.0.0.1:" + std::to_string(server.port()));
    auto options = options_for(server.url());
    ConnectionPtr nc;
    ASSERT_EQ(connect(options.get(), &nc), NATS_OK);
    expect_round_trip(nc.get());

    jsCtx* raw_js = nullptr;
    ASSERT_EQ(natsConnection_JetStream(&raw_js, nc.get(), nullptr), NATS_OK);
    JsCtxPtr js(raw_js);
    jsAccountInfo* info = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    ASSERT_EQ(js_GetAccountInfo(&info, js.get(), nullptr, &jerr), NATS_OK) << jerr;
    jsAccountInfo_Destroy(info);
}

TEST(NatsServerFixture, RestartsOnTheSamePortAndStoreAndClientsReconnect) {
    NatsServer server;
    const int port = server.port();
    auto options = options_for(server.url());
    natsOptions_SetMaxReconnect(options.get(), -1);
    natsOptions_SetReconnectWait(options.get(), 50);
    ConnectionPtr nc;
    ASSERT_EQ(connect(options.get(), &nc), NATS_OK);

    // A stream created before the restart must still be there afterwards.
    jsCtx* raw_js = nullptr;
    ASSERT_EQ(natsConnection_JetStream(&raw_js, nc.get(), nullptr), NATS_OK);
    JsCtxPtr js(raw_js);
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = "FIXTURE";
    const char* subjects[] = {"fixture.stream"};
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    jsStreamInfo* stream = nullptr;
    ASSERT_EQ(js_AddStream(&stream, js.get(), &config, nullptr, nullptr), NATS_OK);
    jsStreamInfo_Destroy(stream);

    const pid_t first_pid = server.pid();
    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_EQ(kill(first_pid, 0), -1) << "the stopped server is reaped";
    EXPECT_NE(natsConnection_PublishString(nc.get(), "x", "y"), NATS_ERR);  // buffered, no crash

    server.start();
    EXPECT_EQ(server.port(), port);
    EXPECT_NE(server.pid(), first_pid);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (natsConnection_Status(nc.get()) != NATS_CONN_STATUS_CONNECTED &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(natsConnection_Status(nc.get()), NATS_CONN_STATUS_CONNECTED);
    expect_round_trip(nc.get());
    ASSERT_EQ(js_GetStreamInfo(&stream, js.get(), "FIXTURE", nullptr, nullptr), NATS_OK);
    jsStreamInfo_Destroy(stream);
}

TEST(NatsServerFixture, KillLeavesNoProcessBehind) {
    NatsServer server;
    const pid_t pid = server.pid();
    server.kill();
    EXPECT_EQ(kill(pid, 0), -1);
    server.start();
    auto options = options_for(server.url());
    ConnectionPtr nc;
    EXPECT_EQ(connect(options.get(), &nc), NATS_OK);
}

TEST(NatsServerFixture, TlsAcceptsOnlyClientsWithACertificateOfItsCa) {
    NatsServer::Options tls;
    tls.tls = true;
    NatsServer server(tls);
    ASSERT_TRUE(std::filesystem::exists(server.ca_file()));
    ASSERT_TRUE(std::filesystem::exists(server.client_cert_file()));
    ASSERT_TRUE(std::filesystem::exists(server.client_key_file()));

    struct Case {
        const char* name;
        std::string ca;
        bool client_cert;
        bool connects;
    };
    const Case cases[] = {
        {"trusted CA and client certificate", server.ca_file(), true, true},
        {"no client certificate", server.ca_file(), false, false},
        {"server certificate from an unknown CA", server.other_ca_file(), true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = options_for(server.tls_url());
        ASSERT_EQ(natsOptions_SetSecure(options.get(), true), NATS_OK);
        ASSERT_EQ(natsOptions_LoadCATrustedCertificates(options.get(), c.ca.c_str()), NATS_OK);
        if (c.client_cert) {
            ASSERT_EQ(
                natsOptions_LoadCertificatesChain(options.get(), server.client_cert_file().c_str(),
                                                  server.client_key_file().c_str()),
                NATS_OK);
        }
        ConnectionPtr nc;
        natsStatus s = connect(options.get(), &nc);
        if (c.connects) {
            ASSERT_EQ(s, NATS_OK) << nats_GetLastError(nullptr);
            expect_round_trip(nc.get());
        } else {
            EXPECT_NE(s, NATS_OK);
        }
    }

    // A plain client is refused: the server speaks TLS only.
    auto plain = options_for(server.url());
    ConnectionPtr nc;
    EXPECT_NE(connect(plain.get(), &nc), NATS_OK);
}

TEST(NatsServerFixture, ReportsTheServerOutputWhenItCannotStart) {
    try {
        NatsServer::Options broken;
        broken.extra_config = "this is { not a config";
        NatsServer server(broken);
        FAIL() << "a broken configuration must not come up";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("server output"), std::string::npos) << e.what();
    }
}

}  // namespace
