#include "gateway_settings.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/ini.h"

namespace qz::gateway_service {
namespace {

struct IniDeleter {
    void operator()(ini_t* ini) const { ini_free(ini); }
};
using IniPtr = std::unique_ptr<ini_t, IniDeleter>;

constexpr char kSection[] = "gateway";

bool take_number(const char* text, unsigned long long low, unsigned long long high,
                 unsigned long long* out) {
    if (text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> split_list(const char* text) {
    std::vector<std::string> items;
    std::string rest = text;
    size_t at = 0;
    while (at <= rest.size()) {
        const size_t comma = rest.find(',', at);
        const std::string item =
            trimmed(rest.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return items;
}

bool refuse(std::string* why, const char* text) {
    *why = text;
    return false;
}

// One key of [gateway]: false with the reason when its value is not usable.
bool apply(GatewaySettings* s, const char* key, const char* value, std::string* why) {
    unsigned long long number = 0;
    auto is = [key](const char* name) { return strcasecmp(key, name) == 0; };
    if (is("user")) {
        s->user = value;
    } else if (is("password")) {
        s->password = value;
    } else if (is("listen")) {
        s->listen = value;
    } else if (is("port")) {
        if (!take_number(value, 1, 65535, &number)) return refuse(why, "port takes 1 to 65535");
        s->port = static_cast<int>(number);
    } else if (is("cert")) {
        s->cert_file = value;
    } else if (is("key")) {
        s->key_file = value;
    } else if (is("path")) {
        if (value[0] != '/') return refuse(why, "path must begin with '/'");
        s->path = value;
    } else if (is("timeout_ms")) {
        if (!take_number(value, 100, 3600000, &number)) {
            return refuse(why, "timeout_ms takes 100 to 3600000");
        }
        s->timeout_ms = static_cast<uint32_t>(number);
    } else if (is("max_body_mb")) {
        if (!take_number(value, 1, 4096, &number))
            return refuse(why, "max_body_mb takes 1 to 4096");
        s->max_body_bytes = static_cast<size_t>(number) << 20;
    } else if (is("services")) {
        s->services = split_list(value);
    } else if (is("js_services")) {
        s->js_services = value;
    } else {
        *why = std::string("unknown key \"") + key + "\"";
        return false;
    }
    return true;
}

}  // namespace

bool load_gateway_settings(const std::string& path, GatewaySettings* out, std::string* error) {
    errno = 0;
    IniPtr ini(ini_load(path.c_str()));
    if (!ini) {
        *error = path + ": cannot read the file: " + strerror(errno != 0 ? errno : EIO);
        return false;
    }
    // Walk the file in order: section headers, then key and value strings, NUL-separated. Keys
    // outside [gateway] belong to other programs sharing the file and are left alone; a key in
    // it that is not known is most likely a typing error and stops the start.
    bool in_section = false;
    const char* p = ini->data;
    const char* end = ini->end;
    auto next = [end](const char* at) {
        at += strlen(at);
        while (at < end && *at == '\0') ++at;
        return at;
    };
    while (p < end && *p == '\0') ++p;
    while (p < end) {
        if (*p == '[') {
            in_section = strcasecmp(p + 1, kSection) == 0;
            p = next(p);
            continue;
        }
        const char* key = p;
        const char* value = next(p);
        if (value >= end) break;
        p = next(value);
        std::string why;
        if (in_section && !apply(out, key, value, &why)) {
            *error = path + ": [" + kSection + "] " + why;
            return false;
        }
    }
    return true;
}

bool check_gateway_settings(const GatewaySettings& settings, std::string* error) {
    if (settings.user.empty() || settings.password.empty()) {
        *error =
            "no user and password configured: the gateway does not serve without "
            "authentication";
        return false;
    }
    if (settings.user.find(':') != std::string::npos) {
        *error = "the user name must not contain ':' (Basic authentication splits there)";
        return false;
    }
    if (settings.cert_file.empty() || settings.key_file.empty()) {
        *error = "a server certificate and key are required (cert and key, or --cert and --key)";
        return false;
    }
    return true;
}

}  // namespace qz::gateway_service
