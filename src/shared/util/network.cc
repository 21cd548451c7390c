#include "util/network.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "platform/host.h"

namespace {

constexpr size_t kMessageSize = 1024;
constexpr int kConnectTimeoutMs = 3000;

char g_fqdn[2048];
char g_ip[INET_ADDRSTRLEN];

void set_message(char* message, const char* format, ...) __attribute__((format(printf, 2, 3)));
void set_message(char* message, const char* format, ...) {
    if (message == nullptr) return;
    va_list args;
    va_start(args, format);
    vsnprintf(message, kMessageSize, format, args);
    va_end(args);
}

// The IPv4 address of host, taken literally when it is dotted, else resolved (first address).
bool resolve_ipv4(const char* host, in_addr* address) {
    if (inet_pton(AF_INET, host, address) == 1) return true;
    LOG_DEBUG("Resolving %s", host);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        LOG_DEBUG("Cannot resolve %s: %s", host, gai_strerror(rc));
        return false;
    }
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Connects fd to address without blocking for more than the time-out. 0, or an errno value.
int connect_within_timeout(int fd, const sockaddr_in& address) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd waiting{fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&waiting, 1, kConnectTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
}

}  // namespace

extern "C" {

char* qzhlp_GetMyFQDN(void) {
    if (qz_gethostname(g_fqdn, sizeof(g_fqdn)) != 0) {
        LOG_ERROR("Failed to get hostname");
        return nullptr;
    }
    return g_fqdn;
}

char* qzhlp_GetMyIP(void) {
    char name[2048];
    if (qz_gethostname(name, sizeof(name)) != 0) {
        LOG_ERROR("Failed to get hostname");
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        LOG_ERROR("Failed to get host by name");
        return nullptr;
    }
    const in_addr address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    if (inet_ntop(AF_INET, &address, g_ip, sizeof(g_ip)) == nullptr) {
        LOG_ERROR("Failed to get host by name");
        return nullptr;
    }
    return g_ip;
}

int qzhlp_CheckConnect(const char* host, const char* port, char* message) {
    if (host == nullptr || port == nullptr) {
        LOG_ERROR("Invalid arguments");
        set_message(message, "Invalid arguments");
        return -1;
    }
    LOG_TRACE("Checking connection to %s:%s", host, port);

    char* end = nullptr;
    errno = 0;
    const long port_number = strtol(port, &end, 10);
    if (end == port || *end != '\0' || errno == ERANGE || port_number < 1 || port_number > 65535) {
        LOG_ERROR("Failed to convert port value to integer: %s", port);
        set_message(message, "Failed to convert port value to integer: %s", port);
        return -1;
    }

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        LOG_ERROR("Failed to create socket: %s", strerror(error));
        set_message(message, "Failed to create socket: %s", strerror(error));
        return -1;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_number));
    const int error =
        resolve_ipv4(host, &address.sin_addr) ? connect_within_timeout(fd, address) : EHOSTUNREACH;
    close(fd);
    if (error == 0) {
        LOG_DEBUG("Connection to %s:%s successful", host, port);
        return 0;
    }
    LOG_WARN("Failed to connect to %s:%s (%s)", host, port, strerror(error));
    set_message(message, "Failed to connect to %s:%d", host, static_cast<int>(port_number));
    return -2;
}

}  // extern "C"
