// Owners for cnats and json-c handles: std::unique_ptr aliases whose deleters call the library's
// destroy functions, so every handle taken in C++ code is released on every path.
#pragma once

#include <json-c/json.h>
#include <nats/nats.h>

#include <memory>

namespace qz::nats {

template <typename T, void (*Destroy)(T*)>
struct HandleDeleter {
    void operator()(T* handle) const {
        if (handle != nullptr) Destroy(handle);
    }
};

inline void destroy_inbox(natsInbox* inbox) { natsInbox_Destroy(inbox); }
inline void put_json(json_object* object) { json_object_put(object); }

using OptionsPtr = std::unique_ptr<natsOptions, HandleDeleter<natsOptions, natsOptions_Destroy>>;
using ConnectionPtr =
    std::unique_ptr<natsConnection, HandleDeleter<natsConnection, natsConnection_Destroy>>;
using MsgPtr = std::unique_ptr<natsMsg, HandleDeleter<natsMsg, natsMsg_Destroy>>;
using SubscriptionPtr =
    std::unique_ptr<natsSubscription, HandleDeleter<natsSubscription, natsSubscription_Destroy>>;
using InboxPtr = std::unique_ptr<natsInbox, HandleDeleter<natsInbox, destroy_inbox>>;
using JsCtxPtr = std::unique_ptr<jsCtx, HandleDeleter<jsCtx, jsCtx_Destroy>>;
using PubAckPtr = std::unique_ptr<jsPubAck, HandleDeleter<jsPubAck, jsPubAck_Destroy>>;
using KvStorePtr = std::unique_ptr<kvStore, HandleDeleter<kvStore, kvStore_Destroy>>;
using KvEntryPtr = std::unique_ptr<kvEntry, HandleDeleter<kvEntry, kvEntry_Destroy>>;
using JsonPtr = std::unique_ptr<json_object, HandleDeleter<json_object, put_json>>;

}  // namespace qz::nats
