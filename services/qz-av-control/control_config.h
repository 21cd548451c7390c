// The configuration file of qz-av-control: tenant, realm name and the SCAN settings it hands to
// every init handle, with optional per-realm overrides. INI syntax as in the adapter's files,
// read with the library's INI reader after a line-by-line check that rejects what that reader
// would silently drop or misread. The format is documented for administrators in
// docs/services.md; config/qz-av-control.cfg is an annotated sample.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qz::control {

using ScanPairs = std::vector<std::pair<std::string, std::string>>;

// [REALM <id>] and [SCAN <id>]: what one realm changes.
struct RealmOverrides {
    std::optional<std::string> tenant_id;
    std::optional<std::string> realm_name;
    ScanPairs scan;
};

// What a CONSOLIDATED_INIT reply carries for one realm.
struct RealmSettings {
    std::string tenant_id;
    std::string realm_name;
    ScanPairs scan;
};

struct ControlConfig {
    std::string tenant_id;                         // [CONTROL] TENANTID
    std::string realm_name;                        // [CONTROL] REALMNAME
    ScanPairs scan;                                // [SCAN], in file order
    std::map<std::string, RealmOverrides> realms;  // by realm id, exact

    // The [CONTROL]/[SCAN] settings with the overrides of realm_id applied: tenant and realm
    // name replaced when the realm gives them; a realm's SCAN key (compared ignoring case)
    // replaces the value in place, its new keys follow in their order.
    RealmSettings for_realm(const std::string& realm_id) const;
};

// Reads and checks path. false with a one-line reason naming the file (and the line where there
// is one) in *error.
bool load_control_config(const std::string& path, ControlConfig* out, std::string* error);

}  // namespace qz::control
