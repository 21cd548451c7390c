/* Records and codes of the Virus Scan Adapter interface between the SAP host, the adapter
 * libqzAV.so and the implementation libqzvsa.so.
 *
 * Some conventions, settled once for every record here:
 * - Every record starts with struct_size, the size of the record as its creator allocated it. A
 *   record whose struct_size is 0 is invalid.
 * - Widths are fixed: pointers and sizes are 64 bits, codes and counters 32 bits (int32_t or
 *   uint32_t, never long), and fields lie in the order given with natural alignment. No packing.
 *   The layout is checked below field by field; a change that moves a field does not compile.
 * - Strings are NUL-terminated 8-bit text. A string inside a record belongs to that record.
 * - Who frees what: result records (VSA_SCANINFO and everything it points to) are allocated by
 *   libqzvsa and released through VsaReleaseScan; VSA_INIT through VsaEnd; VSA_CONFIG through
 *   VsaEnd as well. The host never frees any of them itself.
 * - Fields a party neither reads nor writes stay zero.
 */
#ifndef QZAV_VSA_TYPES_H
#define QZAV_VSA_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A VSA return code: 0 success, positive failures, negative findings. */
typedef int32_t VSA_RC;

enum {
    VSA_OK = 0,
    VSA_E_NO_MEMORY = 1,
    VSA_E_NULL_PARAM = 2,
    VSA_E_INVALID_PARAM = 3,
    VSA_E_NOT_INITIALISED = 5,
    VSA_E_LOAD_FAILED = 7,
    VSA_E_DRIVER_FAILED = 9,
    VSA_E_NOT_SUPPORTED = 10,
    VSA_E_INVALID_SCANOBJECT = 11,
    VSA_E_SCAN_FAILED = 13,
    VSA_E_NOT_SCANNED = 14,
    VSA_E_IN_PROGRESS = 16,
    VSA_E_CLEANED = -1,
    VSA_E_VIRUS_FOUND = -2,
    VSA_E_ACTIVECONTENT_FOUND = -3,
    VSA_E_BLOCKED_BY_POLICY = -6
};

/* Result codes the scan services report per file and per reply. They never travel in a field
 * that holds a VSA_RC; libqzvsa maps them. */
enum {
    SCAN_OK = 0,
    SCAN_OK_FINAL = 1,
    SCAN_NOT_COMPLETED = -100,
    SCAN_CLEANED = -101,
    SCAN_BLOCKED_POLICY = -200,
    SCAN_ACTIVE_CONTENT = -202,
    SCAN_VIRUS_FOUND = -210,
    SCAN_ERROR = -1000,
    SCAN_RESULT_UNSET = 1000
};

/* VSA_SCANPARAM.tScanMethod */
enum {
    VSA_SCANMETHOD_BYTES = 2, /* the buffer pbBytes / lLength */
    VSA_SCANMETHOD_FILE = 4   /* the file named by pszObjectname */
};

/* VSA_SCANPARAM.tActioncode, a bit set; other bits are ignored. */
enum {
    VSA_ACTION_CHECK_MIME_TYPE = 1,
    VSA_ACTION_SCAN = 2, /* must be set for a scan job to be built */
    VSA_ACTION_CLEAN = 8,
    VSA_ACTION_ACTIVE_CONTENT = 16
};

/* VSA_OPTPARAM.tType / VSA_INITPARAM.tType: how pvValue is to be read. */
enum {
    VSA_TYPE_BOOLEAN = 0,  /* 0 or 1 in pvValue itself, lLength 0 */
    VSA_TYPE_INTEGER = 3,  /* 32-bit integer in pvValue itself, lLength 4 */
    VSA_TYPE_STRING = 7,   /* pvValue points to NUL-terminated text, lLength its length */
    VSA_TYPE_TIMEOUT = 8,  /* 32-bit integer in pvValue itself, lLength 4 (time-outs) */
    VSA_TYPE_INTEGER64 = 9 /* 64-bit integer in pvValue itself, lLength 8 */
};

