#include "util/path_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "log/log.h"
#include "platform/file_handles.h"
#include "platform/file_io.h"
#include "util/strings.h"

namespace {

std::string errno_text(int code) {
    char buf[256];
    return strerror_r(code, buf, sizeof buf);
}

using qz::DirPtr;
using qz::FileDescriptor;

bool is_empty(const char* s) { return s == nullptr || *s == '\0'; }

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};


// dir + '/' + name into out when the result has at most `limit` characters.
bool join_path(const char* dir, const char* name, size_t limit, std::string& out) {
    out.assign(dir);
    out += '/';
    out += name;
    return out.size() <= limit;
}

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_directory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Replaces path with the bytes: a temporary file beside it is written, synced and renamed over
// the old one, and the directory is synced, so that a crash leaves either the old or the new
// content and never a truncated file.
int write_file_atomically(const char* path, const void* data, size_t length) {
    std::string dir = parent_directory(path);
    std::string temp = std::string(path) + ".tmp.XXXXXX";
    if (temp.size() > QZHLP_MAX_PATH) {
        LOG_ERROR("Path too long: %s", path);
        return -1;
    }
    FileDescriptor fd(mkstemp(temp.data()));
    if (fd.get() < 0) {
        LOG_ERROR("Could not open %s for writing, aborting", path);
        LOG_ERROR("Cannot create temporary file %s: %s", temp.c_str(), errno_text(errno).c_str());
        return -1;
    }
    struct stat old;
    mode_t mode = (stat(path, &old) == 0) ? (old.st_mode & 07777) : 0644;
    bool ok = fchmod(fd.get(), mode) == 0 &&
              qz_write_all(fd.get(), data, length) == 0 && fsync(fd.get()) == 0;
    int saved = errno;
    if (fd.close_checked() != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok || rename(temp.c_str(), path) != 0) {
        if (ok) saved = errno;
        LOG_ERROR("Failed to write %s: %s", path, errno_text(saved).c_str());
        unlink(temp.c_str());
        return -1;
    }
    qz_fsync_dir(dir.c_str());
    return 0;
}

int64_t file_size(const char* filename, bool limit_to_int32) {
    if (filename == nullptr) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    std::unique_ptr<char, FreeDeleter> name(strdup(filename));
    if (!name) {
        LOG_ERROR("Failed to allocate %s", "filename");
        return -1;
    }
    qzhlp_TrimWhitespace(name.get());
    if (*name == '\0') {
        LOG_ERROR("Invalid filename (empty)");
        return -1;
    }
    struct stat st;
    if (stat(name.get(), &st) != 0) {
        LOG_ERROR("Can't stat file \"%s\": %s", name.get(), errno_text(errno).c_str());
        return -1;
    }
    if (st.st_size < 0 || (limit_to_int32 && st.st_size > INT32_MAX)) {
        LOG_ERROR("Invalid fize size (%lld) for file %s", static_cast<long long>(st.st_size),
                  name.get());
        return -1;
    }
    return st.st_size;
}

// Creates one directory; an existing directory (also one made meanwhile by someone else) is
// accepted. Reports whether this call created it.
int make_directory(const char* path, mode_t mode, bool* created) {
    *created = false;
    if (is_directory(path)) return 0;
    if (mkdir(path, mode) == 0) {
        *created = true;
        LOG_TRACE("%s created", path);
        return 0;
    }
    int saved = errno;
    if (saved == EEXIST && is_directory(path)) return 0;
    LOG_ERROR("Failed to create directory %s, %s", path, errno_text(saved).c_str());
    return -1;
}

int change_mode(const char* path, unsigned int mode) {
    if (chmod(path, static_cast<mode_t>(mode)) != 0) {
        LOG_ERROR("Failed to chmod directory %s, %s", path, errno_text(errno).c_str());
        return -1;
    }
    LOG_TRACE("Permissions changed on %s", path);
    return 0;
}

