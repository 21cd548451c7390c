#include "util/string_builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

struct str_builder {
    char* buffer;
    size_t capacity;
    size_t length;
};

namespace {

constexpr size_t kInitialCapacity = 32;

// Doubles the capacity until `needed` bytes fit. 0, or -1 with the builder unchanged.
int ensure_capacity(str_builder_t* sb, size_t needed) {
    if (needed <= sb->capacity) return 0;
    size_t capacity = sb->capacity;
    while (capacity < needed) {
        if (capacity > SIZE_MAX / 2) {
            LOG_ERROR("String builder cannot grow to %zu bytes", needed);
            return -1;
        }
        capacity *= 2;
    }
    char* grown = static_cast<char*>(realloc(sb->buffer, capacity));
    if (grown == nullptr) {
        LOG_ERROR("Failed to grow string builder to %zu bytes", capacity);
        return -1;
    }
    sb->buffer = grown;
    sb->capacity = capacity;
    return 0;
}

}  // namespace

extern "C" {

str_builder_t* str_builder_create(void) {
    auto* sb = static_cast<str_builder_t*>(calloc(1, sizeof(str_builder_t)));
    if (sb == nullptr) {
        LOG_ERROR("Failed to allocate string builder");
        return nullptr;
    }
    sb->buffer = static_cast<char*>(calloc(1, kInitialCapacity));
    if (sb->buffer == nullptr) {
        free(sb);
        LOG_ERROR("Failed to allocate string builder buffer");
        return nullptr;
    }
    sb->capacity = kInitialCapacity;
    return sb;
}

void str_builder_destroy(str_builder_t* sb) {
    if (sb == nullptr) return;
    free(sb->buffer);
    free(sb);
}

int str_builder_add_str(str_builder_t* sb, const char* str, size_t len) {
    if (sb == nullptr) return -1;
    if (str == nullptr || *str == '\0') return 0;
    if (len == 0) len = strlen(str);
    if (len > SIZE_MAX - sb->length - 1) {
        LOG_ERROR("String builder cannot hold %zu more bytes", len);
        return -1;
    }
    if (ensure_capacity(sb, sb->length + len + 1) != 0) return -1;
    memcpy(sb->buffer + sb->length, str, len);
    sb->length += len;
    sb->buffer[sb->length] = '\0';
    return 0;
}

int str_builder_add_char(str_builder_t* sb, char c) {
    if (sb == nullptr) return -1;
    if (ensure_capacity(sb, sb->length + 2) != 0) return -1;
    sb->buffer[sb->length++] = c;
    sb->buffer[sb->length] = '\0';
    return 0;
}

int str_builder_add_int(str_builder_t* sb, int val) {
    char text[16];
    snprintf(text, sizeof(text), "%d", val);
    return str_builder_add_str(sb, text, 0);
}

void str_builder_clear(str_builder_t* sb) { str_builder_truncate(sb, 0); }

void str_builder_truncate(str_builder_t* sb, size_t len) {
    if (sb == nullptr || len >= sb->length) return;
    sb->length = len;
    sb->buffer[len] = '\0';
}

void str_builder_drop(str_builder_t* sb, size_t len) {
    if (sb == nullptr || len == 0) return;
    if (len >= sb->length) {
        str_builder_clear(sb);
        return;
    }
    sb->length -= len;
    memmove(sb->buffer, sb->buffer + len, sb->length + 1);
}

size_t str_builder_len(const str_builder_t* sb) { return sb != nullptr ? sb->length : 0; }

size_t str_builder_capacity(const str_builder_t* sb) { return sb != nullptr ? sb->capacity : 0; }

const char* str_builder_peek(const str_builder_t* sb) {
    return sb != nullptr ? sb->buffer : nullptr;
}

char* str_builder_dump(const str_builder_t* sb, size_t* len) {
    if (sb == nullptr) return nullptr;
    char* copy = static_cast<char*>(malloc(sb->length + 1));
    if (copy == nullptr) {
        LOG_ERROR("Failed to allocate %zu bytes", sb->length + 1);
        return nullptr;
    }
    memcpy(copy, sb->buffer, sb->length + 1);
    if (len != nullptr) *len = sb->length;
    return copy;
}

}  // extern "C"
