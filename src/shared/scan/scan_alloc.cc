#include "scan/scan_alloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qz::scan {
namespace {

// Allocations still allowed on this thread; negative means no limit.
thread_local int t_allowed_allocations = -1;

bool allocation_allowed() {
    if (t_allowed_allocations < 0) return true;
    if (t_allowed_allocations == 0) return false;
    --t_allowed_allocations;
    return true;
}

}  // namespace

void* allocate_zeroed(size_t count, size_t size) {
    if (!allocation_allowed()) return nullptr;
    return calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void* reallocate(void* block, size_t count, size_t size) {
    if (count == 0) count = 1;
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    if (!allocation_allowed()) return nullptr;
    return realloc(block, count * size);
}

void* allocate(size_t size) {
    if (!allocation_allowed()) return nullptr;
    return malloc(size == 0 ? 1 : size);
}

char* copy_text(const char* text) {
    if (text == nullptr) text = "";
    const size_t length = strlen(text);
    auto* copy = static_cast<char*>(allocate(length + 1));
    if (copy != nullptr) memcpy(copy, text, length + 1);
    return copy;
}

void fail_allocations_after(int successes) { t_allowed_allocations = successes; }

}  // namespace qz::scan
