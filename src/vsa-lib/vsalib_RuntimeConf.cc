#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection/connection.h"
#include "platform/error_text.h"
#include "platform/host.h"
#include "util/md5.h"
#include "util/network.h"
#include "util/sap_identity.h"
#include "vsa_engine.h"
#include "vsalib_sap_vhost.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_RuntimeConf";
// Lines of the helpers below belong to the trace of the function they serve.
constexpr const char* kAllocate = "vsalib_AllocateRuntimeConfig";
constexpr size_t kHashField = 4095;
constexpr const char* kDefaultRealm = "default";

std::string stored_text(vsa_global* g, const char* section, const char* key) {
    return qz::vsalib::stored_text_or_empty(g, g->config, section, key);
}

// Sets a credential to a copy of value, or leaves it unset for an empty value. Not through
// vsalib_StoreString, which traces what it stores.
bool set_credential(char** place, const std::string& value) {
    if (value.empty()) return true;
    char* copy = strdup(value.c_str());
    if (copy == nullptr) return false;
    free(*place);
    *place = copy;
    return true;
}

VSA_ENGINE* fail(PPVSA_INIT pp_init, VSA_ENGINE* engine) {
    vsalib_FreeRuntimeConfig(engine);
    (*pp_init)->hEngine = nullptr;
    return nullptr;
}

// A fresh connection settings record for the first handle of a start-up. One left behind by an
// earlier start-up (its connection already closed) is released first, so that repeated start-ups
// do not leak.
bool create_connection_config(vsa_global* g) {
    VSALIB_LOG_AS(QZ_LOG_TRACE, kAllocate, kSource, "Allocating connection_config");
    auto* previous = static_cast<qz_connection_config*>(g->connection_config);
    if (previous != nullptr) {
        qz_connection_deinit(previous);
        qz_connection_config_free(previous);
        g->connection_config = nullptr;
    }
    qz_connection_config* config = qz_connection_config_new();
    if (config == nullptr) {
        VSALIB_LOG_AS(QZ_LOG_ERROR, kAllocate, kSource, "Failed to allocate %s",
                      "g->connection_config");
        return false;
    }
    g->connection_config = config;
    return true;
}

void free_semaphores(vsalib_sem_details* sems) {
    if (sems == nullptr) return;
    QZsem_close(sems->spare);
    QZsem_close(sems->initSemaphore);
    QZsem_close(sems->jobIdSemaphore);
    free(sems);
}

}  // namespace

extern "C" {

int vsalib_StoreString(char** dest, const char* text) {
    int rc = 0;
    if (dest == nullptr || text == nullptr || *text == '\0') {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Invalid parameter: dest: %p, data: %p, len:%d",
                   static_cast<void*>(dest), static_cast<const void*>(text),
                   text != nullptr ? static_cast<int>(strlen(text)) : 0);
        rc = 1;
    } else if (char* copy = strdup(text)) {
        free(*dest);
        *dest = copy;
        VSALIB_LOG(QZ_LOG_DEBUG, kSource, "Stored \"%s\" (len: %d) to %p", copy,
                   static_cast<int>(strlen(copy)), static_cast<void*>(dest));
    } else {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Could not allocate new string buffer to store \"%s\"",
                   text);
        rc = -1;
    }
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exciting, rc=%d", rc);
    return rc;
}

int VsaCreateConfigHash(char* out, const char* directory, const char* sid, const char* host) {
    if (out == nullptr) return -1;
    // Three zero-filled fields hashed whole, padding included: the hash depends on the field
    // layout, not only on the texts, and every process must build it byte for byte alike.
    static_assert(kHashField * 3 == 12285);
    std::string block(kHashField * 3, '\0');
    const char* texts[] = {directory, sid, host};
    for (size_t i = 0; i < 3; ++i) {
        const char* text = texts[i] != nullptr ? texts[i] : "";
        memcpy(&block[i * kHashField], text, strnlen(text, kHashField - 1));
    }
    md5_state_t state;
    md5_byte_t digest[16];
    md5_init(&state);
    md5_append(&state, reinterpret_cast<const md5_byte_t*>(block.data()), block.size());
    md5_finish(&state, digest);
    memset(out, 0, VSALIB_CONFIG_HASH_SIZE);
    for (size_t i = 1; i < 16; ++i) snprintf(out + (i - 1) * 2, 3, "%02x", digest[i]);
    return 0;
}

