// The configuration parameter store: every setting, whatever its origin, as a named parameter
// (section + key) in a generic list, holding its text, its integer when the text is numeric, and
// the source it came from. A value only replaces one from an equal or less authoritative source.
// The store takes no lock; the owner of the list guards it.
#pragma once

#include "qzav/qz_export.h"

#include <cstdint>

#include "config/ini.h"
#include "util/list.h"

extern "C" {
QZ_API_BEGIN

// Parameter sources, rising in authority; indices into qz_parametersource.
enum {
    QZ_SOURCE_DEFAULT = 0,
    QZ_SOURCE_GLOBAL_CONFIG = 1,
    QZ_SOURCE_BASEDIR_CONFIG = 2,
    QZ_SOURCE_SID_CONFIG = 3,
    QZ_SOURCE_RETRIEVED = 4,
    QZ_SOURCE_VSI_API = 5,
    QZ_SOURCE_COUNT = 6,
};

// "Default", "Global config", "Basedir config", "SID-specific config", "Retrieved", "VSI API".
extern const char* const qz_parametersource[QZ_SOURCE_COUNT];

// Flag bits of qz_config_parameter.
enum {
    QZ_CONFIG_INT_VALID = 1,  // `value` holds the integer
    QZ_CONFIG_HAS_TEXT = 2,   // `ptr` holds an owned text
};

// Longest lookup (section '-' key) in characters; longer ones are cut.
enum { QZ_CONFIG_LOOKUP_MAX = 1023 };

// One parameter, owned by the list once appended. Identity is `lookup` alone.
typedef struct qz_config_parameter {
    char* lookup;
    char* section;
    char* key;
    uint32_t flags;
    char* ptr;
    int32_t value;
    uint32_t source;
} qz_config_parameter;

// A new heap list with the seeker, comparator and hash computer below installed; NULL on
// allocation failure. Release with qz_config_free_list.
list_t* qz_config_new_list(void);

// 0 stored; 1 not stored because the existing parameter comes from a more authoritative source;
// -1 on a NULL argument, an unknown source, an allocation failure or a list that refuses the
// change (its iterator is active).
int StoreConfigParameter_String(list_t* config, const char* section, const char* key,
                                const char* value, uint32_t source);
// As above, the text being "%ld". A value outside the 32-bit range is stored as text only.
int StoreConfigParameter_Long(list_t* config, const char* section, const char* key, long value,
                              uint32_t source);
int StoreConfigParameter_Int(list_t* config, const char* section, const char* key, int value,
                             uint32_t source);

// The text (borrowed: valid until the parameter is replaced or the list freed), NULL when absent.
const char* GetConfigParameter_String(list_t* config, const char* section, const char* key);
// 0 and the integer when present and numeric; -1 otherwise, *value untouched.
int GetConfigParameter_Long(list_t* config, const char* section, const char* key, long* value);
int GetConfigParameter_Int(list_t* config, const char* section, const char* key, int* value);
// The source index, or -1 when absent.
int GetConfigParameter_Source(list_t* config, const char* section, const char* key);

// A deep copy (free with qz_config_free_parameter), NULL on allocation failure.
qz_config_parameter* qz_config_duplicate_parameter(const qz_config_parameter* in);
// NULL is ignored.
void qz_config_free_parameter(qz_config_parameter* parameter);
// Frees every record, the list and the list record itself (which must come from malloc, as
// qz_config_new_list's does). 0; -1 for NULL or when the list's iterator stays busy for 500 ms
// (the list is then left as it is).
int qz_config_free_list(list_t* config);

int qz_config_parameter_seeker(const void* el, const void* indicator);
int qz_config_parameter_comparator(const void* a, const void* b);
list_hash_t qz_config_parameter_hashcomputer(const void* el);

// Stores every key of every section of the loaded INI data (keys starting with '#' skipped;
// keys before the first header in section ""). 0, or -1 when a store fails.
int parse_config_to_list(const ini_t* ini, list_t* config, uint32_t source);
// Reads "<basedir>/config/qzvsa4.cfg" (source 2) and "<basedir>/config/qzvsa4_<SID>.cfg"
// (source 3) with the base directory of this library and the SAP system identifier. A missing
// file is skipped. 0; -1 only for a NULL list.
int qz_ReadConfig(list_t* config);
// The same with an explicit base directory and system identifier.
int qz_ReadConfigFrom(list_t* config, const char* basedir, const char* sid);
QZ_API_END
}
