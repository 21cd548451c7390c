#include "support/farm.h"

#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>

namespace qztest {
namespace {

std::string shell_quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A value the INI reader gives back exactly as written, whatever it holds.
std::string ini_quote(const std::string& value) {
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\t') {
            quoted += "\\t";
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

}  // namespace

Farm::Farm() : Farm(Options()) {}

Farm::Farm(Options options) : options_(std::move(options)) {
    control_config_ = dir_.file("qz-av-control.cfg");
    provision(server_.url(), options_.work_queues);
    if (options_.start_control) start_control();
}

Farm::~Farm() {
    while (!services_.empty()) services_.pop_back();
    event_sink_.reset();
    control_.reset();
}

ServiceProcess& Farm::control() {
    if (!control_) throw std::runtime_error("the farm's control service was not started");
    return *control_;
}

ServiceProcess& Farm::start_control() {
    if (control_) {
        control_->start();
        return *control_;
    }
    write_file(control_config_, control_config_text(options_));
    control_ = std::make_unique<ServiceProcess>(
        "qz-av-control", server_.url(), std::vector<std::string>{"--config", control_config_});
    return *control_;
}

EventSink& Farm::start_event_sink(const std::string& key) {
    if (!event_sink_) event_sink_ = std::make_unique<EventSink>(server_.url(), key);
    return *event_sink_;
}

ServiceProcess& Farm::start_service(const std::string& program, std::vector<std::string> args) {
    services_.push_back(std::make_unique<ServiceProcess>(program, server_.url(), std::move(args)));
    return *services_.back();
}

void Farm::provision(const std::string& url, const std::vector<std::string>& work_queues) {
    std::string command = shell_quote(QZ_PROVISION_TOOL) + " --url " + shell_quote(url);
    for (const auto& service : work_queues) command += " " + shell_quote(service);
    command += " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("qz-av-provision failed (status " + std::to_string(status) +
                                 "):\n" + output);
    }
}

std::string Farm::control_config_text(const Options& options) {
    std::string text = "; written by qztest::Farm\n[CONTROL]\n";
    if (!options.tenant_id.empty()) text += "TENANTID = " + ini_quote(options.tenant_id) + "\n";
    if (!options.realm_name.empty()) {
        text += "REALMNAME = " + ini_quote(options.realm_name) + "\n";
    }
    text += "[SCAN]\n";
    for (const auto& [key, value] : options.scan) text += key + " = " + ini_quote(value) + "\n";
    text += options.extra_config;
    return text;
}

}  // namespace qztest
