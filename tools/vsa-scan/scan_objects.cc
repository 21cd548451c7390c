#include "scan_objects.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vsascan {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string join_path(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

// Regular files below `directory`, and files that symbolic links point to. Links to directories
// are not followed, so a link loop cannot make the walk endless; sockets, pipes and devices are
// passed over, since reading a pipe would block the scan.
void walk(const std::string& directory, std::vector<ScanObject>* objects,
          std::vector<std::string>* problems) {
    DirPtr dir(opendir(directory.c_str()));
    if (!dir) {
        problems->push_back(directory + ": cannot read directory: " + strerror(errno));
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    if (errno != 0) problems->push_back(directory + ": cannot read directory: " + strerror(errno));
    dir.reset();
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::string path = join_path(directory, name);
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            problems->push_back(path + ": " + strerror(errno));
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            walk(path, objects, problems);
        } else if (S_ISREG(info.st_mode)) {
            objects->push_back({path, false});
        } else if (S_ISLNK(info.st_mode) && stat(path.c_str(), &info) == 0 &&
                   S_ISREG(info.st_mode)) {
            objects->push_back({path, false});
        }
    }
}

}  // namespace

std::vector<ScanObject> collect_objects(const std::vector<std::string>& targets,
                                        std::vector<std::string>* problems) {
    std::vector<ScanObject> objects;
    for (const std::string& target : targets) {
        if (target == "-") {
            objects.push_back({"", true});
            continue;
        }
        struct stat info {};
        if (stat(target.c_str(), &info) != 0) {
            problems->push_back(target + ": " + strerror(errno));
        } else if (S_ISREG(info.st_mode)) {
            objects.push_back({target, false});
        } else if (S_ISDIR(info.st_mode)) {
            size_t before = objects.size();
            size_t problems_before = problems->size();
            walk(target, &objects, problems);
            if (objects.size() == before && problems->size() == problems_before)
                problems->push_back(target + ": directory holds no files to scan");
        } else {
            problems->push_back(target +
                                ": not a regular file or directory (use - to scan standard input)");
        }
    }
    return objects;
}

}  // namespace vsascan