/* Init parameter codes (VSA_INITPARAM.tCode). */
enum {
    VSA_INITDRIVERS = 0, /* broker URL [";PX=" proxy URL] */
    VSA_INITEXTRADRIVERS = 1,
    VSA_INITEXTRADRIVERDIRECTORY = 3, /* carries the trace settings: file ";" level */
    VSA_INITSERVERS = 4,
    VSA_INITTIMEOUT = 5, /* seconds, in pvValue itself */
    VSA_INITTEMP_PATH = 10,
    VSA_INITDIRECTORY = 11, /* installation directory [";" run directory] */
    VSA_INITENGINES = 12    /* engine names separated by ";" */
};

/* Optional scan parameter codes (VSA_OPTPARAM.tCode). */
enum {
    VSA_SCANBESTEFFORT = 100,
    VSA_SCANALLFILES = 101,
    VSA_SCANANNOUNCED_103 = 103, /* announced by VsaGetConfig, not taken by scan handling */
    VSA_SCANEXTENSIONS = 104,
    VSA_SCANEXTRACT = 108,
    VSA_SCANEXTRACT_SIZE = 110,
    VSA_SCANEXTRACT_DEPTH = 112,
    VSA_SCANEXTRACT_RATIO = 113,
    VSA_SCANLOGPATH = 114,
    VSA_SCANMIMETYPES = 118,
    VSA_CLEANQUARANTINE = 202,
    VSA_BLOCKMIMETYPES = 300,
    VSA_BLOCKEXTENSIONS = 301
};

/* VSA_VIRUSINFO.tDetectType, tVirusType and tActionType */
enum {
    VSA_DETECT_NONE = 0,
    VSA_DETECT_VIRUS = 1,
    VSA_DETECT_ACTIVE_CONTENT = 4,
    VSA_DETECT_POLICY = 5
};
enum { VSA_VIRUSTYPE_NONE = 0, VSA_VIRUSTYPE_VIRUS = 1 };
enum { VSA_ACTIONTYPE_CLEANED = 2, VSA_ACTIONTYPE_NOT_CLEANED = 6 };

/* The runtime configuration of one init handle; defined and owned by libqzvsa. */
typedef struct VSA_ENGINE VSA_ENGINE;

/* The host's callback record. It belongs to the host and is only passed on, never read, so its
 * fields past the size stay opaque here. */
typedef struct VSA_CALLBACK {
    size_t struct_size;
    uint64_t opaque[6];
} VSA_CALLBACK;

/* One scan request from the host; read only. */
typedef struct VSA_SCANPARAM {
    size_t struct_size;
    uint32_t tScanMethod; /* VSA_SCANMETHOD_* */
    uint32_t tActioncode; /* VSA_ACTION_* bits */
    char* pszObjectname;  /* file path, or the name of the buffer's data; may be NULL */
    uint8_t* pbBytes;
    size_t lLength;
    uint32_t uiJobID;
} VSA_SCANPARAM;

/* One parameter; the optional scan parameters and the init parameters share this layout. */
typedef struct VSA_OPTPARAM {
    size_t struct_size; /* 32 when built by this system */
    uint32_t tCode;
    uint32_t tType; /* VSA_TYPE_* */
    size_t lLength;
    void* pvValue; /* the value itself, or a pointer to the text for VSA_TYPE_STRING */
} VSA_OPTPARAM;
typedef VSA_OPTPARAM VSA_INITPARAM;

typedef struct VSA_OPTPARAMS {
    uint16_t usCount;
    VSA_OPTPARAM* pParams;
} VSA_OPTPARAMS;

typedef struct VSA_INITPARAMS {
    uint16_t usCount;
    VSA_INITPARAM* pParams;
} VSA_INITPARAMS;

/* One scan service as the host sees it, in VSA_INIT.pDriverInfo. Owns pszDriverName. */
typedef struct VSA_DRIVERINFO {
    size_t struct_size; /* 48 */
    char* pszDriverName;
    uint16_t usMajorVersion;
    uint16_t usMinorVersion;
    int64_t lDate; /* seconds since 1970-01-01 UTC */
    int32_t iNumberOfViruses;
    int32_t iNumberOfVariants;
    int32_t iDriverRC; /* 0 reported by the service, -1000 not available */
} VSA_DRIVERINFO;

