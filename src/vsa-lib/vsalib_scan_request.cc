#include "vsalib_scan_request.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <optional>

#include "config/config_store.h"
#include "connection/connection_config.h"
#include "event/event_message.h"
#include "platform/clock.h"
#include "platform/file_view.h"
#include "scan/scan_config.h"
#include "scan/scan_job.h"
#include "scan/scan_records.h"
#include "scan/scan_result.h"
#include "util/path_file.h"
#include "vsa_engine.h"
#include "vsalib_quarantine.h"
#include "vsalib_scan_log.h"
#include "vsalib_scan_merge.h"
#include "vsalib_service_loop.h"
#include "vsalib_staged_registry.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace qz::vsalib {
namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_VsaScan";
constexpr const char* kFunction = "vsalib_VsaScan";
constexpr const char* kEmptyFilename = "empty_filename";
constexpr const char* kSmallFileType = "application/vnd.vendrix.smallfile";
constexpr const char* kLargeFileType = "application/vnd.vendrix.largefile";
// The longest event-ID suffix of a virus name.
constexpr size_t kSuffixMax = 255;

#define SCAN_LOG(level, ...) VSALIB_LOG_AS((level), kFunction, kSource, __VA_ARGS__)

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }
const char* text_or_null(const char* text) { return text != nullptr ? text : "(null)"; }
bool has_text(const char* text) { return text != nullptr && *text != '\0'; }

// The 32-bit number an integer parameter carries in its value field; type 9 carries 64 bits.
intptr_t parameter_number(const VSA_OPTPARAM& parameter) {
    const auto raw = reinterpret_cast<uintptr_t>(parameter.pvValue);
    if (parameter.tType == VSA_TYPE_INTEGER64) return static_cast<intptr_t>(raw);
    return static_cast<intptr_t>(static_cast<int32_t>(static_cast<uint32_t>(raw)));
}

// Replaces *text by a copy of value; false when the copy cannot be made (*text kept).
bool replace_text(char** text, const char* value) {
    char* copy = strdup(value);
    if (copy == nullptr) return false;
    free(*text);
    *text = copy;
    return true;
}

// One scan from entry to exit. Owns everything the scan allocates except the scan information
// record once it is handed to the host.
class Scan {
  public:
    Scan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
         PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo, vsa_global* g)
        : init_(p_init),
          callback_(p_callback),
          param_(p_scanparam),
          host_options_(p_optparams),
          pp_scinfo_(pp_scinfo),
          g_(g) {}
    ~Scan();
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;

    VSA_RC run();

  private:
    qz_connection_config* connection() const {
        return static_cast<qz_connection_config*>(g_->connection_config);
    }
    void trace_parameters() const;
    // Step by step; each false means the scan ends with code_ already set.
    bool take_object();
    bool take_file();
    bool build_configuration();
    bool encode_job();
    void scan_within_limits();
    bool add_file_result(int32_t rc, const char* mime_type, const char* file_type,
                         const char* virus_name);
    void check_file_unchanged();
    void settle_unset_result();
    std::string virus_name_suffix() const;
    void add_scan_error();
    VSA_RC hand_over();

    PVSA_INIT init_;
    PVSA_CALLBACK callback_;
    PVSA_SCANPARAM param_;
    PVSA_OPTPARAMS host_options_;
    PPVSA_SCANINFO pp_scinfo_;
    vsa_global* g_;

    uint64_t start_ms_ = 0;
    const char* base_name_ = kEmptyFilename;
    VSA_ENGINE* engine_ = nullptr;
    qz_scanjob job_{};
    VSA_SCANINFO* scaninfo_ = nullptr;
    qz_scan_result* result_ = nullptr;
    qz_file_view* view_ = nullptr;
    std::optional<OptionalParameters> options_;
    char loop_message_[VSALIB_MESSAGE_SIZE] = "";
    VSA_RC code_ = VSA_OK;
    bool quarantined_ = false;
    char* quarantine_name_ = nullptr;
};

