#include "config/typed_config.h"

#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

extern "C" {
const char* currSection = "default";
const char* const BoolConst[8] = {"yes", "no", "true", "false", "on", "off", "enable", "disable"};
}

namespace {

const char kDefaultSection[] = "default";

// Character classes in ASCII, whatever locale the host process has set.
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_alpha(c) || is_digit(c); }
bool is_xdigit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_punct(char c) { return c > ' ' && c < 0x7f && !is_alnum(c); }
bool is_print(char c) { return c >= ' ' && c < 0x7f; }
bool is_line_end(char c) { return c == '\n' || c == '\r'; }
bool is_string_char(char c) { return is_alnum(c) || is_punct(c) || c == ' ' || c == '\t'; }

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// Copies a run of characters accepted by `accept` into buf. 0 (cursor unchanged, empty buffer)
// when the run is empty or does not fit.
template <typename Accept>
int read_run(const char** cursor, char* buf, size_t size, Accept accept) {
    if (cursor == nullptr || *cursor == nullptr || buf == nullptr || size == 0) return 0;
    buf[0] = '\0';
    const char* p = *cursor;
    while (*p != '\0' && accept(*p)) ++p;
    size_t n = static_cast<size_t>(p - *cursor);
    if (n == 0 || n >= size) return 0;
    memcpy(buf, *cursor, n);
    buf[n] = '\0';
    *cursor = p;
    return 1;
}

// Numbers in configuration files use '.', also in a host process running under a locale with a
// decimal comma.
locale_t c_locale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

double parse_double(const char* text, char** end) {
    locale_t c = c_locale();
    return c ? strtod_l(text, end, c) : strtod(text, end);
}

void free_variable(qz_config_variable* v) {
    if (v->type == QZ_CFG_STRING) free(v->value.s);
    if (v->type == QZ_CFG_BYTES) free(v->value.bin);
    free(v->name);
    free(v);
}

void free_list(qz_config_variable* list) {
    while (list != nullptr) {
        qz_config_variable* next = list->next;
        free_variable(list);
        list = next;
    }
}

qz_config_variable* find(qz_config_variable* list, const char* section, const char* name) {
    const char* current = kDefaultSection;
    for (qz_config_variable* v = list; v != nullptr; v = v->next) {
        if (v->type == QZ_CFG_SECTION)
            current = v->name;
        else if (strcmp(current, section) == 0 && strcmp(v->name, name) == 0)
            return v;
    }
    return nullptr;
}

class Parser {
  public:
    ~Parser() { free_list(head_); }

    int parse_line(const char* line);
    qz_config_variable* release() {
        qz_config_variable* list = head_;
        head_ = tail_ = nullptr;
        return list;
    }

  private:
    int parse_value(const char** p, qz_config_variable* value);
    int store(const char* name, qz_config_variable* value);
    void append(qz_config_variable* v) {
        if (tail_ == nullptr)
            head_ = v;
        else
            tail_->next = v;
        tail_ = v;
    }

    qz_config_variable* head_ = nullptr;
    qz_config_variable* tail_ = nullptr;
    const char* section_ = kDefaultSection;
};

int Parser::parse_line(const char* line) {
    const char* p = line;
    if (Skip(&p) != 0) return QZ_CFG_OK;
    char name[QZ_CFG_LINE_SIZE];
    if (*p == '[') {
        if (!GetIdentifier(&p, name, sizeof name)) return QZ_CFG_BAD_NAME;
        if (Skip(&p) == 0) return QZ_CFG_TRAILING_CHARACTERS;
        auto* v = static_cast<qz_config_variable*>(calloc(1, sizeof(qz_config_variable)));
        if (v == nullptr || (v->name = strdup(name)) == nullptr) {
            free(v);
            return QZ_CFG_NO_MEMORY;
        }
        v->type = QZ_CFG_SECTION;
        append(v);
        section_ = v->name;
        return QZ_CFG_OK;
    }
    if (!GetIdentifier(&p, name, sizeof name)) return QZ_CFG_BAD_NAME;
    if (Skip(&p) != 0) return QZ_CFG_UNEXPECTED_LINE_END;
    if (*p != '=') return QZ_CFG_MISSING_EQUALS;
    ++p;
    if (Skip(&p) != 0) return QZ_CFG_UNEXPECTED_LINE_END;
    qz_config_variable value{};
    int rc = parse_value(&p, &value);
    if (rc == QZ_CFG_OK && Skip(&p) == 0) rc = QZ_CFG_TRAILING_CHARACTERS;
    if (rc == QZ_CFG_OK) return store(name, &value);
    if (value.type == QZ_CFG_STRING) free(value.value.s);
    if (value.type == QZ_CFG_BYTES) free(value.value.bin);
    return rc;
}

