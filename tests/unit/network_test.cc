#include "util/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

// A TCP socket bound to an ephemeral loopback port; listening on request.
class LoopbackSocket {
  public:
    explicit LoopbackSocket(bool listening) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd_, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        socklen_t len = sizeof(address);
        EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &len), 0);
        port_ = ntohs(address.sin_port);
        if (listening) {
            EXPECT_EQ(listen(fd_, 4), 0);
        }
    }
    ~LoopbackSocket() { close(fd_); }
    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(Network, CheckConnectSucceedsAgainstAListeningSocket) {
    LoopbackSocket server(true);
    const std::string port = server.port_text();
    qztest::TraceCapture trace(QZ_LOG_TRACE);
    char message[1024] = "untouched";
    EXPECT_EQ(qzhlp_CheckConnect("127.0.0.1", port.c_str(), message), 0);
    EXPECT_TRUE(trace.contains("Checking connection to 127.0.0.1:" + port));
    EXPECT_TRUE(trace.contains("Connection to 127.0.0.1:" + port + " successful"));
    EXPECT_STREQ(message, "untouched");

    EXPECT_EQ(qzhlp_CheckConnect("localhost", port.c_str(), message), 0);
    EXPECT_TRUE(trace.contains("Resolving localhost"));
}

TEST(Network, CheckConnectReportsAClosedPort) {
    int port = 0;
    {
        // Bound but never listening, then closed: nothing accepts on this port.
        LoopbackSocket unused(false);
        port = unused.port();
    }
    const std::string port_text = std::to_string(port);
    qztest::TraceCapture trace(QZ_LOG_WARN);
    char message[1024] = "";
    EXPECT_EQ(qzhlp_CheckConnect("127.0.0.1", port_text.c_str(), message), -2);
    EXPECT_EQ(std::string(message), "Failed to connect to 127.0.0.1:" + port_text);
    EXPECT_TRUE(trace.contains("127.0.0.1:" + port_text));

    EXPECT_EQ(qzhlp_CheckConnect("no-such-host.invalid", port_text.c_str(), message), -2);
    EXPECT_EQ(std::string(message), "Failed to connect to no-such-host.invalid:" + port_text);
}

TEST(Network, CheckConnectRefusesPortsThatAreNotNumbers) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    for (const char* port : {"http", "12ab", "", "0", "70000", "-5"}) {
        char message[1024] = "";
        EXPECT_EQ(qzhlp_CheckConnect("127.0.0.1", port, message), -1) << port;
        EXPECT_EQ(std::string(message),
                  std::string("Failed to convert port value to integer: ") + port);
    }
    EXPECT_TRUE(trace.contains("Failed to convert port value to integer: http"));
    EXPECT_EQ(qzhlp_CheckConnect(nullptr, "80", nullptr), -1);
}

TEST(Network, HostNameAndAddress) {
    char expected[2048] = "";
    ASSERT_EQ(gethostname(expected, sizeof(expected)), 0);
    const char* fqdn = qzhlp_GetMyFQDN();
    ASSERT_NE(fqdn, nullptr);
    EXPECT_STREQ(fqdn, expected);

    // Name resolution of the own host may be unavailable in a sandbox; when it works the answer
    // must be a dotted IPv4 address.
    const char* ip = qzhlp_GetMyIP();
    if (ip != nullptr) {
        in_addr parsed;
        EXPECT_EQ(inet_pton(AF_INET, ip, &parsed), 1) << ip;
    }
}

}  // namespace