Scan::~Scan() {
    if (scaninfo_ != nullptr) {
        // The registry entry goes before the record it is keyed by.
        vsalib_staged_release(g_ != nullptr ? connection() : nullptr, scaninfo_);
        vsalib_FreeScanInfo(&scaninfo_);
    }
    qzvsalib_free_engine_scan_result(result_, 1);
    qz_scanjob_release(&job_);
    qz_file_view_close(view_);
    free(quarantine_name_);
}

void Scan::trace_parameters() const {
    SCAN_LOG(QZ_LOG_TRACE,
             "Parameters:\np_init             : %p\np_callback:        : %p\np_scanparam:       : "
             "%p\n  p_scanparam->tActioncode:   %d\n  p_scanparam->pszObjectname: %s\n  "
             "p-scanparam->pbBytes:       %p\n  p_scanparam->lLength:       %llu\np_optparams    "
             "    : %p\npp_scinfo          : %p",
             static_cast<void*>(init_), static_cast<void*>(callback_), static_cast<void*>(param_),
             static_cast<int>(param_->tActioncode), base_name_,
             static_cast<void*>(param_->pbBytes),
             static_cast<unsigned long long>(param_->lLength), static_cast<void*>(host_options_),
             static_cast<void*>(pp_scinfo_));
}

VSA_RC Scan::run() {
    start_ms_ = qz_monotonic_ms();
    SCAN_LOG(QZ_LOG_TRACE, "Entering");
    if (pp_scinfo_ != nullptr) *pp_scinfo_ = nullptr;
    job_.event_id = qz_log_generate_eventID();
    base_name_ = object_base_name(param_->pszObjectname);
    trace_parameters();

    // An init handle whose start-up failed has no runtime record to scan with.
    if (g_ == nullptr || g_->libInitialised == 0 || init_ == nullptr || init_->hEngine == nullptr) {
        SCAN_LOG(QZ_LOG_ERROR, "No Init (%d)", 0);
        return VSA_E_NOT_INITIALISED;
    }
    engine_ = init_->hEngine;
    qz_connection_config* conn = connection();
    SCAN_LOG(QZ_LOG_TRACE, "Using runtime settings (hEngine): 0x%" PRIxPTR,
             reinterpret_cast<uintptr_t>(engine_));
    SCAN_LOG(QZ_LOG_TRACE, "Broker: %s:%s", text_or_empty(conn ? conn->broker_host : nullptr),
             text_or_empty(conn ? conn->broker_port : nullptr));
    job_.job_doc = json_object_new_object();
    if (job_.job_doc == nullptr) {
        SCAN_LOG(QZ_LOG_ERROR, "Failed to create JSON object");
        return VSA_E_NO_MEMORY;
    }
    scaninfo_ = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
    if (scaninfo_ == nullptr) {
        SCAN_LOG(QZ_LOG_ERROR, "Failed to allocate SCANINFO struct");
        return VSA_E_NO_MEMORY;
    }
    scaninfo_->struct_size = QZ_SCANINFO_SIZE;
    scaninfo_->uiJobID = static_cast<uint32_t>(clock());
    result_ = qzvsalib_new_engine_scan_result();
    if (result_ == nullptr) {
        SCAN_LOG(QZ_LOG_ERROR, "Failed to allocate scan result struct");
        code_ = VSA_E_NO_MEMORY;
        return hand_over();
    }
    result_->scaninfo = scaninfo_;

    job_.scanparam = param_;
    job_.object_name = base_name_;
    if (!take_object() || !build_configuration()) {
        add_scan_error();
        return hand_over();
    }
    if (!encode_job()) return hand_over();

    scan_within_limits();
    check_file_unchanged();
    settle_unset_result();
    const std::string suffix = virus_name_suffix();
    vsalib_fill_scaninfo(scaninfo_, result_, suffix.c_str());

    QuarantineOutcome quarantine = quarantine_scanned_object(engine_, &job_, result_, code_);
    code_ = quarantine.code;
    quarantined_ = quarantine.quarantined;
    quarantine_name_ = quarantine.file_name;

    const uint64_t duration_ms = qz_monotonic_ms() - start_ms_;
    SCAN_LOG(QZ_LOG_DEBUG, "Scan completed in %llu ms", static_cast<unsigned long long>(duration_ms));
    vsaScan_create_logs(g_, engine_, &job_, result_, duration_ms, quarantined_ ? 1 : 0,
                        quarantine_name_);

    qz_config_free_list(job_.scan_config);
    job_.scan_config = nullptr;
    qz_file_view_close(view_);
    view_ = nullptr;
    job_.data = nullptr;

    if (code_ >= VSA_E_NO_MEMORY && code_ <= VSA_E_NOT_SCANNED) add_scan_error();
    return hand_over();
}