// Fills type and value of *value from the text at *p. On failure nothing stays allocated
// unless type says what to free.
int Parser::parse_value(const char** p, qz_config_variable* value) {
    const char* s = *p;
    if (*s == '"') {
        char text[QZ_CFG_LINE_SIZE];
        size_t n = 0;
        ++s;
        while (*s != '"') {
            if (*s == '\\') ++s;
            if (*s == '\0' || is_line_end(*s) || !is_string_char(*s)) return QZ_CFG_BAD_STRING;
            if (n + 1 >= sizeof text) return QZ_CFG_BAD_STRING;
            text[n++] = *s++;
        }
        text[n] = '\0';
        *p = s + 1;
        value->type = QZ_CFG_STRING;
        value->value.s = strdup(text);
        return value->value.s ? QZ_CFG_OK : QZ_CFG_NO_MEMORY;
    }
    for (const char* word : BoolConst) {
        if (strncasecmp(s, word, strlen(word)) != 0) continue;
        char token[QZ_CFG_LINE_SIZE];
        if (!GetString(p, token, sizeof token)) return QZ_CFG_BAD_BOOLEAN;
        for (size_t i = 0; i < 8; ++i) {
            if (strcasecmp(token, BoolConst[i]) == 0) {
                value->type = QZ_CFG_BOOLEAN;
                value->value.b = (i % 2 == 0) ? 1 : 0;
                return QZ_CFG_OK;
            }
        }
        return QZ_CFG_BAD_BOOLEAN;
    }
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        uint32_t count = 0;
        for (const char* q = s; *q != '\0'; ++q) {
            if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) {
                ++count;
                ++q;
            }
        }
        if (count == 0) return QZ_CFG_EMPTY_BYTE_STRING;
        auto* block = static_cast<unsigned char*>(malloc(sizeof(uint32_t) + count));
        if (block == nullptr) return QZ_CFG_NO_MEMORY;
        value->type = QZ_CFG_BYTES;
        value->value.bin = block;
        memcpy(block, &count, sizeof count);
        for (uint32_t i = 0; i < count; ++i) {
            if (Skip(p) != 0) return QZ_CFG_BAD_BYTE;
            if (!GetHex(p, block + sizeof(uint32_t) + i)) return QZ_CFG_BAD_BYTE;
        }
        return QZ_CFG_OK;
    }
    if (strchr(s, '.') == nullptr) {
        if (strpbrk(s, "0123456789") == nullptr) return QZ_CFG_UNKNOWN_VALUE;
        if (!GetLong(p, &value->value.l)) return QZ_CFG_BAD_INTEGER;
        value->type = QZ_CFG_INTEGER;
        return QZ_CFG_OK;
    }
    if (!GetFloat(p, &value->value.f)) return QZ_CFG_BAD_FLOAT;
    value->type = QZ_CFG_FLOAT;
    return QZ_CFG_OK;
}

// Takes over the value: a repeated name in the same section is updated in place, a new one
// appended.
int Parser::store(const char* name, qz_config_variable* value) {
    if (qz_config_variable* old = find(head_, section_, name)) {
        if (old->type != value->type) {
            if (value->type == QZ_CFG_STRING) free(value->value.s);
            if (value->type == QZ_CFG_BYTES) free(value->value.bin);
            return QZ_CFG_TYPE_MISMATCH;
        }
        if (old->type == QZ_CFG_STRING) free(old->value.s);
        if (old->type == QZ_CFG_BYTES) free(old->value.bin);
        old->value = value->value;
        return QZ_CFG_OK;
    }
    auto* v = static_cast<qz_config_variable*>(calloc(1, sizeof(qz_config_variable)));
    if (v == nullptr || (v->name = strdup(name)) == nullptr) {
        free(v);
        if (value->type == QZ_CFG_STRING) free(value->value.s);
        if (value->type == QZ_CFG_BYTES) free(value->value.bin);
        return QZ_CFG_NO_MEMORY;
    }
    v->type = value->type;
    v->value = value->value;
    append(v);
    return QZ_CFG_OK;
}

enum PhysicalLine { kLineRead, kEndOfFile, kLineTooLong, kReadError };

// One line without its LF into out (capacity bytes including the NUL).
PhysicalLine read_physical_line(FILE* f, char* out, size_t capacity) {
    size_t n = 0;
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (n + 1 >= capacity) return kLineTooLong;
        out[n++] = static_cast<char>(c);
    }
    if (c == EOF && ferror(f)) return kReadError;
    if (c == EOF && n == 0) return kEndOfFile;
    out[n] = '\0';
    return kLineRead;
}

