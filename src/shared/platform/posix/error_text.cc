#include "platform/error_text.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

// The contract is one process-wide buffer; the mutex only keeps two writers from interleaving.
char g_error_text[1024];
std::mutex g_error_text_mutex;

}  // namespace

extern "C" {

const char* QZstrerror(int code) {
    std::lock_guard<std::mutex> lock(g_error_text_mutex);
    std::memset(g_error_text, 0, sizeof g_error_text);
    char scratch[sizeof g_error_text];
    // GNU strerror_r may return a static string instead of filling scratch.
    const char* text = strerror_r(code, scratch, sizeof scratch);
    if (text == nullptr) text = "";
    std::strncpy(g_error_text, text, sizeof g_error_text - 1);
    g_error_text[strcspn(g_error_text, "\r\n")] = '\0';
    return g_error_text;
}

int QZ_GetLastError(void) { return errno; }
}