bool Scan::take_object() {
    switch (param_->tScanMethod) {
        case VSA_SCANMETHOD_BYTES:
            SCAN_LOG(QZ_LOG_TRACE, "Got SCAN BUFFER request");
            if (param_->pbBytes == nullptr && param_->lLength > 0) {
                // Reading it would fault in the middle of the transfer.
                char* text = qz_sprintf("Buffer %s of %llu bytes has no data", base_name_,
                                        static_cast<unsigned long long>(param_->lLength));
                SCAN_LOG(QZ_LOG_ERROR, "%s", text_or_empty(text));
                free(result_->error_text);
                result_->error_text = text;
                code_ = VSA_E_INVALID_SCANOBJECT;
                return false;
            }
            // An empty buffer is an empty object: no payload travels, as for an empty file.
            job_.data = param_->lLength > 0 ? param_->pbBytes : nullptr;
            job_.data_len = param_->lLength;
            job_.shm_id = param_->lLength > 0 ? QZ_SHM_IN_MEMORY : QZ_SHM_NONE;
            return true;
        case VSA_SCANMETHOD_FILE:
            SCAN_LOG(QZ_LOG_TRACE, "Got SCAN FILE request");
            return take_file();
        default:
            SCAN_LOG(QZ_LOG_ERROR, "Requested scan method (%d) not supported",
                     static_cast<int>(param_->tScanMethod));
            code_ = VSA_E_NOT_SUPPORTED;
            return false;
    }
}

bool Scan::take_file() {
    const char* path = param_->pszObjectname;
    char* text = nullptr;
    if (!has_text(path) || qzhlp_IsFile(path) == 0) {
        text = qz_sprintf("File %s does not exist", text_or_null(path));
    } else {
        char reason[256] = "";
        if (qz_file_view_open(path, &view_, reason, sizeof reason) == 0) {
            job_.data_len = qz_file_view_length(view_);
            if (job_.data_len == 0) {
                job_.data = nullptr;
                job_.shm_id = QZ_SHM_NONE;
            } else {
                job_.data = const_cast<uint8_t*>(qz_file_view_data(view_));
                job_.shm_id = QZ_SHM_IN_MEMORY;
                SCAN_LOG(QZ_LOG_TRACE, "Mapped %llu bytes to %p",
                         static_cast<unsigned long long>(job_.data_len),
                         static_cast<void*>(job_.data));
            }
            return true;
        }
        text = qz_sprintf("Failed to map %s to memory. %s", path, reason);
    }
    SCAN_LOG(QZ_LOG_ERROR, "%s", text_or_empty(text));
    free(result_->error_text);
    result_->error_text = text;
    code_ = VSA_E_INVALID_SCANOBJECT;
    return false;
}

bool Scan::build_configuration() {
    job_.scan_config = qz_scan_config_copy(g_->config, &g_->cs);
    options_.emplace(host_options_);
    // The job offers the checked view: its readers then never meet a value of the wrong type.
    job_.optparams = const_cast<VSA_OPTPARAMS*>(options_->get());
    if (qz_scan_config_merge_request(job_.scan_config, param_, options_->get()) != VSA_OK) {
        code_ = VSA_E_INVALID_PARAM;
        return false;
    }
    return true;
}

