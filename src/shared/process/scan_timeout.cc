#include "process/scan_timeout.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kArchiveTypes[] = {
    "application/gzip",
    "application/java-archive",
    "application/sar",
    "application/vnd.android.package-archive",
    "application/vnd.ms-cab-compressed",
    "application/vnd.ms-excel",
    "application/vnd.ms-powerpoint",
    "application/vnd.ms-word",
    "application/x-7z-compressed",
    "application/x-ace-compressed",
    "application/x-alz-compressed",
    "application/x-apple-diskimage",
    "application/x-arj",
    "application/x-astrotite-afa",
    "application/x-bzip2",
    "application/x-cfs-compressed",
    "application/x-compress",
    "application/x-dar",
    "application/x-dgc-compressed",
    "application/x-gca-compressed",
    "application/x-gtar",
    "application/x-gzip",
    "application/x-jar",
    "application/x-lzh",
    "application/x-lzip",
    "application/x-lzma",
    "application/x-lzop",
    "application/x-lzx",
    "application/x-par2",
    "application/x-rar",
    "application/x-rar-compressed",
    "application/x-stuffit",
    "application/x-stuffitx",
    "application/x-xz",
    "application/x-zoo",
    "application/zip",
};

// Built once on first use and only read afterwards.
std::vector<std::string_view> archives;
std::once_flag archives_built;

void build_archives() {
    archives.assign(std::begin(kArchiveTypes), std::end(kArchiveTypes));
    std::sort(archives.begin(), archives.end());
}

uint32_t saturate(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : uint32_t(value); }

}  // namespace

extern "C" {

bool isArchive(const char* mime) {
    std::call_once(archives_built, build_archives);
    if (mime == nullptr) return false;
    return std::binary_search(archives.begin(), archives.end(), std::string_view(mime));
}

uint32_t qz_extra_timeout(uint64_t size, int bandwidth, const char* mime, int doubling) {
    uint64_t base = 0;
    if (bandwidth > 0 && bandwidth < 8) {
        base = size / ((static_cast<uint64_t>(bandwidth) * 1000) / 8);
    } else if (bandwidth >= 8) {
        // Integer division first: bandwidth 10 divides by 1000, not 1250.
        base = size / ((static_cast<uint64_t>(bandwidth) / 8) * 1000);
    }
    uint32_t timeout = saturate(base);
    if (isArchive(mime)) timeout = saturate(uint64_t{timeout} * 2);
    if (doubling) timeout = saturate(uint64_t{timeout} * 2);
    return timeout;
}
}
