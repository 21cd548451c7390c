#include "vsalib_services.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/strings.h"
#include "vsa_engine.h"
#include "vsalib_trace.h"

namespace {

// These lines belong to the start-up's trace.
constexpr const char* kFunction = "vsalib_VsaInit";
constexpr const char* kSource = "vsa-lib/src/vsalib_VsaInit";
constexpr size_t kMaxServiceName = 1023;
constexpr const char* kNoServices =
    "Failed to determine needed services. Check INITENGINES parameter";
constexpr const char* kBadOrder = "Check services order";

struct ServiceBit {
    const char* name;
    uint32_t bit;
};
constexpr ServiceBit kServiceBits[] = {
    {"qz-av-mimescan", VSALIB_SERVICE_MIMESCAN},
    {"qz-av-activecontent", VSALIB_SERVICE_ACTIVECONTENT},
    {"qz-av-archiveextractor", VSALIB_SERVICE_ARCHIVEEXTRACTOR},
    {"qz-av-dummy", VSALIB_SERVICE_DUMMY},
    {"qz-av-icap", VSALIB_SERVICE_ICAP},
    {"qz-av-clamav", VSALIB_SERVICE_CLAMAV},
    {"qz-av-sophos", VSALIB_SERVICE_SOPHOS},
    {"qz-av-trellix", VSALIB_SERVICE_TRELLIX},
    {"qz-av-scanproxy", VSALIB_SERVICE_SCANPROXY},
    {"qz-av-cloudscan", VSALIB_SERVICE_SCANPROXY},
};

int fail(char*** services, uint32_t* mask, char* message, const char* reason) {
    vsalib_free_services(*services);
    *services = nullptr;
    *mask = 0;
    snprintf(message, VSALIB_MESSAGE_SIZE, "%s", reason);
    VSALIB_LOG_AS(QZ_LOG_ERROR, kFunction, kSource, "%s", message);
    return -1;
}

}  // namespace

extern "C" {

uint32_t vsalib_service_bit(const char* name) {
    if (name == nullptr) return 0;
    for (const ServiceBit& entry : kServiceBits) {
        if (strcmp(name, entry.name) == 0) return entry.bit;
    }
    return 0;
}

void vsalib_free_services(char** services) {
    if (services == nullptr) return;
    for (char** name = services; *name != nullptr; ++name) free(*name);
    free(services);
}

int vsalib_determine_services(const char* engines, char*** services, uint32_t* mask,
                              char* message) {
    *services = nullptr;
    *mask = 0;
    message[0] = '\0';
    std::string list = engines != nullptr ? engines : "";
    size_t count = 0;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string piece = list.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        char name[kMaxServiceName + 1];
        snprintf(name, sizeof name, "qz-av-%s", qzhlp_normalize_string(piece.c_str()));
        auto* grown = static_cast<char**>(realloc(*services, (count + 2) * sizeof(char*)));
        char* copy = grown != nullptr ? strdup(name) : nullptr;
        if (grown != nullptr) {
            *services = grown;
            grown[count] = nullptr;
        }
        if (copy == nullptr) {
            VSALIB_LOG_AS(QZ_LOG_ERROR, kFunction, kSource, "Failed to reallocate buffer");
            return fail(services, mask, message, "");
        }
        grown[count++] = copy;
        grown[count] = nullptr;
    }

    // Positions of the services the ordering rule looks at; one not asked for counts as 0.
    size_t mime = 0, active = 0, archive = 0, proxy = 0;
    uint32_t bits = 0;
    for (size_t i = 0; i < count; ++i) {
        const char* name = (*services)[i];
        VSALIB_LOG_AS(QZ_LOG_DEBUG, kFunction, kSource, "Servicename %d : %s", static_cast<int>(i),
                      name);
        const uint32_t bit = vsalib_service_bit(name);
        bits |= bit;
        if (bit == VSALIB_SERVICE_MIMESCAN) mime = i;
        if (bit == VSALIB_SERVICE_ACTIVECONTENT) active = i;
        if (bit == VSALIB_SERVICE_ARCHIVEEXTRACTOR) archive = i;
        if (bit == VSALIB_SERVICE_SCANPROXY) proxy = i;
    }
    if (count == 0 || bits == 0) return fail(services, mask, message, kNoServices);
    if (bits & VSALIB_SERVICE_ACTIVECONTENT) {
        const bool mime_first =
            (bits & VSALIB_SERVICE_MIMESCAN) && mime <= std::min(active, archive);
        const bool proxy_first = !(bits & VSALIB_SERVICE_SCANPROXY) || proxy == 0;
        if (!mime_first || !proxy_first) return fail(services, mask, message, kBadOrder);
    }
    *mask = bits;
    return 0;
}
}
