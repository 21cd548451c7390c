#include "vsalib_consolidated_init.h"

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/config_store.h"
#include "connection/connection.h"
#include "platform/thread.h"
#include "process/monotonic_time.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_consolidated_init";
// Every line of the exchange, whichever helper writes it, is the exchange's.
constexpr const char* kFunction = "vsalib_get_consolidated_init";
#define CI_LOG(level, source, ...) VSALIB_LOG_AS((level), kFunction, (source), __VA_ARGS__)
constexpr const char* kControl = "qz-av-control";
constexpr int kConsolidatedInitCommand = 6;
constexpr int kRetries = 2;
constexpr size_t kDriverInfoSize = 48;
constexpr int32_t kNotAvailable = -1000;

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

int failure(char* message, const char* format, ...) __attribute__((format(printf, 2, 3)));
int failure(char* message, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(message, VSALIB_MESSAGE_SIZE, format, args);
    va_end(args);
    return -1;
}

// The part of a service name that travels: everything before its first "+".
std::string base_name(const char* name) {
    const char* plus = strchr(name, '+');
    return plus != nullptr ? std::string(name, plus - name) : std::string(name);
}

size_t service_count(const VSA_ENGINE* engine) {
    size_t n = 0;
    if (engine != nullptr && engine->services != nullptr) {
        while (engine->services[n] != nullptr) ++n;
    }
    return n;
}

// A non-empty string member as text; NULL otherwise.
const char* nonempty_string(json_object* object, const char* name) {
    json_object* member = nullptr;
    if (!json_object_object_get_ex(object, name, &member) ||
        !json_object_is_type(member, json_type_string))
        return nullptr;
    const char* text = json_object_get_string(member);
    return text != nullptr && *text != '\0' ? text : nullptr;
}

// Replaces *place with a copy of text, or clears it for NULL. false when the copy fails.
bool replace(char** place, const char* text) {
    char* copy = nullptr;
    if (text != nullptr && (copy = strdup(text)) == nullptr) return false;
    free(*place);
    *place = copy;
    return true;
}

char* not_available_name(const std::string& service) {
    char* name = nullptr;
    if (asprintf(&name, "%s - NOT AVAILABLE", service.c_str()) < 0) return nullptr;
    return name;
}

void release_driver_entries(VSA_INIT* init) {
    if (init->pDriverInfo != nullptr) {
        for (unsigned i = 0; i < init->usDriverCount; ++i) free(init->pDriverInfo[i].pszDriverName);
        free(init->pDriverInfo);
    }
    init->pDriverInfo = nullptr;
    init->usDriverCount = 0;
}

int64_t number_member(json_object* object, const char* name) {
    json_object* member = nullptr;
    if (!json_object_object_get_ex(object, name, &member)) {
        CI_LOG(QZ_LOG_WARN, kSource, "Object %s not found", name);
        return 0;
    }
    return json_object_get_int64(member);
}

// SCAN pairs go into the store as "Retrieved": the host's own values (VSI API) stay in force.
int store_scan_settings(VSA_ENGINE* engine, json_object* scan, char* message) {
    constexpr const char* kStoreFailed =
        "CONSOLIDATED_INIT: failed to store SCAN config in runtime";
    if (!json_object_is_type(scan, json_type_array) || engine->config == nullptr)
        return failure(message, "%s", kStoreFailed);
    const size_t n = json_object_array_length(scan);
    for (size_t i = 0; i < n; ++i) {
        json_object* pair = json_object_array_get_idx(scan, i);
        json_object* key = json_object_array_get_idx(pair, 0);
        json_object* value = json_object_array_get_idx(pair, 1);
        if (!json_object_is_type(pair, json_type_array) || json_object_array_length(pair) != 2 ||
            !json_object_is_type(key, json_type_string) || value == nullptr ||
            qz::vsalib::store_text(engine->global, engine->config, "SCAN",
                                   json_object_get_string(key), json_object_get_string(value),
                                   QZ_SOURCE_RETRIEVED) < 0)
            return failure(message, "%s", kStoreFailed);
    }
    return 0;
}

