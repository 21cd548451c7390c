#include "quarantine_store.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "connection/nats_handles.h"
#include "log/log.h"
#include "platform/file_handles.h"

namespace qz::quarantine {

using qz::nats::JsonPtr;

namespace {

// A run of this many taken names means something other than chance is at work.
constexpr int kMaxNameAttempts = 1000;
constexpr size_t kMaxStemLength = 150;
constexpr const char* kTempPrefix = ".qz-tmp-";

std::string errno_text(const char* what, int error) {
    return std::string(what) + ": " + strerror(error);
}

std::string safe_part(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += keep ? c : '_';
    }
    return out;
}

std::string text_member(json_object* object, const char* key) {
    json_object* value = nullptr;
    if (object == nullptr || !json_object_object_get_ex(object, key, &value) ||
        !json_object_is_type(value, json_type_string)) {
        return "";
    }
    return json_object_get_string(value);
}

// Creates a fresh temporary file in the directory: its descriptor (the caller closes it) and its
// name in *name, or -1.
int create_temp(int dir_fd, std::string* name, std::string* error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char random[9];
        snprintf(random, sizeof random, "%08x", randombytes_random());
        *name = std::string(kTempPrefix) + std::to_string(getpid()) + "-" +
                std::to_string(counter.fetch_add(1)) + "-" + random;
        const int fd = openat(dir_fd, name->c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            *error = errno_text("cannot create a temporary file", errno);
            return -1;
        }
    }
    *error = "cannot find a free temporary file name";
    return -1;
}

