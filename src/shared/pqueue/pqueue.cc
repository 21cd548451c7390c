#include "pqueue/pqueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "log/log.h"
#include "platform/file_handles.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/thread.h"
#include "platform/uuid.h"
#include "util/path_file.h"

namespace {

constexpr std::string_view kTempPrefix = "temp_";
constexpr std::string_view kClaimPrefix = "claimed_";
constexpr std::string_view kEntrySuffix = ".dat";
constexpr size_t kUuidTextLength = 36;
constexpr size_t kEntryNameLength = 1 + kUuidTextLength + 4;  // {p}{uuid}.dat
// "/data/claimed_" + up to 20 pid digits + "_" + an entry name: the longest path below the root.
constexpr size_t kLongestSuffix = 6 + 8 + 20 + 1 + kEntryNameLength;
constexpr size_t kControlLineMax = 128;
// A push writes its temporary file in one go; one untouched this long belongs to a dead pusher.
constexpr time_t kAbandonedTempSeconds = 600;
constexpr int kNameAttempts = 16;
constexpr int kPurgeLockAttempts = 100;
constexpr long kPurgeLockPollMs = 10;
// Host processes of one installation share the queue through their group; the process umask is
// left alone (changing it would race with every other thread creating files).
constexpr mode_t kDirectoryMode = 0770;
constexpr mode_t kFileMode = 0660;

// The pid of this process once it has renamed its first entry to a claimed name. Until then a
// claimed file that carries our own pid was left by an earlier process that had the same pid. A
// forked child inherits the value but not the pid, and so starts as a process that never claimed.
std::atomic<uint64_t> g_claiming_pid{0};

using qz::DirPtr;
using qz::FileDescriptor;

std::string errno_text(int code) {
    char buf[256];
    return strerror_r(code, buf, sizeof buf);
}


bool is_dot_or_dotdot(std::string_view name) { return name == "." || name == ".."; }

bool is_valid_prefix(char prefix) { return prefix != '\0' && prefix != '/'; }

bool is_uuid_text(std::string_view text) {
    if (text.size() != kUuidTextLength) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_position ? text[i] != '-' : !isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// {p}{uuid}.dat: the only names that are ever claimed or popped.
bool is_entry_name(std::string_view name) {
    return name.size() == kEntryNameLength && is_valid_prefix(name[0]) &&
           is_uuid_text(name.substr(1, kUuidTextLength)) && name.ends_with(kEntrySuffix);
}

bool is_temp_name(std::string_view name) {
    return name.starts_with(kTempPrefix) && is_entry_name(name.substr(kTempPrefix.size()));
}

// claimed_{pid}_{entry name}
bool parse_claim_name(std::string_view name, uint64_t* pid, std::string_view* original) {
    if (!name.starts_with(kClaimPrefix)) return false;
    std::string_view rest = name.substr(kClaimPrefix.size());
    size_t digits = 0;
    uint64_t value = 0;
    while (digits < rest.size() && isdigit(static_cast<unsigned char>(rest[digits]))) {
        if (digits == 19) return false;  // more than any pid
        value = value * 10 + static_cast<uint64_t>(rest[digits] - '0');
        ++digits;
    }
    if (digits == 0 || value == 0 || digits >= rest.size() || rest[digits] != '_') return false;
    std::string_view entry = rest.substr(digits + 1);
    if (!is_entry_name(entry)) return false;
    *pid = value;
    *original = entry;
    return true;
}

std::string join(const char* dir, std::string_view name) {
    std::string path(dir);
    path += '/';
    path += name;
    return path;
}

std::string new_entry_name(char prefix) {
    qz_uuid_t uuid;
    char text[kUuidTextLength + 1];
    qz_uuid_generate_time_safe(uuid);
    qz_uuid_unparse_lower(uuid, text);
    std::string name(1, prefix);
    name += text;
    name += kEntrySuffix;
    return name;
}

std::string claimed_path(const char* datadir, std::string_view entry_name) {
    std::string path(datadir);
    path += '/';
    path += kClaimPrefix;
    path += std::to_string(QZ_GetProcessId());
    path += '_';
    path += entry_name;
    return path;
}

bool is_regular_entry(int dir_fd, const dirent* entry) {
    if (entry->d_type == DT_REG) return true;
    if (entry->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// A process that no longer exists cannot finish its claims. A pid that exists again after reuse
// is taken as alive: its claims then come back by age only.
bool claimer_has_ended(uint64_t pid) {
    if (pid == QZ_GetProcessId()) return g_claiming_pid.load(std::memory_order_acquire) != pid;
    if (pid > static_cast<uint64_t>(INT_MAX)) return true;
    if (kill(static_cast<pid_t>(pid), 0) == 0) return false;
    return errno == ESRCH;
}

uint64_t load_stat(const uint64_t* field) { return __atomic_load_n(field, __ATOMIC_RELAXED); }
void store_stat(uint64_t* field, uint64_t value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
void decrement_stat(uint64_t* field) {
    uint64_t current = load_stat(field);
    while (current > 0 && !__atomic_compare_exchange_n(field, &current, current - 1, true,
                                                       __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// The statistics: a listing of the data directory, in which a file counts with the size it had
// when its name was first seen. A named entry never changes, so a listing needs a stat only for
// new names and for temporary files, which grow while they are written.
//
// Pushes list the directory only when their admission is in doubt or the last listing is older
// than kListingMaxAgeMs; in between the statistics follow this object's own pushes and claims.
// With a large backlog (a broker outage) every scan thread would otherwise read the whole
// directory for each message it queues.
class DirectoryCensus {
  public:
    static constexpr long kListingMaxAgeMs = 100;

    // Lists when forced or when the last listing is too old. False (traced) when the directory
    // cannot be listed; the statistics then stay as they were.
    bool refresh(qz_pqueue* queue, bool force) {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (!force && listed_ && now - listed_at_ < std::chrono::milliseconds(kListingMaxAgeMs))
            return true;
        uint64_t files = 0, bytes = 0;
        if (!take(queue->datadir, &files, &bytes)) {
            LOG_ERROR("Failed to open %s: %s", queue->datadir, errno_text(errno).c_str());
            return false;
        }
        store_stat(&queue->elements, files);
        store_stat(&queue->bytes, bytes);
        listed_ = true;
        listed_at_ = now;
        return true;
    }

  private:
    bool take(const char* dir, uint64_t* files, uint64_t* bytes) {
        DirPtr listing(opendir(dir));
        if (!listing) return false;
        const uint64_t pass = ++pass_;
        uint64_t count = 0, total = 0;
        size_t marked = 0;
        while (const dirent* entry = readdir(listing.get())) {
            if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
            std::string_view name(entry->d_name);
            if (is_dot_or_dotdot(name)) continue;
            auto it = seen_.find(name);
            if (it == seen_.end() || it->second.inode != entry->d_ino ||
                name.starts_with(kTempPrefix)) {
                struct stat st;
                if (fstatat(dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                    !S_ISREG(st.st_mode))
                    continue;
                if (it == seen_.end()) it = seen_.emplace(std::string(name), Seen{}).first;
                it->second.inode = st.st_ino;
                it->second.size = static_cast<uint64_t>(st.st_size);
            }
            if (it->second.pass != pass) ++marked;
            it->second.pass = pass;
            ++count;
            total += it->second.size;
        }
        if (marked != seen_.size())
            std::erase_if(seen_, [pass](const auto& item) { return item.second.pass != pass; });
        *files = count;
        *bytes = total;
        return true;
    }

    struct Seen {
        ino_t inode = 0;
        uint64_t size = 0;
        uint64_t pass = 0;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Seen, StringHash, std::equal_to<>> seen_;
    uint64_t pass_ = 0;
    bool listed_ = false;
    std::chrono::steady_clock::time_point listed_at_;
};

// The queue handed to callers is the first member of this block, so its address is the block's.
struct QueueBlock {
    qz_pqueue queue;
    DirectoryCensus* census;
};
static_assert(std::is_standard_layout_v<QueueBlock>);

QueueBlock* block_of(qz_pqueue* queue) { return reinterpret_cast<QueueBlock*>(queue); }

void destroy_queue(qz_pqueue* queue) {
    QueueBlock* block = block_of(queue);
    free(queue->root);
    free(queue->datadir);
    free(queue->controlfile);
    QZ_DeleteCriticalSection(&queue->lock);
    delete block->census;
    free(block);
}

struct QueueDeleter {
    void operator()(qz_pqueue* queue) const { destroy_queue(queue); }
};
using QueuePtr = std::unique_ptr<qz_pqueue, QueueDeleter>;

QueuePtr new_queue(const std::string& root, long maxelements, long maxbytes, int mode) {
    auto* block = static_cast<QueueBlock*>(calloc(1, sizeof(QueueBlock)));
    if (block == nullptr) {
        LOG_ERROR("Failed to allocate memory for %s", "q");
        return nullptr;
    }
    QueuePtr queue(&block->queue);
    queue->lockfd = -1;
    queue->maxelements = maxelements;
    queue->maxbytes = maxbytes;
    queue->mode = mode;
    queue->root = strdup(root.c_str());
    queue->datadir = strdup((root + "/data").c_str());
    queue->controlfile = strdup((root + "/control").c_str());
    block->census = new (std::nothrow) DirectoryCensus;
    if (!queue->root || !queue->datadir || !queue->controlfile || !block->census) {
        LOG_ERROR("Failed to allocate default values for queue");
        return nullptr;
    }
    if (QZ_InitializeCriticalSection(&queue->lock, 1024) != 0) {
        LOG_ERROR("Failed to create new queue metadata");
        return nullptr;
    }
    return queue;
}

void s_update_queuestat(qz_pqueue* queue) { block_of(queue)->census->refresh(queue, true); }

// Near a limit (within a tenth of it, and always for small queues) the admission of a push is
// decided on a fresh listing, so other processes' entries are counted.
bool near_limit(const qz_pqueue* queue, size_t length) {
    const auto in_doubt = [](uint64_t wanted, long limit, uint64_t floor) {
        const auto max = static_cast<uint64_t>(limit);
        const uint64_t margin = std::max(max / 10, floor);
        return max <= margin || wanted > max - margin;
    };
    return in_doubt(load_stat(&queue->elements) + 1, queue->maxelements, 100) ||
           in_doubt(load_stat(&queue->bytes) + length, queue->maxbytes, 1 << 20);
}

// Accepts a decimal number (a line written on Windows may end in "\r") within [low, high].
bool parse_control_value(std::string_view line, long low, long high, long* value) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.size() > kControlLineMax) return false;
    std::string text(line);
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(text.c_str(), &end, 10);
    const bool plain =
        isdigit(static_cast<unsigned char>(text[0])) || (text[0] == '-' && text.size() > 1);
    if (!plain || errno != 0 || end == text.c_str() || *end != '\0') return false;
    if (parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

// Reads the three control values. 0, or -1 after tracing why.
int read_control_file(const char* path, long* maxelements, long* maxbytes, int* mode) {
    FileDescriptor fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        LOG_ERROR("failed to open control file %s: %s", path, errno_text(errno).c_str());
        return -1;
    }
    std::string content;
    char buf[512];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            LOG_ERROR("failed to read control file %s: %s", path, errno_text(errno).c_str());
            return -1;
        }
        if (n == 0) break;
        content.append(buf, static_cast<size_t>(n));
        if (content.size() > 3 * (kControlLineMax + 2)) break;
    }
    std::string_view rest(content);
    long values[3];
    const long lows[3] = {0, 0, INT32_MIN};
    for (int line = 0; line < 3; ++line) {
        if (rest.empty()) {
            LOG_ERROR("failed to read control file %s: %s", path, "line missing");
            return -1;
        }
        const size_t end = rest.find('\n');
        std::string_view text = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!parse_control_value(text, lows[line], INT32_MAX, &values[line])) {
            LOG_ERROR("failed to read control file %s: %s", path, "not a number in range");
            return -1;
        }
    }
    *maxelements = values[0];
    *maxbytes = values[1];
    *mode = static_cast<int>(values[2]);
    return 0;
}

std::string control_text(const qz_pqueue* queue) {
    char text[96];
    snprintf(text, sizeof text, "%ld\n%ld\n%d\n", queue->maxelements, queue->maxbytes, queue->mode);
    return text;
}

// Replaces the control file atomically, so a crash leaves the old or the new limits. A holder of
// the queue lock keeps its lock on the replaced file for the rest of its hold; claiming stays
// exclusive through the claim renames, the lock only keeps claimers from scanning together.
int write_control_file(const qz_pqueue* queue) {
    const std::string text = control_text(queue);
    std::string temp = std::string(queue->controlfile) + ".tmp.XXXXXX";
    FileDescriptor fd(mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        LOG_ERROR("Failed to write %s: %s", temp.c_str(), errno_text(errno).c_str());
        return -1;
    }
    bool ok = fchmod(fd.get(), kFileMode) == 0 &&
              qz_write_all(fd.get(), text.data(), text.size()) == 0 && fsync(fd.get()) == 0;
    int saved = errno;
    if (fd.close_checked() != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), queue->controlfile) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        LOG_ERROR("Failed to write %s: %s", queue->controlfile, errno_text(saved).c_str());
        unlink(temp.c_str());
        return -1;
    }
    qz_fsync_dir(queue->root);
    return 0;
}

// Creates one directory with the queue's permissions; an existing directory is accepted.
bool make_directory(const char* path) {
    if (mkdir(path, kDirectoryMode) == 0) {
        chmod(path, kDirectoryMode);  // past the umask
        LOG_TRACE("Created %s", path);
        return true;
    }
    const int saved = errno;
    struct stat st;
    if (saved == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return true;
    LOG_ERROR("Failed to create %s: %s", path, errno_text(saved).c_str());
    return false;
}

enum class LockResult { kHeld, kBusy, kFailed };

LockResult take_lock(qz_pqueue* queue) {
    FileDescriptor fd(open(queue->controlfile, O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
        LOG_ERROR("Failed to open %s: %s", queue->controlfile, errno_text(errno).c_str());
        return LockResult::kFailed;
    }
    if (qz_file_lock_exclusive(fd.get(), 0) != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            LOG_TRACE("Queue %s is locked by another holder", queue->root);
            return LockResult::kBusy;
        }
        LOG_ERROR("Failed to lock %s: %s", queue->controlfile, errno_text(errno).c_str());
        return LockResult::kFailed;
    }
    // A control file replaced between our open and our lock is not the one others lock now.
    struct stat locked, current;
    if (fstat(fd.get(), &locked) != 0 || stat(queue->controlfile, &current) != 0 ||
        locked.st_ino != current.st_ino || locked.st_dev != current.st_dev) {
        LOG_TRACE("Control file %s was replaced while locking", queue->controlfile);
        return LockResult::kBusy;
    }
    QZ_EnterCriticalSection(&queue->lock);
    queue->lockfd = fd.release();
    return LockResult::kHeld;
}

// Called inside the critical section with the lock held by this thread.
void release_lock(qz_pqueue* queue) {
    const int fd = queue->lockfd;
    queue->lockfd = -1;
    qz_file_unlock(fd);
    close(fd);
    QZ_LeaveCriticalSection(&queue->lock);
}

// The critical section is re-entrant, so only its owner (or anyone while it is free) gets in;
// lockfd is set and cleared inside it.
bool held_by_this_thread(qz_pqueue* queue) {
    if (!QZ_TryEnterCriticalSection(&queue->lock)) return false;
    const bool held = queue->lockfd >= 0;
    QZ_LeaveCriticalSection(&queue->lock);
    return held;
}

qz_pqueue_data* new_entry(const std::string& path, const char* origpath, char prefix) {
    auto* entry = static_cast<qz_pqueue_data*>(calloc(1, sizeof(qz_pqueue_data)));
    if (entry == nullptr) return nullptr;
    entry->prefix = prefix;
    entry->path = strdup(path.c_str());
    entry->origpath = origpath ? strdup(origpath) : nullptr;
    if (entry->path == nullptr || (origpath != nullptr && entry->origpath == nullptr)) {
        qz_pqueue_data_free(entry);
        return nullptr;
    }
    return entry;
}

// Removes everything below dir, keeping dir itself so that concurrent pushes never find it
// missing. True when nothing was left behind.
bool remove_directory_contents(const char* dir) {
    DirPtr listing(opendir(dir));
    if (!listing) {
        LOG_ERROR("Failed to open %s: %s", dir, errno_text(errno).c_str());
        return false;
    }
    bool ok = true;
    while (const dirent* entry = readdir(listing.get())) {
        std::string_view name(entry->d_name);
        if (is_dot_or_dotdot(name)) continue;
        if (unlinkat(dirfd(listing.get()), entry->d_name, 0) == 0 || errno == ENOENT) continue;
        if (errno == EISDIR && qzhlp_RemoveDir(join(dir, name).c_str()) == 0) continue;
        LOG_ERROR("Failed to remove %s: %s", join(dir, name).c_str(), errno_text(errno).c_str());
        ok = false;
    }
    return ok;
}

// Looks after the data directory: puts back the claims of ended processes (and, when aging is
// asked for, claims at least max_age seconds old), removes abandoned temporary files and reports
// files that are not entries. The number of claims put back, or -1.
int sweep_data_directory(qz_pqueue* queue, bool put_back_aged, long max_age) {
    DirPtr listing(opendir(queue->datadir));
    if (!listing) {
        LOG_ERROR("Failed to open %s: %s", queue->datadir, errno_text(errno).c_str());
        return -1;
    }
    const time_t now = time(nullptr);
    struct Claim {
        std::string claimed, original;
    };
    std::vector<Claim> claims;
    std::vector<std::string> abandoned;
    while (const dirent* entry = readdir(listing.get())) {
        std::string_view name(entry->d_name);
        if (is_dot_or_dotdot(name)) continue;
        struct stat st;
        if (fstatat(dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const bool regular = S_ISREG(st.st_mode);
        if (regular && name.starts_with(kClaimPrefix)) {
            uint64_t pid = 0;
            std::string_view original;
            if (!parse_claim_name(name, &pid, &original)) {
                LOG_WARN("Cannot parse claim filename '%s'; leaving in place", entry->d_name);
                continue;
            }
            const bool aged = put_back_aged && st.st_mtime <= now - max_age;
            if (aged || claimer_has_ended(pid))
                claims.push_back({join(queue->datadir, name), join(queue->datadir, original)});
        } else if (regular && is_temp_name(name)) {
            if (st.st_mtime <= now - kAbandonedTempSeconds)
                abandoned.push_back(join(queue->datadir, name));
        } else if (regular && is_entry_name(name)) {
            if (st.st_size == 0)
                LOG_WARN("Queue entry %s is empty", entry->d_name);
            else if (name[0] != 'E' && name[0] != 'L')
                LOG_WARN("Queue entry %s has an unknown type; left in place", entry->d_name);
        } else {
            LOG_WARN("Ignoring foreign file %s in %s", entry->d_name, queue->datadir);
        }
    }
    listing.reset();

    for (const std::string& path : abandoned) {
        if (unlink(path.c_str()) == 0)
            LOG_WARN("Removed abandoned temporary file %s", path.c_str());
        else if (errno != ENOENT)
            LOG_ERROR("Failed to remove %s: %s", path.c_str(), errno_text(errno).c_str());
    }
    int count = 0;
    for (const Claim& claim : claims) {
        if (qz_rename_noreplace(claim.claimed.c_str(), claim.original.c_str()) == 0) {
            LOG_DEBUG("Reclaimed stale claimed entry %s -> %s", claim.claimed.c_str(),
                      claim.original.c_str());
            ++count;
        } else if (errno == ENOENT) {
            LOG_DEBUG("Claimed entry %s is gone already", claim.claimed.c_str());
        } else {
            LOG_ERROR("Failed to reclaim stale claimed entry '%s': %s", claim.claimed.c_str(),
                      errno_text(errno).c_str());
        }
    }
    if (count > 0)
        LOG_INFO("Re-entered %d stale claimed queue entr%s into the dispatch pool", count,
                 count == 1 ? "y" : "ies");
    return count;
}

QueuePtr open_existing_queue(const std::string& root, long maxelements, long maxbytes, int flags,
                             int mode) {
    LOG_DEBUG("Queue %s exists and is accessible", root.c_str());
    QueuePtr queue = new_queue(root, maxelements, maxbytes, mode);
    if (!queue) return nullptr;
    // A data directory removed behind our back would make every push fail.
    if (!make_directory(queue->datadir)) return nullptr;
    long stored_elements = 0, stored_bytes = 0;
    int stored_mode = 0;
    if (read_control_file(queue->controlfile, &stored_elements, &stored_bytes, &stored_mode) == 0) {
        queue->maxelements = stored_elements;
        queue->maxbytes = stored_bytes;
        queue->mode = stored_mode;
    } else {
        LOG_ERROR("Failed to read controlfile");
        // Without a control file nobody could take the queue lock, and no dispatcher could claim.
        if (write_control_file(queue.get()) != 0) LOG_ERROR("Failed to save queue control file");
    }
    if (flags & O_TRUNC) {
        LOG_DEBUG("Flag O_TRUNC passed, truncating queue %s", root.c_str());
        if (qz_pqueue_purge(queue.get()) != 0) {
            LOG_ERROR("Failed to truncate queue %s", root.c_str());
            return nullptr;
        }
    }
    sweep_data_directory(queue.get(), false, 0);
    s_update_queuestat(queue.get());
    LOG_DEBUG("pqueue %s opened", root.c_str());
    return queue;
}

QueuePtr create_queue(const std::string& root, long maxelements, long maxbytes, int mode) {
    QueuePtr queue = new_queue(root, maxelements, maxbytes, mode);
    if (!queue) return nullptr;
    if (!make_directory(queue->root) || !make_directory(queue->datadir)) return nullptr;
    if (write_control_file(queue.get()) != 0) {
        LOG_ERROR("Failed to save queue control file");
        return nullptr;
    }
    LOG_TRACE("Created %s", queue->controlfile);
    s_update_queuestat(queue.get());
    return queue;
}

void trace_unexpected(const char* function) {
    try {
        throw;
    } catch (const std::exception& e) {
        log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__, "Unexpected failure: %s", e.what());
    } catch (...) {
        log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__, "Unexpected failure");
    }
}

}  // namespace

extern "C" {

qz_pqueue* qz_pqueue_open(const char* directory, const char* name, long maxelements, long maxbytes,
                          int flags, int mode) {
    try {
        if (directory == nullptr || *directory == '\0' || name == nullptr || *name == '\0' ||
            maxelements < 0 || maxelements > INT32_MAX || maxbytes < 0 || maxbytes > INT32_MAX) {
            LOG_ERROR("Invalid parameters");
            errno = EINVAL;
            return nullptr;
        }
        const std::string root = join(directory, name);
        if (root.size() + kLongestSuffix > QZ_PQUEUE_MAX_PATH) {
            LOG_ERROR("Queue path %s is too long: its entry paths would exceed %d characters",
                      root.c_str(), QZ_PQUEUE_MAX_PATH);
            errno = ENAMETOOLONG;
            return nullptr;
        }
        struct stat st;
        const bool exists = stat(root.c_str(), &st) == 0;
        const bool writable = exists && access(root.c_str(), W_OK) == 0;
        if (exists && writable && S_ISDIR(st.st_mode))
            return open_existing_queue(root, maxelements, maxbytes, flags, mode).release();
        if (!(flags & O_CREAT)) {
            LOG_DEBUG("Queue %s does not exist", root.c_str());
            errno = ENOENT;
            return nullptr;
        }
        if (exists && writable) {
            LOG_ERROR("%s not writable - check permissions", root.c_str());
            errno = ENOTDIR;
            return nullptr;
        }
        return create_queue(root, maxelements, maxbytes, mode).release();
    } catch (...) {
        trace_unexpected(__func__);
        return nullptr;
    }
}

int qz_pqueue_close(qz_pqueue* queue) {
    if (queue == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    if (!QZ_TryEnterCriticalSection(&queue->lock)) {
        LOG_ERROR("Queue %s is locked by another thread; not closed", queue->root);
        return -1;
    }
    if (queue->lockfd >= 0) {
        LOG_DEBUG("Releasing the lock of queue %s on close", queue->root);
        release_lock(queue);
    }
    QZ_LeaveCriticalSection(&queue->lock);
    LOG_DEBUG("pqueue %s closed", queue->root);
    destroy_queue(queue);
    return 0;
}

int qz_pqueue_push(qz_pqueue* queue, char prefix, const void* data, size_t length) {
    if (queue == nullptr || data == nullptr || length == 0 || !is_valid_prefix(prefix)) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    try {
        block_of(queue)->census->refresh(queue, near_limit(queue, length));
        const uint64_t elements = load_stat(&queue->elements);
        const uint64_t bytes = load_stat(&queue->bytes);
        const auto maxelements = static_cast<uint64_t>(queue->maxelements);
        const auto maxbytes = static_cast<uint64_t>(queue->maxbytes);
        if (elements + 1 > maxelements || length > maxbytes || bytes > maxbytes - length) {
            LOG_WARN("Queue full: %llu Elements (max %ld), %llu bytes (max %ld)",
                     static_cast<unsigned long long>(elements), queue->maxelements,
                     static_cast<unsigned long long>(bytes), queue->maxbytes);
            return -1;
        }

        std::string name, temp;
        int temp_fd = -1;
        for (int attempt = 0; attempt < kNameAttempts && temp_fd < 0; ++attempt) {
            name = new_entry_name(prefix);
            temp = join(queue->datadir, std::string(kTempPrefix) + name);
            temp_fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
            if (temp_fd < 0 && errno != EEXIST) break;
        }
        FileDescriptor fd(temp_fd);
        if (fd.get() < 0) {
            LOG_ERROR("Failed to write buffer to file %s, %s", temp.c_str(),
                      errno_text(errno).c_str());
            return -1;
        }
        // The entry is named only once its bytes are on disk, so no reader, and no restart after
        // a crash, ever finds a partly written entry under an entry name.
        bool written = qz_write_all(fd.get(), data, length) == 0 && fsync(fd.get()) == 0;
        int saved = errno;
        if (fd.close_checked() != 0 && written) {
            written = false;
            saved = errno;
        }
        if (!written) {
            LOG_ERROR("Failed to write buffer to file %s, %s", temp.c_str(),
                      errno_text(saved).c_str());
            unlink(temp.c_str());
            return -1;
        }

        std::string final_path = join(queue->datadir, name);
        int renamed = qz_rename_noreplace(temp.c_str(), final_path.c_str());
        for (int attempt = 1; renamed != 0 && errno == EEXIST && attempt < kNameAttempts;
             ++attempt) {
            final_path = join(queue->datadir, new_entry_name(prefix));
            renamed = qz_rename_noreplace(temp.c_str(), final_path.c_str());
        }
        if (renamed != 0) {
            LOG_ERROR("Failed to rename %s to %s: %s", temp.c_str(), final_path.c_str(),
                      errno_text(errno).c_str());
            unlink(temp.c_str());
            return -1;
        }
        if (qz_fsync_dir(queue->datadir) != 0) {
            // Without the synced name the entry may vanish in a power loss: take it back rather
            // than report it persisted.
            LOG_ERROR("Failed to sync directory %s: %s", queue->datadir, errno_text(errno).c_str());
            unlink(final_path.c_str());
            return -1;
        }
        LOG_TRACE("Queued %s", final_path.c_str());
        __atomic_add_fetch(&queue->elements, 1, __ATOMIC_RELAXED);
        __atomic_add_fetch(&queue->bytes, static_cast<uint64_t>(length), __ATOMIC_RELAXED);
        return 0;
    } catch (...) {
        trace_unexpected(__func__);
        return -1;
    }
}

int qz_pqueue_claim_batch(qz_pqueue* queue, const char* prefixes, int count,
                          qz_pqueue_data*** batch) {
    if (batch != nullptr) *batch = nullptr;
    if (queue == nullptr || prefixes == nullptr || count <= 0 || batch == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    std::vector<std::string> names;
    try {
        DirPtr listing(opendir(queue->datadir));
        if (!listing) {
            LOG_ERROR("Failed to open %s: %s", queue->datadir, errno_text(errno).c_str());
            return -1;
        }
        while (names.size() < static_cast<size_t>(count)) {
            const dirent* entry = readdir(listing.get());
            if (entry == nullptr) break;
            std::string_view name(entry->d_name);
            if (!is_entry_name(name) || strchr(prefixes, name[0]) == nullptr) continue;
            if (!is_regular_entry(dirfd(listing.get()), entry)) continue;
            names.emplace_back(name);
        }
    } catch (...) {
        LOG_ERROR("Failed to allocate memory for %s", "names");
        return -1;
    }
    if (names.empty()) return 0;

    auto** claimed = static_cast<qz_pqueue_data**>(calloc(names.size(), sizeof(qz_pqueue_data*)));
    if (claimed == nullptr) {
        LOG_ERROR("Failed to allocate memory for %s", "batch");
        return -1;
    }
    g_claiming_pid.store(QZ_GetProcessId(), std::memory_order_release);
    int taken = 0;
    try {
        for (const std::string& name : names) {
            const std::string original = join(queue->datadir, name);
            const std::string claim = claimed_path(queue->datadir, name);
            // Never replaces: of several claimers of one entry exactly one rename succeeds.
            if (qz_rename_noreplace(original.c_str(), claim.c_str()) != 0) {
                LOG_TRACE("Could not claim %s: %s", original.c_str(), errno_text(errno).c_str());
                continue;
            }
            qz_pqueue_data* entry = new_entry(claim, original.c_str(), name[0]);
            if (entry == nullptr) {
                LOG_ERROR("Failed to record claim for %s; rolling back", original.c_str());
                if (qz_rename_noreplace(claim.c_str(), original.c_str()) != 0)
                    LOG_ERROR("Failed to put back %s -> %s: %s", claim.c_str(), original.c_str(),
                              errno_text(errno).c_str());
                break;
            }
            claimed[taken++] = entry;
            decrement_stat(&queue->elements);
        }
    } catch (...) {
        trace_unexpected(__func__);  // the entries claimed so far are returned
    }
    if (taken == 0) {
        free(claimed);
        return 0;
    }
    *batch = claimed;
    return taken;
}

int qz_pqueue_put_back(qz_pqueue_data* entry) {
    if (entry == nullptr || entry->path == nullptr || entry->origpath == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    if (qz_rename_noreplace(entry->path, entry->origpath) != 0) {
        LOG_ERROR("Failed to put back %s -> %s: %s", entry->path, entry->origpath,
                  errno_text(errno).c_str());
        return -1;
    }
    return 0;
}

int qz_pqueue_data_read(qz_pqueue_data* entry) {
    if (entry == nullptr || entry->path == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    free(entry->data);
    entry->data = nullptr;
    entry->size = 0;
    // Entries are plain files: a link placed in the queue must not make us read what it names.
    FileDescriptor fd(open(entry->path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        LOG_ERROR("Failed to get size of %s: %s", entry->path, errno_text(errno).c_str());
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        LOG_ERROR("Failed to read %s into buffer: %s", entry->path, "not a regular file");
        return -1;
    }
    const auto size = static_cast<size_t>(st.st_size);
    char* buffer = static_cast<char*>(calloc(size + 1, 1));
    if (buffer == nullptr) {
        LOG_ERROR("Failed to allocate memory for %s", "data->data");
        return -1;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd.get(), buffer + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            LOG_ERROR("Failed to read %s into buffer: %s", entry->path,
                      n == 0 ? "unexpected end of file" : errno_text(errno).c_str());
            free(buffer);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    entry->data = buffer;
    entry->size = size;
    return 0;
}

int qz_pqueue_data_free(qz_pqueue_data* entry) {
    if (entry == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    free(entry->path);
    free(entry->origpath);
    free(entry->data);
    free(entry);
    return 0;
}

int qz_pqueue_reclaim_stale_claims(qz_pqueue* queue, long max_age_seconds) {
    if (queue == nullptr || max_age_seconds < 0) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    const bool already_held = held_by_this_thread(queue);
    if (!already_held && take_lock(queue) != LockResult::kHeld) {
        LOG_DEBUG("Queue busy; skipping stale-claim reclaim sweep");
        return 0;
    }
    int count = -1;
    try {
        count = sweep_data_directory(queue, true, max_age_seconds);
    } catch (...) {
        trace_unexpected(__func__);
    }
    if (!already_held) qz_pqueue_unlock(queue);
    return count;
}

qz_pqueue_data* qz_pqueue_pop(qz_pqueue* queue, char prefix) {
    if (queue == nullptr) {
        LOG_ERROR("Invalid parameters");
        return nullptr;
    }
    if (prefix != 'E' && prefix != 'L') {
        LOG_ERROR("Invalid prefix filter");
        return nullptr;
    }
    try {
        DirPtr listing(opendir(queue->datadir));
        if (!listing) {
            LOG_ERROR("Failed to open %s: %s", queue->datadir, errno_text(errno).c_str());
            return nullptr;
        }
        const time_t now = time(nullptr);
        std::string oldest;
        struct timespec oldest_time {};
        while (const dirent* entry = readdir(listing.get())) {
            std::string_view name(entry->d_name);
            if (!is_entry_name(name) || name[0] != prefix) continue;
            struct stat st;
            if (fstatat(dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode) || st.st_mtim.tv_sec > now)
                continue;
            const bool older = oldest.empty() || st.st_mtim.tv_sec < oldest_time.tv_sec ||
                               (st.st_mtim.tv_sec == oldest_time.tv_sec &&
                                st.st_mtim.tv_nsec < oldest_time.tv_nsec);
            if (older) {
                oldest.assign(name);
                oldest_time = st.st_mtim;
            }
        }
        listing.reset();
        if (oldest.empty()) {
            LOG_TRACE("No entry of type %c in %s", prefix, queue->datadir);
            return nullptr;
        }
        qz_pqueue_data* entry = new_entry(join(queue->datadir, oldest), nullptr, prefix);
        if (entry == nullptr) {
            LOG_ERROR("Failed to allocate memory for %s", "entry");
            return nullptr;
        }
        if (qz_pqueue_data_read(entry) != 0) {
            qz_pqueue_data_free(entry);
            return nullptr;
        }
        s_update_queuestat(queue);
        return entry;
    } catch (...) {
        trace_unexpected(__func__);
        return nullptr;
    }
}

int qz_pqueue_purge(qz_pqueue* queue) {
    if (queue == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    const bool already_held = held_by_this_thread(queue);
    if (!already_held) {
        LockResult result = LockResult::kBusy;
        for (int attempt = 0; attempt < kPurgeLockAttempts; ++attempt) {
            result = take_lock(queue);
            if (result != LockResult::kBusy) break;
            QZ_Sleep(kPurgeLockPollMs);
        }
        if (result != LockResult::kHeld) {
            LOG_ERROR("Queue %s could not be locked; not purged", queue->root);
            return -1;
        }
    }
    int rc = 0;
    if (!remove_directory_contents(queue->datadir)) rc = -1;
    store_stat(&queue->elements, 0);
    store_stat(&queue->bytes, 0);
    // The limits do not change: rewrite the control file only when it does not hold them.
    long stored_elements = 0, stored_bytes = 0;
    int stored_mode = 0;
    const bool intact =
        read_control_file(queue->controlfile, &stored_elements, &stored_bytes, &stored_mode) == 0 &&
        stored_elements == queue->maxelements && stored_bytes == queue->maxbytes &&
        stored_mode == queue->mode;
    if (!intact && write_control_file(queue) != 0) {
        LOG_ERROR("Failed to save queue control file");
        rc = -1;
    }
    if (!already_held) qz_pqueue_unlock(queue);
    if (rc == 0) LOG_DEBUG("Queue %s purged", queue->root);
    return rc;
}

int qz_pqueue_lock(qz_pqueue* queue) {
    if (queue == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    return take_lock(queue) == LockResult::kHeld ? 0 : -1;
}

int qz_pqueue_unlock(qz_pqueue* queue) {
    if (queue == nullptr) {
        LOG_ERROR("Invalid parameters");
        return -1;
    }
    if (!QZ_TryEnterCriticalSection(&queue->lock)) {
        LOG_ERROR("Queue %s is locked by another thread", queue->root);
        return -1;
    }
    if (queue->lockfd < 0) {
        QZ_LeaveCriticalSection(&queue->lock);
        LOG_ERROR("Queue %s is not locked", queue->root);
        return -1;
    }
    release_lock(queue);
    QZ_LeaveCriticalSection(&queue->lock);
    return 0;
}
}
