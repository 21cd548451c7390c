#include "platform/host.h"

#include <unistd.h>

#include <atomic>

namespace {
std::atomic<bool> g_network_started{false};
}

extern "C" {

int qz_gethostname(char* buf, size_t len) {
    if (buf == nullptr || len == 0) return -1;
    if (gethostname(buf, len) != 0) {
        buf[0] = '\0';
        return -1;
    }
    buf[len - 1] = '\0';
    return 0;
}

int qz_winsock_init(void) { return g_network_started.exchange(true) ? 1 : 0; }
}
