#include "connection/messages.h"

#include <cstdlib>
#include <cstring>

namespace {

qz_request_reply* s_new_pair() {
    auto* pair = static_cast<qz_request_reply*>(calloc(1, sizeof(qz_request_reply)));
    if (pair == nullptr) return nullptr;
    pair->request = qz_message_new();
    pair->reply = qz_message_new();
    if (pair->request == nullptr || pair->reply == nullptr) {
        free(pair->request);
        free(pair->reply);
        free(pair);
        return nullptr;
    }
    return pair;
}

}  // namespace

extern "C" {

qz_message* qz_message_new(void) { return static_cast<qz_message*>(calloc(1, sizeof(qz_message))); }

qz_message* qz_const_message_new(void) { return qz_message_new(); }

void qz_message_init(qz_message* message) {
    if (message != nullptr) memset(message, 0, sizeof(*message));
}

void qz_const_message_init(qz_message* message) { qz_message_init(message); }

void qz_message_free(qz_message* message) {
    if (message == nullptr) return;
    free(message->json);
    message->json = nullptr;
    free(message->data);
    message->data = nullptr;
}

void qz_message_free_p(qz_message* message) {
    qz_message_free(message);
    free(message);
}

qz_request_reply* qz_request_reply_new(void) { return s_new_pair(); }

qz_request_reply* qz_const_request_reply_new(void) { return s_new_pair(); }

void qz_request_reply_free(qz_request_reply* pair) {
    if (pair == nullptr) return;
    qz_message_free_p(pair->request);
    qz_message_free_p(pair->reply);
    pair->request = nullptr;
    pair->reply = nullptr;
}

void qz_request_reply_free_p(qz_request_reply* pair) {
    qz_request_reply_free(pair);
    free(pair);
}

void qz_request_reply_free_structs(qz_request_reply* pair) {
    if (pair == nullptr) return;
    free(pair->request);
    free(pair->reply);
    free(pair);
}

void qz_const_request_reply_free_structs(qz_request_reply* pair) {
    qz_request_reply_free_structs(pair);
}
}
