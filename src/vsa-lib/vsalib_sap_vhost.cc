#include "vsalib_sap_vhost.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "util/strings.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_sap_vhost";
constexpr size_t kLineSize = 1024;
constexpr size_t kMaxInstanceName = 63;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

bool replace_text(char** place, const std::string& value) {
    char* copy = strdup(value.c_str());
    if (copy == nullptr) return false;
    free(*place);
    *place = copy;
    return true;
}

std::string without_trailing_slashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

std::string last_component(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string profile_directory(const char* sid) {
    const char* configured = getenv("DIR_PROFILE");
    if (configured != nullptr && *configured != '\0') return configured;
    std::string standard = std::string("/usr/sap/") + sid + "/SYS/profile";
    if (std::unique_ptr<DIR, DirCloser> dir{opendir(standard.c_str())}) return standard;
    return "../../SYS/profile";
}

// The smallest entry name beginning with prefix, in byte order; empty when there is none.
std::string first_entry_with_prefix(const std::string& directory, const std::string& prefix) {
    std::unique_ptr<DIR, DirCloser> dir{opendir(directory.c_str())};
    if (!dir) return {};
    std::string best;
    while (const dirent* entry = readdir(dir.get())) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        if (best.empty() || strcmp(entry->d_name, best.c_str()) < 0) best = entry->d_name;
    }
    return best;
}

}  // namespace

extern "C" {

int vsalib_read_sap_profile(const char* path, char** short_name, char** fqdn) {
    std::unique_ptr<FILE, FileCloser> file{fopen(path, "r")};
    if (!file) return 0;
    char line[kLineSize];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        char* text = qzhlp_TrimWhitespace(line);
        if (*text == '\0' || *text == '#') continue;
        char* equals = strchr(text, '=');
        if (equals == nullptr) continue;
        *equals = '\0';
        const char* key = qzhlp_TrimWhitespace(text);
        char* value = qzhlp_TrimWhitespace(equals + 1);
        value[strcspn(value, "\r\n")] = '\0';
        char** place = nullptr;
        if (strcmp(key, "SAPLOCALHOST") == 0) place = short_name;
        if (strcmp(key, "SAPFQDN") == 0) place = fqdn;
        if (place != nullptr && !replace_text(place, value)) return -1;
    }
    return 0;
}

int vsalib_sap_instance_name(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    buf[0] = '\0';
    std::string name;
    const char* dir_instance = getenv("DIR_INSTANCE");
    if (dir_instance != nullptr && *dir_instance != '\0') {
        name = last_component(without_trailing_slashes(dir_instance));
    } else {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            std::string path = without_trailing_slashes(cwd);
            if (last_component(path) == "work") {
                size_t slash = path.rfind('/');
                if (slash != std::string::npos)
                    name = last_component(without_trailing_slashes(path.substr(0, slash)));
            }
        }
    }
    if (name.empty()) return -1;
    snprintf(buf, size, "%.*s", static_cast<int>(kMaxInstanceName), name.c_str());
    return 0;
}

int get_sap_virtual_hostname(char** short_name, char** long_name) {
    *short_name = nullptr;
    *long_name = nullptr;
    const char* sid = getenv("SAPSYSTEMNAME");
    if (sid == nullptr || *sid == '\0') return -1;

    const std::string directory = profile_directory(sid);
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "SAP profile dir: %s", directory.c_str());
    char* fqdn = nullptr;
    int rc = vsalib_read_sap_profile((directory + "/DEFAULT.PFL").c_str(), short_name, &fqdn);

    char instance[kMaxInstanceName + 1];
    if (vsalib_sap_instance_name(instance, sizeof instance) != 0) {
        VSALIB_LOG(QZ_LOG_WARN, kSource,
                   "Failed to determine SAP instance name (DIR_INSTANCE unset and CWD is not a "
                   ".../work directory)");
    } else if (rc == 0) {
        std::string profile =
            first_entry_with_prefix(directory, std::string(sid) + "_" + instance + "_");
        if (!profile.empty())
            rc = vsalib_read_sap_profile((directory + "/" + profile).c_str(), short_name, &fqdn);
    }
    if (rc == 0 && *short_name != nullptr && fqdn != nullptr) {
        std::string joined = std::string(*short_name) + "." + fqdn;
        if (!replace_text(long_name, joined)) rc = -1;
    }
    free(fqdn);
    if (rc != 0) {
        // Only an allocation failure gets here; the caller goes on without the names.
        free(*short_name);
        *short_name = nullptr;
        free(*long_name);
        *long_name = nullptr;
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Failed to allocate %s", "SAP virtual host name");
    }
    return 0;
}
}
