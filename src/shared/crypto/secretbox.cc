#include "crypto/secretbox.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "qzav/qz_secretbox_salt.h"

static_assert(sizeof(qz_secretbox_key::key) == crypto_secretbox_KEYBYTES);
static_assert(sizeof(qz_secretbox_key::nonce) == crypto_secretbox_NONCEBYTES);
static_assert(sizeof(qz_secretbox_key::nonce_hex) == 2 * crypto_secretbox_NONCEBYTES + 1);
static_assert(QZ_SECRETBOX_SALT_BYTES == crypto_pwhash_SALTBYTES);

namespace {

constexpr unsigned char kSalt[QZ_SECRETBOX_SALT_BYTES] = QZ_SECRETBOX_SALT;
constexpr unsigned long long kOpsLimit = 2;
constexpr size_t kMemLimit = 67108864;

bool sodium_ready() {
    // Magic statics make the one call thread-safe.
    static const int rc = sodium_init();
    if (rc < 0) LOG_ERROR("Failed to initialise libsodium");
    return rc >= 0;
}

bool derive_into(unsigned char* key, const char* password) {
    return crypto_pwhash(key, crypto_secretbox_KEYBYTES, password, std::strlen(password), kSalt,
                         kOpsLimit, kMemLimit, crypto_pwhash_ALG_ARGON2ID13) == 0;
}

void refresh_nonce_hex(qz_secretbox_key* record) {
    sodium_bin2hex(record->nonce_hex, sizeof record->nonce_hex, record->nonce,
                   sizeof record->nonce);
}

void clear_output(unsigned char** out, size_t* out_length) {
    if (out != nullptr) *out = nullptr;
    if (out_length != nullptr) *out_length = 0;
}

}  // namespace

extern "C" {

unsigned char* qz_secretbox_derive_key(const char* password) {
    if (password == nullptr) {
        LOG_ERROR("Invalid input");
        return nullptr;
    }
    if (!sodium_ready()) return nullptr;
    unsigned char* key = static_cast<unsigned char*>(std::malloc(crypto_secretbox_KEYBYTES));
    if (key == nullptr) {
        LOG_ERROR("Failed to allocate memory for key");
        return nullptr;
    }
    if (!derive_into(key, password)) {
        LOG_ERROR("Failed to derive key from password and salt");
        sodium_memzero(key, crypto_secretbox_KEYBYTES);
        std::free(key);
        return nullptr;
    }
    LOG_TRACE("Derived key from password and salt");
    return key;
}

qz_secretbox_key* qz_secretbox_generate_key(const char* password) {
    if (!sodium_ready()) {
        LOG_ERROR("Failed to generate secretbox key struct, cleaning up");
        return nullptr;
    }
    qz_secretbox_key* record = static_cast<qz_secretbox_key*>(std::calloc(1, sizeof *record));
    if (record == nullptr) {
        LOG_ERROR("Failed to allocate memory for secretbox key");
        LOG_ERROR("Failed to generate secretbox key struct, cleaning up");
        return nullptr;
    }
    randombytes_buf(record->nonce, sizeof record->nonce);
    refresh_nonce_hex(record);
    unsigned char* key = qz_secretbox_derive_key(password);
    if (key == nullptr) {
        LOG_ERROR("Failed to generate secretbox key struct, cleaning up");
        qz_secretbox_free_key(record);
        return nullptr;
    }
    std::memcpy(record->key, key, sizeof record->key);
    sodium_memzero(key, crypto_secretbox_KEYBYTES);
    std::free(key);
    return record;
}

void qz_secretbox_free_key(qz_secretbox_key* record) {
    if (record == nullptr) return;
    sodium_memzero(record, sizeof *record);
    std::free(record);
}

int qz_secretbox_encrypt_buffer(const unsigned char* plaintext, size_t length,
                                qz_secretbox_key* record, unsigned char** out, size_t* out_length) {
    clear_output(out, out_length);
    if (plaintext == nullptr || length == 0 || record == nullptr || out == nullptr ||
        out_length == nullptr || length > crypto_secretbox_MESSAGEBYTES_MAX) {
        LOG_ERROR("Invalid input");
        return -1;
    }
    if (!sodium_ready()) return -1;
    // Advanced before use, so no nonce is used twice with this key in this process.
    sodium_increment(record->nonce, sizeof record->nonce);
    refresh_nonce_hex(record);
    const size_t total = length + crypto_secretbox_MACBYTES;
    unsigned char* encrypted = static_cast<unsigned char*>(std::malloc(total));
    if (encrypted == nullptr) {
        LOG_ERROR("Failed to allocate memory for encrypted buffer");
        return -1;
    }
    LOG_TRACE("Encrypting buffer");
    if (crypto_secretbox_easy(encrypted, plaintext, length, record->nonce, record->key) != 0) {
        LOG_ERROR("Failed to encrypt buffer");
        std::free(encrypted);
        return -1;
    }
    LOG_TRACE("Encrypted buffer: %p", static_cast<void*>(encrypted));
    *out = encrypted;
    *out_length = total;
    return 0;
}

int qz_secretbox_decrypt_buffer(const unsigned char* ciphertext, size_t length,
                                const qz_secretbox_key* record, const unsigned char* nonce,
                                unsigned char** out, size_t* out_length) {
    clear_output(out, out_length);
    if (ciphertext == nullptr || record == nullptr || nonce == nullptr || out == nullptr ||
        out_length == nullptr) {
        LOG_ERROR("Invalid input");
        return -1;
    }
    // Shorter than the authenticator: nothing to verify, and length - 16 would wrap around.
    if (length < crypto_secretbox_MACBYTES) {
        LOG_ERROR("Failed to decrypt buffer");
        return -1;
    }
    if (!sodium_ready()) return -1;
    const size_t plain_length = length - crypto_secretbox_MACBYTES;
    // One spare byte so an empty plaintext still gets a real allocation.
    unsigned char* decrypted = static_cast<unsigned char*>(std::malloc(plain_length + 1));
    if (decrypted == nullptr) {
        LOG_ERROR("Failed to allocate memory for decrypted buffer");
        return -1;
    }
    if (crypto_secretbox_open_easy(decrypted, ciphertext, length, nonce, record->key) != 0) {
        LOG_ERROR("Failed to decrypt buffer");
        std::free(decrypted);
        return -1;
    }
    *out = decrypted;
    *out_length = plain_length;
    return 0;
}
}
