#include "platform/memmap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "log/log.h"
#include "platform/file_handles.h"
#include "platform/error_text.h"

// On 64-bit Linux the whole file is mapped; the 4 GiB limit of a 32-bit view does not apply.
struct memmap_record {
    void* address;
    uint64_t length;
};

namespace {

constexpr size_t kZeroBlock = 1024;

using qz::FileDescriptor;

bool write_zeros(int fd, uint64_t size) {
    static const char zeros[kZeroBlock] = {};
    uint64_t remaining = size;
    while (remaining > 0) {
        size_t chunk = remaining < kZeroBlock ? static_cast<size_t>(remaining) : kZeroBlock;
        ssize_t written = write(fd, zeros, chunk);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        remaining -= static_cast<uint64_t>(written);
    }
    return true;
}

// Creates the file exclusively and fills it with zeros. Returns the open descriptor, -1 on
// failure, or -2 when another process created it first (the caller then opens the existing one;
// filling it again could wipe what that process already wrote through its view).
int create_zero_filled(const char* name, uint64_t size) {
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) {
        if (errno == EEXIST) return -2;
        const int err = errno;
        LOG_DEBUG("memmap(): Could not create the file");
        errno = err;
        return -1;
    }
    // Other processes of the installation must open it too, whatever our umask is.
    (void)fchmod(fd, 0660);
    if (!write_zeros(fd, size)) {
        const int err = errno;
        LOG_DEBUG("memmap(): Could not write to file");
        close(fd);
        // A short file would be mapped as if complete by the next caller.
        unlink(name);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" {

int memmap(const char* name, uint64_t size, MEMMAP_HANDLE* handle, int access) {
    if (handle == nullptr) return -3;
    *handle = nullptr;
    if (name == nullptr) {
        LOG_DEBUG("memmap(): open failed: (%d) %s", EINVAL, QZstrerror(EINVAL));
        errno = EINVAL;
        return -3;
    }
    const bool read_write = access == QZ_MEMMAP_READWRITE;
    const int open_flags = (read_write ? O_RDWR : O_RDONLY) | O_CLOEXEC;

    int fd = -1;
    uint64_t length = size;
    struct stat st {};
    bool exists = stat(name, &st) == 0 || errno != ENOENT;
    if (!exists) {
        fd = create_zero_filled(name, size);
        if (fd == -1) return -3;
        if (fd == -2) {
            fd = -1;
            exists = true;
        }
    }
    if (exists) {
        fd = open(name, open_flags);
        if (fd < 0) {
            int err = errno;
            LOG_DEBUG("memmap(): open failed: (%d) %s", err, QZstrerror(err));
            errno = err;
            return -3;
        }
        if (fstat(fd, &st) == 0) length = static_cast<uint64_t>(st.st_size);
        LOG_TRACE("File exists %s and is %llu bytes in size", name,
                  static_cast<unsigned long long>(length));
    }
    FileDescriptor file(fd);

    void* address = nullptr;
    if (length > 0) {
        const int protection = read_write ? (PROT_READ | PROT_WRITE) : PROT_READ;
        address = mmap(nullptr, static_cast<size_t>(length), protection, MAP_SHARED, file.get(), 0);
        if (address == MAP_FAILED) {
            const int err = errno;
            LOG_DEBUG("memmap(): mmap failed");
            errno = err;
            return -3;
        }
    }
    memmap_record* record = new (std::nothrow) memmap_record{address, length};
    if (record == nullptr) {
        if (address != nullptr) munmap(address, static_cast<size_t>(length));
        return -3;
    }
    *handle = record;
    LOG_TRACE("Exiting: rc = 0");
    return 0;
}

void memunmap(MEMMAP_HANDLE handle) {
    if (handle == nullptr) return;
    if (handle->address != nullptr) munmap(handle->address, static_cast<size_t>(handle->length));
    delete handle;
}

void* memGetAddr(MEMMAP_HANDLE handle) { return handle != nullptr ? handle->address : nullptr; }

uint64_t memGetLength(MEMMAP_HANDLE handle) { return handle != nullptr ? handle->length : 0; }

int memflush(MEMMAP_HANDLE handle) {
    if (handle == nullptr) return -1;
    if (handle->address == nullptr) return 0;
    return msync(handle->address, static_cast<size_t>(handle->length), MS_SYNC) == 0 ? 0 : -1;
}

int memflush_address(const void* address, uint64_t length) {
    if (address == nullptr) return -1;
    if (length == 0) return 0;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    const uintptr_t aligned = start & ~(page - 1);
    const size_t span = static_cast<size_t>(length) + (start - aligned);
    return msync(reinterpret_cast<void*>(aligned), span, MS_SYNC) == 0 ? 0 : -1;
}
}
