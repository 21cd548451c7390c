#include "init_parameters.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "adapter_state.h"
#include "config/config_store.h"
#include "log/log.h"
#include "platform/error_text.h"
#include "util/path_file.h"
#include "util/strings.h"

namespace {

using qz::adapter::TraceSite;

// The helpers below trace on behalf of the function whose contract names their lines.
constexpr TraceSite kExtract{"vsawrapper_ExtractInitParameters", __FILE__};
constexpr TraceSite kValidate{"vsawrapper_ValidateInitParameters", __FILE__};
constexpr TraceSite kRequired{"vsawrapper_HaveRequiredParams", __FILE__};

constexpr uint32_t kHostSource = QZ_SOURCE_VSI_API;
constexpr uint32_t kDefaultSource = QZ_SOURCE_DEFAULT;

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

bool is_text_code(uint32_t code) {
    switch (code) {
        case VSA_INITDRIVERS:
        case VSA_INITEXTRADRIVERS:
        case VSA_INITEXTRADRIVERDIRECTORY:
        case VSA_INITSERVERS:
        case VSA_INITTEMP_PATH:
        case VSA_INITDIRECTORY:
        case VSA_INITENGINES:
            return true;
        default:
            return false;
    }
}

bool store_text(list_t* config, const char* section, const char* key, const char* value) {
    if (StoreConfigParameter_String(config, section, key, value, kHostSource) >= 0) return true;
    SITE_LOG(kExtract, QZ_LOG_ERROR, "Failed to store %s-%s", section, key);
    return false;
}

int stored_int_or_minus_one(list_t* config, const char* section, const char* key) {
    int value = -1;
    if (GetConfigParameter_Int(config, section, key, &value) != 0) return -1;
    return value;
}

// The path with environment references replaced. A reference that cannot be resolved leaves the
// path as given, so that the directory check reports it by name instead of a NULL going on.
std::string expand_or_keep(const std::string& path) {
    if (path.empty()) return path;
    CString expanded(qzhlp_expand_path(path.c_str()));
    if (expanded == nullptr) {
        SITE_LOG(kExtract, QZ_LOG_WARN, "Could not expand %s; taking it as given", path.c_str());
        return path;
    }
    return expanded.get();
}

std::string trimmed(std::string text) {
    qzhlp_TrimWhitespace(text.data());
    text.resize(std::strlen(text.c_str()));
    return text;
}

// INITDRIVERS: broker URL, optionally ";PX=" and a proxy URL; the broker part ends before "/SHM".
bool take_drivers(list_t* config, const char* text) {
    SITE_LOG(kExtract, QZ_LOG_TRACE, "Parsing %s for INITDRIVERS", text);
    CString tempval(strdup(text));
    if (tempval == nullptr) {
        SITE_LOG(kExtract, QZ_LOG_ERROR, "Failed to allocate %s", "tempval");
        return false;
    }
    if (char* proxy = strstr(tempval.get(), ";PX=")) {
        *proxy = '\0';
        if (!store_text(config, "GLOBAL", "PROXY", proxy + 4)) return false;
    }
    if (char* shm = strstr(tempval.get(), "/SHM")) *shm = '\0';
    return store_text(config, "GLOBAL", "BROKER", tempval.get());
}

// INITEXTRADRIVERDIRECTORY carries the trace settings as "file;level". Whatever it holds, the
// trace file is reopened from the store and the banner written again.
bool take_trace_settings(vsa_global* g, const std::string& text) {
    SITE_LOG(kExtract, QZ_LOG_TRACE, "Parsing %s for INITEXTRADRIVERDIRECTORY", text.c_str());
    if (text.empty()) return true;
    size_t semicolon = text.find(';');
    if (semicolon != std::string::npos) {
        const char* current = GetConfigParameter_String(g->config, "TRACE", "TRACEFILE");
        if (current != nullptr && *current != '\0') QZCloseTraceFile();
        std::string file = text.substr(0, semicolon);
        std::string level = text.substr(semicolon + 1);
        if (!store_text(g->config, "TRACE", "TRACEFILE", file.c_str())) return false;
        SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for TRACEFILE via API", file.c_str());
        if (!store_text(g->config, "TRACE", "TRACELEVEL", level.c_str())) return false;
        SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %d for TRACELEVEL via API",
                 stored_int_or_minus_one(g->config, "TRACE", "TRACELEVEL"));
    } else {
        SITE_LOG(kExtract, QZ_LOG_WARN, "No semicolon found in INITEXTRADRIVERDIRECTORY");
    }
    qz::adapter::open_trace_from_store(g);
    qz::adapter::log_banner(kExtract, g);
    return true;
}

