#include "util/base64.h"

#include <climits>
#include <cstdlib>

#include "log/log.h"

extern "C" {
#include <b64/cdecode.h>
}

namespace {

// The decoder takes an int length, so large inputs go through in slices.
constexpr size_t kSlice = 1u << 20;

bool is_base64_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

extern "C" {

size_t qz_base64_decoded_capacity(size_t input_length) {
    // floor(input_length * 3 / 4) without overflowing, plus the NUL and the decoder's partial
    // byte, plus one to spare.
    return input_length / 4 * 3 + (input_length % 4) * 3 / 4 + 3;
}

char* new_base64_decode(const char* input, char* output, size_t input_length, size_t* out_length) {
    if (out_length != nullptr) *out_length = 0;
    if (input == nullptr) {
        LOG_ERROR("Invalid arguments");
        return nullptr;
    }
    char* out = output;
    if (out == nullptr) {
        const size_t capacity = qz_base64_decoded_capacity(input_length);
        out = static_cast<char*>(malloc(capacity));
        if (out == nullptr) {
            LOG_ERROR("Failed to allocate %zu bytes for decoded data", capacity);
            return nullptr;
        }
    }

    base64_decodestate state;
    base64_init_decodestate(&state);
    size_t written = 0;
    for (size_t at = 0; at < input_length; at += kSlice) {
        const size_t slice = input_length - at < kSlice ? input_length - at : kSlice;
        written += static_cast<size_t>(
            base64_decode_block(input + at, static_cast<int>(slice), out + written, &state));
    }
    out[written] = '\0';
    if (out_length != nullptr) *out_length = written;
    return out;
}

int is_base64(const char* buffer, size_t length) {
    if (buffer == nullptr) {
        LOG_ERROR("Invalid arguments");
        return 0;
    }
    for (size_t i = 0; i < length && buffer[i] != '='; ++i) {
        if (!is_base64_byte(static_cast<unsigned char>(buffer[i]))) {
            LOG_DEBUG("File is NOT base64");
            return 0;
        }
    }
    LOG_DEBUG("File could be base64 encoded");
    return 1;
}

}  // extern "C"
