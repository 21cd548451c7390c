// The requests qz-av-control answers on its subject: CONSOLIDATED_INIT (Command 6) with the
// tenant, realm name and SCAN settings of the requester's realm and the driver information of
// every requested service that has a live worker in "qz-av-worker-registry"; a ping (Command 3).
// Anything else is answered with a non-zero "ReturnCode" and an "Error" text.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "connection/messages.h"
#include "control_config.h"
#include "worker_registry.h"

namespace qz::control {

constexpr int kCommandPing = 3;
constexpr int kCommandConsolidatedInit = 6;
// "ReturnCode" of every refused request: the service result code of a failed service.
constexpr int kRequestFailed = -1000;

// Fills *out with the live registry entries; false when the registry cannot be read.
using RegistryReader = std::function<bool(std::vector<service::RegistryEntry>*)>;

// Answers the request in pair->request->json by writing pair->reply->json. Safe to call from
// many threads at once (config is only read).
void answer_request(const ControlConfig& config, const RegistryReader& read_registry,
                    qz_request_reply* pair);

}  // namespace qz::control
