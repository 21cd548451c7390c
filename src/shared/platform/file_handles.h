// Owners for POSIX file descriptors and directory streams, so that no early return leaks one.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <memory>

namespace qz {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Hands the descriptor to the caller, who closes it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports close's own failure, which for a written file can be a lost write.
    int close_checked() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

}  // namespace qz
