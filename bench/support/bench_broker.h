// A throw-away nats-server with JetStream for the benchmarks: forked on a free loopback port with
// its store in a temporary directory, stopped and the directory removed at destruction. Also the
// small helpers every broker benchmark shares: connecting while the server comes up, and the
// median of a run's rounds.
#pragma once

#include <nats/nats.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace qzbench {

class BenchBroker {
  public:
    // tmp_prefix names the temporary directory, e.g. "qz-kv-bench" for /tmp/qz-kv-bench-XXXXXX.
    // Does not wait for the server; connect() retries until it accepts.
    explicit BenchBroker(const char* tmp_prefix);
    ~BenchBroker();
    BenchBroker(const BenchBroker&) = delete;
    BenchBroker& operator=(const BenchBroker&) = delete;

    // "nats://127.0.0.1:PORT"
    std::string url() const;
    // The server's process id (for CPU accounting).
    pid_t pid() const { return pid_; }

    // Connects to the broker, trying `attempts` times `interval_ms` apart while it starts.
    // Returns nullptr when it never accepts; the caller owns the connection.
    natsConnection* connect(int attempts, int interval_ms) const;

    // A loopback port nobody listens on at the time of the call.
    static int free_port();

  private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The middle value of the rounds (the upper middle for an even count).
double median(std::vector<double> values);

}  // namespace qzbench
