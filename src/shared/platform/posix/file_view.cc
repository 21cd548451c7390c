#include "platform/file_view.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>

#include "platform/file_handles.h"

struct qz_file_view {
    int fd;
    uint8_t* data;
    uint64_t length;
    struct FaultSlot* slot;  // where the SIGBUS handler finds this view; NULL without mapping
};

// Slots of the views alive in the process, read by the SIGBUS handler. Blocks are chained and
// never freed, so the handler can walk them at any moment without a lock; a slot is reused once
// its view is closed.
struct FaultSlot {
    std::atomic<int> state{0};  // kFree, kBusy (being filled or emptied) or kLive
    std::atomic<uintptr_t> start{0};
    std::atomic<uint64_t> length{0};
    std::atomic<int> shrunk{0};
};

namespace {

enum { kFree = 0, kBusy = 1, kLive = 2 };
constexpr int kSlotsPerBlock = 64;

struct FaultBlock {
    FaultSlot slots[kSlotsPerBlock];
    std::atomic<FaultBlock*> next{nullptr};
};

FaultBlock s_first_block;
std::once_flag s_install_once;
std::atomic<bool> s_installed{false};
struct sigaction s_previous;
uintptr_t s_page_mask = ~static_cast<uintptr_t>(4095);

void write_error(char* errbuf, size_t errlen, int error) {
    if (errbuf == nullptr || errlen == 0) return;
    char text[256];
    // GNU strerror_r: the text may or may not be in our buffer.
    const char* reason = strerror_r(error, text, sizeof text);
    snprintf(errbuf, errlen, "%s", reason != nullptr ? reason : "unknown error");
}

// Hands a SIGBUS that is not ours to whoever had it before, as if we had never been there.
void forward_fault(int signal_number, siginfo_t* info, void* context) {
    if ((s_previous.sa_flags & SA_SIGINFO) != 0) {
        if (s_previous.sa_sigaction != nullptr) s_previous.sa_sigaction(signal_number, info, context);
        return;
    }
    if (s_previous.sa_handler != SIG_DFL && s_previous.sa_handler != SIG_IGN) {
        s_previous.sa_handler(signal_number);
        return;
    }
    // Default action: a fault repeats on return and ends the process as it would have; a signal
    // that was sent is raised again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0) raise(signal_number);
}

// Async-signal context: atomics, mmap and sigaction only.
void on_bus_error(int signal_number, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    const auto address = info != nullptr && info->si_code > 0
                             ? reinterpret_cast<uintptr_t>(info->si_addr)
                             : static_cast<uintptr_t>(0);
    for (FaultBlock* block = &s_first_block; address != 0 && block != nullptr;
         block = block->next.load(std::memory_order_acquire)) {
        for (FaultSlot& slot : block->slots) {
            if (slot.state.load(std::memory_order_acquire) != kLive) continue;
            const uintptr_t start = slot.start.load(std::memory_order_relaxed);
            const uint64_t length = slot.length.load(std::memory_order_relaxed);
            if (address < start || address - start >= length) continue;
            // Zero pages from the faulting page to the end of the view: the read is repeated
            // on return and finds them.
            const uintptr_t page = address & s_page_mask;
            void* replaced =
                mmap(reinterpret_cast<void*>(page), static_cast<size_t>(start + length - page),
                     PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (replaced != MAP_FAILED) {
                slot.shrunk.store(1, std::memory_order_relaxed);
                errno = saved_errno;
                return;
            }
            break;
        }
    }
    errno = saved_errno;
    forward_fault(signal_number, info, context);
}

void install_handler() {
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) s_page_mask = ~(static_cast<uintptr_t>(page) - 1);
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    // The previous action is complete before ours can forward to it.
    if (sigaction(SIGBUS, nullptr, &s_previous) != 0) return;
    if (sigaction(SIGBUS, &action, nullptr) == 0) s_installed.store(true);
}

// The library holding the handler may be unloaded (the adapter closes libqzvsa): give SIGBUS
// back first, unless someone installed another handler after ours, which we must not remove.
__attribute__((destructor)) void uninstall_handler() {
    if (!s_installed.load()) return;
    struct sigaction current {};
    if (sigaction(SIGBUS, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_bus_error) {
        sigaction(SIGBUS, &s_previous, nullptr);
        s_installed.store(false);
    }
}

FaultSlot* claim_in(FaultBlock* block) {
    for (FaultSlot& slot : block->slots) {
        int expected = kFree;
        if (slot.state.compare_exchange_strong(expected, kBusy)) return &slot;
    }
    return nullptr;
}

// A free slot (kBusy, for the caller to fill), or NULL when no block can be added.
FaultSlot* claim_slot() {
    FaultBlock* block = &s_first_block;
    for (;;) {
        if (FaultSlot* slot = claim_in(block)) return slot;
        FaultBlock* next = block->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            auto* added = new (std::nothrow) FaultBlock;
            if (added == nullptr) return nullptr;
            if (!block->next.compare_exchange_strong(next, added, std::memory_order_acq_rel)) {
                delete added;  // another thread chained one first; `next` holds it
            } else {
                next = added;
            }
        }
        block = next;
    }
}

}  // namespace

