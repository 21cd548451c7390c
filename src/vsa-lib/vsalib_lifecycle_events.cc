#include "vsalib_lifecycle_events.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "event/dispatcher.h"
#include "event/event_message.h"
#include "platform/thread.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace {

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

constexpr const char* kFrame = "==============================================";

// What differs between the two announcements. The trace names the two private senders of the
// entry points they belong to.
struct Announcement {
    const char* function;
    const char* source;
    int event_type;
    const char* text_format;
    int epo_event_id;
    const char* epo_category;
    const char* epo_blank;  // the texts left empty in the EPO record
    bool trellix_ignoring_case;
    bool enqueue_first;
};

constexpr Announcement kStarted = {"s_vsainit_send_logs",
                                   "vsa-lib/src/vsalib_VsaInit",
                                   1010,
                                   "VSA started in work/server process PID %d.%s",
                                   202950,
                                   "ops.service.start",
                                   "",
                                   true,
                                   false};
constexpr Announcement kStopped = {"s_vsaend_send_logs",
                                   "vsa-lib/src/vsalib_VsaEnd",
                                   1030,
                                   "VSA stopped in work/server process PID %d.%s",
                                   202952,
                                   "ops.service.end",
                                   " ",
                                   false,
                                   true};

#define ANNOUNCE_LOG(a, level, ...) \
    log_log((level), (a).function, (a).source, __LINE__, __VA_ARGS__)

bool preconditions(const Announcement& a, vsa_global* g, VSA_ENGINE* engine) {
    auto* params = g != nullptr ? static_cast<logThreadParams*>(g->logThreadParams) : nullptr;
    if (params == nullptr || params->pq == nullptr) {
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, "%s", kFrame);
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " g:                          %p", static_cast<void*>(g));
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " g->logThreadParams:         %p",
                     static_cast<void*>(params));
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " g->logThreadParams->p       %p",
                     params != nullptr ? static_cast<void*>(params->pq) : nullptr);
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, "%s", kFrame);
        ANNOUNCE_LOG(a, QZ_LOG_ERROR,
                     "Invalid parameter: g or g->logThreadParams or g->logThreadParams->pq is "
                     "NULL");
        return false;
    }
    if (engine == nullptr || engine->SID == nullptr || engine->FQDN == nullptr) {
        auto text = [](const char* s) { return s != nullptr ? s : "(null)"; };
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, "%s", kFrame);
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " runtime:                       %p",
                     static_cast<void*>(engine));
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " runtime->SID:                  %p",
                     engine != nullptr ? static_cast<void*>(engine->SID) : nullptr);
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " runtime->FQDN:                 %p",
                     engine != nullptr ? static_cast<void*>(engine->FQDN) : nullptr);
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " realmID:                       %s",
                     text(engine != nullptr ? engine->realmID : nullptr));
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, " realmName:                     %s",
                     text(engine != nullptr ? engine->realmName : nullptr));
        ANNOUNCE_LOG(a, QZ_LOG_TRACE, "%s", kFrame);
        ANNOUNCE_LOG(a, QZ_LOG_ERROR,
                     "Invalid parameter: runtime or runtime->SID or runtime->FQDN is NULL");
        return false;
    }
    return true;
}

bool add_text(json_object* object, const char* name, const char* value) {
    return json_object_object_add(object, name, json_object_new_string(value)) == 0;
}

// Adds data under `section`; the data is released when it cannot be added.
bool add_section(json_object* message, const char* section, const char* realm, json_object* data) {
    if (qz_log_add_log_section(message, section, realm, data) == 0) return true;
    json_object_put(data);
    return false;
}

bool trellix_named(const Announcement& a, const std::string& engines) {
    return a.trellix_ignoring_case ? strcasestr(engines.c_str(), "trellix") != nullptr
                                   : strstr(engines.c_str(), "trellix") != nullptr;
}

