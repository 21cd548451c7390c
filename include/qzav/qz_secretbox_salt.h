// The fixed salt of the event-payload key derivation (Argon2id over the host's password).
// The event-sink service derives its key from the same password with this same salt, so the two
// must stay identical: changing it breaks decryption of every event still waiting in a queue.
#pragma once

#define QZ_SECRETBOX_SALT_BYTES 16
// clang-format off
#define QZ_SECRETBOX_SALT \
    {0xfa, 0x77, 0xb8, 0x5b, 0xdd, 0x19, 0x0d, 0x84, 0x88, 0x9c, 0x46, 0x68, 0xf5, 0xaa, 0xa6, 0x6e}
// clang-format on
