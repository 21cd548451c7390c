// Names of the VSA return codes and parameter codes, and the verdict a return code stands for.
// The tables here are the tool's only knowledge of the codes; flags, the configuration print and
// the result lines all read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qzav/vsa_types.h"

namespace vsascan {

// "VSA_E_VIRUS_FOUND" for -2; "VSA_UNKNOWN_CODE" for a code the interface does not define.
const char* vsa_code_name(VSA_RC rc);

enum class Outcome { kClean, kFinding, kError };

// What a scan's return code means for the person reading the line: 0 is clean, negative codes are
// findings, positive codes are failures.
struct Verdict {
    const char* word;  // "clean", "virus", "blocked", "error", ...
    Outcome outcome;
};
Verdict verdict_of(VSA_RC rc);

// How a parameter's value travels in pvValue (the VSA_TYPE_* of its record).
enum class ValueKind { kText, kBoolean, kInteger32, kInteger64, kTimeout };

struct ParameterName {
    uint32_t code;
    const char* name;
    ValueKind kind;
};

// Init parameters by name (case ignored) or code.
std::optional<ParameterName> init_parameter(std::string_view name);
const char* init_parameter_name(uint32_t code);  // nullptr when unknown

// Optional scan parameters by name (case ignored) or code.
std::optional<ParameterName> optional_parameter(std::string_view name);
const char* optional_parameter_name(uint32_t code);  // nullptr when unknown

uint32_t type_of(ValueKind kind);

}  // namespace vsascan
