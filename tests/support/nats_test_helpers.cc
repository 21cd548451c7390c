#include "support/nats_test_helpers.h"

#include <thread>

namespace qztest {

long long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

bool wait_until(const std::function<bool()>& done, int limit_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

qz::nats::JsonPtr parse(const std::string& text) {
    return qz::nats::JsonPtr(json_tokener_parse(text.c_str()));
}

std::string member(json_object* object, const char* name) {
    json_object* value = nullptr;
    if (object == nullptr || !json_object_object_get_ex(object, name, &value)) return {};
    return json_object_get_string(value);
}

}  // namespace qztest
