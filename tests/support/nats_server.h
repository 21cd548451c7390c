// A real nats-server with JetStream for integration tests: started on a free loopback port with a
// store directory in its own temporary directory, stopped by PID at teardown (also when the test
// fails), and stoppable and restartable mid-test on the same port and store directory so tests
// can take the broker away under a live connection. Optionally serves TLS with a throw-away CA
// and requires client certificates.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

namespace qztest {

class NatsServer {
  public:
    struct Options {
        // Serve TLS only, with client certificates required (verify). Certificates are made
        // with the openssl command in the fixture's temporary directory.
        bool tls = false;
        // Appended to the server's configuration file (nats-server config syntax).
        std::string extra_config;
    };

    // Starts the server and waits until it accepts connections. Throws std::runtime_error with
    // the server's output when it does not come up within 10 s, which fails the calling test.
    NatsServer();
    explicit NatsServer(Options options);
    // Stops the server: SIGTERM, SIGKILL after 5 s, always reaped.
    ~NatsServer();
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // Stops the server (no-op when stopped). Clients see the connection drop.
    void stop();
    // Kills the server with SIGKILL without letting it shut down (a crash).
    void kill();
    // Starts it again on the same port and store directory; JetStream state survives. Throws
    // like the constructor.
    void start();
    bool running() const { return pid_ > 0; }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // "nats://127.0.0.1:PORT"
    std::string url() const;
    // "tls://127.0.0.1:PORT"
    std::string tls_url() const;
    const std::string& store_dir() const { return store_dir_; }
    // Everything the server wrote to stdout and stderr, across restarts.
    std::string output() const;

    // TLS mode only (empty otherwise). The server certificate covers 127.0.0.1 and localhost;
    // other_ca_file is a CA that signed nothing here, for trust-failure tests.
    const std::string& ca_file() const { return ca_file_; }
    const std::string& client_cert_file() const { return client_cert_file_; }
    const std::string& client_key_file() const { return client_key_file_; }
    const std::string& other_ca_file() const { return other_ca_file_; }

  private:
    void make_certificates();
    void write_config();
    // Spawns the server and waits until it answers; false (with the child reaped) when it died.
    bool spawn_and_wait(std::string* why);

    Options options_;
    TempDir dir_;
    std::string store_dir_;
    std::string config_file_;
    std::string log_file_;
    std::string ca_file_, client_cert_file_, client_key_file_, other_ca_file_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();

}  // namespace qztest
