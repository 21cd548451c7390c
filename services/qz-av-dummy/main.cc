// qz-av-dummy: a scan engine for tests and demonstrations. Reports an object that holds the EICAR
// test string anywhere as infected with "EICAR-Test-File" and everything else as clean, on the
// core subject "qz-av-dummy" and on the work queue "jobs.qz-av-dummy". Test-only flags make it
// answer late, answer garbage or die in the middle of a job, so that the requester's handling of
// each fault can be tested against a real process.
#include <json-c/json.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "connection/nats_handles.h"
#include "log/log.h"
#include "scan_reply.h"
#include "scan_service.h"
#include "service_main.h"

namespace {

constexpr const char* kProgram = "qz-av-dummy";
constexpr const char* kVirusName = "EICAR-Test-File";
constexpr int kExitUsage = 2;
// The exit code of --exit-mid-job, for the tests to tell it from a crash.
constexpr int kExitMidJob = 3;
constexpr long kMaxDelayMs = 600000;

// The 68-byte EICAR test string, kept in two halves so that this source file and the program
// are not themselves reported by a scanner looking for it.
const std::string& eicar() {
    static const std::string text =
        std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-") + "STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

enum class Fault { kNone, kMalformed, kWrongTypes, kExtraFiles, kExitMidJob };

struct Behaviour {
    long delay_ms = 0;
    Fault fault = Fault::kNone;
    volatile int32_t* stop = nullptr;
};

void print_usage(FILE* out) {
    fprintf(out,
            "Usage: %s [OPTIONS]\n"
            "\n"
            "A scan engine for tests: an object that holds the 68-byte EICAR test string\n"
            "anywhere is reported with ReturnCode -210 and Virusname \"%s\", everything\n"
            "else with ReturnCode 0. Serves the subject %s (handler threads) and the work\n"
            "queue jobs.%s (pullers), registers in qz-av-worker-registry, stops on SIGTERM.\n"
            "\n"
            "Options:\n"
            "%s%s"
            "  --help              this text\n"
            "\n"
            "Faults, for tests only (at most one besides --delay-ms):\n"
            "  --delay-ms N        answer every job N ms late (0 to %ld)\n"
            "  --malformed         answer with text that is not JSON\n"
            "  --wrong-types       answer a scan result whose members have the wrong JSON types\n"
            "  --extra-files       announce one more file in FilesScanned than Results holds\n"
            "  --exit-mid-job      end the process with exit code %d inside the first job,\n"
            "                      before answering\n",
            kProgram, kVirusName, kProgram, kProgram, qz::service::common_usage(),
            qz::service::pullers_usage(), kMaxDelayMs, kExitMidJob);
}

// Sleeps delay_ms in short steps so that a stop signal is not held up by a delayed job.
void delay(const Behaviour& behaviour) {
    long left = behaviour.delay_ms;
    while (left > 0 && __atomic_load_n(behaviour.stop, __ATOMIC_SEQ_CST) == 0) {
        const long step = left < 20 ? left : 20;
        usleep(static_cast<useconds_t>(step) * 1000);
        left -= step;
    }
}

qz::service::ScanVerdict verdict_for(const qz::service::ScanRequest& request) {
    qz::service::FileVerdict file;
    file.file_name = request.object_name;
    file.file_size = request.data_len;
    const std::string& needle = eicar();
    if (request.data != nullptr &&
        memmem(request.data, request.data_len, needle.data(), needle.size()) != nullptr) {
        file.rc = SCAN_VIRUS_FOUND;
        file.virus_name = kVirusName;
    }
    qz::service::ScanVerdict verdict;
    verdict.rc = file.rc;
    verdict.files.push_back(std::move(file));
    return verdict;
}

// A result that a reader misled by json-c's lenient conversions would take for a clean verdict.
std::string wrong_types_reply(const qz::service::ScanRequest& request) {
    return "{\"ReturnCode\": \"0\", \"FilesScanned\": \"1\", \"Results\": [{\"ReturnCode\": \"0\", "
           "\"File-name\": 7, \"File-size\": \"" +
           std::to_string(request.data_len) + "\", \"Virusname\": false}]}";
}

std::string answer(const Behaviour& behaviour, const qz::service::ScanRequest& request) {
    switch (behaviour.fault) {
        case Fault::kMalformed:
            return "{\"ReturnCode\": 0, \"FilesScanned\": 1, \"Results\": [{\"File-name\": ";
        case Fault::kWrongTypes:
            return wrong_types_reply(request);
        case Fault::kExtraFiles: {
            const qz::service::ScanVerdict verdict = verdict_for(request);
            qz::nats::JsonPtr document(
                json_tokener_parse(qz::service::scan_result_json(verdict).c_str()));
            if (!document) throw std::bad_alloc();
            json_object_object_add(
                document.get(), "FilesScanned",
                json_object_new_int64(static_cast<int64_t>(verdict.files.size()) + 1));
            return json_object_to_json_string_ext(document.get(), JSON_C_TO_STRING_PLAIN);
        }
        case Fault::kNone:
        case Fault::kExitMidJob:
            break;
    }
    return qz::service::scan_result_json(verdict_for(request));
}

void handle(void* closure, qz_request_reply* pair) {
    const auto* behaviour = static_cast<const Behaviour*>(closure);
    try {
        qz::service::ScanRequest request;
        std::string error;
        if (!qz::service::read_scan_request(pair, &request, &error)) {
            LOG_WARN("%s: refusing a request: %s", kProgram, error.c_str());
            qz::service::set_reply_text(pair, qz::service::scan_error_json(error));
            return;
        }
        delay(*behaviour);
        if (behaviour->fault == Fault::kExitMidJob) {
            LOG_WARN("%s: --exit-mid-job: exiting with code %d in the middle of '%s'", kProgram,
                     kExitMidJob, request.object_name.c_str());
            _exit(kExitMidJob);
        }
        const std::string reply = answer(*behaviour, request);
        LOG_DEBUG("%s: '%s' (%zu bytes): %s", kProgram, request.object_name.c_str(),
                  request.data_len, reply.c_str());
        qz::service::set_reply_text(pair, reply);
    } catch (const std::exception& e) {
        LOG_ERROR("%s: job failed: %s", kProgram, e.what());
        // No reply text: the requester times out rather than reading a verdict we do not have.
    }
}

bool take_delay(const std::string& text, long* out) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < 0 || value > kMaxDelayMs) {
        return false;
    }
    *out = value;
    return true;
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
    Behaviour behaviour;
    int faults = 0;
    for (size_t i = 0; i < options.rest.size(); ++i) {
        const std::string& arg = options.rest[i];
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return 0;
        }
        if (arg == "--delay-ms") {
            if (i + 1 >= options.rest.size() || !take_delay(options.rest[i + 1],
                                                            &behaviour.delay_ms)) {
                fprintf(stderr, "%s: --delay-ms takes a number from 0 to %ld (see --help)\n",
                        kProgram, kMaxDelayMs);
                return kExitUsage;
            }
            ++i;
            continue;
        }
        Fault fault = Fault::kNone;
        if (arg == "--malformed") fault = Fault::kMalformed;
        else if (arg == "--wrong-types") fault = Fault::kWrongTypes;
        else if (arg == "--extra-files") fault = Fault::kExtraFiles;
        else if (arg == "--exit-mid-job") fault = Fault::kExitMidJob;
        if (fault == Fault::kNone) {
            fprintf(stderr, "%s: unknown argument \"%s\" (see --help)\n", kProgram, arg.c_str());
            return kExitUsage;
        }
        behaviour.fault = fault;
        ++faults;
    }
    if (faults > 1) {
        fprintf(stderr, "%s: give at most one of --malformed, --wrong-types, --extra-files, "
                        "--exit-mid-job (see --help)\n",
                kProgram);
        return kExitUsage;
    }

    behaviour.stop = qz::service::install_stop_signals();
    setup.program = kProgram;
    setup.subject = kProgram;
    setup.work_queues = {kProgram};
    setup.handler = handle;
    setup.closure = &behaviour;
    setup.driver.driver_name = "qz-av-dummy EICAR engine";
    setup.driver.major_version = 1;
    setup.driver.minor_version = 0;
    setup.driver.number_of_viruses = 1;  // it knows the one test string
    setup.driver.timestamp = qz::service::build_timestamp();
    if (behaviour.fault != Fault::kNone || behaviour.delay_ms != 0) {
        fprintf(stderr, "%s: test fault active: delay %ld ms, fault %d\n", kProgram,
                behaviour.delay_ms, static_cast<int>(behaviour.fault));
    }
    return qz::service::run_scan_service(options, setup, behaviour.stop);
}