/* The init handle: allocated zeroed by the adapter, filled by libqzvsa, released by VsaEnd.
 * Owns pDriverInfo (usDriverCount entries), pszLibraryText and pszErrorText. The last field
 * pads the record to the 88 bytes the host interface expects; it stays zero. */
typedef struct VSA_INIT {
    size_t struct_size; /* 88 */
    VSA_ENGINE* hEngine;
    uint64_t lReserved1;
    int32_t iBuildNumber;
    uint16_t usDriverCount;
    VSA_DRIVERINFO* pDriverInfo;
    int32_t iMajorVersion;
    char* pszLibraryText;
    int64_t utcDate;  /* seconds since 1970-01-01 UTC */
    int32_t iErrorRC; /* 1 when pszErrorText holds the reason of a failed init */
    char* pszErrorText;
    void* pvReserved2;
} VSA_INIT;

/* What the adapter is, in VSA_CONFIG.pAdapterInfo. Owns pszVendor and pszVersionText. */
typedef struct VSA_ADAPTERINFO {
    size_t struct_size; /* 56 */
    uint64_t lAdapterKind;
    uint16_t usInterfaceVersion;
    uint16_t usMajorVersion;
    uint16_t usMinorVersion;
    char* pszVendor;
    char* pszVersionText;
    void* pvReserved1;
    void* pvReserved2;
} VSA_ADAPTERINFO;

/* The configuration description of VsaGetConfig. Owns the adapter description and both lists
 * with every string value in them. */
typedef struct VSA_CONFIG {
    size_t struct_size; /* 64 */
    VSA_ADAPTERINFO* pAdapterInfo;
    uint32_t uiFlags1;
    uint32_t uiFlags2;
    uint64_t lReserved1;
    VSA_INITPARAMS* pInitParams;
    VSA_OPTPARAMS* pOptParams;
    uint64_t lReserved2;
    uint64_t lReserved3;
} VSA_CONFIG;

/* What is known about one scanned file. Owns its four strings. */
typedef struct VSA_CONTENTINFO {
    size_t struct_size; /* 80 */
    int32_t tObjectType;
    char* pszExtension;
    char* pszContentType;
    char* pszCharSet;
    uint32_t uiJobID;
    char* pszObjectName;
    size_t lObjectSize;
    uint64_t match_so;
    uint64_t match_eo;
} VSA_CONTENTINFO;

/* One finding. Owns its three strings. */
typedef struct VSA_VIRUSINFO {
    size_t struct_size; /* 72 */
    uint8_t bRepairable;
    int32_t tDetectType; /* VSA_DETECT_* */
    int32_t tVirusType;  /* VSA_VIRUSTYPE_* */
    int32_t tObjectType;
    int32_t tActionType; /* VSA_ACTIONTYPE_* */
    uint32_t uiVirusID;
    char* pszVirusName;
    uint32_t uiJobID;
    char* pszObjectName;
    size_t lObjectSize;
    char* pszFreeTextInfo;
} VSA_VIRUSINFO;

/* One error. Owns its two strings. */
typedef struct VSA_SCANERROR {
    size_t struct_size; /* 48 */
    uint32_t uiJobID;
    char* pszObjectName;
    size_t lObjectSize;
    int32_t iErrorRC; /* the VSA_RC the error stands for */
    char* pszErrorText;
} VSA_SCANERROR;

/* The result of one scan. Owns the three arrays; pbBytesCleaned is borrowed. */
typedef struct VSA_SCANINFO {
    size_t struct_size; /* 80 */
    uint32_t uiJobID;
    uint32_t uiScanned;
    uint32_t uiNotScanned;
    uint32_t uiClean;
    uint32_t uiInfections;
    uint32_t uiScanErrors;
    VSA_CONTENTINFO* pContentInfo; /* uiScanned entries */
    VSA_VIRUSINFO* pVirusInfo;     /* uiInfections entries */
    VSA_SCANERROR* pScanError;     /* uiScanErrors entries */
    uint8_t* pbBytesCleaned;
    size_t lBytesCleaned;
    void* pvReserved1;
} VSA_SCANINFO;

