// Turns the command line's targets into the list of objects to scan: files as named,
// directories walked recursively, "-" for standard input. Collected completely before scanning
// starts, so that the progress line knows the total.
#pragma once

#include <string>
#include <vector>

namespace vsascan {

struct ScanObject {
    std::string path;  // as found; empty for standard input
    bool from_stdin = false;
};

// Objects in the order of the targets, each directory's files sorted by name. A target that
// names nothing scannable (missing, not a file or directory, a directory without files) and a
// directory that cannot be read each add one complete message to `problems`.
std::vector<ScanObject> collect_objects(const std::vector<std::string>& targets,
                                        std::vector<std::string>* problems);

}  // namespace vsascan
