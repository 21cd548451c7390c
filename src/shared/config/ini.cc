#include "config/ini.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

// Every scan below is bounded by `end` as well as by the characters it looks for: a file need
// not end with a line feed and may hold NUL bytes of its own. A NUL inside a key or value would
// split it into two strings and shift every later key/value pair, so such a line is cut there.
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Replaces everything from p up to the next LF (or the end) with NUL; returns the LF's position.
char* discard_line(char* p, char* end) {
    while (p < end && *p != '\n') *p++ = '\0';
    return p;
}

// A value that begins with a double quote; v points at the quote, key at the line's key. The
// unescaped text is written from v on; the rest of the line is discarded.
char* split_quoted_value(char* key, char* v, char* end) {
    char* w = v;
    char* r = v + 1;
    while (r < end && *r != '"' && *r != '\r' && *r != '\n' && *r != '\0') {
        if (*r != '\\') {
            *w++ = *r++;
            continue;
        }
        ++r;
        if (r >= end || *r == '\r' || *r == '\n' || *r == '\0') break;
        switch (*r) {
            case 'n':
                *w++ = '\n';
                break;
            case 'r':
                *w++ = '\r';
                break;
            case 't':
                *w++ = '\t';
                break;
            default:
                *w++ = *r;
                break;
        }
        ++r;
    }
    bool empty = (w == v);
    // The escapes made the value shorter than its source text: the leftover source characters
    // must not survive as a string of their own.
    while (w < r) *w++ = '\0';
    char* next = discard_line(r, end);
    if (empty) discard_line(key, end);
    return next;
}

// A token that is neither blank, comment nor section header: key '=' value up to the line end.
char* split_key_value(char* key, char* end) {
    char* p = key;
    while (p < end && *p != '=' && *p != '\n' && *p != '\0') ++p;
    if (p >= end || *p != '=' || p == key) return discard_line(key, end);
    for (char* t = p; t > key && is_blank(t[-1]);) *--t = '\0';
    *p++ = '\0';
    while (p < end && is_blank(*p)) *p++ = '\0';
    if (p >= end || *p == '\n' || *p == '\0') return discard_line(key, end);
    if (*p == '"') return split_quoted_value(key, p, end);
    char* value = p;
    while (p < end && *p != '\n' && *p != '\0') ++p;
    char* stop = p;
    if (p < end && *p == '\0') p = discard_line(p, end);
    for (char* t = stop; t > value && is_blank(t[-1]);) *--t = '\0';
    return p;
}

void split(char* p, char* end) {
    while (p < end) {
        switch (*p) {
            case '\r':
            case '\n':
            case '\t':
            case ' ':
                *p = '\0';
                [[fallthrough]];
            case '\0':
                ++p;
                break;
            case ';':
                p = discard_line(p, end);
                break;
            case '[':
                while (p < end && *p != ']' && *p != '\n' && *p != '\0') ++p;
                if (p < end && *p == '\0') p = discard_line(p, end);
                if (p < end) *p = '\0';
                break;
            default:
                p = split_key_value(p, end);
                break;
        }
    }
}

// The string after the one at p (skipping the NULs between them), or end.
const char* next_string(const char* p, const char* end) {
    p += strlen(p);
    while (p < end && *p == '\0') ++p;
    return p;
}

bool read_all(int fd, char* buffer, size_t length) {
    while (length > 0) {
        ssize_t n = read(fd, buffer, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        buffer += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" {

ini_t* ini_load(const char* filename) {
    if (filename == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    if (st.st_size < 0 || st.st_size >= INT32_MAX) {
        LOG_ERROR("Configuration file %s is too large (%lld bytes)", filename,
                  static_cast<long long>(st.st_size));
        close(fd);
        errno = EFBIG;
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    ini_t* ini = static_cast<ini_t*>(malloc(sizeof(ini_t)));
    char* data = static_cast<char*>(malloc(size + 1));
    if (ini == nullptr || data == nullptr || !read_all(fd, data, size)) {
        int saved = (ini == nullptr || data == nullptr) ? ENOMEM : errno;
        free(ini);
        free(data);
        close(fd);
        errno = saved;
        return nullptr;
    }
    close(fd);
    data[size] = '\0';
    ini->data = data;
    ini->end = data + size;
    split(ini->data, ini->end);
    return ini;
}

void ini_free(ini_t* ini) {
    if (ini == nullptr) return;
    free(ini->data);
    free(ini);
}

const char* ini_get(const ini_t* ini, const char* section, const char* key) {
    if (ini == nullptr || key == nullptr) return nullptr;
    const char* current = "";
    const char* p = ini->data;
    const char* end = ini->end;
    while (p < end && *p == '\0') ++p;
    while (p < end) {
        if (*p == '[') {
            current = p + 1;
            p = next_string(p, end);
            continue;
        }
        const char* name = p;
        const char* value = next_string(p, end);
        if (value >= end) break;
        if ((section == nullptr || strcasecmp(section, current) == 0) && strcasecmp(key, name) == 0)
            return value;
        p = next_string(value, end);
    }
    return nullptr;
}

int ini_sget(const ini_t* ini, const char* section, const char* key, const char* scanfmt,
             void* dst) {
    const char* value = ini_get(ini, section, key);
    if (value == nullptr) return 0;
    if (dst == nullptr) return 1;
    if (scanfmt != nullptr)
        sscanf(value, scanfmt, dst);
    else
        *static_cast<const char**>(dst) = value;
    return 1;
}
}
