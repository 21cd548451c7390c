// vsa-scan: a VSI host on the command line. Loads the adapter libqzAV.so, runs the calls an SAP
// host makes (VsaStartup, VsaGetConfig, VsaInit, VsaScan and VsaReleaseScan per object on N
// threads, VsaEnd, VsaCleanup) and prints one line per object and a summary. Exit code 0 clean,
// 1 finding, 2 error. docs/vsa-scan.md is the user's guide.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "adapter_library.h"
#include "options.h"
#include "scan_objects.h"
#include "scan_report.h"
#include "scan_runner.h"

namespace {

using namespace vsascan;

constexpr int kExitClean = 0;
constexpr int kExitFinding = 1;
constexpr int kExitError = 2;

std::atomic<bool> g_stop{false};

void request_stop(int) { g_stop.store(true); }

// The first Ctrl-C lets running scans finish and ends the session properly; a second one, with
// the default action restored, ends the program at once.
void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void report_call(const char* entry, VSA_RC rc, const std::string& detail = {}) {
    fprintf(stderr, "vsa-scan: %s answered %d (%s)%s%s\n", entry, rc, vsa_code_name(rc),
            detail.empty() ? "" : ": ", detail.c_str());
}

struct SessionResult {
    size_t errors = 0;
    bool interrupted = false;
    RunTally tally;
};

// What VsaInit receives: the given parameters, and the installation directory the adapter lies
// in when none was given, so that the adapter loads the implementation beside itself. The trace
// settings go first: the adapter opens the trace file when it takes them, so the rest of the
// parameters are traced as they are taken.
std::vector<Parameter> init_parameters_for(const Options& options, const std::string& adapter) {
    std::vector<Parameter> parameters = options.init_parameters;
    if (options.init_directory().empty()) {
        std::string directory = installation_directory_of(adapter);
        if (!directory.empty())
            parameters.push_back({VSA_INITDIRECTORY, ValueKind::kText, directory});
    }
    std::stable_partition(parameters.begin(), parameters.end(), [](const Parameter& parameter) {
        return parameter.code == VSA_INITEXTRADRIVERDIRECTORY;
    });
    return parameters;
}

void end_session(const AdapterLibrary& adapter, VSA_INIT** init, VSA_CONFIG** config,
                 SessionResult* result) {
    if (VSA_RC rc = adapter.end(init, config); rc != VSA_OK) {
        report_call("VsaEnd", rc);
        ++result->errors;
    }
    if (VSA_RC rc = adapter.cleanup(); rc != VSA_OK) {
        report_call("VsaCleanup", rc);
        ++result->errors;
    }
}

SessionResult run_session(const Options& options, const std::vector<ScanObject>& objects) {
    SessionResult result;
    std::string path = adapter_path(options);
    std::string error;
    std::unique_ptr<AdapterLibrary> adapter = AdapterLibrary::load(path, &error);
    if (!adapter) {
        fprintf(stderr, "vsa-scan: cannot load the adapter %s: %s\n", path.c_str(), error.c_str());
        ++result.errors;
        return result;
    }

    if (VSA_RC rc = adapter->startup(); rc != VSA_OK) {
        report_call("VsaStartup", rc);
        ++result.errors;
        return result;
    }

    VSA_CONFIG* config = nullptr;
    if (VSA_RC rc = adapter->get_config(&config); rc != VSA_OK) {
        // A host scans without the description; only a user who asked for it misses it.
        report_call("VsaGetConfig", rc);
        if (options.show_config) ++result.errors;
    } else if (options.show_config) {
        fputs((options.json ? config_json(config) : config_text(config)).c_str(), stdout);
    }

    VSA_INIT* init = nullptr;
    if (objects.empty()) {
        end_session(*adapter, &init, &config, &result);
        return result;
    }

    std::vector<Parameter> parameters = init_parameters_for(options, path);
    ParameterList init_list(parameters);
    if (VSA_RC rc = adapter->init(nullptr, init_list.init_list(), &init); rc != VSA_OK) {
        std::string reason = init != nullptr && init->pszErrorText != nullptr
                                 ? init->pszErrorText
                                 : "no error text in the init handle";
        report_call("VsaInit", rc, reason);
        ++result.errors;
        end_session(*adapter, &init, &config, &result);
        return result;
    }
    if (options.verbose) {
        std::string text = init_text(init);
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            fprintf(stderr, "vsa-scan: %s\n", text.substr(start, end - start).c_str());
            start = end + 1;
        }
    }

    ParameterList optional(options.optional_parameters);
    RunSettings settings;
    settings.mode = options.mode;
    settings.action = options.action;
    settings.threads = options.threads;
    settings.json = options.json;
    settings.progress = options.progress;
    settings.stdin_name = options.stdin_name;
    install_stop_handlers();
    result.tally = run_scans(*adapter, init, optional.optional_list(), objects, settings, g_stop);
    if (result.tally.skipped > 0) {
        fprintf(stderr, "vsa-scan: interrupted: %zu of %zu objects not scanned\n",
                result.tally.skipped, objects.size());
        result.interrupted = true;
    }

    end_session(*adapter, &init, &config, &result);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    // Whole lines as soon as they are known, also into a pipe: a reader sees each verdict when
    // its scan ends.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Options options;
    std::string error;
    switch (parse_command_line(argc, argv, &options, &error)) {
        case ParseResult::kHelp:
            fputs(help_text(), stdout);
            return kExitClean;
        case ParseResult::kUsageError:
            fprintf(stderr, "vsa-scan: %s\nTry 'vsa-scan --help'.\n", error.c_str());
            return kExitError;
        case ParseResult::kRun:
            break;
    }

    std::vector<std::string> problems;
    std::vector<ScanObject> objects = collect_objects(options.targets, &problems);
    for (const std::string& problem : problems) fprintf(stderr, "vsa-scan: %s\n", problem.c_str());

    SessionResult session;
    if (!objects.empty() || options.show_config) session = run_session(options, objects);

    Summary summary;
    summary.objects = session.tally.objects;
    summary.clean = session.tally.clean;
    summary.findings = session.tally.findings;
    summary.errors = problems.size() + session.errors + session.tally.errors;
    summary.seconds = session.tally.seconds;
    summary.exit_code = summary.errors > 0 || session.interrupted ? kExitError
                        : summary.findings > 0                    ? kExitFinding
                                                                  : kExitClean;
    // --show-config alone asks for the description, not for a scan to sum up.
    if (!options.targets.empty())
        fputs((options.json ? json_summary(summary) : text_summary(summary)).c_str(), stdout);
    fflush(stdout);
    return summary.exit_code;
}
