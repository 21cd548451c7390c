#include "crypto/secretbox.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

// Key derivation costs 64 MiB of Argon2id work, so the suite derives its key once.
class Secretbox : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        record_ = qz_secretbox_generate_key("event-password");
        ASSERT_NE(nullptr, record_);
    }
    static void TearDownTestSuite() {
        qz_secretbox_free_key(record_);
        record_ = nullptr;
    }

    // A private copy, so tests can change nonce or key without touching the shared record.
    static qz_secretbox_key copy_of_record() { return *record_; }

    static Bytes encrypt(qz_secretbox_key* record, const Bytes& plain) {
        unsigned char* out = nullptr;
        size_t out_length = 0;
        EXPECT_EQ(
            0, qz_secretbox_encrypt_buffer(plain.data(), plain.size(), record, &out, &out_length));
        std::unique_ptr<unsigned char, FreeDeleter> owned(out);
        return out ? Bytes(out, out + out_length) : Bytes();
    }

    // 0 with the plaintext in *plain, or -1.
    static int decrypt(const qz_secretbox_key* record, const unsigned char* nonce,
                       const Bytes& cipher, Bytes* plain) {
        unsigned char* out = reinterpret_cast<unsigned char*>(0x1);
        size_t out_length = 99;
        int rc = qz_secretbox_decrypt_buffer(cipher.data(), cipher.size(), record, nonce, &out,
                                             &out_length);
        std::unique_ptr<unsigned char, FreeDeleter> owned(out);
        if (rc != 0) {
            EXPECT_EQ(nullptr, out) << "no partial output after a failure";
            return rc;
        }
        *plain = Bytes(out, out + out_length);
        return 0;
    }

    static qz_secretbox_key* record_;
};

qz_secretbox_key* Secretbox::record_ = nullptr;

Bytes nonce_from_hex(const char* hex) {
    Bytes nonce(crypto_secretbox_NONCEBYTES);
    size_t length = 0;
    EXPECT_EQ(0, sodium_hex2bin(nonce.data(), nonce.size(), hex, std::strlen(hex), nullptr, &length,
                                nullptr));
    EXPECT_EQ(nonce.size(), length);
    return nonce;
}

Bytes plus_one_little_endian(Bytes value) {
    for (unsigned char& byte : value) {
        if (++byte != 0) break;
    }
    return value;
}

TEST_F(Secretbox, SamePasswordDerivesTheRecordKey) {
    qztest::TraceCapture trace(6);
    std::unique_ptr<unsigned char, FreeDeleter> key(qz_secretbox_derive_key("event-password"));
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(0, std::memcmp(key.get(), record_->key, sizeof record_->key))
        << "the receiving service derives the same key on its own";
    EXPECT_TRUE(trace.contains("Derived key from password and salt"));
}

TEST_F(Secretbox, RoundTripWithPublishedNonceHex) {
    qztest::TraceCapture trace(6);
    qz_secretbox_key record = copy_of_record();
    const Bytes plain = bytes_of(R"({"event":"scan","verdict":"clean"})");
    const Bytes cipher = encrypt(&record, plain);
    ASSERT_EQ(plain.size() + 16, cipher.size());
    EXPECT_TRUE(trace.contains("Encrypting buffer"));
    EXPECT_TRUE(trace.contains("Encrypted buffer: 0x"));

    ASSERT_EQ(48u, std::strlen(record.nonce_hex));
    for (const char* c = record.nonce_hex; *c; ++c) {
        EXPECT_NE(nullptr, std::strchr("0123456789abcdef", *c)) << record.nonce_hex;
    }
    const Bytes nonce = nonce_from_hex(record.nonce_hex);
    EXPECT_EQ(0, std::memcmp(nonce.data(), record.nonce, nonce.size()));
    Bytes decrypted;
    ASSERT_EQ(0, decrypt(&record, nonce.data(), cipher, &decrypted));
    EXPECT_EQ(plain, decrypted);
}

TEST_F(Secretbox, EachEncryptionAdvancesNonceByOneLittleEndian) {
    qz_secretbox_key record = copy_of_record();
    const Bytes plain = bytes_of("same plaintext");
    const Bytes first = encrypt(&record, plain);
    const Bytes first_nonce(record.nonce, record.nonce + sizeof record.nonce);
    const Bytes second = encrypt(&record, plain);
    const Bytes second_nonce(record.nonce, record.nonce + sizeof record.nonce);
    EXPECT_NE(first, second);
    EXPECT_EQ(plus_one_little_endian(first_nonce), second_nonce);

    // The carry runs from the first byte upwards.
    std::memset(record.nonce, 0, sizeof record.nonce);
    record.nonce[0] = 0xFF;
    record.nonce[1] = 0xFF;
    encrypt(&record, plain);
    EXPECT_EQ(0, record.nonce[0]);
    EXPECT_EQ(0, record.nonce[1]);
    EXPECT_EQ(1, record.nonce[2]);
    EXPECT_STREQ("000001000000000000000000000000000000000000000000", record.nonce_hex);
}

