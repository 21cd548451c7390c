// qz-av-mimescan: the MIME scanner. Finds the MIME type, character set, description and
// extension of an object with libmagic and decides on the job's block lists (BLOCKMIMETYPES,
// BLOCKEXTENSIONS, SCANMIMETYPES); the findings travel on to the later services of the scan.
// Serves the core subject "qz-av-mimescan" and the work queue "jobs.qz-av-mimescan".
#include <magic.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "mime_policy.h"
#include "scan_reply.h"
#include "scan_service.h"
#include "service_main.h"

namespace {

constexpr const char* kProgram = "qz-av-mimescan";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// libmagic's answer when it has no extension for a type.
constexpr const char* kNoExtension = "???";

struct MagicClose {
    void operator()(magic_t cookie) const { magic_close(cookie); }
};
using MagicPtr = std::unique_ptr<std::remove_pointer_t<magic_t>, MagicClose>;

void print_usage(FILE* out) {
    fprintf(out,
            "Usage: %s [OPTIONS]\n"
            "\n"
            "The MIME scanner: reports the MIME type, MIME encoding (character set), file type\n"
            "(libmagic's description) and extension of each object, and blocks it (ReturnCode\n"
            "-200, the reason in Virusname) when the job's BLOCKMIMETYPES or BLOCKEXTENSIONS\n"
            "name it or a non-empty SCANMIMETYPES does not. Serves the subject %s (handler\n"
            "threads) and the work queue jobs.%s (pullers), registers in\n"
            "qz-av-worker-registry with libmagic's version, stops on SIGTERM.\n"
            "\n"
            "Options:\n"
            "%s%s"
            "  --help              this text\n",
            kProgram, kProgram, kProgram, qz::service::common_usage(),
            qz::service::pullers_usage());
}

// A libmagic cookie is not safe for concurrent use, so every handler thread opens its own on
// first use; the database is mapped, not copied, so the extra cookies are cheap.
magic_t thread_cookie() {
    thread_local MagicPtr cookie;
    thread_local bool tried = false;
    if (!tried) {
        tried = true;
        MagicPtr opened(magic_open(MAGIC_NONE));
        if (!opened) {
            LOG_ERROR("%s: magic_open failed", kProgram);
        } else if (magic_load(opened.get(), nullptr) != 0) {
            LOG_ERROR("%s: cannot load the magic database: %s", kProgram,
                      magic_error(opened.get()));
        } else {
            cookie = std::move(opened);
        }
    }
    return cookie.get();
}

// One libmagic question about the object; false with the reason in *error.
bool ask(magic_t cookie, int flags, const qz::service::ScanRequest& request, std::string* answer,
         std::string* error) {
    static const char kEmpty[1] = "";
    if (magic_setflags(cookie, flags) != 0) {
        *error = "libmagic does not take the flags";
        return false;
    }
    const void* data = request.data != nullptr ? static_cast<const void*>(request.data) : kEmpty;
    const char* text = magic_buffer(cookie, data, request.data_len);
    if (text == nullptr) {
        const char* why = magic_error(cookie);
        *error = std::string("libmagic failed: ") + (why != nullptr ? why : "no reason given");
        return false;
    }
    *answer = text;
    return true;
}

bool examine(const qz::service::ScanRequest& request, qz::service::ScanVerdict* verdict,
             std::string* error) {
    magic_t cookie = thread_cookie();
    if (cookie == nullptr) {
        *error = "libmagic is not available (see the trace)";
        return false;
    }
    qz::service::FileVerdict file;
    file.file_name = request.object_name;
    file.file_size = request.data_len;
    std::string suggested;
    if (!ask(cookie, MAGIC_MIME_TYPE, request, &file.mime_type, error) ||
        !ask(cookie, MAGIC_MIME_ENCODING, request, &file.mime_encoding, error) ||
        !ask(cookie, MAGIC_NONE, request, &file.file_type, error) ||
        !ask(cookie, MAGIC_EXTENSION, request, &suggested, error)) {
        return false;
    }

    // The name's extension is what the host knows the object by; libmagic's suggestions (a
    // '/'-separated list, "???" for none) say what the content is. Both count for the block list.
    qz::mimescan::PolicyInput policy;
    const std::string named = qz::mimescan::name_extension(request.object_name);
    if (!named.empty()) policy.extensions.push_back(named);
    if (suggested != kNoExtension) {
        size_t start = 0;
        while (start <= suggested.size()) {
            const size_t slash = std::min(suggested.find('/', start), suggested.size());
            if (slash > start) policy.extensions.push_back(suggested.substr(start, slash - start));
            start = slash + 1;
        }
    }
    file.extension = policy.extensions.empty() ? std::string() : policy.extensions.front();

    json_object* job = request.job.get();
    policy.mime_type = file.mime_type;
    policy.block_mime_types = qz::service::job_text(job, "BLOCKMIMETYPES");
    policy.block_extensions = qz::service::job_text(job, "BLOCKEXTENSIONS");
    policy.scan_mime_types = qz::service::job_text(job, "SCANMIMETYPES");
    const std::string reason = qz::mimescan::block_reason(policy);
    if (!reason.empty()) {
        file.rc = SCAN_BLOCKED_POLICY;
        file.virus_name = reason;
    }
    verdict->rc = file.rc;
    verdict->files.push_back(std::move(file));
    return true;
}

void handle(void*, qz_request_reply* pair) {
    try {
        qz::service::ScanRequest request;
        qz::service::ScanVerdict verdict;
        std::string error;
        if (!qz::service::read_scan_request(pair, &request, &error) ||
            !examine(request, &verdict, &error)) {
            LOG_WARN("%s: cannot scan: %s", kProgram, error.c_str());
            qz::service::set_reply_text(pair, qz::service::scan_error_json(error));
            return;
        }
        const qz::service::FileVerdict& file = verdict.files.front();
        LOG_DEBUG("%s: '%s' (%zu bytes): %s, %s, \"%s\", extension '%s'%s%s", kProgram,
                  file.file_name.c_str(), request.data_len, file.mime_type.c_str(),
                  file.mime_encoding.c_str(), file.file_type.c_str(), file.extension.c_str(),
                  file.virus_name.empty() ? "" : ": ", file.virus_name.c_str());
        qz::service::set_reply_text(pair, qz::service::scan_result_json(verdict));
    } catch (const std::exception& e) {
        LOG_ERROR("%s: job failed: %s", kProgram, e.what());
        // No reply text: the requester times out rather than reading a verdict we do not have.
    }
}

// The newest modification time of the magic database files (the signature set's date), or 0.
int64_t database_timestamp() {
    const char* paths = magic_getpath(nullptr, 0);
    int64_t newest = 0;
    if (paths == nullptr) return 0;
    const std::string list = paths;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t colon = std::min(list.find(':', start), list.size());
        for (const char* suffix : {"", ".mgc"}) {
            const std::string path = list.substr(start, colon - start) + suffix;
            struct stat info;
            if (!path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
                newest = std::max<int64_t>(newest, info.st_mtime);
            }
        }
        start = colon + 1;
    }
    return newest;
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
    for (const std::string& arg : options.rest) {
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return 0;
        }
        fprintf(stderr, "%s: unknown argument \"%s\" (see --help)\n", kProgram, arg.c_str());
        return kExitUsage;
    }
    // Fail at start, not at the first job, when the database is missing.
    if (thread_cookie() == nullptr) {
        fprintf(stderr, "%s: cannot load the libmagic database\n", kProgram);
        return kExitFailed;
    }

    volatile int32_t* stop = qz::service::install_stop_signals();
    const int version = magic_version();
    setup.program = kProgram;
    setup.subject = kProgram;
    setup.work_queues = {kProgram};
    setup.handler = handle;
    setup.driver.driver_name = "qz-av-mimescan libmagic " + std::to_string(version / 100) + "." +
                               std::to_string(version % 100);
    setup.driver.major_version = version / 100;
    setup.driver.minor_version = version % 100;
    setup.driver.timestamp = database_timestamp();
    return qz::service::run_scan_service(options, setup, stop);
}
