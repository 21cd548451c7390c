#include "platform/dynlib.h"

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

thread_local char t_loader_error[1024];

// dlerror() text is only valid until the next loader call, so keep a private copy.
void remember_loader_error() {
    const char* text = dlerror();
    if (text == nullptr) text = "unknown loader error";
    std::strncpy(t_loader_error, text, sizeof t_loader_error - 1);
    t_loader_error[sizeof t_loader_error - 1] = '\0';
}

int copy_path(const char* path, char* out, size_t size) {
    size_t length = std::strlen(path);
    if (length >= size) return -1;
    std::memcpy(out, path, length + 1);
    return 0;
}

}  // namespace

extern "C" {

void* qz_dl_open(const char* path) {
    if (path == nullptr) {
        std::strcpy(t_loader_error, "no library path given");
        return nullptr;
    }
    dlerror();
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) remember_loader_error();
    return handle;
}

void* qz_dl_symbol(void* handle, const char* name) {
    if (handle == nullptr || name == nullptr) {
        std::strcpy(t_loader_error, "no library handle or symbol name given");
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) remember_loader_error();
    return symbol;
}

int qz_dl_close(void* handle) {
    if (handle == nullptr) {
        std::strcpy(t_loader_error, "no library handle given");
        return -1;
    }
    dlerror();
    if (dlclose(handle) != 0) {
        remember_loader_error();
        return -1;
    }
    return 0;
}

const char* qz_dl_error(void) {
    return t_loader_error[0] != '\0' ? t_loader_error : "unknown loader error";
}

int qz_module_path(const void* address, char* out, size_t size) {
    if (address == nullptr || out == nullptr || size == 0) return -1;
    out[0] = '\0';
    Dl_info info{};
    link_map* module = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0) {
        return -1;
    }
    // The main program's link map has an empty name; the kernel knows its file.
    const char* name =
        (module != nullptr && module->l_name[0] == '\0') ? "/proc/self/exe" : info.dli_fname;
    if (name == nullptr || name[0] == '\0') return -1;
    char resolved[PATH_MAX];
    if (realpath(name, resolved) == nullptr) return -1;
    return copy_path(resolved, out, size);
}

int qz_dl_pin_module_of(const void* address) {
    if (address == nullptr) return -1;
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return -1;
    dlerror();
    // RTLD_NOLOAD: only an extra, never released reference on what is already mapped.
    void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    if (handle == nullptr) {
        remember_loader_error();
        return -1;
    }
    return 0;
}
}
