// Heap blocks for the scan records (scan results, VSA result records): the C heap, because the
// records cross the C boundary and are released with free(), plus a per-thread failure switch
// that lets tests make the n-th allocation fail and check that every count still matches the
// records present. Internal to the shared code: nothing here is exported.
#pragma once

#include <cstddef>

namespace qz::scan {

// calloc(count, size); NULL on failure or when the switch below says so.
void* allocate_zeroed(size_t count, size_t size);
// realloc to count * size bytes (never 0); NULL on failure or overflow, the block then unchanged.
void* reallocate(void* block, size_t count, size_t size);
// malloc(size).
void* allocate(size_t size);
// A heap copy of text; a NULL text gives a copy of "". NULL on failure.
char* copy_text(const char* text);

// For tests: on the calling thread, the next `successes` allocations of the functions above
// succeed and every later one fails, until the switch is reset with a negative value (the
// default: nothing fails).
void fail_allocations_after(int successes);

}  // namespace qz::scan
