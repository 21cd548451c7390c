// Base64 decoding of the standard alphabet (through libb64's incremental decoder) and a cheap
// check whether a buffer looks Base64-encoded.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>

extern "C" {
QZ_API_BEGIN

// Bytes an output buffer needs for decoding input_length characters: the decoded bytes
// (at most input_length * 3 / 4), the NUL that follows them and room for the decoder's
// look-ahead byte.
size_t qz_base64_decoded_capacity(size_t input_length);

// Decodes input_length characters of input; characters outside the alphabet (line breaks,
// blanks, '=') are skipped. With output NULL the result is a new malloc'ed buffer that the caller
// releases with free(); otherwise output must hold qz_base64_decoded_capacity(input_length)
// bytes and is returned. The decoded bytes are followed by a NUL (not counted). The decoded
// length goes to *out_length when out_length is not NULL. NULL for NULL input or a failed
// allocation.
char* new_base64_decode(const char* input, char* output, size_t input_length, size_t* out_length);

// 1 when every byte up to the first '=' (or the end) is a Base64 letter, digit, '+', '/', tab,
// CR or LF, 0 at the first other byte (and for NULL).
int is_base64(const char* buffer, size_t length);
QZ_API_END
}