VSA_ENGINE* vsalib_AllocateRuntimeConfig(PPVSA_INIT pp_init, vsa_global* g) {
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Entering");
    if (pp_init == nullptr || *pp_init == nullptr || g == nullptr) {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Invalid parameter pp_init: %p or g: %p",
                   static_cast<void*>(pp_init), static_cast<void*>(g));
        return nullptr;
    }
    auto* engine = static_cast<VSA_ENGINE*>(calloc(1, sizeof(VSA_ENGINE)));
    if (engine == nullptr) {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Failed to allocate %s", "VSA_ENGINE");
        return nullptr;
    }
    (*pp_init)->hEngine = engine;
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "runtime settings (hEngine): 0x%" PRIx32,
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(engine)));
    engine->global = g;
    engine->config = g->config;

    if (get_sap_virtual_hostname(&engine->sapVirtualHost, &engine->sapVirtualHostLong) == 0) {
        VSALIB_LOG(QZ_LOG_DEBUG, kSource, "SAP virtual host name: %s",
                   engine->sapVirtualHost != nullptr ? engine->sapVirtualHost : "(null)");
        VSALIB_LOG(QZ_LOG_DEBUG, kSource, "SAP virtual host name long: %s",
                   engine->sapVirtualHostLong != nullptr ? engine->sapVirtualHostLong : "(null)");
    } else {
        VSALIB_LOG(QZ_LOG_WARN, kSource, "Failed to get SAP virtual host names");
    }

    const bool first = g->gRefCounter == 0;
    if (first && !create_connection_config(g)) return fail(pp_init, engine);

    std::string realm = stored_text(g, "GLOBAL", "REALMID");
    if (realm.empty()) realm = kDefaultRealm;
    if (vsalib_StoreString(&engine->realmID, realm.c_str()) != 0) return fail(pp_init, engine);
    if (first) {
        auto* connection = static_cast<qz_connection_config*>(g->connection_config);
        if (!set_credential(&connection->default_user, stored_text(g, "GLOBAL", "BROKER_USER")) ||
            !set_credential(&connection->default_password,
                            stored_text(g, "GLOBAL", "BROKER_PASSWORD"))) {
            VSALIB_LOG(QZ_LOG_ERROR, kSource, "Failed to allocate %s", "broker credentials");
            return fail(pp_init, engine);
        }
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "realmID: %s", engine->realmID);

    engine->ctlDetails = static_cast<vsalib_ctl_details*>(calloc(1, sizeof(vsalib_ctl_details)));
    if (engine->ctlDetails == nullptr) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource,
                   "Failed to allocate CTL details runtime details struct: %s",
                   QZstrerror(QZ_GetLastError()));
        return fail(pp_init, engine);
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "CTL details struct allocated: %p",
               static_cast<void*>(engine->ctlDetails));
    engine->semDetails = static_cast<vsalib_sem_details*>(calloc(1, sizeof(vsalib_sem_details)));
    if (engine->semDetails == nullptr) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to allocate semaphores runtime struct: %s",
                   QZstrerror(QZ_GetLastError()));
        return fail(pp_init, engine);
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "SEM details struct allocated: %p",
               static_cast<void*>(engine->semDetails));
    engine->services = nullptr;

    char sid[1024] = {};
    if (HlpGetSID(sid, sizeof sid) == -1 || vsalib_StoreString(&engine->SID, sid) != 0) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to get/store both SAPSYSTEMNAME and host_name");
        return fail(pp_init, engine);
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "SAP-SID/host_name: %s", engine->SID);

    char host[256] = {};
    if (qz_gethostname(host, sizeof host) != 0) {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Failed to get host_name ");
        return fail(pp_init, engine);
    }
    if (vsalib_StoreString(&engine->host_name, host) != 0) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to get/store host_name");
        return fail(pp_init, engine);
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "host_name: %s", engine->host_name);

    const char* fqdn = qzhlp_GetMyFQDN();
    if (fqdn == nullptr || vsalib_StoreString(&engine->FQDN, fqdn) != 0) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to get/store FQDN");
        return fail(pp_init, engine);
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "FQDN: %s", engine->FQDN);

    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting, rc=%p", static_cast<void*>(engine));
    return engine;
}

int vsalib_FreeRuntimeConfig(VSA_ENGINE* engine) {
    if (engine == nullptr) return -1;
    if (engine->ctlDetails != nullptr) {
        free(engine->ctlDetails->lockFile);
        free(engine->ctlDetails);
    }
    free_semaphores(engine->semDetails);
    free(engine->heartbeatParams);
    free(engine->heartbeatFile);
    free(engine->jobIdFile);
    free(engine->realmID);
    free(engine->realmName);
    free(engine->SID);
    free(engine->host_name);
    free(engine->FQDN);
    free(engine->configHash);
    if (engine->services != nullptr) {
        for (char** name = engine->services; *name != nullptr; ++name) free(*name);
        free(engine->services);
    }
    // The key material is wiped, not only released.
    qz_secretbox_free_key(engine->secretbox);
    free(engine->TenantID);
    free(engine->sapVirtualHost);
    free(engine->sapVirtualHostLong);
    free(engine);
    return 0;
}
}
