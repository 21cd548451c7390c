// The INI reader: loads a whole configuration file and splits it in place into section headers,
// keys and values, which the configuration store walks and ini_get looks up. The loaded data owns
// one buffer; every string handed out points into it and lives until ini_free.
#pragma once

#include "qzav/qz_export.h"

extern "C" {
QZ_API_BEGIN

// `data` holds the file's bytes plus a terminating NUL, split into NUL-terminated strings; `end`
// points at that terminating NUL. In file order the strings are section headers ('[' followed by
// the name) and pairs of key and value, separated by one or more NUL bytes. A key is always
// followed by a non-empty value.
typedef struct ini_t {
    char* data;
    char* end;
} ini_t;

// NULL when the file cannot be opened or read completely, is larger than a 32-bit length allows
// (ERROR line; errno EFBIG) or memory is short; errno tells why. Free with ini_free.
ini_t* ini_load(const char* filename);
// NULL is ignored.
void ini_free(ini_t* ini);
// The value of the first key that matches; section (NULL = any section; "" = keys before the
// first header) and key compare case-insensitively. NULL when absent. Borrowed from `ini`.
const char* ini_get(const ini_t* ini, const char* section, const char* key);
// 0 when the key is absent; else 1 after converting the value with sscanf(value, scanfmt, dst),
// or, when scanfmt is NULL, storing the value pointer in *(const char**)dst.
int ini_sget(const ini_t* ini, const char* section, const char* key, const char* scanfmt,
             void* dst);
QZ_API_END
}
