#include "vsa_names.h"

#include <strings.h>

namespace vsascan {
namespace {

struct CodeName {
    VSA_RC rc;
    const char* name;
};

constexpr CodeName kCodeNames[] = {
    {VSA_OK, "VSA_OK"},
    {VSA_E_NO_MEMORY, "VSA_E_NO_MEMORY"},
    {VSA_E_NULL_PARAM, "VSA_E_NULL_PARAM"},
    {VSA_E_INVALID_PARAM, "VSA_E_INVALID_PARAM"},
    {VSA_E_NOT_INITIALISED, "VSA_E_NOT_INITIALISED"},
    {VSA_E_LOAD_FAILED, "VSA_E_LOAD_FAILED"},
    {VSA_E_DRIVER_FAILED, "VSA_E_DRIVER_FAILED"},
    {VSA_E_NOT_SUPPORTED, "VSA_E_NOT_SUPPORTED"},
    {VSA_E_INVALID_SCANOBJECT, "VSA_E_INVALID_SCANOBJECT"},
    {VSA_E_SCAN_FAILED, "VSA_E_SCAN_FAILED"},
    {VSA_E_NOT_SCANNED, "VSA_E_NOT_SCANNED"},
    {VSA_E_IN_PROGRESS, "VSA_E_IN_PROGRESS"},
    {VSA_E_CLEANED, "VSA_E_CLEANED"},
    {VSA_E_VIRUS_FOUND, "VSA_E_VIRUS_FOUND"},
    {VSA_E_ACTIVECONTENT_FOUND, "VSA_E_ACTIVECONTENT_FOUND"},
    {VSA_E_BLOCKED_BY_POLICY, "VSA_E_BLOCKED_BY_POLICY"},
};

constexpr ParameterName kInitParameters[] = {
    {VSA_INITDRIVERS, "INITDRIVERS", ValueKind::kText},
    {VSA_INITEXTRADRIVERS, "INITEXTRADRIVERS", ValueKind::kText},
    {VSA_INITEXTRADRIVERDIRECTORY, "INITEXTRADRIVERDIRECTORY", ValueKind::kText},
    {VSA_INITSERVERS, "INITSERVERS", ValueKind::kText},
    {VSA_INITTIMEOUT, "INITTIMEOUT", ValueKind::kTimeout},
    {VSA_INITTEMP_PATH, "INITTEMP_PATH", ValueKind::kText},
    {VSA_INITDIRECTORY, "INITDIRECTORY", ValueKind::kText},
    {VSA_INITENGINES, "INITENGINES", ValueKind::kText},
};

// The kinds are those VsaGetConfig announces for each code.
constexpr ParameterName kOptionalParameters[] = {
    {VSA_SCANBESTEFFORT, "SCANBESTEFFORT", ValueKind::kBoolean},
    {VSA_SCANALLFILES, "SCANALLFILES", ValueKind::kBoolean},
    {VSA_SCANEXTENSIONS, "SCANEXTENSIONS", ValueKind::kText},
    {VSA_SCANEXTRACT, "SCANEXTRACT", ValueKind::kBoolean},
    {VSA_SCANEXTRACT_SIZE, "SCANEXTRACT_SIZE", ValueKind::kInteger64},
    {VSA_SCANEXTRACT_DEPTH, "SCANEXTRACT_DEPTH", ValueKind::kInteger32},
    {VSA_SCANEXTRACT_RATIO, "SCANEXTRACT_RATIO", ValueKind::kInteger32},
    {VSA_SCANLOGPATH, "SCANLOGPATH", ValueKind::kText},
    {VSA_SCANMIMETYPES, "SCANMIMETYPES", ValueKind::kText},
    {VSA_CLEANQUARANTINE, "CLEANQUARANTINE", ValueKind::kText},
    {VSA_BLOCKMIMETYPES, "BLOCKMIMETYPES", ValueKind::kText},
    {VSA_BLOCKEXTENSIONS, "BLOCKEXTENSIONS", ValueKind::kText},
};

template <size_t N>
std::optional<ParameterName> find_by_name(const ParameterName (&table)[N], std::string_view name) {
    for (const ParameterName& entry : table) {
        std::string_view candidate(entry.name);
        if (candidate.size() == name.size() &&
            strncasecmp(candidate.data(), name.data(), name.size()) == 0)
            return entry;
    }
    return std::nullopt;
}

template <size_t N>
const char* find_by_code(const ParameterName (&table)[N], uint32_t code) {
    for (const ParameterName& entry : table) {
        if (entry.code == code) return entry.name;
    }
    return nullptr;
}

}  // namespace

const char* vsa_code_name(VSA_RC rc) {
    for (const CodeName& entry : kCodeNames) {
        if (entry.rc == rc) return entry.name;
    }
    return "VSA_UNKNOWN_CODE";
}

Verdict verdict_of(VSA_RC rc) {
    switch (rc) {
        case VSA_OK:
            return {"clean", Outcome::kClean};
        case VSA_E_CLEANED:
            return {"cleaned", Outcome::kFinding};
        case VSA_E_VIRUS_FOUND:
            return {"virus", Outcome::kFinding};
        case VSA_E_ACTIVECONTENT_FOUND:
            return {"active-content", Outcome::kFinding};
        case VSA_E_BLOCKED_BY_POLICY:
            return {"blocked", Outcome::kFinding};
        case VSA_E_NOT_SCANNED:
            return {"not-scanned", Outcome::kError};
        default:
            return rc < 0 ? Verdict{"finding", Outcome::kFinding}
                          : Verdict{"error", Outcome::kError};
    }
}

std::optional<ParameterName> init_parameter(std::string_view name) {
    return find_by_name(kInitParameters, name);
}

const char* init_parameter_name(uint32_t code) { return find_by_code(kInitParameters, code); }

std::optional<ParameterName> optional_parameter(std::string_view name) {
    return find_by_name(kOptionalParameters, name);
}

const char* optional_parameter_name(uint32_t code) {
    return find_by_code(kOptionalParameters, code);
}

uint32_t type_of(ValueKind kind) {
    switch (kind) {
        case ValueKind::kBoolean:
            return VSA_TYPE_BOOLEAN;
        case ValueKind::kInteger32:
            return VSA_TYPE_INTEGER;
        case ValueKind::kInteger64:
            return VSA_TYPE_INTEGER64;
        case ValueKind::kTimeout:
            return VSA_TYPE_TIMEOUT;
        case ValueKind::kText:
            break;
    }
    return VSA_TYPE_STRING;
}

}  // namespace vsascan
