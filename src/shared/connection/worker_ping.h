// Asks a service whether it is alive: a small command request that any reply answers.
#pragma once

#include "qzav/qz_export.h"

#include <cstdint>

#include "connection/connection_config.h"

extern "C" {
QZ_API_BEGIN

// 0 when the service replied within attempts tries of timeout ms each (sleeping delay ms after
// each try without a reply), -1 otherwise. The subject is service + ".ping" when add_ping_suffix
// is set, else service. "qz-av-broker" is not pinged (0 at once). -1 for attempts below 1, a
// NULL service, or a subject longer than 255 characters.
int qz_worker_ping(qz_connection_config* config, const char* service, int add_ping_suffix,
                   int attempts, uint32_t timeout, uint32_t delay);
QZ_API_END
}
