// The connection settings record: where the broker or gateway is, how to authenticate, and the
// live broker handles (connection, JetStream context, cached key-value bucket handles). One per
// implementation instance; its owner allocates and frees it, the connection layer only fills the
// handle fields and releases the handles it bound.
#pragma once

#include <nats/nats.h>

#include <cstddef>

// Number of bucket handles cached besides the two fixed buckets.
#define QZ_NATS_KV_EXTRA_BUCKETS 7

extern "C" {

// Every text field is a malloc'ed string owned by the record's owner (NULL when unset). A
// server_url beginning with "http://" or "https://" selects the HTTP gateway; anything else,
// and no URL at all, selects the broker.
typedef struct qz_connection_config {
    char* server_url;
    char* user;
    char* password;
    void* reserved1;
    char* cert_path;    // CA trust file (PEM)
    char* client_cert;  // client certificate chain file for mutual TLS (optional)
    char* client_key;   // client key file for mutual TLS (optional)
    char* js_services;  // comma-separated subjects routed through work queues
    char* broker_host;  // used to build server_url when it is unset
    char* broker_port;
    char* default_user;  // copied into user by qz_connection_init when user is unset
    char* default_password;
    void* reserved2;
    char* proxy_host;  // gateway mode only; all four empty when no proxy is used
    char* proxy_port;
    char* proxy_user;
    char* proxy_password;
    void* reserved3;
    natsConnection* conn;  // live broker connection
    jsCtx* js;             // JetStream context; NULL when JetStream is unavailable
    kvStore* kv_scan_data;
    kvStore* kv_registry;
    kvStore* kv_extra[QZ_NATS_KV_EXTRA_BUCKETS];
    // Bucket name of each kv_extra slot, borrowed: callers pass texts that outlive the
    // connection (literals).
    const char* kv_extra_names[QZ_NATS_KV_EXTRA_BUCKETS];
} qz_connection_config;
}

static_assert(offsetof(qz_connection_config, server_url) == 0);
static_assert(offsetof(qz_connection_config, reserved1) == 3 * sizeof(void*));
static_assert(offsetof(qz_connection_config, reserved2) == 12 * sizeof(void*));
static_assert(offsetof(qz_connection_config, proxy_host) == 13 * sizeof(void*));
static_assert(offsetof(qz_connection_config, reserved3) == 17 * sizeof(void*));
static_assert(offsetof(qz_connection_config, conn) == 18 * sizeof(void*));
static_assert(offsetof(qz_connection_config, js) == 19 * sizeof(void*));
static_assert(offsetof(qz_connection_config, kv_scan_data) == 20 * sizeof(void*));
static_assert(offsetof(qz_connection_config, kv_registry) == 21 * sizeof(void*));
static_assert(offsetof(qz_connection_config, kv_extra) == 22 * sizeof(void*));
static_assert(offsetof(qz_connection_config, kv_extra_names) ==
              (22 + QZ_NATS_KV_EXTRA_BUCKETS) * sizeof(void*));
static_assert(sizeof(qz_connection_config) == (22 + 2 * QZ_NATS_KV_EXTRA_BUCKETS) * sizeof(void*));
