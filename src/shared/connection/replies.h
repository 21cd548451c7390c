// Writers of a service reply's JSON, the shape every service answers with: an integer
// "ReturnCode", and on failure "Error" and "WorkerHostname". Each writes a newly allocated text
// into reply->json and does not free a text already there.
#pragma once

#include "qzav/qz_export.h"

#include "connection/messages.h"

extern "C" {
QZ_API_BEGIN

// {"ReturnCode": 0}. 0, or -1 (with an ERROR line) when reply is NULL or the text cannot be
// allocated.
int qz_reply_set_OK(qz_message* reply);
// {"ReturnCode": code}.
int qz_reply_set_return_code(qz_message* reply, int code);
// {"ReturnCode": code, "Error": "text", "WorkerHostname": "host"} with this host's name (empty
// when it cannot be read). Quotes, backslashes and control characters in text are escaped, so
// the reply stays valid JSON whatever the text; a NULL text counts as empty.
int qz_reply_set_ERROR(qz_message* reply, int code, const char* text);
QZ_API_END
}
