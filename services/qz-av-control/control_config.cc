#include "control_config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

#include "config/ini.h"

namespace qz::control {
namespace {

struct IniDeleter {
    void operator()(ini_t* ini) const { ini_free(ini); }
};
using IniPtr = std::unique_ptr<ini_t, IniDeleter>;

enum class SectionKind { kNone, kControl, kScan, kRealm, kRealmScan };

struct Section {
    SectionKind kind = SectionKind::kNone;
    std::string raw;       // the text between the brackets, as the INI reader names the section
    std::string realm_id;  // kRealm, kRealmScan
    std::string label;     // for messages: "[SCAN eu-1]"
};

// One key line that the INI reader will turn into a pair.
struct KeyLine {
    Section section;
    std::string key;
    int line = 0;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

bool has_blank(const std::string& text) {
    for (char c : text) {
        if (is_blank(c)) return true;
    }
    return false;
}

class Checker {
  public:
    Checker(const std::string& path, std::string* error) : path_(path), error_(error) {}

    // The syntax and the meaning of every line; the key lines in file order.
    bool check(const std::string& text, std::vector<KeyLine>* keys) {
        if (text.find('\0') != std::string::npos) {
            return fail(0, "holds NUL bytes; it is not a text file");
        }
        std::istringstream lines(text);
        std::string raw_line;
        int number = 0;
        Section section;
        std::map<std::pair<std::string, std::string>, int> first_line;
        while (std::getline(lines, raw_line)) {
            ++number;
            const std::string line = trim(raw_line);
            if (line.empty() || line[0] == ';' || line[0] == '#') continue;
            if (line[0] == '[') {
                if (!parse_header(line, number, &section)) return false;
                continue;
            }
            const size_t equals = line.find('=');
            if (equals == std::string::npos || equals == 0) {
                return fail(number,
                            "expected KEY = value, [SECTION] or a ; comment, not \"" + line + "\"");
            }
            const std::string key = trim(line.substr(0, equals));
            const std::string value = trim(line.substr(equals + 1));
            if (has_blank(key)) return fail(number, "key \"" + key + "\" contains blanks");
            if (value.empty() || value == "\"\"") {
                return fail(number, key + " has no value (give one, or remove the line)");
            }
            if (section.kind == SectionKind::kNone) {
                return fail(number, key + " comes before the first [SECTION]");
            }
            const bool identity =
                section.kind == SectionKind::kControl || section.kind == SectionKind::kRealm;
            if (identity && upper(key) != "TENANTID" && upper(key) != "REALMNAME") {
                return fail(number, "unknown key " + key + " in " + section.label +
                                        " (known: TENANTID, REALMNAME)");
            }
            const auto id = std::make_pair(normalized(section), upper(key));
            auto known = first_line.find(id);
            if (known != first_line.end()) {
                return fail(number, key + " is given twice in " + section.label +
                                        " (first on line " + std::to_string(known->second) + ")");
            }
            first_line[id] = number;
            keys->push_back({section, key, number});
        }
        return true;
    }

    bool fail(int line, const std::string& why) {
        *error_ =
            "config file " + path_ + (line > 0 ? " line " + std::to_string(line) : "") + ": " + why;
        return false;
    }

  private:
    static std::string normalized(const Section& section) {
        return std::to_string(static_cast<int>(section.kind)) + " " + section.realm_id;
    }

