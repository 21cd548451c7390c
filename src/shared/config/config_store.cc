#include "config/config_store.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "util/sap_identity.h"
#include "util/strings.h"

extern "C" {
const char* const qz_parametersource[QZ_SOURCE_COUNT] = {
    "Default", "Global config", "Basedir config", "SID-specific config", "Retrieved", "VSI API",
};
}

namespace {

struct Lookup {
    char text[QZ_CONFIG_LOOKUP_MAX + 1];
    Lookup(const char* section, const char* key) {
        snprintf(text, sizeof text, "%s-%s", section, key);
    }
};

const char* text_or_empty(const char* s) { return s ? s : ""; }

qz_config_parameter* s_FindParameter(list_t* config, const char* section, const char* key) {
    Lookup lookup(section, key);
    return static_cast<qz_config_parameter*>(list_seek(config, lookup.text));
}

// A record with owned lookup, section and key and nothing else; NULL (traced) on failure.
qz_config_parameter* new_record(const char* section, const char* key, uint32_t source) {
    auto* p = static_cast<qz_config_parameter*>(calloc(1, sizeof(qz_config_parameter)));
    if (p == nullptr) {
        LOG_ERROR("Failed to allocate parameter struct");
        return nullptr;
    }
    Lookup lookup(section, key);
    p->lookup = strdup(lookup.text);
    p->section = strdup(section);
    p->key = strdup(key);
    p->source = source;
    if (p->lookup == nullptr || p->section == nullptr || p->key == nullptr) {
        LOG_ERROR("Memory allocation error");
        qz_config_free_parameter(p);
        return nullptr;
    }
    return p;
}

// The integer of a text that holds no alphabetic character (base 10, as far as digits go).
void set_numeric_value(qz_config_parameter* p) {
    if (qzhlp_StringIsNumber(p->ptr) != 1) return;
    errno = 0;
    long number = strtol(p->ptr, nullptr, 10);
    if (errno == ERANGE || number > INT32_MAX || number < INT32_MIN) {
        LOG_ERROR("Failed to convert \"%s\" to a number: out of the 32-bit range; stored as text",
                  p->ptr);
        return;
    }
    p->value = static_cast<int32_t>(number);
    p->flags |= QZ_CONFIG_INT_VALID;
    LOG_TRACE("Stored \"%s\" as numerical %d", p->ptr, p->value);
}

enum class Variant { kString, kNumber };

// Steps shared by the three store functions once the arguments are checked and the new record
// is built: precedence, replacement and appending. Takes over `record`.
int store_record(list_t* config, qz_config_parameter* record, Variant variant) {
    const char* section = record->section;
    const char* key = record->key;
    qz_config_parameter* old = s_FindParameter(config, section, key);
    if (old != nullptr && record->source < old->source) {
        LOG_TRACE("Current source for [%s - %s] (%s) than (%s) - not overwriting", section, key,
                  qz_parametersource[old->source], qz_parametersource[record->source]);
        qz_config_free_parameter(record);
        return 1;
    }
    if (old != nullptr) {
        if (variant == Variant::kString)
            LOG_DEBUG("Overwriting %s-%s (%s) from %s with %s from %s", section, key,
                      text_or_empty(old->ptr), qz_parametersource[old->source],
                      text_or_empty(record->ptr), qz_parametersource[record->source]);
        else
            LOG_DEBUG("Overwriting %s-%s (%d) from %s with %d from %s", section, key, old->value,
                      qz_parametersource[old->source], record->value,
                      qz_parametersource[record->source]);
    }
    // Appending first means a refused or failed append leaves the old value in place.
    if (list_append(config, record) < 0) {
        LOG_ERROR("Failed to append %s-%s to the parameter list", section, key);
        qz_config_free_parameter(record);
        return -1;
    }
    if (old != nullptr) {
        // The old record lies before the new one, so the first equal lookup is the old record.
        int position = list_locate(config, old);
        if (position < 0 || list_delete_at(config, static_cast<unsigned int>(position)) < 0) {
            LOG_ERROR("Failed to remove the old value of %s-%s", section, key);
            list_delete_at(config, list_size(config) - 1);
            qz_config_free_parameter(record);
            return -1;
        }
        qz_config_free_parameter(old);
    }
    LOG_DEBUG("Stored %s-%s from source %s", section, key, qz_parametersource[record->source]);
    return 0;
}

bool valid_source(uint32_t source) {
    if (source < QZ_SOURCE_COUNT) return true;
    LOG_ERROR("Invalid parameter source %u", source);
    return false;
}

int store_number(list_t* config, const char* section, const char* key, long number,
                 uint32_t source) {
    if (config == nullptr || section == nullptr || key == nullptr) {
        LOG_ERROR("NULL pointer received config=%p, section=%p, key=%p", static_cast<void*>(config),
                  static_cast<const void*>(section), static_cast<const void*>(key));
        return -1;
    }
    if (!valid_source(source)) return -1;
    qz_config_parameter* p = new_record(section, key, source);
    if (p == nullptr) return -1;
    char text[128];
    snprintf(text, sizeof text, "%ld", number);
    p->ptr = strdup(text);
    if (p->ptr == nullptr) {
        LOG_ERROR("Memory allocation error");
        qz_config_free_parameter(p);
        return -1;
    }
    p->flags |= QZ_CONFIG_HAS_TEXT;
    if (number >= INT32_MIN && number <= INT32_MAX) {
        p->value = static_cast<int32_t>(number);
        p->flags |= QZ_CONFIG_INT_VALID;
    } else {
        LOG_ERROR("Value %ld of %s-%s does not fit a 32-bit integer; stored as text", number,
                  section, key);
    }
    return store_record(config, p, Variant::kNumber);
}

int free_list_records(list_t* config) {
    if (!list_iterator_wait(config, 500, 0, 50)) return -1;
    while (list_iterator_hasnext(config)) {
        list_iterator_stop(config);
        qz_config_free_parameter(static_cast<qz_config_parameter*>(list_fetch(config)));
        if (!list_iterator_wait(config, 500, 0, 50)) return -1;
    }
    list_iterator_stop(config);
    return 0;
}

}  // namespace

