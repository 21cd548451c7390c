// The typed configuration reader: parses a sectioned file whose values carry their own type
// (integer, float, boolean, string, byte string) into a singly linked list of variables, with
// lookups in the section selected by UseConfigSection, plus the token readers it is built from.
// The list is owned by its loader and freed with QZFreeConfig.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>
#include <cstdint>

extern "C" {
QZ_API_BEGIN

// Result codes of the typed reader.
enum {
    QZ_CFG_OK = 0,
    QZ_CFG_NO_MEMORY = 1,
    QZ_CFG_NULL_ARGUMENT = 2,
    QZ_CFG_TYPE_MISMATCH = 0x1000000,
    QZ_CFG_CANNOT_OPEN = 0x1000001,
    QZ_CFG_BAD_NAME = 0x1000003,
    QZ_CFG_UNEXPECTED_LINE_END = 0x1000004,
    QZ_CFG_MISSING_EQUALS = 0x1000005,
    QZ_CFG_UNKNOWN_VALUE = 0x1000006,
    QZ_CFG_BAD_INTEGER = 0x1000007,
    QZ_CFG_BAD_FLOAT = 0x1000008,
    QZ_CFG_BAD_BOOLEAN = 0x1000009,
    QZ_CFG_BAD_STRING = 0x100000a,
    QZ_CFG_EMPTY_BYTE_STRING = 0x100000b,
    QZ_CFG_BAD_BYTE = 0x100000c,
    // Characters after the value; also a line (with its continuations) longer than the
    // QZ_CFG_LINE_SIZE - 1 characters the reader holds: what does not fit is trailing text.
    QZ_CFG_TRAILING_CHARACTERS = 0x100000d,
    QZ_CFG_NOT_FOUND = 0x100000f,
};

// Record types.
enum {
    QZ_CFG_SECTION = 0,
    QZ_CFG_INTEGER = 1,
    QZ_CFG_FLOAT = 2,
    QZ_CFG_BOOLEAN = 3,
    QZ_CFG_STRING = 4,
    QZ_CFG_BYTES = 5,
};

// The line buffer of the reader, the terminating NUL included.
enum { QZ_CFG_LINE_SIZE = 1024 };

typedef struct qz_config_variable {
    struct qz_config_variable* next;
    // The section name for a section record, else the variable name.
    char* name;
    unsigned int type;
    union {
        int32_t l;
        float f;
        unsigned char b;
        char* s;
        // A 32-bit length followed by that many bytes.
        unsigned char* bin;
    } value;
} qz_config_variable;

// The section that lookups use; borrowed; initially "default".
extern const char* currSection;
// Boolean words in pairs of true and false: "yes", "no", "true", "false", "on", "off",
// "enable", "disable".
extern const char* const BoolConst[8];

// Parses the file into *list (variables before the first section belong to "default"). A code;
// on failure *list is NULL, nothing stays allocated and currSection is reset to "default".
int LoadConfig(qz_config_variable** list, const char* path);
// Selects the section for lookups; the name is borrowed and must stay valid. 0, or 2 for NULL.
int UseConfigSection(const char* section);
// 0 and the record of that name in the current section; QZ_CFG_NOT_FOUND when absent.
int GetConfigVariable(qz_config_variable* list, const char* name, qz_config_variable** var);
// 0 and the value; QZ_CFG_TYPE_MISMATCH when the variable has another type.
int GetConfigVariableLong(qz_config_variable* list, const char* name, int32_t* value);
int GetConfigVariableFloat(qz_config_variable* list, const char* name, float* value);
int GetConfigVariableBool(qz_config_variable* list, const char* name, unsigned char* value);
// The text is borrowed from the list.
int GetConfigVariableString(qz_config_variable* list, const char* name, const char** value);
// The bytes are borrowed from the list.
int GetConfigVariableBinary(qz_config_variable* list, const char* name, const unsigned char** bytes,
                            uint32_t* length);
// Frees every record and resets currSection to "default". 0, or 2 for NULL.
int QZFreeConfig(qz_config_variable* list);

// Token readers. Each advances *cursor past what it consumes. Unless said otherwise the result
// is 1 when a token was read and 0 when none was; readers with a buffer also answer 0, leaving
// the cursor and an empty buffer, when the token does not fit into `size` bytes with its NUL.

// Spaces and tabs: 0 when stopped at another character, -1 at the end of the text, 1 after
// consuming a line end (LF, CR, CR LF or LF CR).
int Skip(const char** cursor);
// Everything up to and including the next line end; 1 when the cursor is then at the end of
// the text, else 0.
int SkipEnd(const char** cursor);
// A run of characters above the space character.
int GetString(const char** cursor, char* buf, size_t size);
// Letters, digits, punctuation, spaces and tabs up to (not including) stop; 0 when the cursor
// is at the end of the text or a line end. The caller checks whether the stop was reached.
int GetStringUpToChar(const char** cursor, char* buf, size_t size, char stop);
// A run of letters, '/' and '\'.
int GetPath(const char** cursor, char* buf, size_t size);
// A run of letters and '_'.
int GetAlphaString(const char** cursor, char* buf, size_t size);
// A run of letters, digits and '_'.
int GetAlphaNumString(const char** cursor, char* buf, size_t size);
// A non-empty name in square brackets (letters, digits, spaces and other printable characters;
// the cursor ends past ']'), or a name of a letter or '_' followed by letters, digits and '_'.
int GetIdentifier(const char** cursor, char* buf, size_t size);
// An optional '-' and decimal digits; 0 also when the number does not fit 32 bits.
int GetLong(const char** cursor, int32_t* value);
// A number as strtod reads it (no leading blanks); 0 also when it does not fit a float.
int GetFloat(const char** cursor, float* value);
// Exactly '0', 'x' or 'X' and two hexadecimal digits, into one byte.
int GetHex(const char** cursor, unsigned char* value);
QZ_API_END
}
