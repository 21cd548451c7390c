#include "support/nats_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace qztest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartBound = std::chrono::seconds(10);
constexpr auto kStopBound = std::chrono::seconds(5);

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// True when something on the port accepts a connection and greets with the NATS INFO line (sent
// in the clear before any TLS upgrade, so this works in both modes).
bool answers_info(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address = loopback(port);
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        timeval tv{0, 500000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        char buffer[5] = {};
        size_t got = 0;
        while (got < 4) {
            ssize_t n = recv(fd, buffer + got, 4 - got, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        ok = got == 4 && std::string(buffer, 4) == "INFO";
    }
    close(fd);
    return ok;
}

// Waits for the child to end for up to bound; true when it was reaped.
bool reap_within(pid_t pid, Clock::duration bound) {
    auto deadline = Clock::now() + bound;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void run_or_throw(const std::string& command) {
    int rc = std::system(command.c_str());
    if (rc != 0)
        throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + command);
}

std::string quote(const std::string& path) { return "'" + path + "'"; }

}  // namespace

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot find a free loopback port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

NatsServer::NatsServer() : NatsServer(Options{}) {}

NatsServer::NatsServer(Options options)
    : options_(std::move(options)),
      store_dir_(dir_.file("store")),
      config_file_(dir_.file("nats-server.conf")),
      log_file_(dir_.file("nats-server.log")) {
    std::filesystem::create_directories(store_dir_);
    if (options_.tls) make_certificates();
    // The free port may be taken between the probe and the server's bind; try a few.
    std::string why;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = free_loopback_port();
        write_config();
        if (spawn_and_wait(&why)) return;
        if (output().find("address already in use") == std::string::npos) break;
    }
    throw std::runtime_error("nats-server did not come up: " + why + "\n--- server output ---\n" +
                             output());
}

NatsServer::~NatsServer() { stop(); }

std::string NatsServer::url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

std::string NatsServer::tls_url() const { return "tls://127.0.0.1:" + std::to_string(port_); }

std::string NatsServer::output() const { return read_file(log_file_); }

void NatsServer::make_certificates() {
    const std::string& d = dir_.path();
    ca_file_ = d + "/ca.pem";
    other_ca_file_ = d + "/other-ca.pem";
    client_cert_file_ = d + "/client.pem";
    client_key_file_ = d + "/client.key";
    // EC keys keep certificate generation in the tens of milliseconds.
    const std::string newkey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string quiet = " >>" + quote(d + "/openssl.log") + " 2>&1";
    auto make_ca = [&](const std::string& name, const std::string& cn) {
        run_or_throw("openssl req -x509" + newkey + " -days 2 -subj '/CN=" + cn + "' -keyout " +
                     quote(d + "/" + name + ".key") + " -out " + quote(d + "/" + name + ".pem") +
                     " -addext basicConstraints=critical,CA:TRUE" +
                     " -addext keyUsage=critical,keyCertSign,cRLSign" + quiet);
    };
    auto make_leaf = [&](const std::string& name, const std::string& cn,
                         const std::string& extensions) {
        write_file(d + "/" + name + ".ext", extensions);
        run_or_throw("openssl req" + newkey + " -subj '/CN=" + cn + "' -keyout " +
                     quote(d + "/" + name + ".key") + " -out " + quote(d + "/" + name + ".csr") +
                     quiet);
        run_or_throw("openssl x509 -req -days 2 -in " + quote(d + "/" + name + ".csr") + " -CA " +
                     quote(ca_file_) + " -CAkey " + quote(d + "/ca.key") +
                     " -CAcreateserial -extfile " + quote(d + "/" + name + ".ext") + " -out " +
                     quote(d + "/" + name + ".pem") + quiet);
    };
    make_ca("ca", "qztest CA");
    make_ca("other-ca", "qztest unrelated CA");
    make_leaf("server", "127.0.0.1",
              "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\n"
              "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1\n");
    make_leaf("client", "qztest client",
              "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=clientAuth\n");
}

void NatsServer::write_config() {
    std::string config;
    if (options_.tls) {
        const std::string& d = dir_.path();
        config += "tls {\n  cert_file: \"" + d + "/server.pem\"\n  key_file: \"" + d +
                  "/server.key\"\n  ca_file: \"" + ca_file_ +
                  "\"\n  verify: true\n  timeout: 2\n}\n";
    }
    config += options_.extra_config + "\n";
    write_file(config_file_, config);
}

bool NatsServer::spawn_and_wait(std::string* why) {
    const std::string port = std::to_string(port_);
    std::vector<std::string> args = {"nats-server", "-js", "-a",       "127.0.0.1", "-p",
                                     port,          "-sd", store_dir_, "-c",        config_file_};
    const pid_t pid = spawn_child(std::move(args), log_file_, why);
    if (pid < 0) return false;
    pid_ = pid;

    auto deadline = Clock::now() + kStartBound;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            *why = "the server exited during start-up (status " + std::to_string(status) + ")";
            return false;
        }
        if (answers_info(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    *why = "no answer on port " + port + " within 10 s";
    return false;
}

void NatsServer::start() {
    if (running()) return;
    std::string why;
    if (!spawn_and_wait(&why)) {
        throw std::runtime_error("nats-server did not restart on port " + std::to_string(port_) +
                                 ": " + why + "\n--- server output ---\n" + output());
    }
}

void NatsServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!reap_within(pid_, kStopBound)) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

void NatsServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace qztest
