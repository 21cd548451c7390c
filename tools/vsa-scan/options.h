// The command line of vsa-scan: flags, the init parameter file, and the help text. Parsing only
// checks and collects; nothing is loaded or opened here except the init parameter file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vsa_names.h"

namespace vsascan {

enum class ScanMode { kFile, kBuffer };
enum class ProgressMode { kAuto, kAlways, kNever };

// One init or optional scan parameter as the host will pass it. `text` is the value as written;
// numbers and Booleans were checked while parsing and are converted when the list is built.
struct Parameter {
    uint32_t code;
    ValueKind kind;
    std::string text;
};

struct Options {
    std::string adapter;                     // --adapter; empty: derived (see adapter_path())
    std::vector<Parameter> init_parameters;  // in the order they go to VsaInit
    std::vector<Parameter> optional_parameters;
    uint32_t action = VSA_ACTION_SCAN | VSA_ACTION_CHECK_MIME_TYPE;
    ScanMode mode = ScanMode::kFile;
    bool json = false;
    bool show_config = false;
    bool verbose = false;
    ProgressMode progress = ProgressMode::kAuto;
    unsigned threads = 1;
    std::string stdin_name = "stdin";
    std::vector<std::string> targets;  // files, directories, "-" for stdin

    // The installation directory given as INITDIRECTORY (its part before ";"), or empty.
    std::string init_directory() const;
};

enum class ParseResult { kRun, kHelp, kUsageError };

// Fills `options` from argv; on kUsageError `error` says what is wrong (without the program
// name). Flags override what the init parameter file says, whatever their order.
ParseResult parse_command_line(int argc, char** argv, Options* options, std::string* error);

const char* help_text();

}  // namespace vsascan
