#include "connection/replies.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/host.h"

namespace {

std::string json_escaped(const char* text) {
    std::string out;
    if (text == nullptr) return out;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int store(qz_message* reply, const std::string& text) {
    if (reply == nullptr) {
        LOG_ERROR("reply message is NULL");
        return -1;
    }
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    if (copy == nullptr) {
        LOG_ERROR("Failed to allocate %s", "*json_txt");
        return -1;
    }
    memcpy(copy, text.c_str(), text.size() + 1);
    reply->json = copy;
    return 0;
}

}  // namespace

extern "C" {

int qz_reply_set_OK(qz_message* reply) { return qz_reply_set_return_code(reply, 0); }

int qz_reply_set_return_code(qz_message* reply, int code) {
    try {
        return store(reply, "{\"ReturnCode\": " + std::to_string(code) + "}");
    } catch (const std::bad_alloc&) {
        LOG_ERROR("Failed to allocate %s", "*json_txt");
        return -1;
    }
}

int qz_reply_set_ERROR(qz_message* reply, int code, const char* text) {
    char host[256] = "";
    if (qz_gethostname(host, sizeof(host)) != 0) host[0] = '\0';
    host[255] = '\0';
    try {
        return store(reply, "{\"ReturnCode\": " + std::to_string(code) + ", \"Error\": \"" +
                                json_escaped(text) + "\", \"WorkerHostname\": \"" +
                                json_escaped(host) + "\"}");
    } catch (const std::bad_alloc&) {
        LOG_ERROR("Failed to allocate %s", "*json_txt");
        return -1;
    }
}
}