typedef VSA_CALLBACK* PVSA_CALLBACK;
typedef VSA_SCANPARAM* PVSA_SCANPARAM;
typedef VSA_OPTPARAM* PVSA_OPTPARAM;
typedef VSA_OPTPARAMS* PVSA_OPTPARAMS;
typedef VSA_INITPARAM* PVSA_INITPARAM;
typedef VSA_INITPARAMS* PVSA_INITPARAMS;
typedef VSA_DRIVERINFO* PVSA_DRIVERINFO;
typedef VSA_INIT* PVSA_INIT;
typedef VSA_INIT** PPVSA_INIT;
typedef VSA_ADAPTERINFO* PVSA_ADAPTERINFO;
typedef VSA_CONFIG* PVSA_CONFIG;
typedef VSA_CONFIG** PPVSA_CONFIG;
typedef VSA_CONTENTINFO* PVSA_CONTENTINFO;
typedef VSA_VIRUSINFO* PVSA_VIRUSINFO;
typedef VSA_SCANERROR* PVSA_SCANERROR;
typedef VSA_SCANINFO* PVSA_SCANINFO;
typedef VSA_SCANINFO** PPVSA_SCANINFO;

#ifdef __cplusplus
}
#endif

/* The binary layout the host expects on 64-bit targets. */
#ifdef __cplusplus
#define QZAV_LAYOUT(expr) static_assert(expr, #expr)
#else
#define QZAV_LAYOUT(expr) _Static_assert(expr, #expr)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
QZAV_LAYOUT(sizeof(size_t) == 8 && sizeof(void*) == 8);

QZAV_LAYOUT(sizeof(VSA_CALLBACK) == 56);
QZAV_LAYOUT(offsetof(VSA_CALLBACK, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_CALLBACK, opaque) == 8);

QZAV_LAYOUT(sizeof(VSA_SCANPARAM) == 48);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, tScanMethod) == 8);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, tActioncode) == 12);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, pszObjectname) == 16);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, pbBytes) == 24);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, lLength) == 32);
QZAV_LAYOUT(offsetof(VSA_SCANPARAM, uiJobID) == 40);

QZAV_LAYOUT(sizeof(VSA_OPTPARAM) == 32);
QZAV_LAYOUT(offsetof(VSA_OPTPARAM, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_OPTPARAM, tCode) == 8);
QZAV_LAYOUT(offsetof(VSA_OPTPARAM, tType) == 12);
QZAV_LAYOUT(offsetof(VSA_OPTPARAM, lLength) == 16);
QZAV_LAYOUT(offsetof(VSA_OPTPARAM, pvValue) == 24);
QZAV_LAYOUT(sizeof(VSA_INITPARAM) == 32);

QZAV_LAYOUT(sizeof(VSA_OPTPARAMS) == 16);
QZAV_LAYOUT(offsetof(VSA_OPTPARAMS, usCount) == 0);
QZAV_LAYOUT(offsetof(VSA_OPTPARAMS, pParams) == 8);
QZAV_LAYOUT(sizeof(VSA_INITPARAMS) == 16);
QZAV_LAYOUT(offsetof(VSA_INITPARAMS, usCount) == 0);
QZAV_LAYOUT(offsetof(VSA_INITPARAMS, pParams) == 8);

QZAV_LAYOUT(sizeof(VSA_DRIVERINFO) == 48);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, pszDriverName) == 8);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, usMajorVersion) == 16);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, usMinorVersion) == 18);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, lDate) == 24);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, iNumberOfViruses) == 32);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, iNumberOfVariants) == 36);
QZAV_LAYOUT(offsetof(VSA_DRIVERINFO, iDriverRC) == 40);