// Removes the contents of the directory and then the directory. Symbolic links are removed,
// never followed, so a link inside the tree cannot lead the removal outside it.
int remove_tree(const std::string& path) {
    DirPtr dir(opendir(path.c_str()));
    if (!dir) {
        LOG_DEBUG("Cannot open directory %s: %s", path.c_str(), errno_text(errno).c_str());
        return 0;
    }
    int failures = 0;
    while (struct dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        std::string child;
        if (!join_path(path.c_str(), entry->d_name, QZHLP_MAX_REMOVE_PATH, child)) {
            LOG_ERROR("Path too long: %s/%s", path.c_str(), entry->d_name);
            failures = 1;
            continue;
        }
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            LOG_ERROR("Could not stat %s: %s", child.c_str(), errno_text(errno).c_str());
            failures = 1;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (remove_tree(child) != 0) failures = 1;
        } else if (unlink(child.c_str()) != 0 && errno != ENOENT) {
            LOG_ERROR("Failed to remove file %s: %s", child.c_str(), errno_text(errno).c_str());
            failures = 1;
        }
    }
    dir.reset();
    if (rmdir(path.c_str()) != 0) {
        LOG_ERROR("Failed to remove directory %s: %s", path.c_str(), errno_text(errno).c_str());
        failures = 1;
    }
    return failures;
}

// The absolute form of a path whose last component need not exist yet; empty when unknown.
std::string resolved(const char* path) {
    std::unique_ptr<char, FreeDeleter> full(realpath(path, nullptr));
    if (full) return full.get();
    std::string text = path;
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    size_t slash = text.rfind('/');
    std::string parent =
        (slash == std::string::npos) ? "." : text.substr(0, slash == 0 ? 1 : slash);
    std::unique_ptr<char, FreeDeleter> full_parent(realpath(parent.c_str(), nullptr));
    if (!full_parent) return "";
    std::string base = (slash == std::string::npos) ? text : text.substr(slash + 1);
    std::string result = full_parent.get();
    if (result != "/") result += '/';
    return result + base;
}

int copy_tree(const std::string& source, const std::string& destination) {
    DirPtr dir(opendir(source.c_str()));
    if (!dir) {
        LOG_ERROR("Cannot open directory %s: %s", source.c_str(), errno_text(errno).c_str());
        return -1;
    }
    while (struct dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        std::string from, to;
        if (!join_path(source.c_str(), entry->d_name, QZHLP_MAX_PATH, from) ||
            !join_path(destination.c_str(), entry->d_name, QZHLP_MAX_PATH, to)) {
            LOG_ERROR("Path too long: %s/%s", source.c_str(), entry->d_name);
            return -1;
        }
        struct stat st;
        if (lstat(from.c_str(), &st) != 0) {
            LOG_ERROR("Could not stat %s: %s", from.c_str(), errno_text(errno).c_str());
            return -1;
        }
        if (S_ISDIR(st.st_mode)) {
            bool created;
            if (make_directory(to.c_str(), 0755, &created) != 0) return -1;
            if (copy_tree(from, to) != 0) return -1;
        } else if (S_ISREG(st.st_mode)) {
            if (copy_file(from.c_str(), to.c_str()) != 0) return -1;
            if (chmod(to.c_str(), st.st_mode & 07777) != 0) {
                LOG_ERROR("Failed to chmod %s: %s", to.c_str(), errno_text(errno).c_str());
                return -1;
            }
        } else {
            LOG_WARN("Skipping %s: neither a regular file nor a directory", from.c_str());
        }
    }
    return 0;
}

}  // namespace