// One logical line: '#' cuts it; a line without '#' whose last non-blank character is '\'
// continues with the next line, read over the backslash. 1 read, 0 end of file, else a code.
int read_logical_line(FILE* f, char* line, int* line_number) {
    size_t pos = 0;
    bool any = false;
    for (;;) {
        PhysicalLine r = read_physical_line(f, line + pos, QZ_CFG_LINE_SIZE - pos);
        if (r == kLineTooLong) return QZ_CFG_TRAILING_CHARACTERS;
        if (r == kReadError) return QZ_CFG_CANNOT_OPEN;
        if (r == kEndOfFile) {
            line[pos] = '\0';
            return any ? 1 : 0;
        }
        any = true;
        ++*line_number;
        if (char* hash = strchr(line + pos, '#')) {
            *hash = '\0';
            return 1;
        }
        size_t t = strlen(line);
        while (t > 0 && (line[t - 1] == ' ' || line[t - 1] == '\t' || line[t - 1] == '\r')) --t;
        if (t == 0 || line[t - 1] != '\\') return 1;
        pos = t - 1;
    }
}

template <typename Take>
int get_typed(qz_config_variable* list, const char* name, const void* out, unsigned int type,
              Take take) {
    if (out == nullptr) return QZ_CFG_NULL_ARGUMENT;
    qz_config_variable* v = nullptr;
    int rc = GetConfigVariable(list, name, &v);
    if (rc != QZ_CFG_OK) return rc;
    if (v->type != type) return QZ_CFG_TYPE_MISMATCH;
    take(v);
    return QZ_CFG_OK;
}

}  // namespace

extern "C" {

int LoadConfig(qz_config_variable** list, const char* path) {
    if (list == nullptr || path == nullptr) {
        LOG_ERROR("NULL pointer received list=%p, path=%p", static_cast<void*>(list),
                  static_cast<const void*>(path));
        return QZ_CFG_NULL_ARGUMENT;
    }
    *list = nullptr;
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        LOG_ERROR("Cannot open configuration file %s: %s", path, strerror(errno));
        currSection = kDefaultSection;
        return QZ_CFG_CANNOT_OPEN;
    }
    Parser parser;
    char line[QZ_CFG_LINE_SIZE];
    int line_number = 0;
    int rc = QZ_CFG_OK;
    for (;;) {
        int r = read_logical_line(f, line, &line_number);
        if (r == 0) break;
        if (r != 1) {
            // The line that could not be read was not counted.
            ++line_number;
            rc = r;
            break;
        }
        rc = parser.parse_line(line);
        if (rc != QZ_CFG_OK) break;
    }
    fclose(f);
    if (rc != QZ_CFG_OK) {
        LOG_ERROR("Error 0x%x in configuration file %s, line %d", static_cast<unsigned>(rc), path,
                  line_number);
        currSection = kDefaultSection;
        return rc;
    }
    *list = parser.release();
    return QZ_CFG_OK;
}

int UseConfigSection(const char* section) {
    if (section == nullptr) return QZ_CFG_NULL_ARGUMENT;
    currSection = section;
    return QZ_CFG_OK;
}

// A NULL list is the list of a file without variables: lookups find nothing in it.
int GetConfigVariable(qz_config_variable* list, const char* name, qz_config_variable** var) {
    if (name == nullptr || var == nullptr) return QZ_CFG_NULL_ARGUMENT;
    qz_config_variable* v = find(list, currSection ? currSection : kDefaultSection, name);
    if (v == nullptr) return QZ_CFG_NOT_FOUND;
    *var = v;
    return QZ_CFG_OK;
}

int GetConfigVariableLong(qz_config_variable* list, const char* name, int32_t* value) {
    return get_typed(list, name, value, QZ_CFG_INTEGER,
                     [&](qz_config_variable* v) { *value = v->value.l; });
}

int GetConfigVariableFloat(qz_config_variable* list, const char* name, float* value) {
    return get_typed(list, name, value, QZ_CFG_FLOAT,
                     [&](qz_config_variable* v) { *value = v->value.f; });
}

int GetConfigVariableBool(qz_config_variable* list, const char* name, unsigned char* value) {
    return get_typed(list, name, value, QZ_CFG_BOOLEAN,
                     [&](qz_config_variable* v) { *value = v->value.b; });
}

int GetConfigVariableString(qz_config_variable* list, const char* name, const char** value) {
    return get_typed(list, name, value, QZ_CFG_STRING,
                     [&](qz_config_variable* v) { *value = v->value.s; });
}

int GetConfigVariableBinary(qz_config_variable* list, const char* name, const unsigned char** bytes,
                            uint32_t* length) {
    if (length == nullptr) return QZ_CFG_NULL_ARGUMENT;
    return get_typed(list, name, bytes, QZ_CFG_BYTES, [&](qz_config_variable* v) {
        memcpy(length, v->value.bin, sizeof(uint32_t));
        *bytes = v->value.bin + sizeof(uint32_t);
    });
}

