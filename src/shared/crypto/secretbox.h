// Authenticated encryption of event payloads (XSalsa20-Poly1305 secretbox, combined mode) with a
// key derived from the host's password, plus the running nonce that goes with it. The nonce is
// not part of the encrypted buffer: senders transmit nonce_hex beside it.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>

extern "C" {
QZ_API_BEGIN

typedef struct qz_secretbox_key {
    unsigned char key[32];
    unsigned char nonce[24];  // starts random, incremented (little-endian) before each encryption
    char nonce_hex[49];       // lower-case hex of nonce, refreshed with it
} qz_secretbox_key;

// Argon2id key of the password (without its NUL) and the built-in salt. Returns 32 bytes the
// caller releases with free(), or NULL.
unsigned char* qz_secretbox_derive_key(const char* password);
// A key record with a random nonce; release it with qz_secretbox_free_key. NULL on failure.
qz_secretbox_key* qz_secretbox_generate_key(const char* password);
// Wipes and frees the record; NULL is allowed.
void qz_secretbox_free_key(qz_secretbox_key* record);

// Advances the record's nonce and encrypts `length` (> 0) bytes into a new buffer of
// length + 16 bytes (*out, released with free()). 0, or -1 with *out NULL. Callers sharing one
// record between threads serialise these calls.
int qz_secretbox_encrypt_buffer(const unsigned char* plaintext, size_t length,
                                qz_secretbox_key* record, unsigned char** out, size_t* out_length);
// Verifies and decrypts a buffer made with the record's key and the 24-byte `nonce` into a new
// buffer of length - 16 bytes (*out, released with free()). 0, or -1 with *out NULL.
int qz_secretbox_decrypt_buffer(const unsigned char* ciphertext, size_t length,
                                const qz_secretbox_key* record, const unsigned char* nonce,
                                unsigned char** out, size_t* out_length);
QZ_API_END
}
