#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

namespace vsascan {
namespace {

constexpr unsigned kMaxThreads = 256;
constexpr int kDefaultTraceLevel = 4;  // INFO
constexpr size_t kMaxParameters = 1000;

const char kHelp[] =
    "Usage: vsa-scan [OPTIONS] FILE|DIRECTORY|- ...\n"
    "\n"
    "Scans files, directories (recursively) or standard input ('-') through the virus scan\n"
    "adapter libqzAV.so, calling it as an SAP host does: VsaStartup, VsaGetConfig, VsaInit,\n"
    "then VsaScan and VsaReleaseScan for every object on --threads threads sharing one init\n"
    "handle, then VsaEnd and VsaCleanup. Prints one line per object and a summary line.\n"
    "\n"
    "Adapter and init parameters (the values VsaInit receives; flags override --init-file):\n"
    "  --adapter PATH         libqzAV.so to load (default: <INITDIRECTORY>/qz-av-vsa/latest/lib/\n"
    "                         libqzAV.so when an INITDIRECTORY is given, else\n"
    "                         <directory of vsa-scan>/../stage/qz-av-vsa/latest/lib/libqzAV.so)\n"
    "  --initdirectory DIR    INITDIRECTORY: installation directory holding qz-av-vsa/latest/lib\n"
    "                         and config/; may be followed by ';' and a run directory. Without\n"
    "                         it, the part of the adapter's path before /qz-av-vsa/ is passed\n"
    "  --engines LIST         INITENGINES: scan services, ';'-separated (e.g. \"mimescan;dummy\")\n"
    "  --drivers URL          INITDRIVERS: broker URL, optionally ';PX=' and a proxy URL\n"
    "  --servers TEXT         INITSERVERS (needed with the engines ICAP and CLAMAV)\n"
    "  --timeout SECONDS      INITTIMEOUT\n"
    "  --trace-file FILE      trace file of both libraries (INITEXTRADRIVERDIRECTORY FILE;LEVEL)\n"
    "  --trace-level N        trace level 0 (off) to 6 (everything); default 4 with --trace-file\n"
    "  --param KEY=VALUE      any init parameter by name (INITTEMP_PATH, INITEXTRADRIVERS, ...)\n"
    "                         or by number; repeatable; a later value for a key replaces one\n"
    "  --init-file FILE       init parameters as KEY=VALUE lines ('#' starts a comment line)\n"
    "\n"
    "Scanning:\n"
    "  --scan-mode file|buffer  file (default): the adapter reads the file by its path;\n"
    "                         buffer: vsa-scan reads the file and passes its bytes\n"
    "  --threads N, -j N      scan on N threads (1 to 256, default 1)\n"
    "  --action LIST          the request's action bits, a number or a comma list of\n"
    "                         mime (1), scan (2), clean (8), active (16); default mime,scan\n"
    "  --opt KEY=VALUE        optional scan parameter for every scan, repeatable: SCANBESTEFFORT,\n"
    "                         SCANALLFILES, SCANEXTRACT (0/1), SCANEXTRACT_SIZE, "
    "SCANEXTRACT_DEPTH,\n"
    "                         SCANEXTRACT_RATIO (numbers), SCANEXTENSIONS, SCANMIMETYPES,\n"
    "                         BLOCKEXTENSIONS, BLOCKMIMETYPES, SCANLOGPATH, CLEANQUARANTINE\n"
    "  --stdin-name NAME      object name of the data read from '-' (default \"stdin\")\n"
    "\n"
    "Output:\n"
    "  --json                 one JSON object per line instead of text, the summary included\n"
    "  --show-config          print what VsaGetConfig reports before scanning; without FILE\n"
    "                         arguments only that\n"
    "  --verbose, -v          print the init handle's library text and scan services on stderr\n"
    "  --progress, --no-progress  force or suppress the progress line on stderr (default: shown\n"
    "                         when stderr is a terminal and there are 20 objects or more)\n"
    "  --help, -h             this text\n"
    "\n"
    "Each object line reads\n"
    "  NAME: VERDICT code=RC vsa=RC_NAME virus=V mime=M services=S time=Tms [error=TEXT]\n"
    "with VERDICT clean, cleaned, virus, active-content, blocked, finding, not-scanned or error,\n"
    "'-' for what the result records do not say, and values with blanks in double quotes.\n"
    "The last line reads\n"
    "  summary: objects=N clean=N findings=N errors=N time=Ss objects/s=R\n"
    "\n"
    "Example:\n"
    "  vsa-scan --initdirectory /opt --drivers nats://127.0.0.1:4222 \\\n"
    "           --engines \"mimescan;dummy\" --threads 4 /srv/uploads\n"
    "\n"
    "Exit codes: 0 every object clean, 1 at least one finding and no error, 2 an error (an object\n"
    "that could not be scanned, a failed VsaInit, an adapter that cannot be loaded, a bad\n"
    "command line).\n";

std::string trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

bool parse_integer(const std::string& text, long long min, long long max, long long* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool parse_boolean(const std::string& text, bool* out) {
    static const char* const kTrue[] = {"1", "yes", "true", "on"};
    static const char* const kFalse[] = {"0", "no", "false", "off"};
    for (const char* word : kTrue) {
        if (strcasecmp(text.c_str(), word) == 0) return *out = true, true;
    }
    for (const char* word : kFalse) {
        if (strcasecmp(text.c_str(), word) == 0) return *out = false, true;
    }
    return false;
}

// Checks a value against its kind and writes it back in the form the list builder reads.
bool normalise_value(const char* key, ValueKind kind, std::string* value, std::string* error) {
    long long number = 0;
    bool flag = false;
    switch (kind) {
        case ValueKind::kText:
            if (value->empty()) {
                *error = std::string(key) + " wants a value";
                return false;
            }
            return true;
        case ValueKind::kBoolean:
            if (!parse_boolean(*value, &flag)) {
                *error = std::string(key) + " wants 0 or 1, not '" + *value + "'";
                return false;
            }
            *value = flag ? "1" : "0";
            return true;
        case ValueKind::kTimeout:
        case ValueKind::kInteger32:
            if (!parse_integer(*value, 0, INT32_MAX, &number)) {
                *error =
                    std::string(key) + " wants a number from 0 to 2147483647, not '" + *value + "'";
                return false;
            }
            return true;
        case ValueKind::kInteger64:
            if (!parse_integer(*value, 0, LLONG_MAX, &number)) {
                *error = std::string(key) + " wants a number, not '" + *value + "'";
                return false;
            }
            return true;
    }
    return false;
}

void set_parameter(std::vector<Parameter>* list, const Parameter& parameter) {
    for (Parameter& existing : *list) {
        if (existing.code == parameter.code) {
            existing = parameter;
            return;
        }
    }
    list->push_back(parameter);
}

using NameLookup = std::optional<ParameterName> (*)(std::string_view);
using CodeLookup = const char* (*)(uint32_t);

// KEY is a parameter name or a code number; a number the tables do not know is passed as text
// so that the adapter's handling of codes it does not know can be seen.
bool parse_assignment(const std::string& assignment, NameLookup by_name, CodeLookup name_of,
                      const char* what, Parameter* out, std::string* error) {
    size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
        *error = std::string(what) + " '" + assignment + "' is not KEY=VALUE";
        return false;
    }
    std::string key = trim(std::string_view(assignment).substr(0, equals));
    std::string value = trim(std::string_view(assignment).substr(equals + 1));
    std::optional<ParameterName> known = by_name(key);
    long long code = 0;
    if (!known && parse_integer(key, 0, UINT32_MAX, &code)) {
        const char* name = name_of(static_cast<uint32_t>(code));
        known = name != nullptr
                    ? by_name(name)
                    : ParameterName{static_cast<uint32_t>(code), nullptr, ValueKind::kText};
    }
    if (!known) {
        *error = std::string("unknown ") + what + " '" + key + "'";
        return false;
    }
    out->code = known->code;
    out->kind = known->kind;
    out->text = value;
    return normalise_value(key.c_str(), out->kind, &out->text, error);
}

bool parse_init_assignment(const std::string& assignment, Parameter* out, std::string* error) {
    return parse_assignment(assignment, init_parameter, init_parameter_name, "init parameter", out,
                            error);
}

bool parse_optional_assignment(const std::string& assignment, Parameter* out, std::string* error) {
    return parse_assignment(assignment, optional_parameter, optional_parameter_name,
                            "optional scan parameter", out, error);
}

bool read_init_file(const std::string& path, std::vector<Parameter>* list, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read init file " + path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string content = trim(line);
        if (content.empty() || content[0] == '#' || content[0] == ';') continue;
        Parameter parameter{};
        std::string why;
        if (!parse_init_assignment(content, &parameter, &why)) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        set_parameter(list, parameter);
    }
    if (in.bad()) {
        *error = "cannot read init file " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool parse_action(const std::string& text, uint32_t* action, std::string* error) {
    long long number = 0;
    if (parse_integer(text, 0, UINT32_MAX, &number)) {
        *action = static_cast<uint32_t>(number);
        return true;
    }
    struct Bit {
        const char* word;
        uint32_t bit;
    };
    static const Bit kBits[] = {{"mime", VSA_ACTION_CHECK_MIME_TYPE},
                                {"scan", VSA_ACTION_SCAN},
                                {"clean", VSA_ACTION_CLEAN},
                                {"active", VSA_ACTION_ACTIVE_CONTENT}};
    uint32_t bits = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string word = trim(std::string_view(text).substr(
            start, comma == std::string::npos ? std::string::npos : comma - start));
        bool found = false;
        for (const Bit& entry : kBits) {
            if (strcasecmp(word.c_str(), entry.word) == 0) {
                bits |= entry.bit;
                found = true;
            }
        }
        if (!found) {
            *error = "--action wants a number or mime, scan, clean, active; not '" + word + "'";
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    *action = bits;
    return true;
}

}  // namespace

std::string Options::init_directory() const {
    for (const Parameter& parameter : init_parameters) {
        if (parameter.code == VSA_INITDIRECTORY)
            return trim(std::string_view(parameter.text).substr(0, parameter.text.find(';')));
    }
    return {};
}

const char* help_text() { return kHelp; }

ParseResult parse_command_line(int argc, char** argv, Options* options, std::string* error) {
    std::vector<Parameter> from_flags;
    std::string init_file, trace_file, trace_level;
    bool stdin_seen = false;
    bool only_targets = false;

    auto add_target = [&](const std::string& target) {
        if (target == "-") {
            if (stdin_seen) {
                *error = "'-' (standard input) given more than once";
                return false;
            }
            stdin_seen = true;
        }
        options->targets.push_back(target);
        return true;
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (only_targets || arg == "-" || arg.empty() || arg[0] != '-') {
            if (!add_target(arg)) return ParseResult::kUsageError;
            continue;
        }
        if (arg == "--") {
            only_targets = true;
            continue;
        }
        std::string flag = arg;
        std::string value;
        bool has_value = false;
        if (size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            flag = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            has_value = true;
        }
        auto take_value = [&]() {
            if (has_value) return true;
            if (i + 1 >= argc) {
                *error = flag + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto init_flag = [&](uint32_t code) {
            if (!take_value()) return false;
            Parameter parameter{code, ValueKind::kText, value};
            const ParameterName known = *init_parameter(init_parameter_name(code));
            parameter.kind = known.kind;
            if (!normalise_value(flag.c_str(), parameter.kind, &parameter.text, error))
                return false;
            set_parameter(&from_flags, parameter);
            return true;
        };
        auto no_value = [&]() {
            if (!has_value) return true;
            *error = flag + " takes no value";
            return false;
        };

        bool ok = true;
        if (flag == "--help" || flag == "-h") {
            return ParseResult::kHelp;
        } else if (flag == "--json") {
            ok = no_value();
            options->json = true;
        } else if (flag == "--show-config") {
            ok = no_value();
            options->show_config = true;
        } else if (flag == "--verbose" || flag == "-v") {
            ok = no_value();
            options->verbose = true;
        } else if (flag == "--progress") {
            ok = no_value();
            options->progress = ProgressMode::kAlways;
        } else if (flag == "--no-progress") {
            ok = no_value();
            options->progress = ProgressMode::kNever;
        } else if (flag == "--adapter") {
            ok = take_value();
            options->adapter = value;
            if (ok && value.empty()) *error = "--adapter wants a path", ok = false;
        } else if (flag == "--initdirectory") {
            ok = init_flag(VSA_INITDIRECTORY);
        } else if (flag == "--engines") {
            ok = init_flag(VSA_INITENGINES);
        } else if (flag == "--drivers") {
            ok = init_flag(VSA_INITDRIVERS);
        } else if (flag == "--servers") {
            ok = init_flag(VSA_INITSERVERS);
        } else if (flag == "--timeout") {
            ok = init_flag(VSA_INITTIMEOUT);
        } else if (flag == "--trace-file") {
            ok = take_value();
            trace_file = value;
            if (ok && value.empty()) *error = "--trace-file wants a file name", ok = false;
        } else if (flag == "--trace-level") {
            long long level = 0;
            ok = take_value();
            if (ok && !parse_integer(value, 0, 6, &level)) {
                *error = "--trace-level wants 0 to 6, not '" + value + "'";
                ok = false;
            }
            trace_level = value;
        } else if (flag == "--param") {
            Parameter parameter{};
            ok = take_value() && parse_init_assignment(value, &parameter, error);
            if (ok) set_parameter(&from_flags, parameter);
        } else if (flag == "--init-file") {
            ok = take_value();
            init_file = value;
        } else if (flag == "--opt") {
            Parameter parameter{};
            ok = take_value() && parse_optional_assignment(value, &parameter, error);
            if (ok) set_parameter(&options->optional_parameters, parameter);
        } else if (flag == "--action") {
            ok = take_value() && parse_action(value, &options->action, error);
        } else if (flag == "--scan-mode") {
            ok = take_value();
            if (ok && value == "file") {
                options->mode = ScanMode::kFile;
            } else if (ok && value == "buffer") {
                options->mode = ScanMode::kBuffer;
            } else if (ok) {
                *error = "--scan-mode wants file or buffer, not '" + value + "'";
                ok = false;
            }
        } else if (flag == "--threads" || flag == "-j") {
            long long threads = 0;
            ok = take_value();
            if (ok && !parse_integer(value, 1, kMaxThreads, &threads)) {
                *error =
                    flag + " wants 1 to " + std::to_string(kMaxThreads) + ", not '" + value + "'";
                ok = false;
            }
            options->threads = static_cast<unsigned>(threads);
        } else if (flag == "--stdin-name") {
            ok = take_value();
            options->stdin_name = value;
            if (ok && value.empty()) *error = "--stdin-name wants a name", ok = false;
        } else {
            *error = "unknown option '" + arg + "' (see --help)";
            ok = false;
        }
        if (!ok) return ParseResult::kUsageError;
    }

    if (!trace_level.empty() && trace_file.empty()) {
        *error = "--trace-level needs --trace-file";
        return ParseResult::kUsageError;
    }
    if (!trace_file.empty()) {
        std::string level = trace_level.empty() ? std::to_string(kDefaultTraceLevel) : trace_level;
        set_parameter(&from_flags,
                      {VSA_INITEXTRADRIVERDIRECTORY, ValueKind::kText, trace_file + ";" + level});
    }
    if (!init_file.empty() && !read_init_file(init_file, &options->init_parameters, error))
        return ParseResult::kUsageError;
    for (const Parameter& parameter : from_flags)
        set_parameter(&options->init_parameters, parameter);

    // The lists' counts are 16 bits wide.
    if (options->init_parameters.size() > kMaxParameters ||
        options->optional_parameters.size() > kMaxParameters) {
        *error = "more than " + std::to_string(kMaxParameters) + " parameters of one kind";
        return ParseResult::kUsageError;
    }
    if (options->targets.empty() && !options->show_config) {
        *error = "nothing to scan: name files, directories or '-' (see --help)";
        return ParseResult::kUsageError;
    }
    return ParseResult::kRun;
}

}  // namespace vsascan