int QZFreeConfig(qz_config_variable* list) {
    if (list == nullptr) return QZ_CFG_NULL_ARGUMENT;
    free_list(list);
    currSection = kDefaultSection;
    return QZ_CFG_OK;
}

int Skip(const char** cursor) {
    if (cursor == nullptr || *cursor == nullptr) return -1;
    const char* p = *cursor;
    while (*p == ' ' || *p == '\t') ++p;
    int result = 0;
    if (*p == '\0') {
        result = -1;
    } else if (is_line_end(*p)) {
        char first = *p++;
        if (is_line_end(*p) && *p != first) ++p;
        result = 1;
    }
    *cursor = p;
    return result;
}

int SkipEnd(const char** cursor) {
    if (cursor == nullptr || *cursor == nullptr) return 1;
    const char* p = *cursor;
    while (*p != '\0' && !is_line_end(*p)) ++p;
    if (*p != '\0') {
        char first = *p++;
        if (is_line_end(*p) && *p != first) ++p;
    }
    *cursor = p;
    return *p == '\0' ? 1 : 0;
}

int GetString(const char** cursor, char* buf, size_t size) {
    return read_run(cursor, buf, size, [](char c) { return static_cast<unsigned char>(c) > ' '; });
}

int GetStringUpToChar(const char** cursor, char* buf, size_t size, char stop) {
    if (cursor == nullptr || *cursor == nullptr || buf == nullptr || size == 0) return 0;
    buf[0] = '\0';
    const char* start = *cursor;
    if (*start == '\0' || is_line_end(*start)) return 0;
    if (*start == stop) return 1;
    return read_run(cursor, buf, size, [stop](char c) { return c != stop && is_string_char(c); });
}

int GetPath(const char** cursor, char* buf, size_t size) {
    return read_run(cursor, buf, size, [](char c) { return is_alpha(c) || c == '/' || c == '\\'; });
}

int GetAlphaString(const char** cursor, char* buf, size_t size) {
    return read_run(cursor, buf, size, [](char c) { return is_alpha(c) || c == '_'; });
}

int GetAlphaNumString(const char** cursor, char* buf, size_t size) {
    return read_run(cursor, buf, size, [](char c) { return is_alnum(c) || c == '_'; });
}

int GetIdentifier(const char** cursor, char* buf, size_t size) {
    if (cursor == nullptr || *cursor == nullptr || buf == nullptr || size == 0) return 0;
    buf[0] = '\0';
    const char* p = *cursor;
    if (*p == '[') {
        const char* name = p + 1;
        const char* q = name;
        while (*q != '\0' && *q != ']' && is_print(*q)) ++q;
        size_t n = static_cast<size_t>(q - name);
        if (*q != ']' || n == 0 || n >= size) return 0;
        memcpy(buf, name, n);
        buf[n] = '\0';
        *cursor = q + 1;
        return 1;
    }
    if (!is_alpha(*p) && *p != '_') return 0;
    return GetAlphaNumString(cursor, buf, size);
}

int GetLong(const char** cursor, int32_t* value) {
    if (cursor == nullptr || *cursor == nullptr || value == nullptr) return 0;
    const char* p = *cursor;
    bool negative = (*p == '-');
    if (negative) ++p;
    if (!is_digit(*p)) return 0;
    int64_t v = 0;
    for (; is_digit(*p); ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) return 0;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return 0;
    *value = static_cast<int32_t>(v);
    *cursor = p;
    return 1;
}

int GetFloat(const char** cursor, float* value) {
    if (cursor == nullptr || *cursor == nullptr || value == nullptr) return 0;
    const char* p = *cursor;
    if (*p == '\0' || *p == ' ' || *p == '\t' || is_line_end(*p) || *p == '\f' || *p == '\v')
        return 0;
    char* end = nullptr;
    errno = 0;
    double d = parse_double(p, &end);
    if (end == p) return 0;
    if ((errno == ERANGE && std::isinf(d)) || (std::isfinite(d) && std::fabs(d) > FLT_MAX))
        return 0;
    *value = static_cast<float>(d);
    *cursor = end;
    return 1;
}

int GetHex(const char** cursor, unsigned char* value) {
    if (cursor == nullptr || *cursor == nullptr || value == nullptr) return 0;
    const char* p = *cursor;
    if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X') || !is_xdigit(p[2]) || !is_xdigit(p[3]))
        return 0;
    *value = static_cast<unsigned char>(hex_value(p[2]) * 16 + hex_value(p[3]));
    *cursor = p + 4;
    return 1;
}
}
