#include "vsa/vsa_global.h"

#include <cstdlib>

#include "config/config_store.h"

extern "C" {

void vsaglobal_Free(vsa_global** g) {
    if (g == nullptr || *g == nullptr) return;
    vsa_global* record = *g;
    if (record->config != nullptr) qz_config_free_list(record->config);
    free(record->vsa);
    QZ_DeleteCriticalSection(&record->cs);
    free(record);
    *g = nullptr;
}
}
