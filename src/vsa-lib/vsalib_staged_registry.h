// The staged-payload registry: the key under which a scan's payload lies in "qz-av-scan-data",
// remembered under the scan's VSA_SCANINFO so that the staged data is deleted when that record
// is released. One process-wide list, shared by all scanning threads behind one mutex that is
// never held while talking to the broker. The registry owns the key texts.
#pragma once

#include <cstddef>
#include <string>

#include "connection/connection_config.h"
#include "qzav/vsa_types.h"

extern "C" {

// Registers key (malloc'ed) for scaninfo and takes ownership of it in every case. Returns the
// registered key, owned by the registry and valid until vsalib_staged_release of scaninfo; the
// scan may borrow it until then. A second key for the same record replaces (and frees) the
// first. NULL when scaninfo or key is NULL or the entry cannot be allocated (WARN "staged_registry:
// OOM registering key for scaninfo %p; relying on KV TTL"); key is freed then.
const char* vsalib_staged_register(VSA_SCANINFO* scaninfo, char* key);

// Removes the entry of scaninfo and deletes its staged data through connection (nothing happens
// over the HTTP gateway, or for a NULL connection). A record without entry, or NULL, is left
// alone. Call it before the record is freed: a later record at the same address must start
// without an entry.
void vsalib_staged_release(qz_connection_config* connection, VSA_SCANINFO* scaninfo);
}

namespace qz::vsalib {

// For tests and diagnostics: the key registered for scaninfo (false when there is none), and the
// number of entries.
bool staged_key_of(const VSA_SCANINFO* scaninfo, std::string* key);
size_t staged_entry_count();

}  // namespace qz::vsalib
