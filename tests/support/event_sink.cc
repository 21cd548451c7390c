#include "support/event_sink.h"

#include <json-c/json.h>

#include <chrono>
#include <thread>

namespace qztest {
namespace {

std::vector<std::string> complete_lines(const std::string& path) {
    const std::string text = read_file(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> sink_arguments(const std::string& out_file, const std::string& key) {
    std::vector<std::string> args = {"--out", out_file};
    if (!key.empty()) {
        args.push_back("--key");
        args.push_back(key);
    }
    return args;
}

}  // namespace

EventSink::EventSink(const std::string& server_url, const std::string& key)
    : out_file_(dir_.file("events.jsonl")),
      process_("qz-av-eventsink", server_url, sink_arguments(out_file_, key)) {}

std::vector<qz::nats::JsonPtr> EventSink::lines() const {
    std::vector<qz::nats::JsonPtr> parsed;
    for (const std::string& line : complete_lines(out_file_)) {
        json_tokener* tokener = json_tokener_new();
        qz::nats::JsonPtr object(
            json_tokener_parse_ex(tokener, line.c_str(), static_cast<int>(line.size())));
        // Half a line, or two glued together, must not pass for a record.
        if (json_tokener_get_error(tokener) != json_tokener_success ||
            json_tokener_get_parse_end(tokener) != line.size() ||
            !json_object_is_type(object.get(), json_type_object)) {
            object.reset();
        }
        json_tokener_free(tokener);
        parsed.push_back(std::move(object));
    }
    return parsed;
}

std::multiset<std::string> EventSink::event_ids() const {
    std::multiset<std::string> ids;
    for (const auto& line : lines()) {
        json_object* message = nullptr;
        json_object* id = nullptr;
        if (line && json_object_object_get_ex(line.get(), "message", &message) &&
            json_object_object_get_ex(message, "EventID", &id)) {
            ids.insert(json_object_get_string(id));
        }
    }
    return ids;
}

bool EventSink::wait_for(size_t count, int timeout_ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (complete_lines(out_file_).size() >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace qztest
