// The records in which a request and its reply travel between a requester and a service handler:
// one message (JSON text, optional binary payload, optional key of an already staged payload) and
// the request/reply pair. Plain variants own the message contents; "const" variants borrow them.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>

extern "C" {
QZ_API_BEGIN

// json and data are malloc'ed and owned by the plain record operations; the const variants leave
// them to the caller. staged_key is always borrowed: the record operations never free it.
typedef struct qz_message {
    char* json;              // request JSON, or the reply JSON written by a handler
    unsigned char* data;     // binary payload sent with the request, or NULL
    size_t data_len;         // payload length in bytes
    const char* staged_key;  // key of a payload already in "qz-av-scan-data"; not staged again
} qz_message;

typedef struct qz_request_reply {
    qz_message* request;
    qz_message* reply;
} qz_request_reply;

// A zeroed record (calloc), or NULL when it cannot be allocated. Release with qz_message_free_p.
qz_message* qz_message_new(void);
qz_message* qz_const_message_new(void);
// Zero an existing record without freeing anything.
void qz_message_init(qz_message* message);
void qz_const_message_init(qz_message* message);
// Frees json and data and clears them; the record and staged_key stay. NULL is ignored.
void qz_message_free(qz_message* message);
// Frees json, data and the record.
void qz_message_free_p(qz_message* message);

// A pair with two zeroed messages, or NULL when any allocation fails (nothing is leaked).
qz_request_reply* qz_request_reply_new(void);
qz_request_reply* qz_const_request_reply_new(void);
// Frees json and data of both messages and both message records (the fields are cleared); the
// pair record stays.
void qz_request_reply_free(qz_request_reply* pair);
// The same, and the pair record.
void qz_request_reply_free_p(qz_request_reply* pair);
// Frees the two message records and the pair only; the contents belong to the caller.
void qz_request_reply_free_structs(qz_request_reply* pair);
void qz_const_request_reply_free_structs(qz_request_reply* pair);
QZ_API_END
}
