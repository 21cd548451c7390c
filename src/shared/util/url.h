// URL helpers: percent-encoding and decoding, splitting a broker URL into its parts and an
// authority (user:password@host:port) into its parts. The part records own their strings and
// are released with their free functions.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>

extern "C" {
QZ_API_BEGIN

// Parts of scheme://host[:port][/path]. Every field is a malloc'ed string (never NULL once
// filled); release with qzhlp_free_url_parts.
typedef struct {
    char* scheme;
    char* host;
    char* port;
    char* path;
} qzhlp_url_parts;

// Parts of [user[:password]@]host:port. Owned malloc'ed strings; user and password are NULL when
// absent. Release with qzhlp_free_url_auth_parts.
typedef struct {
    char* user;
    char* password;
    char* host;
    char* port;
} qzhlp_url_auth_parts;

// Copies source into destination: letters, digits and "-./_" stay, a blank becomes '+', every
// other byte becomes '%' and two lower-case hex digits. destination must hold
// 3 * strlen(source) + 1 bytes; it is NUL-terminated. The encoded length, or -1 for NULL.
int qz_UrlEncode(const char* source, char* destination);

// Clears destination (size bytes) and decodes source into it: "%" and two hex digits become that
// byte, "%" followed by anything else is dropped together with the next character, everything
// else ('+' included) is copied. Never writes beyond size and always terminates. The decoded
// length, or -1 for bad arguments or when the result had to be cut to fit.
int qz_UrlDecode(char* destination, size_t size, const char* source);

// Splits url into parts (any previous contents are overwritten, not freed). Without a port the
// port is "5672" and the path "/" unless the URL has one. Returns parts, or NULL for NULL
// arguments or a failed allocation (parts then hold NULLs).
qzhlp_url_parts* qzhlp_split_url(qzhlp_url_parts* parts, const char* url);
// Frees the strings of parts and sets them to NULL; the record itself stays the caller's.
void qzhlp_free_url_parts(qzhlp_url_parts* parts);

// Splits an authority "user:password@host:port" or "host:port" (an optional leading "scheme://"
// and anything from a '/' after the port are ignored). Returns parts, or NULL with all fields
// NULL when the host or the port is missing. Previous contents are overwritten, not freed.
qzhlp_url_auth_parts* qzhlp_parse_url_auth(qzhlp_url_auth_parts* parts, const char* text);
void qzhlp_free_url_auth_parts(qzhlp_url_auth_parts* parts);
QZ_API_END
}
