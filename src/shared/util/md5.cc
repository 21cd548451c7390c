#include "util/md5.h"

#include <cstring>

namespace {

// floor(|sin(i + 1)| * 2^32), the additive constants of the 64 steps.
constexpr md5_word_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left rotations per round, four per round repeating.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

md5_word_t rotate_left(md5_word_t x, int n) { return (x << n) | (x >> (32 - n)); }

void process_block(md5_word_t abcd[4], const md5_byte_t block[64]) {
    md5_word_t x[16];
    for (int i = 0; i < 16; ++i) {
        // The message words are little-endian whatever the host's byte order.
        x[i] = static_cast<md5_word_t>(block[4 * i]) |
               static_cast<md5_word_t>(block[4 * i + 1]) << 8 |
               static_cast<md5_word_t>(block[4 * i + 2]) << 16 |
               static_cast<md5_word_t>(block[4 * i + 3]) << 24;
    }
    md5_word_t a = abcd[0], b = abcd[1], c = abcd[2], d = abcd[3];
    for (int step = 0; step < 64; ++step) {
        const int round = step / 16;
        md5_word_t f;
        int k;
        switch (round) {
            case 0:
                f = (b & c) | (~b & d);
                k = step;
                break;
            case 1:
                f = (b & d) | (c & ~d);
                k = (5 * step + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                k = (3 * step + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                k = (7 * step) % 16;
                break;
        }
        const md5_word_t rotated =
            b + rotate_left(a + f + x[k] + kSine[step], kShift[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = rotated;
    }
    abcd[0] += a;
    abcd[1] += b;
    abcd[2] += c;
    abcd[3] += d;
}

}  // namespace

extern "C" {

void md5_init(md5_state_t* pms) {
    if (pms == nullptr) return;
    pms->count[0] = pms->count[1] = 0;
    pms->abcd[0] = 0x67452301;
    pms->abcd[1] = 0xefcdab89;
    pms->abcd[2] = 0x98badcfe;
    pms->abcd[3] = 0x10325476;
    memset(pms->buf, 0, sizeof(pms->buf));
}

void md5_append(md5_state_t* pms, const md5_byte_t* data, size_t nbytes) {
    if (pms == nullptr || data == nullptr || nbytes == 0) return;
    size_t pending = (pms->count[0] >> 3) & 63;

    const uint64_t bits = (static_cast<uint64_t>(pms->count[1]) << 32 | pms->count[0]) +
                          (static_cast<uint64_t>(nbytes) << 3);
    pms->count[0] = static_cast<md5_word_t>(bits);
    pms->count[1] = static_cast<md5_word_t>(bits >> 32);

    if (pending > 0) {
        const size_t take = nbytes < 64 - pending ? nbytes : 64 - pending;
        memcpy(pms->buf + pending, data, take);
        data += take;
        nbytes -= take;
        pending += take;
        if (pending < 64) return;
        process_block(pms->abcd, pms->buf);
    }
    for (; nbytes >= 64; data += 64, nbytes -= 64) process_block(pms->abcd, data);
    if (nbytes > 0) memcpy(pms->buf, data, nbytes);
}

void md5_finish(md5_state_t* pms, md5_byte_t digest[16]) {
    static const md5_byte_t kPadding[64] = {0x80};
    if (pms == nullptr || digest == nullptr) return;
    md5_byte_t length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = static_cast<md5_byte_t>(pms->count[i >> 2] >> ((i & 3) * 8));
    }
    // Pad to 56 bytes mod 64, then the original bit length completes the last block.
    const size_t pending = (pms->count[0] >> 3) & 63;
    md5_append(pms, kPadding, pending < 56 ? 56 - pending : 120 - pending);
    md5_append(pms, length, 8);
    for (int i = 0; i < 16; ++i) {
        digest[i] = static_cast<md5_byte_t>(pms->abcd[i >> 2] >> ((i & 3) * 8));
    }
}

}  // extern "C"
