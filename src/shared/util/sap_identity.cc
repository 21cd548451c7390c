#include "util/sap_identity.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dynlib.h"
#include "platform/host.h"

namespace {

const char kInstallationMarker[] = "/qz-av-vsa/";

void set_message(char* buf, size_t size, const char* text) {
    if (buf != nullptr && size > 0) snprintf(buf, size, "%s", text);
}

}  // namespace

extern "C" {

int qz_basedir_from_module_path(const char* module_path, char* basedir, size_t basedir_size) {
    if (basedir == nullptr || basedir_size == 0) return -1;
    basedir[0] = '\0';
    if (module_path == nullptr) return -1;
    const char* cut = strcasestr(module_path, kInstallationMarker);
    if (cut == nullptr) cut = strrchr(module_path, '/');
    if (cut == nullptr) return -1;
    size_t n = static_cast<size_t>(cut - module_path);
    if (n >= basedir_size) return -1;
    memcpy(basedir, module_path, n);
    basedir[n] = '\0';
    return 0;
}

int HlpEvaluateVSA_LIB(char* basedir, size_t basedir_size, char* errbuf, size_t errbuf_size) {
    if (basedir == nullptr || basedir_size == 0) {
        set_message(errbuf, errbuf_size, "Invalid arguments");
        return -1;
    }
    memset(basedir, 0, basedir_size);
    char module_path[4096];
    if (qz_module_path(reinterpret_cast<const void*>(&HlpEvaluateVSA_LIB), module_path,
                       sizeof module_path) != 0) {
        set_message(errbuf, errbuf_size, "Could not determine module path to derive basedir");
        return -1;
    }
    if (qz_basedir_from_module_path(module_path, basedir, basedir_size) != 0) {
        if (strchr(module_path, '/') == nullptr)
            set_message(errbuf, errbuf_size, "Could not determine module path to derive basedir");
        else if (errbuf != nullptr && errbuf_size > 0)
            snprintf(errbuf, errbuf_size, "Base directory of %s does not fit into %zu bytes",
                     module_path, basedir_size);
        return -1;
    }
    return 0;
}

int HlpGetSID(char* buf, size_t len) {
    if (buf == nullptr || len == 0) return -1;
    if (const char* sid = getenv("SAPSYSTEMNAME")) {
        snprintf(buf, len, "%s", sid);
        return 1;
    }
    if (qz_gethostname(buf, len) == 0) {
        buf[len - 1] = '\0';
        return 0;
    }
    memset(buf, 0, len);
    return -1;
}
}
