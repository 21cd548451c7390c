#include "vsa/vsa_internal_functions.h"

#include <cstdlib>

#include "log/log.h"

namespace {

constexpr const char* kSource = "shared/VsaInternalFunctions";

template <typename Params>
void free_parameter_list(Params* list) {
    if (list == nullptr) return;
    if (list->pParams != nullptr) {
        for (unsigned i = 0; i < list->usCount; ++i) {
            if (list->pParams[i].tType == VSA_TYPE_STRING) free(list->pParams[i].pvValue);
        }
        free(list->pParams);
    }
    free(list);
}

}  // namespace

extern "C" {

void VsaFreeVSA_CONFIG(PPVSA_CONFIG pp_config) {
    log_log(QZ_LOG_TRACE, __func__, kSource, __LINE__, "Entering");
    if (pp_config == nullptr || *pp_config == nullptr) {
        log_log(QZ_LOG_TRACE, __func__, kSource, __LINE__, "Exiting");
        return;
    }
    VSA_CONFIG* config = *pp_config;
    free_parameter_list(config->pInitParams);
    free_parameter_list(config->pOptParams);
    if (config->pAdapterInfo != nullptr) {
        free(config->pAdapterInfo->pszVendor);
        free(config->pAdapterInfo->pszVersionText);
        free(config->pAdapterInfo);
    }
    free(config);
    *pp_config = nullptr;
    log_log(QZ_LOG_TRACE, __func__, kSource, __LINE__, "Exiting");
}
}