// INITDIRECTORY: installation directory, optionally ";" and a run directory; a third part is
// ignored.
bool take_directory(list_t* config, const std::string& text) {
    std::string first = text;
    size_t semicolon = text.find(';');
    if (semicolon != std::string::npos) {
        first = text.substr(0, semicolon);
        std::string second = text.substr(semicolon + 1);
        size_t next = second.find(';');
        if (next != std::string::npos) {
            second.resize(next);
            SITE_LOG(
                kExtract, QZ_LOG_WARN,
                "INITDIRECTORY has more than two semicolon-delimited parts; everything past the "
                "second is ignored");
        }
        second = trimmed(second);
        if (!second.empty()) {
            std::string rundir = expand_or_keep(second);
            if (!store_text(config, "INIT", "INITRUNDIR", rundir.c_str())) return false;
            SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for INITRUNDIR (2nd piece of INITDIRECTORY)",
                     rundir.c_str());
        }
    }
    std::string directory = expand_or_keep(trimmed(first));
    if (!store_text(config, "INIT", "INITDIRECTORY", directory.c_str())) return false;
    SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for INITDIRECTORY via API", directory.c_str());
    return true;
}

bool take_parameter(vsa_global* g, const VSA_INITPARAM& param) {
    list_t* config = g->config;
    if (param.tCode == VSA_INITTIMEOUT) {
        // The number travels in the value field itself; its low 32 bits count.
        auto seconds = static_cast<int32_t>(reinterpret_cast<uintptr_t>(param.pvValue));
        if (StoreConfigParameter_Int(config, "INIT", "INITTIMEOUT", seconds, kHostSource) < 0) {
            SITE_LOG(kExtract, QZ_LOG_ERROR, "Failed to store %s-%s", "INIT", "INITTIMEOUT");
            return false;
        }
        SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %d for INITTIMEOUT via API",
                 stored_int_or_minus_one(config, "INIT", "INITTIMEOUT"));
        return true;
    }
    const auto* value = static_cast<const char*>(param.pvValue);
    std::string text(value, strnlen(value, param.lLength));
    switch (param.tCode) {
        case VSA_INITDRIVERS:
            return take_drivers(config, text.c_str());
        case VSA_INITEXTRADRIVERS:
            if (!store_text(config, "INIT", "INITEXTRADRIVERS", text.c_str())) return false;
            SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for INITEXTRADRIVERS via API", text.c_str());
            return true;
        case VSA_INITEXTRADRIVERDIRECTORY:
            return take_trace_settings(g, text);
        case VSA_INITSERVERS:
            if (!store_text(config, "INIT", "INITSERVERS", text.c_str())) return false;
            SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for INITSERVERS via API", text.c_str());
            return true;
        case VSA_INITTEMP_PATH: {
            std::string path = expand_or_keep(text);
            if (!store_text(config, "INIT", "INITTEMP_PATH", path.c_str())) return false;
            SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for INITTEMP_PATH via API", path.c_str());
            return true;
        }
        case VSA_INITDIRECTORY:
            return take_directory(config, text);
        case VSA_INITENGINES:
            if (!store_text(config, "INIT", "INITENGINES", text.c_str())) return false;
            SITE_LOG(kExtract, QZ_LOG_DEBUG, "Got %s for INITENGINES via API", text.c_str());
            return true;
        default:
            return true;
    }
}

// The system's reason why path is not a usable directory, or 0 when it is one (and writable,
// when asked).
int directory_problem(const char* path, bool must_be_writable) {
    if (!qzhlp_IsFile(path)) return ENOENT;
    if (!qzhlp_IsDir(path)) return ENOTDIR;
    if (must_be_writable && !qzhlp_IsWritable(path)) {
        int code = QZ_GetLastError();
        return code != 0 ? code : EACCES;
    }
    return 0;
}

// Resolves, stores when changed, and checks one directory parameter.
int validate_directory(list_t* config, const char* key, bool must_be_writable, char* message) {
    const char* stored = GetConfigParameter_String(config, "INIT", key);
    if (stored == nullptr || *stored == '\0') return 0;
    std::string original = stored;
    SITE_LOG(kValidate, QZ_LOG_DEBUG, "Validating %s: %s", key, original.c_str());

    std::string path = trimmed(original);
    int resolve_error = 0;
    if (CString resolved{realpath(path.c_str(), nullptr)}) {
        path = trimmed(resolved.get());
    } else {
        resolve_error = QZ_GetLastError();
    }
    if (path != original) {
        SITE_LOG(kValidate, QZ_LOG_DEBUG, "%s adjusted from \"%s\" to \"%s\"", key,
                 original.c_str(), path.c_str());
        int source = GetConfigParameter_Source(config, "INIT", key);
        if (StoreConfigParameter_String(config, "INIT", key, path.c_str(),
                                        static_cast<uint32_t>(source)) < 0)
            SITE_LOG(kValidate, QZ_LOG_ERROR, "Failed to store %s-%s", "INIT", key);
    }
    int problem =
        resolve_error != 0 ? resolve_error : directory_problem(path.c_str(), must_be_writable);
    if (problem == 0) return 0;
    // A copy: the error text buffer is shared with every other thread.
    std::string reason = QZstrerror(problem);
    SITE_LOG(kValidate, QZ_LOG_ERROR, "Invalid Parameter %s %s: %s", key, path.c_str(),
             reason.c_str());
    snprintf(message, VSAWRAPPER_MESSAGE_SIZE, "Invalid Parameter %s %s: %s ", key, path.c_str(),
             reason.c_str());
    return -1;
}

