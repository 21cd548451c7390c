// Reads and writes of the adapter's parameter store from the implementation. The store belongs
// to vsa_global and scans on other threads copy it, so every access holds its critical section
// cs; getters return copies, never pointers into the store.
#pragma once

#include <optional>
#include <string>

#include "util/list.h"
#include "vsa/vsa_global.h"

namespace qz::vsalib {

// The text of section/key; nullopt when absent. g may be NULL (then the store is read without a
// lock, which only tests do).
std::optional<std::string> stored_text(vsa_global* g, list_t* store, const char* section,
                                       const char* key);
// The text, or the empty string when absent.
std::string stored_text_or_empty(vsa_global* g, list_t* store, const char* section,
                                 const char* key);
// The number of section/key; nullopt when absent or not numeric.
std::optional<long> stored_long(vsa_global* g, list_t* store, const char* section, const char* key);
// StoreConfigParameter_String under cs: 0 stored, 1 kept (a more authoritative value exists),
// -1 failure.
int store_text(vsa_global* g, list_t* store, const char* section, const char* key,
               const char* value, uint32_t source);

}  // namespace qz::vsalib
