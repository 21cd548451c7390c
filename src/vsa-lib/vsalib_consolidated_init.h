// The CONSOLIDATED_INIT exchange with the control service "qz-av-control": one request per init
// handle naming its identity and needed services; the reply brings the tenant and realm names,
// the SCAN settings (stored with source "Retrieved") and the driver information that the host
// reads from the VSA_INIT record.
#pragma once

#include <json-c/json.h>

#include "vsa_engine.h"

extern "C" {

// True when the part of name before its first "+" (all of it without one) is "qz-av-control".
bool s_is_control_service(const char* name);

// The request as compact JSON text (malloc'ed), or NULL when it cannot be built.
char* vsalib_build_consolidated_init_request(const VSA_ENGINE* engine, const char* servers);

// Takes a reply into the record and the VSA_INIT handle (driver entries and their count). The
// reply stays the caller's. 0, or -1 with the reason in message (VSALIB_MESSAGE_SIZE bytes).
// SCAN settings stored before a failure stay in the store.
int vsalib_apply_consolidated_init_reply(VSA_ENGINE* engine, PPVSA_INIT pp_init, json_object* reply,
                                         char* message);

// The whole exchange over the connection of engine->global: sends the request with up to two
// retries, all of them within max(remaining, 1) seconds, and applies the reply. 0, or -1 with
// the reason in message.
int vsalib_get_consolidated_init(VSA_ENGINE* engine, PPVSA_INIT pp_init, const char* servers,
                                 long remaining, char* message);
}