extern "C" {

int qz_file_view_open(const char* path, qz_file_view** view, char* errbuf, size_t errlen) {
    if (errbuf != nullptr && errlen > 0) errbuf[0] = '\0';
    if (view == nullptr) {
        write_error(errbuf, errlen, EINVAL);
        return -1;
    }
    *view = nullptr;
    if (path == nullptr || *path == '\0') {
        write_error(errbuf, errlen, ENOENT);
        return -1;
    }
    qz::FileDescriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) {
        write_error(errbuf, errlen, errno);
        return -1;
    }
    struct stat st {};
    if (fstat(file.get(), &st) != 0) {
        write_error(errbuf, errlen, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        write_error(errbuf, errlen, S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
        return -1;
    }
    auto* created = new (std::nothrow) qz_file_view{-1, nullptr, 0, nullptr};
    if (created == nullptr) {
        write_error(errbuf, errlen, ENOMEM);
        return -1;
    }
    const auto length = static_cast<uint64_t>(st.st_size);
    if (length > 0) {
        std::call_once(s_install_once, install_handler);
        FaultSlot* slot = claim_slot();
        void* data = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, file.get(), 0);
        if (data == MAP_FAILED) {
            const int error = errno;
            if (slot != nullptr) slot->state.store(kFree, std::memory_order_release);
            delete created;
            write_error(errbuf, errlen, error);
            return -1;
        }
        if (slot != nullptr) {
            slot->start.store(reinterpret_cast<uintptr_t>(data), std::memory_order_relaxed);
            slot->length.store(length, std::memory_order_relaxed);
            slot->shrunk.store(0, std::memory_order_relaxed);
            slot->state.store(kLive, std::memory_order_release);
        }
        created->data = static_cast<uint8_t*>(data);
        created->slot = slot;
    }
    created->length = length;
    created->fd = file.release();
    *view = created;
    return 0;
}

const uint8_t* qz_file_view_data(const qz_file_view* view) {
    return view != nullptr ? view->data : nullptr;
}

uint64_t qz_file_view_length(const qz_file_view* view) { return view != nullptr ? view->length : 0; }

int qz_file_view_shrunk(const qz_file_view* view) {
    if (view == nullptr) return 0;
    if (view->slot != nullptr && view->slot->shrunk.load(std::memory_order_relaxed) != 0) return 1;
    struct stat st {};
    if (fstat(view->fd, &st) != 0) return 1;
    return static_cast<uint64_t>(st.st_size) < view->length ? 1 : 0;
}

void qz_file_view_close(qz_file_view* view) {
    if (view == nullptr) return;
    // Out of the handler's sight before the range is unmapped and perhaps reused.
    if (view->slot != nullptr) view->slot->state.store(kBusy, std::memory_order_release);
    if (view->data != nullptr) munmap(view->data, static_cast<size_t>(view->length));
    if (view->slot != nullptr) view->slot->state.store(kFree, std::memory_order_release);
    if (view->fd >= 0) close(view->fd);
    delete view;
}
}