bool Scan::encode_job() {
    const qz_scan_runtime runtime = {g_->config,   &g_->cs,        engine_->realmID,
                                     engine_->SID, engine_->FQDN, engine_->services};
    char reason[QZ_SCAN_MESSAGE_SIZE] = "";
    if (qzvsalib_EncodeScanjobToJSON(&runtime, &job_, reason) == 0) return true;
    // Nobody can be asked without a job: the host gets an empty record and no event is written.
    SCAN_LOG(QZ_LOG_ERROR, "Failed to encode the scan job for %s: %s - not scanned", base_name_,
             reason[0] != '\0' ? reason : "unknown reason");
    code_ = VSA_E_SCAN_FAILED;
    return false;
}

bool Scan::add_file_result(int32_t rc, const char* mime_type, const char* file_type,
                           const char* virus_name) {
    qz_scan_result* single = qzvsalib_new_engine_scan_result();
    qz_file_scan_result* file = qzvsalib_new_file_scan_result();
    bool added = false;
    if (single != nullptr && file != nullptr) {
        single->files = static_cast<qz_file_scan_result**>(calloc(1, sizeof(qz_file_scan_result*)));
        if (single->files != nullptr) {
            single->files[0] = file;
            single->nfiles = 1;
            file->rc = rc;
            file->filesize = job_.data_len;
            file->filename = strdup(base_name_);
            file->mime_type = strdup(mime_type);
            file->file_type = strdup(file_type);
            file->extension = strdup("");
            file->virusname = virus_name != nullptr ? strdup(virus_name) : nullptr;
            file = nullptr;  // owned by `single` now
            added = single->files[0]->filename != nullptr &&
                    single->files[0]->mime_type != nullptr &&
                    single->files[0]->file_type != nullptr &&
                    single->files[0]->extension != nullptr &&
                    (virus_name == nullptr || single->files[0]->virusname != nullptr) &&
                    merge_scan_results(result_, single) == VSA_OK;
        }
    }
    qzvsalib_free_file_scan_result(file);
    qzvsalib_free_engine_scan_result(single, 1);
    if (!added) SCAN_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "file scan result");
    return added;
}

void Scan::scan_within_limits() {
    const long min_size = stored_long(g_, g_->config, "SCAN", "SCAN_MIN_SIZE").value_or(0);
    const long max_size = stored_long(g_, g_->config, "SCAN", "SCAN_MAX_SIZE").value_or(0);
    bool added = true;
    switch (decide_by_size(job_.data_len, min_size, max_size)) {
        case SizeDecision::kBelowMinimum:
            added = add_file_result(SCAN_OK, kSmallFileType,
                                    "filesize below scan threshold (SCAN_MIN_SIZE) - not scanned",
                                    nullptr);
            result_->rc = SCAN_OK;
            code_ = VSA_OK;
            break;
        case SizeDecision::kAboveMaximum:
            added = add_file_result(SCAN_BLOCKED_POLICY, kLargeFileType, "not scanned",
                                    "File exceeds size limit (SCAN_MAX_SIZE)");
            result_->rc = SCAN_BLOCKED_POLICY;
            code_ = VSA_E_BLOCKED_BY_POLICY;
            break;
        case SizeDecision::kScan:
            code_ = qzvsalib_loop_scan_services(engine_, &job_, result_, loop_message_);
            SCAN_LOG(QZ_LOG_DEBUG, "Scan loop returns %d with %d files scanned",
                     static_cast<int>(code_), result_->nfiles);
            break;
    }
    if (!added) {
        // Without its record the verdict could not reach the host.
        result_->rc = SCAN_ERROR;
        replace_text(&result_->error_text, "Failed to allocate file scan result");
        code_ = VSA_E_SCAN_FAILED;
    }
}

