// The runtime configuration of one init handle (VSA_ENGINE, reached through hEngine of its
// VSA_INIT): the identity this system shows the scan services, its run-directory file names, its
// semaphores, the needed services and the payload secretbox. Created and released here, together
// with the configuration hash that names the run-directory files and the string-store helper.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/secretbox.h"
#include "platform/semaphore.h"
#include "platform/thread.h"
#include "process/heartbeat.h"
#include "qzav/vsa_types.h"
#include "util/list.h"
#include "vsa/vsa_global.h"

extern "C" {

// Control-service details; the second field holds the control lock file name.
typedef struct vsalib_ctl_details {
    void* reserved1;
    char* lockFile;
    void* reserved2;
} vsalib_ctl_details;

// The semaphores of one handle; each one that is open is closed with the record.
typedef struct vsalib_sem_details {
    QZ_SEM_HANDLE initSemaphore;   // waited for and posted by shutdown when START_CONTROL is 1
    QZ_SEM_HANDLE jobIdSemaphore;  // "/qz_jobID_<SID>_<configHash>"
    QZ_SEM_HANDLE spare;
} vsalib_sem_details;

// Texts are malloc'ed and owned by the record unless marked borrowed.
struct VSA_ENGINE {
    list_t* config;  // borrowed: the parameter store of vsa_global
    vsalib_ctl_details* ctlDetails;
    vsalib_sem_details* semDetails;
    QZ_THREAD_HANDLE heartbeatThread;  // never started by start-up; joined by shutdown if set
    qz_heartbeat_thread_params* heartbeatParams;
    char* heartbeatFile;  // <INITDIRECTORY>/run/QZ_heartbeat_<configHash>.dat
    char* jobIdFile;      // <INITDIRECTORY>/run/VSA_jobid_<configHash>.dat
    char* realmID;        // GLOBAL/REALMID, "default" when not configured
    char* realmName;      // from the control service, or NULL
    char* SID;            // SAPSYSTEMNAME, or the host name
    char* host_name;
    char* FQDN;
    char* configHash;    // 30 lower-case hex digits
    vsa_global* global;  // borrowed
    uint32_t serviceMask;
    char** services;  // needed service names, NULL-terminated, in INITENGINES order
    qz_secretbox_key* secretbox;
    char* TenantID;            // from the control service, or NULL
    char* sapVirtualHost;      // SAPLOCALHOST of the instance profiles, or NULL
    char* sapVirtualHostLong;  // SAPLOCALHOST.SAPFQDN, or NULL
    // 1 once this handle's vsalib_VsaInit has added it to gRefCounter: only such a handle may
    // take itself off again, and only the last of them stops what the first one started.
    uint8_t refCounted;
};

// Bits of serviceMask.
enum {
    VSALIB_SERVICE_MIMESCAN = 0x2,
    VSALIB_SERVICE_ACTIVECONTENT = 0x4,
    VSALIB_SERVICE_ARCHIVEEXTRACTOR = 0x8,
    VSALIB_SERVICE_DUMMY = 0x10,
    VSALIB_SERVICE_ICAP = 0x20,
    VSALIB_SERVICE_CLAMAV = 0x40,
    VSALIB_SERVICE_SOPHOS = 0x80,
    VSALIB_SERVICE_TRELLIX = 0x100,
    VSALIB_SERVICE_SCANPROXY = 0x400,  // "qz-av-scanproxy" and "qz-av-cloudscan"
};

// Size of the configuration hash buffer: 30 digits, zero-filled to 33 bytes.
enum { VSALIB_CONFIG_HASH_SIZE = 33 };
// Size of the caller's message buffers.
enum { VSALIB_MESSAGE_SIZE = 1024 };

// Creates the record of *pp_init, stores it in hEngine and returns it: identity (SID, host name,
// FQDN, SAP virtual host names), realm, control and semaphore records. While g->gRefCounter is 0
// it also creates g->connection_config (releasing one that an earlier start-up left) with the
// broker's default credentials GLOBAL/BROKER_USER and GLOBAL/BROKER_PASSWORD. NULL on failure,
// with nothing allocated and hEngine NULL. Release with vsalib_FreeRuntimeConfig.
VSA_ENGINE* vsalib_AllocateRuntimeConfig(PPVSA_INIT pp_init, vsa_global* g);
// Releases the record with everything it owns (closing its semaphores); connection_config
// belongs to vsa_global and stays. -1 for NULL, else 0.
int vsalib_FreeRuntimeConfig(VSA_ENGINE* engine);

// Writes the 30-digit hash of directory, sid and host (each cut to 4094 characters, NULL taken
// as empty) into out (VSALIB_CONFIG_HASH_SIZE bytes). 0, or -1 for a NULL out.
int VsaCreateConfigHash(char* out, const char* directory, const char* sid, const char* host);

// Stores a fresh copy of text in *dest, replacing (and freeing) what was there. 0; 1 when dest or
// text is NULL or text is empty (dest untouched); -1 when the copy cannot be allocated.
int vsalib_StoreString(char** dest, const char* text);
}
