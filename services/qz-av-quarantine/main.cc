// qz-av-quarantine: the quarantine service. Stores each object it is sent, with a metadata file,
// in the directory of --dir, never replacing a stored file, and answers with the name it stored
// the object under. Requests arrive on "qz-av-quarantine.<target>" for any target (the host's
// CLEANQUARANTINE value); the work queues of the targets given with --target are pulled too.
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "connection/nats_handles.h"
#include "log/log.h"
#include "quarantine_store.h"
#include "scan_reply.h"
#include "scan_service.h"
#include "service_main.h"

namespace {

constexpr const char* kProgram = "qz-av-quarantine";
constexpr const char* kSubject = "qz-av-quarantine.>";
constexpr const char* kSubjectPrefix = "qz-av-quarantine.";
constexpr int kCommandQuarantine = 600;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void print_usage(FILE* out) {
    fprintf(out,
            "Usage: %s --dir DIR [--target NAME]... [OPTIONS]\n"
            "\n"
            "The quarantine service: stores every object sent to qz-av-quarantine.<target>\n"
            "(any target) as DIR/<stem>.bin with its metadata in DIR/<stem>.json, written\n"
            "under temporary names, flushed and renamed without ever replacing a file, and\n"
            "answers {\"ReturnCode\": 0, \"QuarantineFilename\": \"<stem>.bin\"}. Registers in\n"
            "qz-av-worker-registry, stops on SIGTERM.\n"
            "\n"
            "Options:\n"
            "  --dir DIR           quarantine directory (required; created with mode 0700\n"
            "                      when missing, its parent must exist)\n"
            "  --target NAME       also pull the work queue jobs.qz-av-quarantine.NAME\n"
            "                      (repeatable; core requests are served for every target)\n"
            "%s%s"
            "  --help              this text\n"
            "\n"
            "Exit codes: 0 stopped by a signal, 1 directory or broker not usable, 2 bad command\n"
            "line.\n",
            kProgram, qz::service::common_usage(), qz::service::pullers_usage());
}

bool valid_target(const std::string& target) {
    if (target.empty() || target.front() == '.' || target.back() == '.') return false;
    for (size_t i = 0; i < target.size(); ++i) {
        const char c = target[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                        (c == '.' && target[i - 1] != '.');
        if (!ok) return false;
    }
    return true;
}

// The "Command" of the request: absent is taken as a quarantine request, anything else refused.
bool command_accepted(json_object* request, std::string* error) {
    json_object* command = nullptr;
    if (!json_object_object_get_ex(request, "Command", &command)) return true;
    if (json_object_is_type(command, json_type_int) &&
        json_object_get_int64(command) == kCommandQuarantine) {
        return true;
    }
    *error = std::string("unsupported Command ") + json_object_get_string(command) +
             " (the quarantine service takes 600)";
    return false;
}

std::string stored_reply(const std::string& name) {
    qz::nats::JsonPtr document(json_object_new_object());
    if (!document) throw std::bad_alloc();
    json_object_object_add(document.get(), "ReturnCode", json_object_new_int(0));
    json_object_object_add(document.get(), "QuarantineFilename",
                           json_object_new_string(name.c_str()));
    const char* text = json_object_to_json_string_ext(
        document.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    if (text == nullptr) throw std::bad_alloc();
    return text;
}

void handle(void* closure, qz_request_reply* pair) {
    const auto* store = static_cast<const qz::quarantine::QuarantineStore*>(closure);
    try {
        qz::service::ScanRequest request;
        std::string error;
        std::string name;
        if (!qz::service::read_scan_request(pair, &request, &error) ||
            !command_accepted(request.job.get(), &error) ||
            !store->store(request.job.get(), request.data, request.data_len, &name, &error)) {
            LOG_ERROR("%s: not stored: %s", kProgram, error.c_str());
            qz::service::set_reply_text(pair, qz::service::scan_error_json(error));
            return;
        }
        LOG_INFO("%s: stored '%s' (%zu bytes) as %s/%s", kProgram, request.object_name.c_str(),
                 request.data_len, store->directory().c_str(), name.c_str());
        qz::service::set_reply_text(pair, stored_reply(name));
    } catch (const std::exception& e) {
        LOG_ERROR("%s: job failed: %s", kProgram, e.what());
        // No reply text: the requester times out and reports the quarantine as failed.
    }
}

}  // namespace

int main(int argc, char** argv) {
    qz::service::Options options;
    std::string error;
    qz::service::ScanServiceSetup setup;
    setup.pullers = qz::service::kDefaultPullers;
    if (!qz::service::parse_common_options(argc, argv, &options, &error) ||
        !qz::service::take_pullers_option(&options.rest, &setup.pullers, &error)) {
        fprintf(stderr, "%s: %s (see --help)\n", kProgram, error.c_str());
        return kExitUsage;
    }
    std::string directory;
    for (size_t i = 0; i < options.rest.size(); ++i) {
        const std::string& arg = options.rest[i];
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return 0;
        }
        if ((arg == "--dir" || arg == "--target") && i + 1 < options.rest.size()) {
            const std::string& value = options.rest[++i];
            if (arg == "--dir") {
                directory = value;
            } else if (valid_target(value)) {
                setup.work_queues.push_back(kSubjectPrefix + value);
            } else {
                fprintf(stderr,
                        "%s: --target takes letters, digits, '-', '_' and single inner dots, "
                        "not \"%s\" (see --help)\n",
                        kProgram, value.c_str());
                return kExitUsage;
            }
            continue;
        }
        fprintf(stderr, "%s: %s (see --help)\n", kProgram,
                arg == "--dir" || arg == "--target" ? (arg + " needs a value").c_str()
                                                    : ("unknown argument \"" + arg + "\"").c_str());
        return kExitUsage;
    }
    if (directory.empty()) {
        fprintf(stderr, "%s: --dir DIR is required (see --help)\n", kProgram);
        return kExitUsage;
    }
    if (sodium_init() < 0) {
        fprintf(stderr, "%s: libsodium cannot be initialised\n", kProgram);
        return kExitFailed;
    }
    qz::quarantine::QuarantineStore store;
    if (!store.open(directory, &error)) {
        fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }

    volatile int32_t* stop = qz::service::install_stop_signals();
    setup.program = kProgram;
    setup.subject = kSubject;
    setup.handler = handle;
    setup.closure = &store;
    setup.driver.driver_name = "qz-av-quarantine file store";
    setup.driver.major_version = 1;
    setup.driver.minor_version = 0;
    setup.driver.timestamp = qz::service::build_timestamp();
    return qz::service::run_scan_service(options, setup, stop);
}