QZAV_LAYOUT(sizeof(VSA_INIT) == 88);
QZAV_LAYOUT(offsetof(VSA_INIT, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_INIT, hEngine) == 8);
QZAV_LAYOUT(offsetof(VSA_INIT, lReserved1) == 16);
QZAV_LAYOUT(offsetof(VSA_INIT, iBuildNumber) == 24);
QZAV_LAYOUT(offsetof(VSA_INIT, usDriverCount) == 28);
QZAV_LAYOUT(offsetof(VSA_INIT, pDriverInfo) == 32);
QZAV_LAYOUT(offsetof(VSA_INIT, iMajorVersion) == 40);
QZAV_LAYOUT(offsetof(VSA_INIT, pszLibraryText) == 48);
QZAV_LAYOUT(offsetof(VSA_INIT, utcDate) == 56);
QZAV_LAYOUT(offsetof(VSA_INIT, iErrorRC) == 64);
QZAV_LAYOUT(offsetof(VSA_INIT, pszErrorText) == 72);
QZAV_LAYOUT(offsetof(VSA_INIT, pvReserved2) == 80);

QZAV_LAYOUT(sizeof(VSA_ADAPTERINFO) == 56);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, lAdapterKind) == 8);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, usInterfaceVersion) == 16);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, usMajorVersion) == 18);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, usMinorVersion) == 20);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, pszVendor) == 24);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, pszVersionText) == 32);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, pvReserved1) == 40);
QZAV_LAYOUT(offsetof(VSA_ADAPTERINFO, pvReserved2) == 48);

QZAV_LAYOUT(sizeof(VSA_CONFIG) == 64);
QZAV_LAYOUT(offsetof(VSA_CONFIG, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_CONFIG, pAdapterInfo) == 8);
QZAV_LAYOUT(offsetof(VSA_CONFIG, uiFlags1) == 16);
QZAV_LAYOUT(offsetof(VSA_CONFIG, uiFlags2) == 20);
QZAV_LAYOUT(offsetof(VSA_CONFIG, lReserved1) == 24);
QZAV_LAYOUT(offsetof(VSA_CONFIG, pInitParams) == 32);
QZAV_LAYOUT(offsetof(VSA_CONFIG, pOptParams) == 40);
QZAV_LAYOUT(offsetof(VSA_CONFIG, lReserved2) == 48);
QZAV_LAYOUT(offsetof(VSA_CONFIG, lReserved3) == 56);

QZAV_LAYOUT(sizeof(VSA_CONTENTINFO) == 80);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, tObjectType) == 8);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, pszExtension) == 16);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, pszContentType) == 24);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, pszCharSet) == 32);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, uiJobID) == 40);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, pszObjectName) == 48);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, lObjectSize) == 56);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, match_so) == 64);
QZAV_LAYOUT(offsetof(VSA_CONTENTINFO, match_eo) == 72);

QZAV_LAYOUT(sizeof(VSA_VIRUSINFO) == 72);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, bRepairable) == 8);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, tDetectType) == 12);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, tVirusType) == 16);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, tObjectType) == 20);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, tActionType) == 24);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, uiVirusID) == 28);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, pszVirusName) == 32);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, uiJobID) == 40);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, pszObjectName) == 48);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, lObjectSize) == 56);
QZAV_LAYOUT(offsetof(VSA_VIRUSINFO, pszFreeTextInfo) == 64);

QZAV_LAYOUT(sizeof(VSA_SCANERROR) == 48);
QZAV_LAYOUT(offsetof(VSA_SCANERROR, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_SCANERROR, uiJobID) == 8);
QZAV_LAYOUT(offsetof(VSA_SCANERROR, pszObjectName) == 16);
QZAV_LAYOUT(offsetof(VSA_SCANERROR, lObjectSize) == 24);
QZAV_LAYOUT(offsetof(VSA_SCANERROR, iErrorRC) == 32);
QZAV_LAYOUT(offsetof(VSA_SCANERROR, pszErrorText) == 40);

QZAV_LAYOUT(sizeof(VSA_SCANINFO) == 80);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, struct_size) == 0);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, uiJobID) == 8);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, uiScanned) == 12);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, uiNotScanned) == 16);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, uiClean) == 20);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, uiInfections) == 24);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, uiScanErrors) == 28);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, pContentInfo) == 32);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, pVirusInfo) == 40);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, pScanError) == 48);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, pbBytesCleaned) == 56);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, lBytesCleaned) == 64);
QZAV_LAYOUT(offsetof(VSA_SCANINFO, pvReserved1) == 72);
#endif

#undef QZAV_LAYOUT

#endif
