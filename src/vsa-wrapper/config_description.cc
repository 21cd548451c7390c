#include "config_description.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "adapter_state.h"
#include "config/config_store.h"
#include "platform/critical_section.h"
#include "vsa/vsa_internal_functions.h"

namespace qz::adapter {
namespace {

// Fixed numbers whose meaning is the host interface's.
constexpr uint32_t kConfigFlags1 = 6;
constexpr uint32_t kConfigFlags2 = 27;
constexpr uint64_t kAdapterKind = 5;
constexpr uint16_t kInterfaceVersion = 2;
constexpr const char* kVendor = "vendrix Software GmbH";

constexpr uint16_t kInitParamCount = 8;
constexpr uint16_t kOptParamCount = 13;

// One announced optional parameter with its default; string entries carry no value.
struct OptionalParameter {
    uint32_t code;
    uint32_t type;
    size_t length;
    intptr_t value;
};
constexpr OptionalParameter kOptionalParameters[kOptParamCount] = {
    {VSA_SCANBESTEFFORT, VSA_TYPE_BOOLEAN, 0, 1},
    {VSA_SCANALLFILES, VSA_TYPE_BOOLEAN, 0, 1},
    {VSA_SCANEXTRACT, VSA_TYPE_BOOLEAN, 0, 1},
    {VSA_SCANEXTRACT_DEPTH, VSA_TYPE_INTEGER, 4, 20},
    {VSA_SCANEXTRACT_RATIO, VSA_TYPE_INTEGER, 4, 0},
    {VSA_SCANEXTRACT_SIZE, VSA_TYPE_INTEGER64, 8, 0},
    {VSA_SCANLOGPATH, VSA_TYPE_STRING, 0, 0},
    {VSA_BLOCKMIMETYPES, VSA_TYPE_STRING, 0, 0},
    {VSA_SCANMIMETYPES, VSA_TYPE_STRING, 0, 0},
    {VSA_BLOCKEXTENSIONS, VSA_TYPE_STRING, 0, 0},
    {VSA_SCANEXTENSIONS, VSA_TYPE_STRING, 0, 0},
    {VSA_CLEANQUARANTINE, VSA_TYPE_STRING, 0, 0},
    {VSA_SCANANNOUNCED_103, VSA_TYPE_BOOLEAN, 4, 1},
};

// The store's values that the description reports, copied so that the store may change after.
struct InitValues {
    std::string engines, servers, directory, extra_driver_directory, temp_path;
    int32_t timeout = -1;
};

InitValues read_init_values() {
    CriticalSectionLock lock(&g->cs);
    auto text = [](const char* key) {
        const char* value = GetConfigParameter_String(g->config, "INIT", key);
        return std::string(value != nullptr ? value : "");
    };
    InitValues values;
    values.engines = text("INITENGINES");
    values.servers = text("INITSERVERS");
    values.directory = text("INITDIRECTORY");
    values.extra_driver_directory = text("INITEXTRADRIVERDIRECTORY");
    values.temp_path = text("INITTEMP_PATH");
    int timeout = -1;
    if (GetConfigParameter_Int(g->config, "INIT", "INITTIMEOUT", &timeout) != 0) timeout = -1;
    values.timeout = timeout;
    return values;
}

void* number_value(intptr_t number) { return reinterpret_cast<void*>(number); }

void append(VSA_INITPARAMS* list, uint32_t code, uint32_t type, size_t length, void* value) {
    VSA_INITPARAM& entry = list->pParams[list->usCount];
    entry.struct_size = sizeof(VSA_INITPARAM);
    entry.tCode = code;
    entry.tType = type;
    entry.lLength = length;
    entry.pvValue = value;
    ++list->usCount;
}

bool append_text(VSA_INITPARAMS* list, uint32_t code, const std::string& text) {
    char* copy = strdup(text.c_str());
    if (copy == nullptr) return false;
    append(list, code, VSA_TYPE_STRING, text.size(), copy);
    return true;
}

bool build(VSA_CONFIG* config, const InitValues& values) {
    config->pInitParams = static_cast<VSA_INITPARAMS*>(calloc(1, sizeof(VSA_INITPARAMS)));
    if (config->pInitParams == nullptr) return false;
    config->pInitParams->pParams =
        static_cast<VSA_INITPARAM*>(calloc(kInitParamCount, sizeof(VSA_INITPARAM)));
    if (config->pInitParams->pParams == nullptr) return false;
    SITE_LOG(kVsaGetConfigSite, QZ_LOG_DEBUG, "allocated memory for %d VSA_INITPARAM structs",
             kInitParamCount);
    VSA_INITPARAMS* init = config->pInitParams;
    append(init, VSA_INITDRIVERS, VSA_TYPE_STRING, 0, nullptr);
    append(init, VSA_INITEXTRADRIVERS, VSA_TYPE_STRING, 0, nullptr);
    if (!append_text(init, VSA_INITENGINES, values.engines) ||
        !append_text(init, VSA_INITSERVERS, values.servers) ||
        !append_text(init, VSA_INITDIRECTORY, values.directory) ||
        !append_text(init, VSA_INITEXTRADRIVERDIRECTORY, values.extra_driver_directory) ||
        !append_text(init, VSA_INITTEMP_PATH, values.temp_path))
        return false;
    append(init, VSA_INITTIMEOUT, VSA_TYPE_TIMEOUT, 4, number_value(values.timeout));

    config->pOptParams = static_cast<VSA_OPTPARAMS*>(calloc(1, sizeof(VSA_OPTPARAMS)));
    if (config->pOptParams == nullptr) return false;
    config->pOptParams->pParams =
        static_cast<VSA_OPTPARAM*>(calloc(kOptParamCount, sizeof(VSA_OPTPARAM)));
    if (config->pOptParams->pParams == nullptr) return false;
    config->pAdapterInfo = static_cast<VSA_ADAPTERINFO*>(calloc(1, sizeof(VSA_ADAPTERINFO)));
    if (config->pAdapterInfo == nullptr) return false;
    for (const OptionalParameter& p : kOptionalParameters) {
        VSA_OPTPARAM& entry = config->pOptParams->pParams[config->pOptParams->usCount++];
        entry.struct_size = sizeof(VSA_OPTPARAM);
        entry.tCode = p.code;
        entry.tType = p.type;
        entry.lLength = p.length;
        entry.pvValue = number_value(p.value);
    }

    config->struct_size = sizeof(VSA_CONFIG);
    config->uiFlags1 = kConfigFlags1;
    config->uiFlags2 = kConfigFlags2;
    VSA_ADAPTERINFO* info = config->pAdapterInfo;
    info->struct_size = sizeof(VSA_ADAPTERINFO);
    info->lAdapterKind = kAdapterKind;
    info->usInterfaceVersion = kInterfaceVersion;
    info->usMajorVersion = kVersionMajor;
    info->usMinorVersion = kVersionMinor;
    info->pszVendor = strdup(kVendor);
    if (info->pszVendor == nullptr) return false;
    char version[128];
    snprintf(version, sizeof version, "Anti-Virus for SAP Solutions, wrapper v.%d.%d.%d Build %d",
             kVersionMajor, kVersionMinor, kVersionPatch, kVersionBuild);
    info->pszVersionText = strdup(version);
    return info->pszVersionText != nullptr;
}

}  // namespace

VSA_RC get_config(PPVSA_CONFIG pp_config) {
    SITE_LOG(kVsaGetConfigSite, QZ_LOG_TRACE, "Entering");
    if (pp_config == nullptr) {
        SITE_LOG(kVsaGetConfigSite, QZ_LOG_ERROR, "parameter pp_config is NULL");
        return VSA_E_NULL_PARAM;
    }
    *pp_config = nullptr;
    if (!require_started(kVsaGetConfigSite)) return VSA_E_NOT_INITIALISED;
    InitValues values = read_init_values();

    *pp_config = static_cast<VSA_CONFIG*>(calloc(1, sizeof(VSA_CONFIG)));
    VSA_RC rc = VSA_OK;
    if (*pp_config == nullptr || !build(*pp_config, values)) {
        SITE_LOG(kVsaGetConfigSite, QZ_LOG_ERROR,
                 "Failed to allocate the configuration description");
        VsaFreeVSA_CONFIG(pp_config);
        rc = VSA_E_NO_MEMORY;
    }
    SITE_LOG(kVsaGetConfigSite, QZ_LOG_TRACE, "rc=%d", rc);
    SITE_LOG(kVsaGetConfigSite, QZ_LOG_TRACE, "Exiting");
    return rc;
}

}  // namespace qz::adapter
