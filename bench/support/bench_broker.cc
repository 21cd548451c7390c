#include "bench_broker.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace qzbench {

BenchBroker::BenchBroker(const char* tmp_prefix) {
    std::string pattern = std::string("/tmp/") + tmp_prefix + "-XXXXXX";
    const char* made = mkdtemp(pattern.data());
    dir_ = made != nullptr ? made : "/tmp";
    port_ = free_port();
    pid_ = fork();
    if (pid_ == 0) {
        const std::string port = std::to_string(port_);
        const std::string store = dir_ + "/store";
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        if (freopen("/dev/null", "w", stderr) == nullptr) _exit(127);
        execlp("nats-server", "nats-server", "-js", "-a", "127.0.0.1", "-p", port.c_str(), "-sd",
               store.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

BenchBroker::~BenchBroker() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string BenchBroker::url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

natsConnection* BenchBroker::connect(int attempts, int interval_ms) const {
    const std::string address = url();
    for (int i = 0; i < attempts; ++i) {
        natsConnection* nc = nullptr;
        if (natsConnection_ConnectTo(&nc, address.c_str()) == NATS_OK) return nc;
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    return nullptr;
}

int BenchBroker::free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    close(fd);
    return port;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace qzbench
