// Small helpers the broker tests share: polling for a condition with a limit, elapsed time,
// counting occurrences in a trace, and reading members out of a JSON reply.
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <functional>
#include <string>

#include "connection/nats_handles.h"

namespace qztest {

// Milliseconds since `since` on the steady clock.
long long elapsed_ms(std::chrono::steady_clock::time_point since);

// Polls `done` every 10 ms until it holds or `limit_ms` has passed; false on the time-out.
bool wait_until(const std::function<bool()>& done, int limit_ms);

// Occurrences of `what` in `text`, overlapping ones included.
int count(const std::string& text, const std::string& what);

// The parsed JSON text, null when it does not parse.
qz::nats::JsonPtr parse(const std::string& text);

// The member `name` of `object` as a string, empty when the object or the member is missing.
std::string member(json_object* object, const char* name);

}  // namespace qztest
