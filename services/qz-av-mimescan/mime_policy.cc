#include "mime_policy.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace qz::mimescan {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The bare type: parameters (";charset=...") and blanks dropped, lower case.
std::string bare_type(const std::string& mime_type) {
    return lower(trimmed(mime_type.substr(0, mime_type.find(';'))));
}

}  // namespace

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> entries;
    std::string current;
    for (char c : text) {
        if (c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) entries.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) entries.push_back(current);
    return entries;
}

bool mime_type_matches(const std::string& entry, const std::string& mime_type) {
    const std::string wanted = lower(entry);
    if (wanted == "*" || wanted == "*/*") return true;
    const std::string type = bare_type(mime_type);
    if (type.empty()) return false;
    if (wanted.size() > 2 && wanted.compare(wanted.size() - 2, 2, "/*") == 0) {
        const std::string major = wanted.substr(0, wanted.size() - 1);  // keeps the '/'
        return type.compare(0, major.size(), major) == 0;
    }
    return type == wanted;
}

bool extension_matches(const std::string& entry, const std::string& extension) {
    std::string wanted = entry;
    if (wanted == "*") return true;
    if (wanted.compare(0, 2, "*.") == 0) {
        wanted.erase(0, 2);
    } else if (!wanted.empty() && wanted[0] == '.') {
        wanted.erase(0, 1);
    }
    std::string have = extension;
    if (!have.empty() && have[0] == '.') have.erase(0, 1);
    return !wanted.empty() && !have.empty() && strcasecmp(wanted.c_str(), have.c_str()) == 0;
}

std::string name_extension(const std::string& object_name) {
    const size_t slash = object_name.find_last_of("/\\");
    const std::string base = slash == std::string::npos ? object_name : object_name.substr(slash + 1);
    const size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == base.size()) return "";
    return base.substr(dot + 1);
}

std::string block_reason(const PolicyInput& input) {
    const std::string type = bare_type(input.mime_type);
    for (const std::string& entry : split_list(input.block_mime_types)) {
        if (mime_type_matches(entry, type)) return "MIME type " + type + " is blocked";
    }
    for (const std::string& entry : split_list(input.block_extensions)) {
        for (const std::string& extension : input.extensions) {
            if (extension_matches(entry, extension)) {
                return "Extension " + extension + " is blocked";
            }
        }
    }
    const std::vector<std::string> allowed = split_list(input.scan_mime_types);
    if (!allowed.empty() &&
        std::none_of(allowed.begin(), allowed.end(),
                     [&](const std::string& entry) { return mime_type_matches(entry, type); })) {
        return "MIME type " + (type.empty() ? std::string("(unknown)") : type) +
               " is not among the allowed MIME types";
    }
    return "";
}

}  // namespace qz::mimescan
