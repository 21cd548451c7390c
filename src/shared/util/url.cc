#include "util/url.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

namespace {

bool is_unreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '/' || c == '_';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A malloc'ed copy of len bytes at text.
char* copy_part(const char* text, size_t len) {
    char* part = static_cast<char*>(malloc(len + 1));
    if (part == nullptr) return nullptr;
    memcpy(part, text, len);
    part[len] = '\0';
    return part;
}

}  // namespace

extern "C" {

int qz_UrlEncode(const char* source, char* destination) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (source == nullptr || destination == nullptr) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    char* out = destination;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(source); *p != 0; ++p) {
        if (is_unreserved(*p)) {
            *out++ = static_cast<char>(*p);
        } else if (*p == ' ') {
            *out++ = '+';
        } else {
            *out++ = '%';
            *out++ = kHex[*p >> 4];
            *out++ = kHex[*p & 15];
        }
    }
    *out = '\0';
    return static_cast<int>(out - destination);
}

int qz_UrlDecode(char* destination, size_t size, const char* source) {
    if (destination == nullptr || size == 0 || source == nullptr) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    memset(destination, 0, size);
    size_t written = 0;
    const char* p = source;
    while (*p != '\0') {
        char decoded;
        if (*p == '%') {
            const int high = hex_value(p[1]);
            const int low = high >= 0 ? hex_value(p[2]) : -1;
            if (low < 0) {
                // A broken escape loses the '%' and the character after it, but never the NUL.
                p += p[1] != '\0' ? 2 : 1;
                continue;
            }
            decoded = static_cast<char>(high * 16 + low);
            p += 3;
        } else {
            decoded = *p++;
        }
        if (written + 1 >= size) {
            LOG_ERROR("Decoded URL text does not fit %zu bytes", size);
            return -1;
        }
        destination[written++] = decoded;
    }
    return static_cast<int>(written);
}

qzhlp_url_parts* qzhlp_split_url(qzhlp_url_parts* parts, const char* url) {
    if (parts == nullptr || url == nullptr) {
        LOG_ERROR("Invalid arguments");
        return nullptr;
    }
    memset(parts, 0, sizeof(*parts));
    const size_t len = strlen(url);

    parts->scheme = copy_part(url, strcspn(url, ":/"));

    const char* separator = strstr(url, "://");
    const char* host = separator != nullptr ? separator + 3 : url;
    parts->host = copy_part(host, strcspn(host, ":/"));

    // The port is a ':' followed by a digit, looked for past the scheme's "xxxx://".
    const char* port = nullptr;
    for (size_t i = 6; i < len; ++i) {
        if (url[i] == ':' && std::isdigit(static_cast<unsigned char>(url[i + 1]))) {
            port = url + i + 1;
            break;
        }
    }
    if (port != nullptr) {
        const size_t port_len = strcspn(port, "/");
        parts->port = copy_part(port, port_len);
        parts->path = copy_part(port + port_len, strlen(port + port_len));
    } else {
        const char* path = len > 8 ? strchr(url + 8, '/') : nullptr;
        parts->port = copy_part("5672", 4);
        parts->path = path != nullptr ? copy_part(path, strlen(path)) : copy_part("/", 1);
    }

    if (parts->scheme == nullptr || parts->host == nullptr || parts->port == nullptr ||
        parts->path == nullptr) {
        LOG_ERROR("Failed to allocate URL parts");
        qzhlp_free_url_parts(parts);
        return nullptr;
    }
    return parts;
}

void qzhlp_free_url_parts(qzhlp_url_parts* parts) {
    if (parts == nullptr) return;
    free(parts->scheme);
    free(parts->host);
    free(parts->port);
    free(parts->path);
    memset(parts, 0, sizeof(*parts));
}

qzhlp_url_auth_parts* qzhlp_parse_url_auth(qzhlp_url_auth_parts* parts, const char* text) {
    if (parts == nullptr || text == nullptr) {
        LOG_ERROR("Invalid arguments");
        return nullptr;
    }
    memset(parts, 0, sizeof(*parts));

    // A proxy is often written as a URL; its scheme would otherwise be taken for the host.
    const char* separator = strstr(text, "://");
    if (separator != nullptr) text = separator + 3;

    bool allocated = true;
    const char* at = strrchr(text, '@');
    const char* host = text;
    if (at != nullptr) {
        const char* colon = static_cast<const char*>(memchr(text, ':', at - text));
        const char* user_end = colon != nullptr ? colon : at;
        parts->user = copy_part(text, user_end - text);
        allocated = parts->user != nullptr;
        if (colon != nullptr) {
            parts->password = copy_part(colon + 1, at - colon - 1);
            allocated = allocated && parts->password != nullptr;
        }
        host = at + 1;
    }

    const size_t host_len = strcspn(host, ":/");
    const char* port = host[host_len] == ':' ? host + host_len + 1 : nullptr;
    const size_t port_len = port != nullptr ? strcspn(port, "/") : 0;
    if (host_len == 0 || port_len == 0) {
        // The text may carry a password: it stays out of the trace.
        LOG_ERROR("Host or port missing in the authority");
        qzhlp_free_url_auth_parts(parts);
        return nullptr;
    }
    parts->host = copy_part(host, host_len);
    parts->port = copy_part(port, port_len);
    if (!allocated || parts->host == nullptr || parts->port == nullptr) {
        LOG_ERROR("Failed to allocate authority parts");
        qzhlp_free_url_auth_parts(parts);
        return nullptr;
    }
    return parts;
}

void qzhlp_free_url_auth_parts(qzhlp_url_auth_parts* parts) {
    if (parts == nullptr) return;
    free(parts->user);
    free(parts->password);
    free(parts->host);
    free(parts->port);
    memset(parts, 0, sizeof(*parts));
}

}  // extern "C"
