// UUIDs from libuuid: random ones and time-based (sequential) ones, in lower-case text form.
#pragma once

extern "C" {

typedef unsigned char qz_uuid_t[16];

// 0 on success.
int qz_uuid_generate_random(qz_uuid_t out);
// Always 0.
int qz_uuid_generate_time_safe(qz_uuid_t out);
// Writes the 36-character canonical form and a NUL into out (at least 37 bytes). 0.
int qz_uuid_unparse_lower(const qz_uuid_t uuid, char* out);
}