TEST_F(Secretbox, AnyAlteredByteWrongKeyOrWrongNonceFails) {
    qztest::TraceCapture trace(2);
    qz_secretbox_key record = copy_of_record();
    const Bytes cipher = encrypt(&record, bytes_of("payload to protect"));
    const Bytes nonce(record.nonce, record.nonce + sizeof record.nonce);
    Bytes plain;

    for (size_t position : {size_t{0}, size_t{15}, size_t{16}, cipher.size() - 1}) {
        Bytes altered = cipher;
        altered[position] ^= 0x01;
        EXPECT_EQ(-1, decrypt(&record, nonce.data(), altered, &plain)) << "byte " << position;
    }
    EXPECT_TRUE(trace.contains("Failed to decrypt buffer"));

    qz_secretbox_key wrong_key = record;
    wrong_key.key[7] ^= 0x80;
    EXPECT_EQ(-1, decrypt(&wrong_key, nonce.data(), cipher, &plain));

    const Bytes wrong_nonce = plus_one_little_endian(nonce);
    EXPECT_EQ(-1, decrypt(&record, wrong_nonce.data(), cipher, &plain));

    Bytes truncated(cipher.begin(), cipher.end() - 1);
    EXPECT_EQ(-1, decrypt(&record, nonce.data(), truncated, &plain));
    EXPECT_EQ(0, decrypt(&record, nonce.data(), cipher, &plain)) << "the original still opens";
}

TEST_F(Secretbox, EncryptRefusesInvalidInput) {
    qztest::TraceCapture trace(2);
    qz_secretbox_key record = copy_of_record();
    const unsigned char data[4] = {1, 2, 3, 4};
    unsigned char* out = reinterpret_cast<unsigned char*>(0x1);
    size_t out_length = 0;
    struct Case {
        const unsigned char* plain;
        size_t length;
        qz_secretbox_key* record;
        unsigned char** out;
        size_t* out_length;
    };
    const Case kCases[] = {
        {data, 0, &record, &out, &out_length}, {nullptr, 4, &record, &out, &out_length},
        {data, 4, nullptr, &out, &out_length}, {data, 4, &record, nullptr, &out_length},
        {data, 4, &record, &out, nullptr},
    };
    for (const Case& c : kCases) {
        trace.clear();
        EXPECT_EQ(-1,
                  qz_secretbox_encrypt_buffer(c.plain, c.length, c.record, c.out, c.out_length));
        EXPECT_TRUE(trace.contains("Invalid input"));
    }
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, std::memcmp(record.nonce, record_->nonce, sizeof record.nonce))
        << "a refused call does not use up a nonce";
}

TEST_F(Secretbox, DecryptRefusesShortOrMissingInputWithoutUnderflow) {
    qztest::TraceCapture trace(2);
    const Bytes nonce(crypto_secretbox_NONCEBYTES, 0);
    const unsigned char garbage[16] = {0xAB, 0xAB, 0xAB, 0xAB};
    for (size_t length : {0, 1, 15, 16}) {
        trace.clear();
        unsigned char* out = reinterpret_cast<unsigned char*>(0x1);
        size_t out_length = 99;
        EXPECT_EQ(-1, qz_secretbox_decrypt_buffer(garbage, length, record_, nonce.data(), &out,
                                                  &out_length))
            << length;
        EXPECT_EQ(nullptr, out);
        EXPECT_TRUE(trace.contains("Failed to decrypt buffer")) << length;
    }

    const unsigned char cipher[32] = {};
    unsigned char* out = nullptr;
    size_t out_length = 0;
    EXPECT_EQ(-1,
              qz_secretbox_decrypt_buffer(nullptr, 32, record_, nonce.data(), &out, &out_length));
    EXPECT_EQ(-1,
              qz_secretbox_decrypt_buffer(cipher, 32, nullptr, nonce.data(), &out, &out_length));
    EXPECT_EQ(-1, qz_secretbox_decrypt_buffer(cipher, 32, record_, nullptr, &out, &out_length));
    EXPECT_EQ(-1,
              qz_secretbox_decrypt_buffer(cipher, 32, record_, nonce.data(), nullptr, &out_length));
    EXPECT_TRUE(trace.contains("Invalid input"));
    EXPECT_EQ(nullptr, out);
}

TEST(SecretboxKey, MissingPasswordIsRefusedAndNullFreeIsHarmless) {
    qztest::TraceCapture trace(2);
    EXPECT_EQ(nullptr, qz_secretbox_derive_key(nullptr));
    EXPECT_EQ(nullptr, qz_secretbox_generate_key(nullptr));
    EXPECT_TRUE(trace.contains("Invalid input"));
    EXPECT_TRUE(trace.contains("Failed to generate secretbox key struct, cleaning up"));
    qz_secretbox_free_key(nullptr);
}

}  // namespace
