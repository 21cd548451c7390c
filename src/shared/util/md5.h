// MD5 message digest (RFC 1321) with the classic incremental interface: init, append any number
// of chunks, finish into 16 bytes. Used for fingerprints, not for security.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>
#include <cstdint>

extern "C" {
QZ_API_BEGIN

typedef unsigned char md5_byte_t;
typedef uint32_t md5_word_t;

typedef struct md5_state_s {
    md5_word_t count[2];  // message length in bits, low word first
    md5_word_t abcd[4];   // chaining words
    md5_byte_t buf[64];   // pending partial block
} md5_state_t;

void md5_init(md5_state_t* pms);
void md5_append(md5_state_t* pms, const md5_byte_t* data, size_t nbytes);
// Writes the 16-byte digest; the state must be initialised again before reuse.
void md5_finish(md5_state_t* pms, md5_byte_t digest[16]);
QZ_API_END
}
