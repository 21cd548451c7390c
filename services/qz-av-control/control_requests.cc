#include "control_requests.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "connection/nats_handles.h"
#include "connection/replies.h"
#include "log/log.h"

namespace qz::control {
namespace {

using qz::nats::JsonPtr;
using service::RegistryEntry;

void refuse(qz_request_reply* pair, const std::string& why) {
    LOG_WARN("Request refused: %s", why.c_str());
    qz_reply_set_ERROR(pair->reply, kRequestFailed, why.c_str());
}

bool store_reply(qz_request_reply* pair, json_object* reply) {
    const char* text = json_object_to_json_string_ext(
        reply, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    char* copy = text != nullptr ? strdup(text) : nullptr;
    if (copy == nullptr) {
        LOG_ERROR("Failed to allocate %s", "reply");
        return false;
    }
    pair->reply->json = copy;
    return true;
}

// The optional string member name: absent is fine, any other type is not.
bool optional_string(json_object* request, const char* name, std::string* out) {
    json_object* member = nullptr;
    if (!json_object_object_get_ex(request, name, &member) || member == nullptr) return true;
    if (!json_object_is_type(member, json_type_string)) return false;
    *out = json_object_get_string(member);
    return true;
}

// Of several live workers of one service the one with the newest driver (signature) timestamp
// speaks for the service, then the most recently refreshed; the key decides the rest, so the
// answer does not depend on the order in which the bucket lists them.
bool better_worker(const RegistryEntry& a, const RegistryEntry& b) {
    if (a.driver.timestamp != b.driver.timestamp) return a.driver.timestamp > b.driver.timestamp;
    if (a.refreshed != b.refreshed) return a.refreshed > b.refreshed;
    return a.key < b.key;
}

json_object* driver_info(const RegistryEntry* worker) {
    json_object* info = json_object_new_object();
    json_object_object_add(info, "Present", json_object_new_boolean(worker != nullptr));
    if (worker == nullptr) return info;
    json_object_object_add(info, "DriverName",
                           json_object_new_string(worker->driver.driver_name.c_str()));
    json_object_object_add(info, "MajorVersion", json_object_new_int(worker->driver.major_version));
    json_object_object_add(info, "MinorVersion", json_object_new_int(worker->driver.minor_version));
    json_object_object_add(info, "NumberOfViruses",
                           json_object_new_int(worker->driver.number_of_viruses));
    json_object_object_add(info, "NumberOfVariants",
                           json_object_new_int(worker->driver.number_of_variants));
    json_object_object_add(info, "Timestamp", json_object_new_int64(worker->driver.timestamp));
    return info;
}

void consolidated_init(const ControlConfig& config, const RegistryReader& read_registry,
                       json_object* request, qz_request_reply* pair) {
    std::string realm_id, sid, hostname, request_id;
    if (!optional_string(request, "realmID", &realm_id) || !optional_string(request, "SID", &sid) ||
        !optional_string(request, "Hostname", &hostname) ||
        !optional_string(request, "RequestID", &request_id)) {
        refuse(pair, "CONSOLIDATED_INIT: realmID, SID, Hostname and RequestID must be strings");
        return;
    }
    json_object* services = nullptr;
    if (!json_object_object_get_ex(request, "Services", &services) ||
        !json_object_is_type(services, json_type_array)) {
        refuse(pair, "CONSOLIDATED_INIT: request missing/invalid 'Services'");
        return;
    }
    std::vector<std::string> names;
    const size_t count = json_object_array_length(services);
    for (size_t i = 0; i < count; ++i) {
        json_object* name = json_object_array_get_idx(services, i);
        if (!json_object_is_type(name, json_type_string)) {
            refuse(pair, "CONSOLIDATED_INIT: 'Services' must hold service names (strings)");
            return;
        }
        // A requester may mark a service with "+suffix"; the registry knows the plain name.
        std::string plain = json_object_get_string(name);
        plain = plain.substr(0, plain.find('+'));
        names.push_back(plain);
    }

    std::vector<RegistryEntry> entries;
    const bool registry_read = read_registry(&entries);
    std::map<std::string, const RegistryEntry*> chosen;
    for (const RegistryEntry& entry : entries) {
        auto [it, inserted] = chosen.emplace(entry.service_name, &entry);
        if (!inserted && better_worker(entry, *it->second)) it->second = &entry;
    }

    const RealmSettings settings = config.for_realm(realm_id);
    JsonPtr reply(json_object_new_object());
    json_object_object_add(reply.get(), "ReturnCode", json_object_new_int(0));
    if (!request_id.empty()) {
        json_object_object_add(reply.get(), "RequestID",
                               json_object_new_string(request_id.c_str()));
    }
    json_object_object_add(reply.get(), "tenantID",
                           json_object_new_string(settings.tenant_id.c_str()));
    json_object_object_add(reply.get(), "realmName",
                           json_object_new_string(settings.realm_name.c_str()));
    json_object* scan = json_object_new_array();
    for (const auto& [key, value] : settings.scan) {
        json_object* pair_array = json_object_new_array();
        json_object_array_add(pair_array, json_object_new_string(key.c_str()));
        json_object_array_add(pair_array, json_object_new_string(value.c_str()));
        json_object_array_add(scan, pair_array);
    }
    json_object_object_add(reply.get(), "SCAN", scan);
    json_object* service_list = json_object_new_array();
    int present = 0;
    for (const std::string& name : names) {
        auto it = chosen.find(name);
        const RegistryEntry* worker = it != chosen.end() ? it->second : nullptr;
        if (worker != nullptr) {
            ++present;
            LOG_DEBUG("CONSOLIDATED_INIT: %s present (%s, worker '%s')", name.c_str(),
                      worker->driver.driver_name.c_str(), worker->key.c_str());
        } else {
            LOG_DEBUG("CONSOLIDATED_INIT: %s has no live worker", name.c_str());
        }
        json_object* object = json_object_new_object();
        json_object_object_add(object, "Servicename", json_object_new_string(name.c_str()));
        json_object_object_add(object, "Driverinfo", driver_info(worker));
        json_object_array_add(service_list, object);
    }
    json_object_object_add(reply.get(), "Services", service_list);
    if (!registry_read) {
        // Driver information only informs the host; an unreadable registry must not stop it
        // from scanning, but the reply says why every service reads as not present.
        LOG_ERROR("CONSOLIDATED_INIT: the worker registry " QZ_NATS_KV_REGISTRY_BUCKET
                  " cannot be read; every service is reported as not present");
        json_object_object_add(
            reply.get(), "RegistryError",
            json_object_new_string("worker registry " QZ_NATS_KV_REGISTRY_BUCKET
                                   " cannot be read (is the broker provisioned?)"));
    }
    LOG_INFO(
        "CONSOLIDATED_INIT for realmID '%s', SID '%s', host '%s': %zu service(s), %d "
        "present, %zu SCAN setting(s)",
        realm_id.c_str(), sid.c_str(), hostname.c_str(), names.size(), present,
        settings.scan.size());
    if (!store_reply(pair, reply.get())) refuse(pair, "out of memory");
}

}  // namespace

void answer_request(const ControlConfig& config, const RegistryReader& read_registry,
                    qz_request_reply* pair) {
    if (pair == nullptr || pair->request == nullptr || pair->reply == nullptr) return;
    const char* text = pair->request->json != nullptr ? pair->request->json : "";
    json_tokener* tokener = json_tokener_new();
    if (tokener == nullptr) {
        refuse(pair, "out of memory");
        return;
    }
    const size_t length = strlen(text);
    JsonPtr request(json_tokener_parse_ex(tokener, text, static_cast<int>(length)));
    // Text after the one JSON value (other than white space) is as malformed as a cut value.
    bool complete = json_tokener_get_error(tokener) == json_tokener_success;
    for (size_t i = json_tokener_get_parse_end(tokener); complete && i < length; ++i) {
        complete = strchr(" \t\r\n", text[i]) != nullptr;
    }
    json_tokener_free(tokener);
    if (!request || !complete || !json_object_is_type(request.get(), json_type_object)) {
        refuse(pair, "request is not a JSON object");
        return;
    }
    json_object* command = nullptr;
    if (!json_object_object_get_ex(request.get(), "Command", &command) ||
        !json_object_is_type(command, json_type_int)) {
        refuse(pair, "request has no integer \"Command\"");
        return;
    }
    const int64_t code = json_object_get_int64(command);
    if (code == kCommandConsolidatedInit) {
        consolidated_init(config, read_registry, request.get(), pair);
    } else if (code == kCommandPing) {
        qz_reply_set_OK(pair->reply);
    } else {
        refuse(pair, "unknown command " + std::to_string(code) + " (qz-av-control answers " +
                         std::to_string(kCommandConsolidatedInit) + " CONSOLIDATED_INIT and " +
                         std::to_string(kCommandPing) + " ping)");
    }
}

}  // namespace qz::control
