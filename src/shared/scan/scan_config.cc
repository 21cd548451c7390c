#include "scan/scan_config.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/config_store.h"
#include "log/log.h"
#include "scan/scan_alloc.h"

namespace {

constexpr const char* kScan = "SCAN";

// Removes and frees every parameter of a list that nobody iterates.
void clear_parameters(list_t* list) {
    while (void* parameter = list_fetch(list)) {
        qz_config_free_parameter(static_cast<qz_config_parameter*>(parameter));
    }
}

bool copied_section(const char* section) {
    return section != nullptr &&
           (strcasecmp(section, "SCAN") == 0 || strcasecmp(section, "ACTIVECONTENT") == 0);
}

void copy_parameters(list_t* store, list_t* copy) {
    if (store == nullptr) {
        LOG_WARN("No parameter store; the scan configuration stays empty");
        return;
    }
    if (!list_iterator_wait(store, 250, 0, 25)) {
        LOG_WARN("Parameter store busy; the scan configuration stays empty");
        return;
    }
    while (list_iterator_hasnext(store)) {
        const auto* parameter = static_cast<const qz_config_parameter*>(list_iterator_next(store));
        if (parameter == nullptr || !copied_section(parameter->section)) continue;
        qz_config_parameter* duplicate = qz_config_duplicate_parameter(parameter);
        if (duplicate == nullptr || list_append(copy, duplicate) < 0) {
            LOG_ERROR("Failed to duplicate %s:%s", parameter->section,
                      parameter->key != nullptr ? parameter->key : "");
            qz_config_free_parameter(duplicate);
            clear_parameters(copy);
            break;
        }
    }
    list_iterator_stop(store);
}

// One store into the scan configuration; false after tracing `failure`.
bool merge_int(list_t* config, const char* key, long value, const char* failure) {
    if (StoreConfigParameter_Long(config, kScan, key, value, QZ_SOURCE_VSI_API) == 0) return true;
    LOG_ERROR("%s", failure);
    return false;
}

bool merge_text(list_t* config, const char* key, const char* value, const char* failure) {
    if (StoreConfigParameter_String(config, kScan, key, value, QZ_SOURCE_VSI_API) == 0) return true;
    LOG_ERROR("%s", failure);
    return false;
}

bool merge_flag(list_t* config, const char* key, bool on, const char* failure_on,
                const char* failure_off) {
    LOG_DEBUG("Got %s = %d from VSI", key, on ? 1 : 0);
    return merge_int(config, key, on ? 1 : 0, on ? failure_on : failure_off);
}

bool merge_best_effort(list_t* config, bool on) {
    if (!on) {
        LOG_DEBUG("Got SCANBESTEFFORT = 0 from VSI");
        return merge_int(config, "SCANBESTEFFORT", 0,
                         "Failed to merge SCANBESTEFFORT into scan config");
    }
    LOG_DEBUG("Got SCANBESTEFFORT = 1 from VSI");
    if (!merge_int(config, "SCANBESTEFFORT", 1, "Failed to merge SCANBESTEFFORT into scan config"))
        return false;
    LOG_INFO("SCANBESTEFFORT is set - overrriding SCANALLFILES and SCANEXTRACTED to TRUE");
    return merge_int(config, "SCANALLFILES", 1,
                     "Failed to merge SCANALLFILES = 1 into scan config") &&
           merge_int(config, "SCANEXTRACT", 1, "Failed to merge SCANEXTRACT = 1 into scan config");
}

bool merge_size_limit(list_t* config, const char* key, long value) {
    if (value == 0) return true;
    LOG_DEBUG("Got %s = %ld from VSI", key, value);
    if (StoreConfigParameter_Long(config, kScan, key, value, QZ_SOURCE_VSI_API) == 0) return true;
    LOG_ERROR("Failed to merge %s = %ld  into scan config", key, value);
    return false;
}

bool merge_string(list_t* config, const char* key, const char* value) {
    if (value == nullptr) return true;
    LOG_DEBUG("Got %s = %s from VSI", key, value);
    if (StoreConfigParameter_String(config, kScan, key, value, QZ_SOURCE_VSI_API) == 0) return true;
    // This one failure line keeps its established spelling.
    if (strcmp(key, "BLOCKEXTENSIONS") == 0) {
        LOG_ERROR("Failed to merge BLOCKEXTANDIONS into scan config");
    } else {
        LOG_ERROR("Failed to merge %s into scan config", key);
    }
    return false;
}

bool merge_quarantine(list_t* config, const char* value) {
    if (value == nullptr) return true;
    char* target = qz::scan::copy_text(value);
    if (target == nullptr) {
        LOG_ERROR("Failed to allocate %s", "cleanquarantine");
        return false;
    }
    if (char* colon = strchr(target, ':')) {
        LOG_DEBUG("Got CLEANQUARANTINE with encryption key, ignoring it");
        *colon = '\0';
    }
    LOG_DEBUG("Got CLEANQUARANTINE = %s from VSI", target);
    const bool stored = merge_text(config, "CLEANQUARANTINE", target,
                                   "Failed to merge CLEANQUARANTINE into scan config");
    free(target);
    return stored;
}

bool merge_parameter(list_t* config, const VSA_OPTPARAM& parameter) {
    const auto number = static_cast<long>(reinterpret_cast<intptr_t>(parameter.pvValue));
    const auto* text = static_cast<const char*>(parameter.pvValue);
    switch (parameter.tCode) {
        case VSA_SCANBESTEFFORT:
            return merge_best_effort(config, number != 0);
        case VSA_SCANALLFILES:
            return merge_flag(config, "SCANALLFILES", number != 0,
                              "Failed to merge SCANALLFILES = 1 into scan config",
                              "Failed to merge SCANALLFILES = 0 into scan config");
        case VSA_SCANEXTRACT:
            return merge_flag(config, "SCANEXTRACT", number != 0,
                              "Failed to merge SCANEXTRACT = 1 into scan config",
                              "Failed to merge SCANEXTRACT = 0 into scan config");
        case VSA_SCANEXTRACT_SIZE:
            return merge_size_limit(config, "SCANEXTRACT_SIZE", number);
        case VSA_SCANEXTRACT_DEPTH:
            return merge_size_limit(config, "SCANEXTRACT_DEPTH", number);
        case VSA_SCANEXTRACT_RATIO:
            return merge_size_limit(config, "SCANEXTRACT_RATIO", number);
        case VSA_SCANEXTENSIONS:
            return merge_string(config, "SCANEXTENSIONS", text);
        case VSA_SCANLOGPATH:
            return merge_string(config, "SCANLOGPATH", text);
        case VSA_SCANMIMETYPES:
            return merge_string(config, "SCANMIMETYPES", text);
        case VSA_BLOCKMIMETYPES:
            return merge_string(config, "BLOCKMIMETYPES", text);
        case VSA_BLOCKEXTENSIONS:
            return merge_string(config, "BLOCKEXTENSIONS", text);
        case VSA_CLEANQUARANTINE:
            return merge_quarantine(config, text);
        default:
            return true;
    }
}

bool merge_all(list_t* config, const VSA_SCANPARAM* scanparam, const VSA_OPTPARAMS* optparams) {
    const uint32_t action = scanparam != nullptr ? scanparam->tActioncode : 0;
    if ((action & VSA_ACTION_CHECK_MIME_TYPE) != 0 &&
        !merge_int(config, "CUST_CHECK_MIME_TYPE", 1,
                   "Failed to merge CUST_CHECK_MIME_TYPE into scan config")) {
        return false;
    }
    if ((action & VSA_ACTION_ACTIVE_CONTENT) != 0 &&
        !merge_int(config, "CUST_ACTIVE_CONTENT", 1,
                   "Failed to merge CUST_ACTIVE_CONTENT into scan config")) {
        return false;
    }
    if (optparams == nullptr || optparams->pParams == nullptr) return true;
    for (unsigned i = 0; i < optparams->usCount; ++i) {
        if (!merge_parameter(config, optparams->pParams[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" {

list_t* qz_scan_config_copy(list_t* store, QZ_CRITICAL_SECTION* lock) {
    list_t* copy = qz_config_new_list();
    if (copy == nullptr) {
        LOG_ERROR("Failed to allocate %s", "scan_config");
        return nullptr;
    }
    if (lock != nullptr) {
        qz::CriticalSectionLock guard(lock);
        copy_parameters(store, copy);
    } else {
        copy_parameters(store, copy);
    }
    return copy;
}

int qz_scan_config_merge_request(list_t* scan_config, const VSA_SCANPARAM* scanparam,
                                 const VSA_OPTPARAMS* optparams) {
    if (scan_config == nullptr || !merge_all(scan_config, scanparam, optparams)) {
        if (scan_config == nullptr) LOG_ERROR("Invalid pointer %s", "scan_config");
        LOG_ERROR("Failed to merge scanjob with con parameters");
        return VSA_E_INVALID_PARAM;
    }
    return VSA_OK;
}
}