// A file that lost bytes while the services read it was not scanned as it is: whatever the
// services said about the bytes that were there, a clean answer would be a guess.
void Scan::check_file_unchanged() {
    if (view_ == nullptr || qz_file_view_shrunk(view_) == 0) return;
    SCAN_LOG(QZ_LOG_ERROR, "File %s shrank while it was being scanned", param_->pszObjectname);
    if (code_ < VSA_OK) {
        SCAN_LOG(QZ_LOG_WARN, "Keeping the finding %d made in the bytes that were there",
                 static_cast<int>(code_));
        return;
    }
    char* text = qz_sprintf("File %s changed while being scanned", param_->pszObjectname);
    if (text != nullptr) {
        free(result_->error_text);
        result_->error_text = text;
    }
    result_->rc = SCAN_ERROR;
    code_ = VSA_E_INVALID_SCANOBJECT;
}

// The loop leaves the consolidated code unset when no service was asked or it failed before
// asking one; the events must then tell the answer the host gets, not a detection.
void Scan::settle_unset_result() {
    if (result_->rc != SCAN_RESULT_UNSET) return;
    if (code_ == VSA_OK) {
        result_->rc = SCAN_OK;
    } else if (code_ == VSA_E_NOT_SCANNED) {
        result_->rc = SCAN_NOT_COMPLETED;
    } else if (code_ > VSA_OK) {
        result_->rc = SCAN_ERROR;
    }
    if (code_ > VSA_OK && !has_text(result_->error_text)) {
        replace_text(&result_->error_text,
                     loop_message_[0] != '\0' ? loop_message_ : "Scan failed");
    }
}

std::string Scan::virus_name_suffix() const {
    const long include =
        stored_long(g_, g_->config, "SCAN", "INCLUDE_EVENT_ID_IN_MESSAGE").value_or(0);
    SCAN_LOG(QZ_LOG_TRACE, "Include EventID=%d", static_cast<int>(include));
    if (include == 0) return std::string();
    const std::string delimiter = stored_text_or_empty(g_, g_->config, "SCAN", "EVENT_ID_DELIMITER");
    char suffix[kSuffixMax + 1];
    snprintf(suffix, sizeof suffix, " %s%s", delimiter.c_str(), text_or_empty(job_.event_id));
    return suffix;
}

void Scan::add_scan_error() {
    if (scaninfo_ == nullptr || scaninfo_->uiScanErrors != 0) return;
    SCAN_LOG(QZ_LOG_TRACE, "Creating a SCANERROR struct, if needed");
    const char* text = result_ != nullptr ? result_->error_text : nullptr;
    scaninfo_->uiScanErrors = 1;
    if (vsalib_reallocate_and_fill_scanerror(param_->uiJobID, base_name_, param_->lLength, code_,
                                             text, scaninfo_) == 0) {
        SCAN_LOG(QZ_LOG_DEBUG, "Returning VSA_SCANERROR structure with ErrorText: \"%s\"",
                 text_or_null(text));
    } else {
        SCAN_LOG(QZ_LOG_ERROR, "Failed to create SCANERROR struct");
        scaninfo_->uiScanErrors = 0;
    }
}

VSA_RC Scan::hand_over() {
    const uint32_t errors = scaninfo_ != nullptr ? scaninfo_->uiScanErrors : 0;
    if (pp_scinfo_ != nullptr) {
        *pp_scinfo_ = scaninfo_;
        scaninfo_ = nullptr;
        SCAN_LOG(QZ_LOG_INFO, "returning SCANINFO");
    } else {
        SCAN_LOG(QZ_LOG_INFO, "NOT returning SCANINFO");
        // The destructor deletes the staged payload and the record.
    }
    SCAN_LOG(QZ_LOG_DEBUG, "rc=%d, Scanerrors: %d", static_cast<int>(code_),
             static_cast<int>(errors));
    SCAN_LOG(QZ_LOG_TRACE, "Exiting");
    return code_;
}

}  // namespace

const char* object_base_name(const char* object_name) {
    return qz_scanjob_object_base_name(object_name);
}

