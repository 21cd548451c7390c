// A growable, always NUL-terminated text buffer. The builder owns its buffer; peek lends it,
// dump hands out an allocated copy that the caller frees with free().
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>

extern "C" {
QZ_API_BEGIN

typedef struct str_builder str_builder_t;

// An empty builder with a capacity of 32 bytes, or NULL when allocation fails. Release with
// str_builder_destroy.
str_builder_t* str_builder_create(void);
void str_builder_destroy(str_builder_t* sb);

// Appends len bytes of str (len 0 = strlen(str)); NULL or empty str is ignored. The capacity
// doubles until the text and its NUL fit. 0, or -1 when the buffer cannot grow (text unchanged).
int str_builder_add_str(str_builder_t* sb, const char* str, size_t len);
int str_builder_add_char(str_builder_t* sb, char c);
// Appends val formatted with "%d".
int str_builder_add_int(str_builder_t* sb, int val);

void str_builder_clear(str_builder_t* sb);
// Shortens the text to len characters; never lengthens it.
void str_builder_truncate(str_builder_t* sb, size_t len);
// Removes len characters from the front; all of them when len >= the length.
void str_builder_drop(str_builder_t* sb, size_t len);

size_t str_builder_len(const str_builder_t* sb);
// The current capacity in bytes.
size_t str_builder_capacity(const str_builder_t* sb);
// The text, borrowed: valid until the next change to the builder.
const char* str_builder_peek(const str_builder_t* sb);
// A malloc'ed copy of the text (caller frees); its length goes to *len when len is not NULL.
char* str_builder_dump(const str_builder_t* sb, size_t* len);
QZ_API_END
}
