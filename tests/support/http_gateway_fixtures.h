// Fixtures for tests of the HTTP gateway mode, all on loopback: throw-away TLS files made with
// the openssl command, the reference gateway run as a process with a configuration of the
// test's choosing, a plain HTTP server that answers every request with a canned response and
// keeps what it received, and a CONNECT proxy that tunnels to one target and keeps the
// requests it was sent.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/service_process.h"
#include "support/temp_dir.h"

namespace qztest {

// A CA, a server certificate from it for 127.0.0.1 and localhost, and an unrelated CA that
// signed nothing here (for trust failures). EC keys: made in tens of milliseconds.
class TlsFiles {
  public:
    TlsFiles();  // throws std::runtime_error when openssl fails
    const std::string& ca_file() const { return ca_file_; }
    const std::string& other_ca_file() const { return other_ca_file_; }
    const std::string& cert_file() const { return cert_file_; }
    const std::string& key_file() const { return key_file_; }

  private:
    TempDir dir_;
    std::string ca_file_, other_ca_file_, cert_file_, key_file_;
};

// qz-av-gateway from QZ_BIN_DIR on a free loopback port, forwarding to the broker at
// broker_url, with user "gw-user" and password "gw-secret" and the extra [gateway] lines given.
class GatewayProcess {
  public:
    GatewayProcess(const TlsFiles& tls, const std::string& broker_url,
                   const std::string& extra_settings = "");
    int port() const { return port_; }
    // "https://127.0.0.1:PORT"
    std::string url() const;
    ServiceProcess& process() { return *process_; }

    static constexpr const char* kUser = "gw-user";
    static constexpr const char* kPassword = "gw-secret";

  private:
    TempDir dir_;
    int port_ = 0;
    std::unique_ptr<ServiceProcess> process_;
};

// One received request: the head (request line and headers, CRLFs kept) and the body.
struct ReceivedRequest {
    std::string head;
    std::string body;
    // The value of the first header of that name (case-insensitive), "" when absent.
    std::string header(const std::string& name) const;
    // The request line, e.g. "POST /vsi HTTP/1.1".
    std::string request_line() const;
};

// Plain HTTP on 127.0.0.1: reads each request whole (Content-Length or chunked body), keeps it,
// answers with the canned status and body and closes the connection.
class CannedHttpServer {
  public:
    CannedHttpServer();
    ~CannedHttpServer();
    CannedHttpServer(const CannedHttpServer&) = delete;
    CannedHttpServer& operator=(const CannedHttpServer&) = delete;

    void answer(int status, const std::string& body);
    int port() const { return port_; }
    std::string url() const;  // "http://127.0.0.1:PORT"
    std::vector<ReceivedRequest> requests() const;
    void clear();

  private:
    void serve();

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    int status_ = 200;
    std::string body_ = "{\"ReturnCode\": 0}";
    std::vector<ReceivedRequest> requests_;
    std::thread thread_;
};

// An HTTP proxy on 127.0.0.1 that only knows CONNECT: it keeps each CONNECT request, answers
// 407 when required credentials ("Basic <base64>") are missing or wrong, else connects to the
// requested host and port and relays bytes both ways until one side closes.
class ConnectProxy {
  public:
    // required_authorization: the exact Proxy-Authorization value to insist on, "" for none.
    explicit ConnectProxy(std::string required_authorization = "");
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    int port() const { return port_; }
    std::vector<ReceivedRequest> requests() const;

  private:
    void serve();
    void tunnel(int client_fd);

    std::string required_authorization_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<ReceivedRequest> requests_;
    std::vector<std::thread> tunnels_;
    std::thread thread_;
};

// Base64 of text, as Basic authentication sends "user:password".
std::string base64(const std::string& text);

}  // namespace qztest