extern "C" {

int qzhlp_IsFile(const char* path) {
    struct stat st;
    return !is_empty(path) && stat(path, &st) == 0 ? 1 : 0;
}

int qzhlp_IsDir(const char* path) { return !is_empty(path) && is_directory(path) ? 1 : 0; }

int qzhlp_IsRegularFile(const char* path) {
    struct stat st;
    return !is_empty(path) && stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int qzhlp_IsRegularFileD(const char* dir, const char* name) {
    if (dir == nullptr || name == nullptr) return 0;
    std::string path;
    if (!join_path(dir, name, QZHLP_MAX_PATH, path)) {
        LOG_ERROR("Path too long: %s/%s", dir, name);
        return 0;
    }
    return qzhlp_IsRegularFile(path.c_str());
}

int qzhlp_IsWritable(const char* path) {
    return !is_empty(path) && access(path, W_OK) == 0 ? 1 : 0;
}

int qzhlp_GetFileSize(const char* filename) { return static_cast<int>(file_size(filename, true)); }

int64_t qzhlp_GetFileSize64(const char* filename) { return file_size(filename, false); }

time_t qzhlp_get_file_mtime(const char* dir, const char* name) {
    if (dir == nullptr || name == nullptr) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    std::string path;
    if (!join_path(dir, name, QZHLP_MAX_PATH - 1, path)) {
        LOG_ERROR("Path too long: %s/%s", dir, name);
        return -1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        LOG_ERROR("Could not stat %s: %s", path.c_str(), errno_text(errno).c_str());
        return -1;
    }
    return st.st_mtime;
}

time_t qzhlp_get_dir_mtime(const char* dir) {
    if (is_empty(dir)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    struct stat st;
    if (stat(dir, &st) != 0) {
        LOG_ERROR("Could not stat %s: %s", dir, errno_text(errno).c_str());
        return -1;
    }
    time_t latest = st.st_mtime;
    DirPtr handle(opendir(dir));
    if (!handle) {
        LOG_ERROR("Cannot open directory %s: %s", dir, errno_text(errno).c_str());
        return -1;
    }
    int fd = dirfd(handle.get());
    while (struct dirent* entry = readdir(handle.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        struct stat est;
        // An entry removed since readdir saw it simply no longer counts.
        if (fstatat(fd, entry->d_name, &est, AT_SYMLINK_NOFOLLOW) == 0 && est.st_mtime > latest)
            latest = est.st_mtime;
    }
    return latest;
}

int qzhlp_create_dir(const char* path, int set_mode, unsigned int mode) {
    if (is_empty(path)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    bool created;
    if (make_directory(path, set_mode ? static_cast<mode_t>(mode) : 0755, &created) != 0) return -1;
    return set_mode ? change_mode(path, mode) : 0;
}

int qzhlp_create_dir_path(const char* path, int set_mode, unsigned int mode) {
    if (is_empty(path)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    size_t length = strlen(path);
    if (length > QZHLP_MAX_PATH) {
        LOG_ERROR("Path too long: %s", path);
        return -1;
    }
    std::string prefix;
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != '/' || path[i - 1] == '/') continue;
        prefix.assign(path, i);
        bool created;
        if (make_directory(prefix.c_str(), set_mode ? mode : 0755, &created) != 0) return -1;
        if (created && set_mode && change_mode(prefix.c_str(), mode) != 0) return -1;
    }
    return qzhlp_create_dir(path, set_mode, mode);
}

int qzhlp_mkdirhier(const char* path) {
    if (is_empty(path)) return 0;
    if (strlen(path) > QZHLP_MAX_PATH) {
        LOG_ERROR("Path too long: %s", path);
        return 0;
    }
    std::string prefix = (path[0] == '/') ? "/" : "";
    const char* p = path;
    while (*p != '\0') {
        const char* slash = strchr(p, '/');
        size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
        if (n > 0) {
            prefix.append(p, n);
            prefix += '/';
            bool created;
            if (make_directory(prefix.c_str(), 0755, &created) != 0) return 0;
        }
        p += n;
        if (*p == '/') ++p;
    }
    return 1;
}

int qzhlp_RemoveDir(const char* path) {
    if (is_empty(path)) {
        LOG_ERROR("Invalid arguments");
        return 1;
    }
    if (strlen(path) > QZHLP_MAX_REMOVE_PATH) {
        LOG_ERROR("Path too long: %s", path);
        return 1;
    }
    return remove_tree(path);
}

int copy_file(const char* source, const char* destination) {
    if (is_empty(source) || is_empty(destination)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    FileDescriptor in(open(source, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        LOG_ERROR("Cannot open %s for reading: %s", source, errno_text(errno).c_str());
        return -1;
    }
    FileDescriptor out(open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        LOG_ERROR("Cannot create %s: %s", destination, errno_text(errno).c_str());
        return -1;
    }
    char block[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in.get(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            LOG_ERROR("Read error on %s: %s", source, errno_text(errno).c_str());
            ok = false;
            break;
        }
        if (n == 0) break;
        if (qz_write_all(out.get(), block, static_cast<size_t>(n)) != 0) {
            LOG_ERROR("Write error on %s: %s", destination, errno_text(errno).c_str());
            ok = false;
            break;
        }
    }
    if (ok && (fchmod(out.get(), 0755) != 0 || out.close_checked() != 0)) {
        LOG_ERROR("Failed to finish %s: %s", destination, errno_text(errno).c_str());
        ok = false;
    }
    if (!ok) {
        out.reset();
        unlink(destination);
        return -1;
    }
    return 0;
}

int copy_dir_recursive(const char* source, const char* destination) {
    if (is_empty(source) || is_empty(destination)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    if (strlen(source) > QZHLP_MAX_PATH || strlen(destination) > QZHLP_MAX_PATH) {
        LOG_ERROR("Path too long: %s -> %s", source, destination);
        return -1;
    }
    if (!is_directory(source)) {
        LOG_ERROR("%s is not a directory", source);
        return -1;
    }
    // A destination inside the source would be copied into itself without end.
    std::string real_source = resolved(source);
    std::string real_destination = resolved(destination);
    if (!real_source.empty() && !real_destination.empty() &&
        (real_destination == real_source ||
         real_destination.compare(0, real_source.size() + 1, real_source + "/") == 0)) {
        LOG_ERROR("Cannot copy %s into itself (%s)", source, destination);
        return -1;
    }
    bool created;
    if (make_directory(destination, 0750, &created) != 0) return -1;
    if (!qzhlp_IsWritable(destination)) {
        LOG_ERROR("Destination %s is not writable", destination);
        return -1;
    }
    return copy_tree(source, destination);
}

int qzhlp_ReadIntValue(const char* path, int retries) {
    if (is_empty(path)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    FILE* f = nullptr;
    for (int attempt = 0;; ++attempt) {
        f = fopen(path, "r");
        if (f != nullptr) break;
        if (errno != ENOENT) {
            LOG_ERROR("Cannot open %s: %s", path, errno_text(errno).c_str());
            return -1;
        }
        if (attempt >= retries) {
            LOG_DEBUG("%s does not exist", path);
            return 0;
        }
        sleep(1);
    }
    char line[64] = "";
    bool read_ok = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    char* end = nullptr;
    errno = 0;
    long value = read_ok ? strtol(line, &end, 10) : 0;
    if (!read_ok || end == line || errno == ERANGE || value > INT_MAX || value < INT_MIN) {
        LOG_ERROR("No integer value in %s", path);
        return -1;
    }
    return static_cast<int>(value);
}

int qzhlp_StoreIntValue(const char* path, int value) {
    if (is_empty(path)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "%d\n", value);
    return write_file_atomically(path, text, static_cast<size_t>(n));
}

char* qzhlp_expand_path(const char* path) {
    if (is_empty(path)) return nullptr;
    LOG_TRACE("Expanding path: %s", path);
    size_t length = strlen(path);
    size_t capacity = length + 64;
    size_t used = 0;
    char* out = static_cast<char*>(malloc(capacity));
    auto append = [&](const char* text, size_t n) -> bool {
        if (out == nullptr) return false;
        while (used + n + 1 > capacity) {
            capacity *= 2;
            char* bigger = static_cast<char*>(realloc(out, capacity));
            if (bigger == nullptr) {
                free(out);
                out = nullptr;
                return false;
            }
            out = bigger;
        }
        memcpy(out + used, text, n);
        used += n;
        out[used] = '\0';
        return true;
    };
    const auto is_name_start = [](char c) {
        return isalpha(static_cast<unsigned char>(c)) || c == '_';
    };
    const auto is_name_char = [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '_';
    };
    if (out != nullptr) out[0] = '\0';
    const char* p = path;
    while (*p != '\0' && out != nullptr) {
        if (*p != '$') {
            append(p++, 1);
            continue;
        }
        const char* name = nullptr;
        size_t name_length = 0;
        const char* after = nullptr;  // first character past the reference
        if (p[1] == '{') {
            const char* close = strchr(p + 2, '}');
            if (close != nullptr) {
                name = p + 2;
                name_length = static_cast<size_t>(close - name);
                after = close + 1;
            }
        } else if (is_name_start(p[1])) {
            name = p + 1;
            const char* q = name;
            while (is_name_char(*q)) ++q;
            name_length = static_cast<size_t>(q - name);
            after = q;
        }
        if (name == nullptr) {
            append(p++, 1);
            continue;
        }
        if (name_length == 0 || name_length >= 256) {
            append(p, static_cast<size_t>(after - p));
            p = after;
            continue;
        }
        std::string variable(name, name_length);
        const char* value = getenv(variable.c_str());
        if (value == nullptr) {
            LOG_ERROR("Cannot expand path \"%s\": environment variable \"%s\" is not set", path,
                      variable.c_str());
            free(out);
            return nullptr;
        }
        append(value, strlen(value));
        p = after;
    }
    if (out == nullptr) {
        LOG_ERROR("Failed to allocate memory for expanded path");
        return nullptr;
    }
    LOG_TRACE("Expanded path: %s", out);
    return out;
}

const char* qzhlp_FlattenPath(const char* path) {
    static char flattened[QZHLP_MAX_PATH + 1];
    if (is_empty(path)) {
        LOG_ERROR("Invalid path argument provided");
        return nullptr;
    }
    size_t length = strlen(path);
    // Cutting the path would let two different paths share one flattened name.
    if (length > QZHLP_MAX_PATH) {
        LOG_ERROR("Path too long to flatten (%zu characters): %.64s...", length, path);
        return nullptr;
    }
    for (size_t i = 0; i <= length; ++i)
        flattened[i] = (path[i] == '/' || path[i] == '\\') ? '_' : path[i];
    return flattened;
}

char* qzhlp_unix_path_normalize(const char* path) {
    if (path == nullptr) return nullptr;
    char* out = static_cast<char*>(malloc(strlen(path) + 1));
    if (out == nullptr) {
        LOG_ERROR("Failed to allocate %s", "normalized path");
        return nullptr;
    }
    const auto is_separator = [](char c) { return c == '/' || c == '\\'; };
    char* w = out;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_separator(*p) && p > path && is_separator(p[-1])) continue;
        *w++ = *p;
    }
    *w = '\0';
    return out;
}

int qzhlp_dump_buffer_to_file(const void* buffer, size_t length, const char* path) {
    if (is_empty(path) || (buffer == nullptr && length > 0)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    if (strlen(path) > QZHLP_MAX_PATH) {
        LOG_ERROR("Path too long: %s", path);
        return -1;
    }
    return write_file_atomically(path, buffer, length);
}

int qzhlp_read_buffer_from_file(void* buffer, size_t length, const char* path) {
    if (is_empty(path) || (buffer == nullptr && length > 0)) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        LOG_ERROR("Could not open %s for reading, aborting", path);
        return -1;
    }
    size_t n = length > 0 ? fread(buffer, 1, length, f) : 0;
    int rc = 0;
    if (n != length) {
        if (ferror(f))
            LOG_ERROR("read error");
        else
            LOG_ERROR("unexpected EOF met");
        rc = -1;
    }
    fclose(f);
    return rc;
}
}