// Fills one driver entry from a reply object's "Driverinfo".
bool fill_driver_entry(VSA_DRIVERINFO* entry, const char* service, json_object* info) {
    free(entry->pszDriverName);
    memset(entry, 0, sizeof *entry);
    entry->struct_size = kDriverInfoSize;
    json_object* present = nullptr;
    if (!json_object_is_type(info, json_type_object) ||
        !json_object_object_get_ex(info, "Present", &present) ||
        !json_object_is_type(present, json_type_boolean) || !json_object_get_boolean(present)) {
        CI_LOG(QZ_LOG_WARN, kSource,
               "Driverinfo for service %s not available (no registered worker)", service);
        entry->iDriverRC = kNotAvailable;
        entry->pszDriverName = not_available_name(service);
        return entry->pszDriverName != nullptr;
    }
    entry->usMajorVersion = static_cast<uint16_t>(number_member(info, "MajorVersion"));
    entry->usMinorVersion = static_cast<uint16_t>(number_member(info, "MinorVersion"));
    entry->iNumberOfViruses = static_cast<int32_t>(number_member(info, "NumberOfViruses"));
    entry->iNumberOfVariants = static_cast<int32_t>(number_member(info, "NumberOfVariants"));
    entry->lDate = number_member(info, "Timestamp");

    json_object* name = nullptr;
    if (!json_object_object_get_ex(info, "DriverName", &name)) {
        CI_LOG(QZ_LOG_ERROR, kSource, "Failed to read %s from JSON", "DriverName");
    } else if (const char* text = json_object_get_string(name); text == nullptr || *text == '\0') {
        CI_LOG(QZ_LOG_ERROR, kSource, "Key %s found, but value is empty", "DriverName");
    } else {
        CI_LOG(QZ_LOG_TRACE, kSource, "Got Drivername: %s", text);
        entry->pszDriverName = strdup(text);
        if (entry->pszDriverName == nullptr) return false;
    }
    entry->iDriverRC = 0;
    CI_LOG(QZ_LOG_DEBUG, kSource, "Driverinfo: Name: %s",
           entry->pszDriverName != nullptr ? entry->pszDriverName : "(null)");
    CI_LOG(QZ_LOG_DEBUG, kSource, "Driverinfo: Version: %d.%d", entry->usMajorVersion,
           entry->usMinorVersion);
    CI_LOG(QZ_LOG_DEBUG, kSource, "Driverinfo: Viruses/Variants: %d / %d", entry->iNumberOfViruses,
           entry->iNumberOfVariants);
    return true;
}

}  // namespace

