// The block decisions of the MIME scanner: an object's MIME type and extensions against the
// lists the scan job carries (BLOCKMIMETYPES, BLOCKEXTENSIONS and the allow-list SCANMIMETYPES).
// Pure functions over texts, so that the rules can be read and tested apart from libmagic.
#pragma once

#include <string>
#include <vector>

namespace qz::mimescan {

// A list as the job carries it: entries separated by ';', ',' or blanks; empty entries dropped.
std::vector<std::string> split_list(const std::string& text);

// Entry "*" or "*/*" matches every type, "major/*" every subtype of major; otherwise the type
// must equal the entry. Case does not matter; parameters after ';' in the type are ignored.
bool mime_type_matches(const std::string& entry, const std::string& mime_type);

// Entry "*" matches every extension; a leading "*." or "." of the entry is ignored. Case does
// not matter. An empty extension matches only "*".
bool extension_matches(const std::string& entry, const std::string& extension);

// The extension of an object name: the text after its last '.', when that dot is neither the
// first nor the last character of the base name (after the last '/' or '\'); else "".
std::string name_extension(const std::string& object_name);

struct PolicyInput {
    std::string mime_type;                // what libmagic found
    std::vector<std::string> extensions;  // the name's extension and libmagic's suggestions
    std::string block_mime_types;         // job "BLOCKMIMETYPES"
    std::string block_extensions;         // job "BLOCKEXTENSIONS"
    std::string scan_mime_types;          // job "SCANMIMETYPES"
};

// The reason the object is blocked, or "" when it may pass. The first rule that applies wins:
// a blocked MIME type, then a blocked extension, then a MIME type missing from a non-empty
// SCANMIMETYPES.
std::string block_reason(const PolicyInput& input);

}  // namespace qz::mimescan