extern "C" {

list_t* qz_config_new_list(void) {
    auto* list = static_cast<list_t*>(malloc(sizeof(list_t)));
    if (list == nullptr || list_init(list) != 0) {
        LOG_ERROR("Failed to allocate %s", "config list");
        free(list);
        return nullptr;
    }
    list_attributes_seeker(list, qz_config_parameter_seeker);
    list_attributes_comparator(list, qz_config_parameter_comparator);
    list_attributes_hash_computer(list, qz_config_parameter_hashcomputer);
    return list;
}

int StoreConfigParameter_String(list_t* config, const char* section, const char* key,
                                const char* value, uint32_t source) {
    if (config == nullptr || section == nullptr || key == nullptr || value == nullptr) {
        LOG_ERROR("NULL pointer received config=%p, section=%p, key=%p, value=%p",
                  static_cast<void*>(config), static_cast<const void*>(section),
                  static_cast<const void*>(key), static_cast<const void*>(value));
        return -1;
    }
    LOG_DEBUG("storing %s %s", section, key);
    if (!valid_source(source)) return -1;
    qz_config_parameter* p = new_record(section, key, source);
    if (p == nullptr) return -1;
    p->ptr = strdup(value);
    if (p->ptr == nullptr) {
        LOG_ERROR("Memory allocation error");
        qz_config_free_parameter(p);
        return -1;
    }
    p->flags |= QZ_CONFIG_HAS_TEXT;
    set_numeric_value(p);
    return store_record(config, p, Variant::kString);
}

int StoreConfigParameter_Long(list_t* config, const char* section, const char* key, long value,
                              uint32_t source) {
    return store_number(config, section, key, value, source);
}

int StoreConfigParameter_Int(list_t* config, const char* section, const char* key, int value,
                             uint32_t source) {
    return store_number(config, section, key, value, source);
}

const char* GetConfigParameter_String(list_t* config, const char* section, const char* key) {
    if (config == nullptr || section == nullptr || key == nullptr) {
        LOG_ERROR("NULL pointer received config=%p, section=%p, key=%p", static_cast<void*>(config),
                  static_cast<const void*>(section), static_cast<const void*>(key));
        return nullptr;
    }
    qz_config_parameter* p = s_FindParameter(config, section, key);
    return (p != nullptr && (p->flags & QZ_CONFIG_HAS_TEXT)) ? p->ptr : nullptr;
}

int GetConfigParameter_Long(list_t* config, const char* section, const char* key, long* value) {
    int number = 0;
    if (value == nullptr) {
        LOG_ERROR("NULL pointer received value=%p", static_cast<void*>(value));
        return -1;
    }
    if (GetConfigParameter_Int(config, section, key, &number) != 0) return -1;
    *value = number;
    return 0;
}

int GetConfigParameter_Int(list_t* config, const char* section, const char* key, int* value) {
    if (config == nullptr || section == nullptr || key == nullptr || value == nullptr) {
        LOG_ERROR("NULL pointer received config=%p, section=%p, key=%p", static_cast<void*>(config),
                  static_cast<const void*>(section), static_cast<const void*>(key));
        return -1;
    }
    qz_config_parameter* p = s_FindParameter(config, section, key);
    if (p == nullptr || !(p->flags & QZ_CONFIG_INT_VALID)) return -1;
    *value = p->value;
    return 0;
}

int GetConfigParameter_Source(list_t* config, const char* section, const char* key) {
    if (config == nullptr || section == nullptr || key == nullptr) {
        LOG_ERROR("NULL pointer received config=%p, section=%p, key=%p", static_cast<void*>(config),
                  static_cast<const void*>(section), static_cast<const void*>(key));
        return -1;
    }
    qz_config_parameter* p = s_FindParameter(config, section, key);
    return p != nullptr ? static_cast<int>(p->source) : -1;
}

qz_config_parameter* qz_config_duplicate_parameter(const qz_config_parameter* in) {
    if (in == nullptr) {
        LOG_ERROR("NULL pointer received in=%p", static_cast<const void*>(in));
        return nullptr;
    }
    auto* out = static_cast<qz_config_parameter*>(calloc(1, sizeof(qz_config_parameter)));
    if (out == nullptr) {
        LOG_ERROR("Failed to allocate %s", "out");
        return nullptr;
    }
    out->flags = in->flags;
    out->value = in->value;
    out->source = in->source;
    const char* failed = nullptr;
    if ((in->flags & QZ_CONFIG_HAS_TEXT) && (out->ptr = strdup(text_or_empty(in->ptr))) == nullptr)
        failed = "out->ptr";
    else if ((out->section = strdup(text_or_empty(in->section))) == nullptr)
        failed = "out->section";
    else if ((out->key = strdup(text_or_empty(in->key))) == nullptr)
        failed = "out->key";
    else if ((out->lookup = strdup(text_or_empty(in->lookup))) == nullptr)
        failed = "out->lookup";
    if (failed != nullptr) {
        LOG_ERROR("Failed to allocate %s", failed);
        qz_config_free_parameter(out);
        return nullptr;
    }
    return out;
}

void qz_config_free_parameter(qz_config_parameter* parameter) {
    if (parameter == nullptr) return;
    if (parameter->flags & QZ_CONFIG_HAS_TEXT) free(parameter->ptr);
    free(parameter->key);
    free(parameter->section);
    free(parameter->lookup);
    free(parameter);
}

int qz_config_free_list(list_t* config) {
    if (config == nullptr) {
        LOG_ERROR("NULL pointer received config=%p", static_cast<void*>(config));
        return -1;
    }
    if (free_list_records(config) != 0) {
        LOG_ERROR("The parameter list is in use; not freed");
        return -1;
    }
    list_clear(config);
    list_destroy(config);
    free(config);
    return 0;
}

int qz_config_parameter_seeker(const void* el, const void* indicator) {
    const auto* p = static_cast<const qz_config_parameter*>(el);
    const auto* wanted = static_cast<const char*>(indicator);
    if (p == nullptr || wanted == nullptr || *wanted == '\0') return 0;
    if (p->lookup == nullptr || *p->lookup == '\0') return 0;
    return strcmp(p->lookup, wanted) == 0 ? 1 : 0;
}

int qz_config_parameter_comparator(const void* a, const void* b) {
    const auto* pa = static_cast<const qz_config_parameter*>(a);
    const auto* pb = static_cast<const qz_config_parameter*>(b);
    return list_comparator_string(text_or_empty(pa->lookup), text_or_empty(pb->lookup));
}

list_hash_t qz_config_parameter_hashcomputer(const void* el) {
    return list_hashcomputer_string(
        text_or_empty(static_cast<const qz_config_parameter*>(el)->lookup));
}

int parse_config_to_list(const ini_t* ini, list_t* config, uint32_t source) {
    if (ini == nullptr || config == nullptr) {
        LOG_ERROR("NULL pointer received ini=%p, config=%p", static_cast<const void*>(ini),
                  static_cast<void*>(config));
        return -1;
    }
    const char* section = "";
    const char* p = ini->data;
    const char* end = ini->end;
    auto next_string = [end](const char* s) {
        s += strlen(s);
        while (s < end && *s == '\0') ++s;
        return s;
    };
    while (p < end && *p == '\0') ++p;
    while (p < end) {
        if (*p == '[') {
            section = p + 1;
            p = next_string(p);
            continue;
        }
        const char* key = p;
        const char* value = next_string(key);
        if (value >= end) break;
        p = next_string(value);
        if (*key == '#') continue;
        if (StoreConfigParameter_String(config, section, key, value, source) < 0) {
            LOG_ERROR("Failed to store %s - %s", section, value);
            return -1;
        }
        LOG_DEBUG("Stored %s:%s = %s", section, key, value);
    }
    return 0;
}

int qz_ReadConfigFrom(list_t* config, const char* basedir, const char* sid) {
    if (config == nullptr) {
        LOG_ERROR("NULL pointer received config=%p", static_cast<void*>(config));
        return -1;
    }
    basedir = text_or_empty(basedir);
    sid = text_or_empty(sid);
    struct File {
        char path[4096];
        bool fits;
        uint32_t source;
    } files[2];
    files[0].fits = snprintf(files[0].path, sizeof files[0].path, "%s%cconfig%cqzvsa4.cfg", basedir,
                             '/', '/') < static_cast<int>(sizeof files[0].path);
    files[0].source = QZ_SOURCE_BASEDIR_CONFIG;
    files[1].fits = snprintf(files[1].path, sizeof files[1].path, "%s%cconfig%cqzvsa4_%s.cfg",
                             basedir, '/', '/', sid) < static_cast<int>(sizeof files[1].path);
    files[1].source = QZ_SOURCE_SID_CONFIG;
    for (const File& file : files) {
        // A cut path could name another file; such a file is not read at all.
        if (!file.fits) {
            LOG_ERROR("Configuration file path too long (base directory %s, SID %s)", basedir, sid);
            continue;
        }
        LOG_DEBUG("Attempting to read config file %s", file.path);
        ini_t* ini = ini_load(file.path);
        if (ini == nullptr) {
            LOG_DEBUG("Could not load config from %s. Reason: %s", file.path, strerror(errno));
            continue;
        }
        if (parse_config_to_list(ini, config, file.source) < 0)
            LOG_ERROR("Failed to parse configuration file %s: %s", file.path,
                      "a parameter could not be stored");
        ini_free(ini);
    }
    return 0;
}

int qz_ReadConfig(list_t* config) {
    if (config == nullptr) {
        LOG_ERROR("NULL pointer received config=%p", static_cast<void*>(config));
        return -1;
    }
    char basedir[4096];
    char message[1024] = "";
    if (HlpEvaluateVSA_LIB(basedir, sizeof basedir, message, sizeof message) != 0) {
        LOG_ERROR("%s", message);
        basedir[0] = '\0';
    }
    char sid[256];
    if (HlpGetSID(sid, sizeof sid) < 0)
        LOG_WARN("Neither SAPSYSTEMNAME nor the host name is known");
    return qz_ReadConfigFrom(config, basedir, sid);
}
}