extern "C" {

bool s_is_control_service(const char* name) {
    return name != nullptr && base_name(name) == kControl;
}

char* vsalib_build_consolidated_init_request(const VSA_ENGINE* engine, const char* servers) {
    if (engine == nullptr) return nullptr;
    const long millis = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    char request_id[96];
    snprintf(request_id, sizeof request_id, "%d-%d-%ld", static_cast<int>(QZ_GetProcessId()),
             static_cast<int>(QZ_GetThreadId()), millis);

    JsonPtr request(json_object_new_object());
    if (!request) return nullptr;
    auto text = [](const char* value) {
        return json_object_new_string(value != nullptr ? value : "");
    };
    json_object* object = request.get();
    json_object_object_add(object, "Command", json_object_new_int(kConsolidatedInitCommand));
    json_object_object_add(object, "RequestID", json_object_new_string(request_id));
    json_object_object_add(object, "realmID", text(engine->realmID));
    json_object_object_add(object, "SID", text(engine->SID));
    json_object_object_add(object, "Hostname", text(engine->host_name));
    if (engine->sapVirtualHost != nullptr && *engine->sapVirtualHost != '\0')
        json_object_object_add(object, "SAP-VirtualHostname", text(engine->sapVirtualHost));
    if (engine->sapVirtualHostLong != nullptr && *engine->sapVirtualHostLong != '\0')
        json_object_object_add(object, "SAP-VirtualHostnameLong", text(engine->sapVirtualHostLong));
    json_object_object_add(object, "Scan-Servers", text(servers));
    json_object* services = json_object_new_array();
    if (services == nullptr) return nullptr;
    json_object_object_add(object, "Services", services);
    for (size_t i = 0; i < service_count(engine); ++i) {
        json_object_array_add(services,
                              json_object_new_string(base_name(engine->services[i]).c_str()));
    }
    const char* compact = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
    return compact != nullptr ? strdup(compact) : nullptr;
}

int vsalib_apply_consolidated_init_reply(VSA_ENGINE* engine, PPVSA_INIT pp_init, json_object* reply,
                                         char* message) {
    message[0] = '\0';
    const size_t needed = service_count(engine);
    if (needed == 0) return failure(message, "CONSOLIDATED_INIT: no needed services");
    if (pp_init == nullptr || *pp_init == nullptr)
        return failure(message, "CONSOLIDATED_INIT: no init handle");

    json_object* code = nullptr;
    const bool has_code = json_object_object_get_ex(reply, "ReturnCode", &code);
    if (!has_code) CI_LOG(QZ_LOG_WARN, kSource, "Object %s not found", "ReturnCode");
    // Only an integer 0 is success: json-c would read "0", 0.5 or false as 0 too.
    if (!has_code || !json_object_is_type(code, json_type_int) ||
        json_object_get_int64(code) != 0) {
        json_object* error = nullptr;
        const char* text = json_object_object_get_ex(reply, "Error", &error)
                               ? json_object_get_string(error)
                               : nullptr;
        return failure(message, "CONSOLIDATED_INIT control reported error: %s",
                       text != nullptr ? text : "");
    }

    const char* tenant = nonempty_string(reply, "tenantID");
    const char* realm = nonempty_string(reply, "realmName");
    if (!replace(&engine->TenantID, tenant) || !replace(&engine->realmName, realm))
        return failure(message, "Failed to allocate %s", "tenantID/realmName");
    CI_LOG(QZ_LOG_DEBUG, kSource, "CONSOLIDATED_INIT: tenantID=%s realmName=%s",
           tenant != nullptr ? tenant : "(none)", realm != nullptr ? realm : "(none)");

    json_object* scan = nullptr;
    if (!json_object_object_get_ex(reply, "SCAN", &scan)) {
        CI_LOG(QZ_LOG_WARN, kSource, "CONSOLIDATED_INIT: response missing 'SCAN' field");
    } else if (store_scan_settings(engine, scan, message) != 0) {
        return -1;
    }

    json_object* services = nullptr;
    if (!json_object_object_get_ex(reply, "Services", &services) ||
        !json_object_is_type(services, json_type_array))
        return failure(message, "CONSOLIDATED_INIT: response missing/invalid 'Services'");
    const size_t reported = json_object_array_length(services);

    // The control service reports its own driver in entry 0 when it was not asked for by name.
    bool control_entry = false;
    bool control_needed = false;
    for (size_t i = 0; i < needed; ++i) control_needed |= s_is_control_service(engine->services[i]);
    if (!control_needed) {
        for (size_t i = 0; i < reported && !control_entry; ++i) {
            control_entry = s_is_control_service(
                nonempty_string(json_object_array_get_idx(services, i), "Servicename"));
        }
    }
    const size_t count = needed + (control_entry ? 1 : 0);
    const size_t offset = control_entry ? 1 : 0;

    VSA_INIT* init = *pp_init;
    release_driver_entries(init);
    auto* entries = static_cast<VSA_DRIVERINFO*>(calloc(count, sizeof(VSA_DRIVERINFO)));
    if (entries == nullptr) return failure(message, "Failed to allocate driver info array");
    init->pDriverInfo = entries;
    // Set at once so that a partly filled array is released as a whole.
    init->usDriverCount = static_cast<uint16_t>(count);
    for (size_t i = 0; i < count; ++i) {
        entries[i].struct_size = kDriverInfoSize;
        entries[i].iDriverRC = kNotAvailable;
        entries[i].pszDriverName =
            not_available_name(control_entry && i == 0 ? std::string(kControl)
                                                       : std::string(engine->services[i - offset]));
        if (entries[i].pszDriverName == nullptr)
            return failure(message, "Failed to allocate driver info array");
    }

    for (size_t r = 0; r < reported; ++r) {
        json_object* item = json_object_array_get_idx(services, r);
        json_object* name = nullptr;
        json_object* info = nullptr;
        if (!json_object_object_get_ex(item, "Servicename", &name) ||
            !json_object_object_get_ex(item, "Driverinfo", &info))
            continue;
        const char* service = json_object_get_string(name);
        if (service == nullptr) continue;
        size_t index = count;
        for (size_t i = 0; i < needed && index == count; ++i) {
            if (base_name(engine->services[i]) == service) index = i + offset;
        }
        if (index == count && control_entry && s_is_control_service(service)) index = 0;
        if (index == count) {
            CI_LOG(QZ_LOG_DEBUG, kSource,
                   "CONSOLIDATED_INIT: reply carries unrequested service %s \xE2\x80\x94 "
                   "ignored",
                   service);
            continue;
        }
        if (!fill_driver_entry(&entries[index], service, info))
            return failure(message, "Failed to allocate %s", "driver name");
    }
    return 0;
}

int vsalib_get_consolidated_init(VSA_ENGINE* engine, PPVSA_INIT pp_init, const char* servers,
                                 long remaining, char* message) {
    message[0] = '\0';
    const size_t needed = service_count(engine);
    if (needed == 0) return failure(message, "CONSOLIDATED_INIT: no needed services");
    std::unique_ptr<char, decltype(&free)> request(
        vsalib_build_consolidated_init_request(engine, servers), free);
    if (!request) return failure(message, "Failed to allocate %s", "CONSOLIDATED_INIT request");
    CI_LOG(QZ_LOG_DEBUG, kSource,
           "Sending CONSOLIDATED_INIT to control for realmID %s, SID %s, %d service(s)",
           engine->realmID != nullptr ? engine->realmID : "", engine->SID,
           static_cast<int>(needed));

    auto* connection = engine->global != nullptr
                           ? static_cast<qz_connection_config*>(engine->global->connection_config)
                           : nullptr;
    // The retries share the one budget: the start-up as a whole must end within its time-out,
    // also when the control service answers too late every time.
    const uint32_t budget =
        static_cast<uint32_t>(remaining > 1 ? (remaining < 86400 ? remaining : 86400) : 1) * 1000;
    const uint32_t start = static_cast<uint32_t>(qz_current_time_ms());
    JsonPtr reply;
    char reason[VSALIB_MESSAGE_SIZE] = "";
    for (int attempt = 0; attempt <= kRetries && !reply && connection != nullptr; ++attempt) {
        const uint32_t left = qz_remaining_time_ms(start, budget);
        if (left == 0) break;
        reply.reset(
            qz_connection_send_recv_json(connection, kControl, request.get(), left, 0, reason));
        if (!reply)
            CI_LOG(QZ_LOG_DEBUG, kSource, "CONSOLIDATED_INIT attempt %d: %s", attempt + 1,
                   reason[0] != '\0' ? reason : "no reply");
    }
    if (!reply) return failure(message, "CONSOLIDATED_INIT: no reply from control");
    return vsalib_apply_consolidated_init_reply(engine, pp_init, reply.get(), message);
}
}
