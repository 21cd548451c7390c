#include "support/http_gateway_fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "support/nats_server.h"

namespace qztest {
namespace {

constexpr int kPollMs = 50;

void run_or_throw(const std::string& command) {
    const int rc = std::system(command.c_str());
    if (rc != 0) {
        throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + command);
    }
}

std::string quote(const std::string& path) { return "'" + path + "'"; }

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening socket on 127.0.0.1 with a port chosen by the kernel.
int listen_on_loopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Waits up to kPollMs for fd to become readable; false on a time-out.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kPollMs) > 0;
}

void set_receive_timeout(int fd, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

bool send_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the blank line that ends the head; what came after it stays in *rest.
bool read_head(int fd, std::string* head, std::string* rest) {
    std::string data;
    char buffer[4096];
    for (;;) {
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            *head = data.substr(0, end + 4);
            *rest = data.substr(end + 4);
            return true;
        }
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        data.append(buffer, static_cast<size_t>(n));
    }
}

bool read_exactly(int fd, size_t size, std::string* data) {
    char buffer[65536];
    while (data->size() < size) {
        const size_t want = std::min(sizeof(buffer), size - data->size());
        const ssize_t n = recv(fd, buffer, want, 0);
        if (n <= 0) return false;
        data->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// Reads a chunked body; *data starts with what was read beyond the head.
bool read_chunked(int fd, std::string* data, std::string* body) {
    for (;;) {
        size_t line_end;
        while ((line_end = data->find("\r\n")) == std::string::npos) {
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return false;
            data->append(buffer, static_cast<size_t>(n));
        }
        const size_t size = strtoul(data->c_str(), nullptr, 16);
        data->erase(0, line_end + 2);
        if (!read_exactly(fd, size + 2, data)) return false;
        if (size == 0) return true;
        body->append(*data, 0, size);
        data->erase(0, size + 2);
    }
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 407:
            return "Proxy Authentication Required";
        case 429:
            return "Too Many Requests";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

}  // namespace

std::string base64(const std::string& text) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        const uint32_t v = (static_cast<unsigned char>(text[i]) << 16) |
                           (static_cast<unsigned char>(text[i + 1]) << 8) |
                           static_cast<unsigned char>(text[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += kAlphabet[(v >> shift) & 63];
    }
    if (i + 1 == text.size()) {
        const uint32_t v = static_cast<unsigned char>(text[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == text.size()) {
        const uint32_t v = (static_cast<unsigned char>(text[i]) << 16) |
                           (static_cast<unsigned char>(text[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// ---- TLS files ----------------------------------------------------------------------------

TlsFiles::TlsFiles() {
    const std::string& d = dir_.path();
    ca_file_ = d + "/ca.pem";
    other_ca_file_ = d + "/other-ca.pem";
    cert_file_ = d + "/server.pem";
    key_file_ = d + "/server.key";
    const std::string newkey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string quiet = " >>" + quote(d + "/openssl.log") + " 2>&1";
    for (const auto& [name, cn] : {std::pair<std::string, std::string>{"ca", "qztest gateway CA"},
                                   {"other-ca", "qztest unrelated CA"}}) {
        run_or_throw("openssl req -x509" + newkey + " -days 2 -subj '/CN=" + cn + "' -keyout " +
                     quote(d + "/" + name + ".key") + " -out " + quote(d + "/" + name + ".pem") +
                     " -addext basicConstraints=critical,CA:TRUE" +
                     " -addext keyUsage=critical,keyCertSign,cRLSign" + quiet);
    }
    write_file(d + "/server.ext",
               "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
               "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n");
    run_or_throw("openssl req" + newkey + " -subj '/CN=127.0.0.1' -keyout " + quote(key_file_) +
                 " -out " + quote(d + "/server.csr") + quiet);
    run_or_throw("openssl x509 -req -days 2 -in " + quote(d + "/server.csr") + " -CA " +
                 quote(ca_file_) + " -CAkey " + quote(d + "/ca.key") +
                 " -CAcreateserial -extfile " + quote(d + "/server.ext") + " -out " +
                 quote(cert_file_) + quiet);
}

// ---- Gateway process ----------------------------------------------------------------------

GatewayProcess::GatewayProcess(const TlsFiles& tls, const std::string& broker_url,
                               const std::string& extra_settings) {
    // The free port may be taken between the probe and the gateway's bind; try a few.
    std::string last_error;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = free_loopback_port();
        const std::string config = dir_.file("gateway.cfg");
        write_file(config, std::string("[gateway]\nuser = ") + kUser + "\npassword = " + kPassword +
                               "\nport = " + std::to_string(port_) + "\ncert = " + tls.cert_file() +
                               "\nkey = " + tls.key_file() + "\n" + extra_settings + "\n");
        try {
            process_ = std::make_unique<ServiceProcess>(
                "qz-av-gateway", broker_url, std::vector<std::string>{"--config", config});
            return;
        } catch (const std::runtime_error& e) {
            last_error = e.what();
            if (last_error.find("cannot listen") == std::string::npos) break;
        }
    }
    throw std::runtime_error(last_error);
}

std::string GatewayProcess::url() const { return "https://127.0.0.1:" + std::to_string(port_); }

// ---- Received requests --------------------------------------------------------------------

std::string ReceivedRequest::header(const std::string& name) const {
    size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const size_t start = at + 2;
        const size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end - start);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            const size_t value = line.find_first_not_of(' ', name.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
        at = end;
    }
    return {};
}

std::string ReceivedRequest::request_line() const { return head.substr(0, head.find("\r\n")); }

// ---- Canned HTTP server -------------------------------------------------------------------

CannedHttpServer::CannedHttpServer() {
    listen_fd_ = listen_on_loopback(&port_);
    thread_ = std::thread([this] { serve(); });
}

CannedHttpServer::~CannedHttpServer() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
}

void CannedHttpServer::answer(int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    body_ = body;
}

std::string CannedHttpServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<ReceivedRequest> CannedHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void CannedHttpServer::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void CannedHttpServer::serve() {
    while (!stop_) {
        if (!readable(listen_fd_)) continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        set_receive_timeout(fd, 5);
        ReceivedRequest request;
        std::string rest;
        if (read_head(fd, &request.head, &rest)) {
            bool complete;
            const std::string length = request.header("Content-Length");
            if (strcasecmp(request.header("Transfer-Encoding").c_str(), "chunked") == 0) {
                complete = read_chunked(fd, &rest, &request.body);
            } else {
                complete = read_exactly(fd, strtoul(length.c_str(), nullptr, 10), &rest);
                request.body = rest;
            }
            int status;
            std::string body;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
                status = status_;
                body = body_;
            }
            if (complete) {
                send_all(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                                 "\r\nContent-Type: text/plain\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                 body);
            }
        }
        close(fd);
    }
}

// ---- CONNECT proxy ------------------------------------------------------------------------

ConnectProxy::ConnectProxy(std::string required_authorization)
    : required_authorization_(std::move(required_authorization)) {
    listen_fd_ = listen_on_loopback(&port_);
    thread_ = std::thread([this] { serve(); });
}

ConnectProxy::~ConnectProxy() {
    stop_ = true;
    thread_.join();
    for (std::thread& tunnel : tunnels_) tunnel.join();
    close(listen_fd_);
}

std::vector<ReceivedRequest> ConnectProxy::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ConnectProxy::serve() {
    while (!stop_) {
        if (!readable(listen_fd_)) continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) tunnels_.emplace_back([this, fd] { tunnel(fd); });
    }
}

void ConnectProxy::tunnel(int client_fd) {
    set_receive_timeout(client_fd, 5);
    ReceivedRequest request;
    std::string rest;
    if (!read_head(client_fd, &request.head, &rest)) {
        close(client_fd);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    const std::string line = request.request_line();
    const size_t colon = line.find(':');
    if (line.rfind("CONNECT 127.0.0.1:", 0) != 0 || colon == std::string::npos) {
        send_all(client_fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        close(client_fd);
        return;
    }
    if (!required_authorization_.empty() &&
        request.header("Proxy-Authorization") != required_authorization_) {
        send_all(client_fd,
                 "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                 "realm=\"qztest\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        close(client_fd);
        return;
    }
    const int target_port = atoi(line.c_str() + colon + 1);
    const int server_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(target_port);
    if (server_fd < 0 ||
        connect(server_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        send_all(client_fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        if (server_fd >= 0) close(server_fd);
        close(client_fd);
        return;
    }
    send_all(client_fd, "HTTP/1.1 200 Connection established\r\n\r\n");
    if (!rest.empty()) send_all(server_fd, rest);
    pollfd fds[2] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}};
    char buffer[65536];
    bool open = true;
    while (open && !stop_) {
        if (poll(fds, 2, kPollMs) <= 0) continue;
        for (int i = 0; i < 2 && open; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = recv(fds[i].fd, buffer, sizeof(buffer), 0);
            open = n > 0 && send_all(fds[1 - i].fd, std::string(buffer, static_cast<size_t>(n)));
        }
    }
    close(server_fd);
    close(client_fd);
}

}  // namespace qztest
