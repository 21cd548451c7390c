// A service farm for integration tests: a real nats-server with JetStream, provisioned with the
// built qz-av-provision (the three buckets, plus work queues on request), and qz-av-control
// running on it with a configuration file written from the options. The event sink and other
// reference services (scan services) are started on request; the farm owns everything it
// started and stops it by PID at teardown, services first (newest first), then the event sink,
// the control service and the broker last, also when the test fails.
//
//   qztest::Farm::Options options;
//   options.scan = {{"SCANBESTEFFORT", "1"}};
//   qztest::Farm farm(options);  // the broker is at farm.url()
//   qztest::EventSink& sink = farm.start_event_sink();
//   farm.start_service("qz-av-dummy");
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/event_sink.h"
#include "support/nats_server.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace qztest {

class Farm {
  public:
    struct Options {
        // [CONTROL] of the control configuration; an empty text leaves the key out.
        std::string tenant_id = "test-tenant";
        std::string realm_name = "test-realm";
        // [SCAN] pairs, in order (values are written quoted, so any text goes).
        std::vector<std::pair<std::string, std::string>> scan;
        // Appended verbatim to the control configuration (e.g. "[REALM r1]\nTENANTID = t1\n").
        std::string extra_config;
        // Services that get a work queue (qz-av-provision SERVICE...).
        std::vector<std::string> work_queues;
        // false: broker and provisioning only; start the control later with start_control().
        bool start_control = true;
    };

    // Starts and provisions the broker, then the control service (unless told not to). Throws
    // std::runtime_error with the output of what failed.
    Farm();
    explicit Farm(Options options);
    ~Farm();
    Farm(const Farm&) = delete;
    Farm& operator=(const Farm&) = delete;

    // "nats://127.0.0.1:PORT"
    std::string url() const { return server_.url(); }
    NatsServer& server() { return server_; }

    // The control service; start_control() when the options said not to start it.
    ServiceProcess& control();
    ServiceProcess& start_control();
    bool control_running() const { return control_ != nullptr && control_->running(); }
    // The configuration file the control service runs with, written from the options by the
    // first start_control.
    const std::string& control_config_file() const { return control_config_; }

    // Starts qz-av-eventsink on this broker; with a non-empty key text it decrypts encrypted
    // event sections. Throws like ServiceProcess. One per farm: a second call returns the first.
    EventSink& start_event_sink(const std::string& key = "");

    // Starts a reference service (a name under QZ_BIN_DIR or an absolute path) with the common
    // flags for this broker plus args; waits for its ready file. Owned by the farm.
    ServiceProcess& start_service(const std::string& program, std::vector<std::string> args = {});

    // Runs qz-av-provision against url with the given work-queue services; throws with the
    // tool's output when it fails.
    static void provision(const std::string& url, const std::vector<std::string>& work_queues);

    // The control configuration text for options (INI, as qz-av-control reads it).
    static std::string control_config_text(const Options& options);

  private:
    Options options_;
    NatsServer server_;
    TempDir dir_;
    std::string control_config_;
    std::unique_ptr<ServiceProcess> control_;
    std::unique_ptr<EventSink> event_sink_;
    std::vector<std::unique_ptr<ServiceProcess>> services_;
};

}  // namespace qztest
