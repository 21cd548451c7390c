// String helpers: trimming, tests, normalisation, line-break and quote handling, binary pattern
// search, random strings and wildcard matching. strcasecmp, strncasecmp, strcasestr and asprintf
// are taken from the C library (<strings.h>, <string.h>, <stdio.h> with _GNU_SOURCE).
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>

extern "C" {
QZ_API_BEGIN

// Removes leading and trailing whitespace in place and returns str (NULL for NULL). A string of
// whitespace only becomes empty.
char* qzhlp_TrimWhitespace(char* str);

// 1 when str ends with suffix, 0 otherwise (also for NULL arguments).
int qzhlp_StringEndsWith(const char* str, const char* suffix);

// 1 when str holds no alphabetic character (the empty string counts as a number), 0 otherwise,
// -1 for NULL.
int qzhlp_StringIsNumber(const char* str);

// A lower-case, trimmed copy of str cut to 1023 characters, in a buffer owned by the calling
// thread that the thread's next call overwrites. NULL for NULL.
char* qzhlp_normalize_string(const char* str);

// Cuts str at its first LF. Returns str.
char* qzhlp_remove_linebreak(char* str);

// Replaces every LF in str with replacement. Returns str.
char* qzhlp_replace_all_linebreaks(char* str, char replacement);

// Replaces *str (a malloc'ed string) with a new malloc'ed copy in which every double quote is
// preceded by a backslash, and frees the old one. 0, or -1 (with *str untouched) for NULL
// arguments or a failed allocation.
int qzhlp_escape_quotes_inplace(char** str);

// Looks for the first double-quoted text within the first `limit` bytes of text (or up to its
// NUL) and copies what lies between the quotes, unchanged, into out (out_size bytes, always
// NUL-terminated). A quote preceded by a backslash does not end the text. Returns the copied
// length + 1, or 0 when there is no complete quoted text or it does not fit out. When stop is not
// NULL it receives where scanning stopped: just past the closing quote, or the end of the
// scanned area.
size_t qzhlp_GetQuotedText(const char* text, size_t limit, char* out, size_t out_size,
                           const char** stop);

// Finds pattern in buffer when the pattern's bytes lie stride + 1 apart in the buffer (stride 0 =
// contiguous, 1 = every second byte as in UTF-16 text). Returns the position just past the last
// matched byte, or NULL when there is no match (or for NULL/empty arguments).
const unsigned char* qzhlp_FindBinaryPattern(const unsigned char* buffer, size_t buffer_length,
                                             const unsigned char* pattern, size_t pattern_length,
                                             unsigned int stride);

// Fills buffer (at least n + 1 bytes) with n characters drawn uniformly from 0-9, a-z, A-Z and a
// NUL. Each call is seeded on its own, so calls in quick succession differ. Returns buffer.
char* qzhlp_rand_str(char* buffer, size_t n);

// Wildcard match of tame against wild: '*' any sequence, '?' any one character, letters ignoring
// ASCII case when case_sensitive is 0. Both texts end at NUL or at the terminator character.
// 1 for a match, 0 otherwise (and for NULL texts).
int qzhlp_WildcardTextMatch(const char* tame, const char* wild, int case_sensitive,
                            char terminator);
QZ_API_END
}