void announce(const Announcement& a, vsa_global* g, VSA_ENGINE* engine) {
    if (!preconditions(a, g, engine)) return;
    qz_pqueue* queue = static_cast<logThreadParams*>(g->logThreadParams)->pq;
    JsonPtr message(qz_log_create_message());
    if (!message) {
        ANNOUNCE_LOG(a, QZ_LOG_ERROR, "Failed to allocate %s", "qzlog");
        return;
    }
    // An absent setting counts as on.
    const bool with_event_id =
        qz::vsalib::stored_long(g, g->config, "SCAN", "INCLUDE_EVENT_ID_IN_MESSAGE").value_or(-1) !=
        0;
    std::string event_id;
    if (with_event_id) {
        const std::string delimiter =
            qz::vsalib::stored_text_or_empty(g, g->config, "SCAN", "EVENT_ID_DELIMITER");
        std::unique_ptr<char, decltype(&free)> text(
            qz_log_create_delimited_eventID_string(delimiter.c_str(), message.get()), free);
        if (text) event_id = text.get();
    }
    if (engine->TenantID != nullptr && *engine->TenantID != '\0')
        add_text(message.get(), "Tenant", engine->TenantID);
    if (engine->realmName != nullptr && *engine->realmName != '\0')
        add_text(message.get(), "RealmName", engine->realmName);
    if (a.event_type == kStarted.event_type && g->gRefCounter != 1) return;

    const int pid = static_cast<int>(QZ_GetProcessId());
    char* raw_text = nullptr;
    if (asprintf(&raw_text, a.text_format, pid, event_id.c_str()) < 0) {
        ANNOUNCE_LOG(a, QZ_LOG_ERROR, "Failed to allocate %s", "message");
        return;
    }
    std::unique_ptr<char, decltype(&free)> text(raw_text, free);
    json_object* status = json_object_new_object();
    if (status == nullptr || !add_text(status, "Message", text.get()) ||
        !add_section(message.get(), "StatusLog", engine->realmID, status)) {
        if (status == nullptr)
            ANNOUNCE_LOG(a, QZ_LOG_ERROR, "Failed to allocate %s", "status_log_json");
        return;
    }

    const std::string engines =
        qz::vsalib::stored_text_or_empty(g, g->config, "INIT", "INITENGINES");
    if (trellix_named(a, engines)) {
        std::string line = text.get();
        if (a.event_type == kStarted.event_type) {
            char* raw_line = nullptr;
            if (asprintf(&raw_line, "%s/%s: VSA started in process %d", engine->FQDN, engine->SID,
                         pid) < 0) {
                ANNOUNCE_LOG(a, QZ_LOG_ERROR, "Failed to allocate %s", "epolog_line");
                return;
            }
            line = raw_line;
            free(raw_line);
        }
        const char* filler = a.epo_blank;
        const char* threat_type = a.event_type == kStarted.event_type ? "none" : filler;
        json_object* epo =
            qz_log_create_epolog_json(a.epo_event_id, filler, line.c_str(), a.epo_category,
                                      threat_type, threat_type, filler, filler);
        if (epo == nullptr) {
            ANNOUNCE_LOG(a, QZ_LOG_ERROR, "Failed to allocate %s", "epo_log_json");
            return;
        }
        if (!add_section(message.get(), "EPOLog", engine->realmID, epo)) return;
    }

    auto send_event = [&] {
        qz_log_send_event(queue, a.event_type, engine->realmID, engine->SID, nullptr, nullptr,
                          nullptr, text.get(), engine->secretbox);
    };
    if (!a.enqueue_first) send_event();
    qz_log_enqueue(queue, 'L', message.get());
    if (a.enqueue_first) send_event();
}

}  // namespace

extern "C" {

void vsalib_send_lifecycle_event(vsalib_lifecycle_event which, vsa_global* g, VSA_ENGINE* engine) {
    announce(which == VSALIB_EVENT_STARTED ? kStarted : kStopped, g, engine);
}
}
