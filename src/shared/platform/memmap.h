// File mapping: open (or create and zero-fill) a file and map it shared, read-only or read-write.
// There is no security descriptor on Linux: new files are created with mode 0660, and result -2
// cannot occur. A zero-length file yields a valid handle with length 0 and a NULL address.
#pragma once

#include <cstdint>

extern "C" {

typedef struct memmap_record* MEMMAP_HANDLE;

enum { QZ_MEMMAP_READ = 1, QZ_MEMMAP_READWRITE = 2 };

// 0 on success, -3 on any failure (*handle is NULL then). `size` is the length of a file that
// does not exist yet; an existing file is mapped whole.
int memmap(const char* name, uint64_t size, MEMMAP_HANDLE* handle, int access);
// Unmaps the view and frees the handle; NULL is ignored.
void memunmap(MEMMAP_HANDLE handle);
void* memGetAddr(MEMMAP_HANDLE handle);
uint64_t memGetLength(MEMMAP_HANDLE handle);
// Writes the view back to the file (msync MS_SYNC). 0 or -1.
int memflush(MEMMAP_HANDLE handle);
// Writes back `length` bytes of a mapped view starting at `address` (which need not be
// page-aligned). 0, or -1 when the range is not mapped.
int memflush_address(const void* address, uint64_t length);
}
