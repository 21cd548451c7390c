#include "platform/uuid.h"

#include <uuid/uuid.h>

extern "C" {

int qz_uuid_generate_random(qz_uuid_t out) {
    uuid_generate_random(out);
    return 0;
}

int qz_uuid_generate_time_safe(qz_uuid_t out) {
    // A result of -1 only says the uuidd daemon did not vouch for uniqueness across processes;
    // the value is still a valid time-based UUID.
    (void)uuid_generate_time_safe(out);
    return 0;
}

int qz_uuid_unparse_lower(const qz_uuid_t uuid, char* out) {
    uuid_unparse_lower(uuid, out);
    return 0;
}
}
