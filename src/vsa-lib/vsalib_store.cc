#include "vsalib_store.h"

#include "config/config_store.h"
#include "platform/critical_section.h"

namespace qz::vsalib {
namespace {

// Holds g->cs for its lifetime when there is a g.
class StoreLock {
  public:
    explicit StoreLock(vsa_global* g) : cs_(g != nullptr ? &g->cs : nullptr) {
        if (cs_ != nullptr) QZ_EnterCriticalSection(cs_);
    }
    ~StoreLock() {
        if (cs_ != nullptr) QZ_LeaveCriticalSection(cs_);
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

  private:
    QZ_CRITICAL_SECTION* cs_;
};

}  // namespace

std::optional<std::string> stored_text(vsa_global* g, list_t* store, const char* section,
                                       const char* key) {
    StoreLock lock(g);
    const char* value = GetConfigParameter_String(store, section, key);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string stored_text_or_empty(vsa_global* g, list_t* store, const char* section,
                                 const char* key) {
    return stored_text(g, store, section, key).value_or("");
}

std::optional<long> stored_long(vsa_global* g, list_t* store, const char* section,
                                const char* key) {
    StoreLock lock(g);
    long value = 0;
    if (GetConfigParameter_Long(store, section, key, &value) != 0) return std::nullopt;
    return value;
}

int store_text(vsa_global* g, list_t* store, const char* section, const char* key,
               const char* value, uint32_t source) {
    StoreLock lock(g);
    return StoreConfigParameter_String(store, section, key, value, source);
}

}  // namespace qz::vsalib
