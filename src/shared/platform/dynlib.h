// Loading shared libraries at run time and finding the file a loaded function lives in.
#pragma once

#include <cstddef>

extern "C" {

// dlopen(path, RTLD_NOW | RTLD_LOCAL). NULL on failure; qz_dl_error() then tells why.
void* qz_dl_open(const char* path);
void* qz_dl_symbol(void* handle, const char* name);
// 0 or -1.
int qz_dl_close(void* handle);
// The loader's last reason, in a per-thread buffer ("unknown loader error" when it gave none).
const char* qz_dl_error(void);
// The resolved absolute path of the module that contains `address`. 0, or -1 when unknown.
int qz_module_path(const void* address, char* out, size_t size);
// Keeps the already loaded module that contains `address` in the process for good (RTLD_NODELETE),
// whatever unloads the modules that brought it in. 0, or -1 when it cannot be found.
int qz_dl_pin_module_of(const void* address);
}