bool is_set(list_t* config, const char* section, const char* key) {
    const char* value = GetConfigParameter_String(config, section, key);
    return value != nullptr && *value != '\0';
}

int missing(char* message, const char* text) {
    snprintf(message, VSAWRAPPER_MESSAGE_SIZE, "%s", text);
    SITE_LOG(kRequired, QZ_LOG_ERROR, "%s", message);
    return 0;
}

}  // namespace

extern "C" {

int vsawrapper_SetDefaults(list_t* config) {
    LOG_INFO("Setting default values for some parameters");
    bool stored =
        StoreConfigParameter_String(config, "INIT", "INITENGINES", "DUMMY", kDefaultSource) >= 0;
    stored &=
        StoreConfigParameter_String(config, "INIT", "INITTEMP_PATH", "/tmp", kDefaultSource) >= 0;
    stored &=
        StoreConfigParameter_Int(config, "INIT", "MAX_VSA_PROCESSES", 1000, kDefaultSource) >= 0;
    stored &= StoreConfigParameter_Int(config, "INIT", "INITTIMEOUT", 60, kDefaultSource) >= 0;
    stored &= StoreConfigParameter_Int(config, "INIT", "START_CONTROL", 0, kDefaultSource) >= 0;
    stored &=
        StoreConfigParameter_Int(config, "TRACE", "MAX_TRACEFILE_SIZE_MB", 50, kDefaultSource) >= 0;
    return stored ? 0 : -1;
}

int vsawrapper_ExtractInitParameters(PVSA_INITPARAMS p_initparams, vsa_global* g) {
    if (g == nullptr || g->config == nullptr) {
        LOG_ERROR("No parameter store");
        return -1;
    }
    if (p_initparams == nullptr || p_initparams->pParams == nullptr) {
        LOG_INFO("No INIT parameters passed by VSI");
        return 0;
    }
    for (int i = 0; i < p_initparams->usCount; ++i) {
        const VSA_INITPARAM& param = p_initparams->pParams[i];
        if (param.pvValue == nullptr) {
            LOG_WARN("Got NULL-pointer for parameter %d - skipping", i);
            continue;
        }
        if (param.tType == VSA_TYPE_STRING && param.lLength == 0) {
            LOG_WARN("Got zero-length string for parameter %d - skipping", i);
            continue;
        }
        if (!is_text_code(param.tCode) && param.tCode != VSA_INITTIMEOUT) {
            LOG_WARN("Unsupported parameter passed");
            continue;
        }
        // Reading a number as a text pointer would crash the host.
        if (is_text_code(param.tCode) && param.tType != VSA_TYPE_STRING) {
            LOG_WARN("Got value type %u instead of a string for parameter %d (code %u) - skipping",
                     param.tType, i, param.tCode);
            continue;
        }
        if (!take_parameter(g, param)) return -1;
    }
    return 0;
}

int vsawrapper_ValidateInitParameters(vsa_global* g, char* message) {
    if (g == nullptr || g->config == nullptr || message == nullptr) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    if (validate_directory(g->config, "INITDIRECTORY", false, message) != 0) return -1;
    if (validate_directory(g->config, "INITTEMP_PATH", true, message) != 0) return -1;
    return 0;
}

int vsawrapper_HaveRequiredParams(vsa_global* g, char* message) {
    if (g == nullptr || g->config == nullptr || message == nullptr) {
        LOG_ERROR("Invalid arguments");
        return 0;
    }
    list_t* config = g->config;
    if (!is_set(config, "INIT", "INITDIRECTORY"))
        return missing(message, "INITDIRECTORY (required) not set");
    if (!is_set(config, "INIT", "INITENGINES"))
        return missing(message, "INITENGINES (required) not set");
    if (!is_set(config, "GLOBAL", "BROKER"))
        return missing(message, "Required broker URL not set in parameter INITDRIVERS");
    const char* engines = GetConfigParameter_String(config, "INIT", "INITENGINES");
    if ((strcmp(engines, "ICAP") == 0 || strcmp(engines, "CLAMAV") == 0) &&
        !is_set(config, "INIT", "INITSERVERS")) {
        snprintf(message, VSAWRAPPER_MESSAGE_SIZE, "INITSERVERS (required with %s) not set",
                 engines);
        LOG_ERROR("%s", message);
        return 0;
    }
    return 1;
}
}