    bool parse_header(const std::string& line, int number, Section* section) {
        const size_t close = line.find(']');
        if (close == std::string::npos) {
            return fail(number, "section header \"" + line + "\" has no closing ]");
        }
        const std::string after = trim(line.substr(close + 1));
        if (!after.empty() && after[0] != ';') {
            return fail(number, "text after the section header: \"" + after + "\"");
        }
        Section next;
        next.raw = line.substr(1, close - 1);
        const std::string name = trim(next.raw);
        const size_t blank = name.find_first_of(" \t");
        const std::string word = upper(name.substr(0, blank));
        const std::string realm = blank == std::string::npos ? "" : trim(name.substr(blank));
        if (has_blank(realm)) {
            return fail(number, "realm id \"" + realm + "\" contains blanks");
        }
        // The INI reader finds sections ignoring case, so realm ids that differ only in case
        // would read each other's keys.
        auto spelling = realm_spellings_.emplace(upper(realm), std::make_pair(realm, number));
        if (!spelling.second && spelling.first->second.first != realm) {
            return fail(number, "realm id \"" + realm + "\" differs from \"" +
                                    spelling.first->second.first + "\" (line " +
                                    std::to_string(spelling.first->second.second) +
                                    ") only in case");
        }
        if (word == "CONTROL" && realm.empty()) {
            next.kind = SectionKind::kControl;
            next.label = "[CONTROL]";
        } else if (word == "SCAN") {
            next.kind = realm.empty() ? SectionKind::kScan : SectionKind::kRealmScan;
            next.realm_id = realm;
            next.label = realm.empty() ? "[SCAN]" : "[SCAN " + realm + "]";
        } else if (word == "REALM" && !realm.empty()) {
            next.kind = SectionKind::kRealm;
            next.realm_id = realm;
            next.label = "[REALM " + realm + "]";
        } else {
            return fail(number, "unknown section [" + name +
                                    "] (known: [CONTROL], [SCAN], [REALM <id>], [SCAN <id>])");
        }
        *section = next;
        return true;
    }

    const std::string& path_;
    std::string* error_;
    std::map<std::string, std::pair<std::string, int>> realm_spellings_;  // by upper-case id
};

bool read_text(const std::string& path, std::string* text, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = "cannot read config file " + path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "config file " + path + " is not a regular file";
        close(fd);
        return false;
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read config file " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    *text = std::move(content);
    return true;
}

void apply_scan_overrides(ScanPairs* scan, const ScanPairs& overrides) {
    for (const auto& [key, value] : overrides) {
        bool replaced = false;
        for (auto& pair : *scan) {
            if (strcasecmp(pair.first.c_str(), key.c_str()) == 0) {
                pair = {key, value};
                replaced = true;
                break;
            }
        }
        if (!replaced) scan->emplace_back(key, value);
    }
}

}  // namespace

RealmSettings ControlConfig::for_realm(const std::string& realm_id) const {
    RealmSettings settings{tenant_id, realm_name, scan};
    auto realm = realms.find(realm_id);
    if (realm_id.empty() || realm == realms.end()) return settings;
    if (realm->second.tenant_id) settings.tenant_id = *realm->second.tenant_id;
    if (realm->second.realm_name) settings.realm_name = *realm->second.realm_name;
    apply_scan_overrides(&settings.scan, realm->second.scan);
    return settings;
}

bool load_control_config(const std::string& path, ControlConfig* out, std::string* error) {
    std::string text;
    if (!read_text(path, &text, error)) return false;
    std::vector<KeyLine> keys;
    Checker checker(path, error);
    if (!checker.check(text, &keys)) return false;

    IniPtr ini(ini_load(path.c_str()));
    if (!ini) {
        *error = "cannot read config file " + path + ": " + strerror(errno);
        return false;
    }
    ControlConfig config;
    for (const KeyLine& key : keys) {
        const char* value = ini_get(ini.get(), key.section.raw.c_str(), key.key.c_str());
        if (value == nullptr) {
            return checker.fail(key.line,
                                "the value of " + key.key + " is empty or cannot be read");
        }
        const bool is_tenant = upper(key.key) == "TENANTID";
        switch (key.section.kind) {
            case SectionKind::kControl:
                (is_tenant ? config.tenant_id : config.realm_name) = value;
                break;
            case SectionKind::kScan:
                config.scan.emplace_back(key.key, value);
                break;
            case SectionKind::kRealm:
                (is_tenant ? config.realms[key.section.realm_id].tenant_id
                           : config.realms[key.section.realm_id].realm_name) = value;
                break;
            case SectionKind::kRealmScan:
                config.realms[key.section.realm_id].scan.emplace_back(key.key, value);
                break;
            case SectionKind::kNone:
                break;
        }
    }
    *out = std::move(config);
    return true;
}

}  // namespace qz::control