SizeDecision decide_by_size(uint64_t length, long min_size, long max_size) {
    // A negative minimum compared as an unsigned number would hold back every object, answered
    // clean without a scan.
    if (min_size > 0 && length < static_cast<uint64_t>(min_size)) return SizeDecision::kBelowMinimum;
    if (max_size > 0 && length > static_cast<uint64_t>(max_size)) return SizeDecision::kAboveMaximum;
    return SizeDecision::kScan;
}

bool is_text_parameter(uint32_t code) {
    switch (code) {
        case VSA_SCANEXTENSIONS:
        case VSA_SCANLOGPATH:
        case VSA_SCANMIMETYPES:
        case VSA_CLEANQUARANTINE:
        case VSA_BLOCKMIMETYPES:
        case VSA_BLOCKEXTENSIONS:
            return true;
        default:
            return false;
    }
}

bool is_known_parameter(uint32_t code) {
    switch (code) {
        case VSA_SCANBESTEFFORT:
        case VSA_SCANALLFILES:
        case VSA_SCANEXTRACT:
        case VSA_SCANEXTRACT_SIZE:
        case VSA_SCANEXTRACT_DEPTH:
        case VSA_SCANEXTRACT_RATIO:
            return true;
        default:
            return is_text_parameter(code);
    }
}

OptionalParameters::OptionalParameters(const VSA_OPTPARAMS* host) {
    if (host != nullptr && host->pParams != nullptr && host->usCount > 0) {
        entries_.reserve(host->usCount);
        for (unsigned i = 0; i < host->usCount; ++i) {
            const VSA_OPTPARAM& parameter = host->pParams[i];
            if (!is_known_parameter(parameter.tCode)) continue;
            VSA_OPTPARAM entry = parameter;
            if (is_text_parameter(parameter.tCode)) {
                if (parameter.tType != VSA_TYPE_STRING) {
                    SCAN_LOG(QZ_LOG_WARN,
                             "Optional parameter %u (code %u) has type %u instead of a string - "
                             "ignored",
                             i, parameter.tCode, parameter.tType);
                    ++refused_;
                    continue;
                }
                if (parameter.pvValue == nullptr) continue;
                if (parameter.lLength == 0) {
                    SCAN_LOG(QZ_LOG_WARN,
                             "Optional parameter %u (code %u) is a string of length 0 - ignored", i,
                             parameter.tCode);
                    ++refused_;
                    continue;
                }
                const auto* text = static_cast<const char*>(parameter.pvValue);
                texts_.emplace_back(text, strnlen(text, parameter.lLength));
                entry.pvValue = texts_.back().data();
                entry.lLength = texts_.back().size();
            } else {
                if (parameter.tType == VSA_TYPE_STRING) {
                    SCAN_LOG(QZ_LOG_WARN,
                             "Optional parameter %u (code %u) is a string instead of a number - "
                             "ignored",
                             i, parameter.tCode);
                    ++refused_;
                    continue;
                }
                entry.pvValue = reinterpret_cast<void*>(parameter_number(parameter));
            }
            entries_.push_back(entry);
        }
    }
    list_.usCount = static_cast<uint16_t>(entries_.size());
    list_.pParams = entries_.empty() ? nullptr : entries_.data();
}

VSA_RC scan_request(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
                    PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo, vsa_global* g) {
    if (p_scanparam == nullptr) {
        SCAN_LOG(QZ_LOG_ERROR, "Invalid pointer %s", "p_scanparam");
        if (pp_scinfo != nullptr) *pp_scinfo = nullptr;
        return VSA_E_NULL_PARAM;
    }
    try {
        Scan scan(p_init, p_callback, p_scanparam, p_optparams, pp_scinfo, g);
        return scan.run();
    } catch (const std::bad_alloc&) {
        SCAN_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "scan request");
        return VSA_E_NO_MEMORY;
    } catch (const std::exception& e) {
        SCAN_LOG(QZ_LOG_ERROR, "Scan failed: %s", e.what());
        return VSA_E_SCAN_FAILED;
    }
}

}  // namespace qz::vsalib
