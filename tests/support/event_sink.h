// The event sink service (qz-av-eventsink) run by a test: serves "qz-av-events-dispatch" and
// "qz-av-log" on a broker and appends every request as one JSON line
// {"subject", "received", "message"[, "error"]} to an output file in its own temporary
// directory. Readers parse that file afresh on every call; stopped like any ServiceProcess.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "connection/nats_handles.h"
#include "support/service_process.h"

namespace qztest {

class EventSink {
  public:
    // Starts the sink against server_url and waits until it serves (throws like ServiceProcess).
    // With a non-empty key text it decrypts encrypted event sections.
    explicit EventSink(const std::string& server_url, const std::string& key = "");

    // The complete lines written so far, parsed, in file order; a line that is not JSON is a
    // null entry (so a test sees a torn or mixed line instead of losing it).
    std::vector<qz::nats::JsonPtr> lines() const;
    // The "EventID" of every recorded message, duplicates kept.
    std::multiset<std::string> event_ids() const;
    // Polls until at least `count` complete lines are written; false after timeout_ms.
    bool wait_for(size_t count, int timeout_ms) const;

    const std::string& out_file() const { return out_file_; }
    ServiceProcess& process() { return process_; }

  private:
    TempDir dir_;
    std::string out_file_;
    ServiceProcess process_;
};

}  // namespace qztest