bool write_all(int fd, const void* data, size_t length) {
    const auto* at = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t written = write(fd, at, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Writes a whole temporary file and flushes it to disk; its name in *name.
bool write_temp(int dir_fd, const void* data, size_t length, std::string* name,
                std::string* error) {
    FileDescriptor fd(create_temp(dir_fd, name, error));
    if (fd.get() < 0) return false;
    if (!write_all(fd.get(), data, length)) {
        *error = errno_text("cannot write the quarantine file", errno);
    } else if (fsync(fd.get()) != 0) {
        *error = errno_text("cannot flush the quarantine file", errno);
    } else if (fd.close_checked() != 0) {
        *error = errno_text("cannot close the quarantine file", errno);
    } else {
        return true;
    }
    unlinkat(dir_fd, name->c_str(), 0);
    return false;
}

// Renames from to to in the directory unless to exists: 0, or the errno (EEXIST when taken).
// File systems without RENAME_NOREPLACE get link + unlink, which never replaces either.
int rename_no_replace(int dir_fd, const std::string& from, const std::string& to) {
    if (renameat2(dir_fd, from.c_str(), dir_fd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (linkat(dir_fd, from.c_str(), dir_fd, to.c_str(), 0) != 0) return errno;
    unlinkat(dir_fd, from.c_str(), 0);
    return 0;
}

std::string utc_now() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm when;
    gmtime_r(&now.tv_sec, &when);
    char text[40];
    const size_t used = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &when);
    snprintf(text + used, sizeof text - used, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

std::string sha256_hex(const unsigned char* data, size_t length) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    static const unsigned char kEmpty[1] = {0};
    crypto_hash_sha256(digest, data != nullptr ? data : kEmpty, length);
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

std::string metadata_text(json_object* request, const std::string& stored_name, size_t length,
                          const std::string& sha256) {
    JsonPtr document(json_object_new_object());
    if (!document) throw std::bad_alloc();
    json_object_object_add(document.get(), "QuarantineFilename",
                           json_object_new_string(stored_name.c_str()));
    json_object_object_add(document.get(), "Stored", json_object_new_string(utc_now().c_str()));
    json_object_object_add(document.get(), "Size",
                           json_object_new_int64(static_cast<int64_t>(length)));
    json_object_object_add(document.get(), "SHA256", json_object_new_string(sha256.c_str()));
    json_object* copy = nullptr;
    if (request != nullptr && json_object_deep_copy(request, &copy, nullptr) == 0) {
        json_object_object_add(document.get(), "Request", copy);
    }
    const char* text = json_object_to_json_string_ext(
        document.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE);
    if (text == nullptr) throw std::bad_alloc();
    return std::string(text) + "\n";
}

}  // namespace

QuarantineStore::~QuarantineStore() {
    if (dir_fd_ >= 0) close(dir_fd_);
}

bool QuarantineStore::open(const std::string& directory, std::string* error) {
    if (directory.empty()) {
        *error = "no quarantine directory given";
        return false;
    }
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = errno_text(("cannot create " + directory).c_str(), errno);
        return false;
    }
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        *error = errno_text(("cannot open " + directory).c_str(), errno);
        return false;
    }
    // Find out now, not at the first object, whether the directory takes files.
    std::string probe;
    if (!write_temp(fd.get(), "", 0, &probe, error)) {
        *error = directory + ": " + *error;
        return false;
    }
    unlinkat(fd.get(), probe.c_str(), 0);
    if (dir_fd_ >= 0) close(dir_fd_);
    dir_fd_ = fd.release();
    directory_ = directory;
    return true;
}

std::string QuarantineStore::stem_for(const std::string& event_id,
                                      const std::string& object_name) {
    const size_t slash = object_name.find_last_of("/\\");
    std::string name = slash == std::string::npos ? object_name : object_name.substr(slash + 1);
    std::string stem = safe_part(event_id.empty() ? std::string("no-event") : event_id) + "-" +
                       safe_part(name.empty() ? std::string("object") : name);
    if (stem.size() > kMaxStemLength) stem.resize(kMaxStemLength);
    if (stem[0] == '.') stem[0] = '_';
    return stem;
}

bool QuarantineStore::store(json_object* request, const unsigned char* data, size_t length,
                            std::string* stored_name, std::string* error) const {
    if (dir_fd_ < 0) {
        *error = "quarantine directory not open";
        return false;
    }
    const std::string sha256 = sha256_hex(data, length);
    std::string object_temp;
    if (!write_temp(dir_fd_, data, length, &object_temp, error)) return false;

    const std::string base =
        stem_for(text_member(request, "EventID"), text_member(request, "ObjectName"));
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const std::string stem = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        const std::string object_name = stem + ".bin";
        const std::string metadata_name = stem + ".json";
        int rc = rename_no_replace(dir_fd_, object_temp, object_name);
        if (rc == EEXIST) continue;
        if (rc != 0) {
            *error = errno_text("cannot store the quarantined object", rc);
            unlinkat(dir_fd_, object_temp.c_str(), 0);
            return false;
        }
        // The name is ours now; the metadata names it.
        std::string metadata_temp;
        std::string metadata;
        try {
            metadata = metadata_text(request, object_name, length, sha256);
        } catch (const std::bad_alloc&) {
            unlinkat(dir_fd_, object_name.c_str(), 0);
            *error = "out of memory for the quarantine metadata";
            return false;
        }
        if (!write_temp(dir_fd_, metadata.data(), metadata.size(), &metadata_temp, error)) {
            unlinkat(dir_fd_, object_name.c_str(), 0);
            return false;
        }
        rc = rename_no_replace(dir_fd_, metadata_temp, metadata_name);
        if (rc == 0) {
            if (fsync(dir_fd_) != 0) {
                // Both files are in place; only their names may not survive a power cut.
                LOG_WARN("quarantine: cannot flush the directory %s: %s", directory_.c_str(),
                         strerror(errno));
            }
            *stored_name = object_name;
            return true;
        }
        unlinkat(dir_fd_, metadata_temp.c_str(), 0);
        // Someone else's metadata has this stem (left from an earlier object): give the name
        // back and take the next one.
        if (rc == EEXIST && rename_no_replace(dir_fd_, object_name, object_temp) == 0) continue;
        *error = errno_text("cannot store the quarantine metadata", rc);
        unlinkat(dir_fd_, object_name.c_str(), 0);
        return false;
    }
    unlinkat(dir_fd_, object_temp.c_str(), 0);
    *error = "no free name for '" + base + "' after " + std::to_string(kMaxNameAttempts) +
             " attempts";
    return false;
}

}  // namespace qz::quarantine
