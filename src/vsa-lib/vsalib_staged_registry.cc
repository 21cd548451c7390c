#include "vsalib_staged_registry.h"

#include <cstdlib>
#include <mutex>

#include "connection/connection.h"
#include "scan/scan_alloc.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_staged_registry";

struct Entry {
    const VSA_SCANINFO* scaninfo;  // identity only, never dereferenced
    char* key;
    Entry* next;
};

// Newest first. Statically initialised, so no set-up call is needed before the first scan.
std::mutex registry_lock;
Entry* registry_head = nullptr;

Entry* find_locked(const VSA_SCANINFO* scaninfo) {
    for (Entry* entry = registry_head; entry != nullptr; entry = entry->next) {
        if (entry->scaninfo == scaninfo) return entry;
    }
    return nullptr;
}

}  // namespace

extern "C" {

const char* vsalib_staged_register(VSA_SCANINFO* scaninfo, char* key) {
    if (scaninfo == nullptr || key == nullptr) {
        free(key);
        return nullptr;
    }
    char* replaced = nullptr;
    {
        std::lock_guard<std::mutex> lock(registry_lock);
        if (Entry* entry = find_locked(scaninfo); entry != nullptr) {
            replaced = entry->key;
            entry->key = key;
        } else {
            auto* fresh = static_cast<Entry*>(qz::scan::allocate_zeroed(1, sizeof(Entry)));
            if (fresh == nullptr) {
                VSALIB_LOG(QZ_LOG_WARN, kSource,
                           "staged_registry: OOM registering key for scaninfo %p; relying on KV "
                           "TTL",
                           static_cast<void*>(scaninfo));
                free(key);
                return nullptr;
            }
            fresh->scaninfo = scaninfo;
            fresh->key = key;
            fresh->next = registry_head;
            registry_head = fresh;
        }
    }
    free(replaced);
    return key;
}

void vsalib_staged_release(qz_connection_config* connection, VSA_SCANINFO* scaninfo) {
    if (scaninfo == nullptr) return;
    char* key = nullptr;
    {
        std::lock_guard<std::mutex> lock(registry_lock);
        for (Entry** link = &registry_head; *link != nullptr; link = &(*link)->next) {
            if ((*link)->scaninfo != scaninfo) continue;
            Entry* entry = *link;
            *link = entry->next;
            key = entry->key;
            free(entry);
            break;
        }
    }
    if (key == nullptr) return;
    // Outside the lock: deleting the chunks is a broker round trip per chunk, and other scans
    // must not wait for it.
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "Deleting staged payload '%s' of scaninfo %p", key,
               static_cast<void*>(scaninfo));
    qz_connection_unstage_scan_data(connection, key);
    free(key);
}
}

namespace qz::vsalib {

bool staged_key_of(const VSA_SCANINFO* scaninfo, std::string* key) {
    std::lock_guard<std::mutex> lock(registry_lock);
    const Entry* entry = find_locked(scaninfo);
    if (entry == nullptr) return false;
    if (key != nullptr) *key = entry->key;
    return true;
}

size_t staged_entry_count() {
    std::lock_guard<std::mutex> lock(registry_lock);
    size_t count = 0;
    for (const Entry* entry = registry_head; entry != nullptr; entry = entry->next) ++count;
    return count;
}

}  // namespace qz::vsalib
