// Request/reply round trip through the connection facade (qz_connection_send_recv_json: envelope,
// no-responders state, reply parsing) against a bare natsConnection_Request of the same bytes, on
// one broker in one run, answered by the same tiny raw responder. Starts its own nats-server on a
// free loopback port with a temporary store. Prints the figures and the ratio; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "support/bench_broker.h"

namespace {

using qzbench::median;

using Clock = std::chrono::steady_clock;
using qz::nats::ConnectionPtr;
using qz::nats::JsonPtr;
using qz::nats::MsgPtr;
using qz::nats::SubscriptionPtr;

constexpr int kRounds = 7;
constexpr int kRequestsPerRound = 1000;
constexpr char kSubject[] = "qz-av-bench";
// About the size of a small scan job.
constexpr char kRequest[] =
    "{\"Command\": 1, \"EventID\": \"0c6f1f8e-6a43-4b7e-9d55-5b1f3c1e2a90\", \"ObjectName\": "
    "\"invoice-2026-0001.pdf\", \"ObjectSize\": 1024, \"MimeType\": \"application/pdf\", "
    "\"ScanBestEffort\": 1, \"ScanAllFiles\": 0, \"CheckMimeType\": 1, \"BlockActiveContent\": "
    "0, \"_kv_key\": \"scan-3039-303a-5f5e100\"}";
constexpr char kReply[] = "{\"ReturnCode\": 0, \"Verdict\": \"clean\", \"Engine\": \"dummy\"}";

void respond(natsConnection* nc, natsSubscription*, natsMsg* raw, void*) {
    MsgPtr msg(raw);
    natsConnection_Publish(nc, natsMsg_GetReply(msg.get()), kReply,
                           static_cast<int>(sizeof(kReply) - 1));
}

template <typename Fn>
double microseconds_per_request(Fn&& request) {
    const auto start = Clock::now();
    for (int i = 0; i < kRequestsPerRound; ++i) {
        if (!request()) return -1;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
           kRequestsPerRound;
}

}  // namespace

int main() {
    qzbench::BenchBroker broker("qz-rr-bench");
    ConnectionPtr service_nc(broker.connect(200, 25));
    ConnectionPtr raw_nc(broker.connect(200, 25));
    if (!service_nc || !raw_nc) {
        fprintf(stderr, "nats-server did not come up at %s\n", broker.url().c_str());
        return 1;
    }
    natsSubscription* raw_sub = nullptr;
    natsConnection_Subscribe(&raw_sub, service_nc.get(), kSubject, respond, nullptr);
    SubscriptionPtr sub(raw_sub);
    natsConnection_Flush(service_nc.get());

    qz_connection_config* config = qz_connection_config_new();
    config->server_url = strdup(broker.url().c_str());
    if (qz_connection_init(config) != 0) {
        fprintf(stderr, "qz_connection_init failed\n");
        return 1;
    }

    auto raw = [&] {
        natsMsg* reply = nullptr;
        const natsStatus s = natsConnection_Request(&reply, raw_nc.get(), kSubject, kRequest,
                                                    static_cast<int>(sizeof(kRequest) - 1), 2000);
        natsMsg_Destroy(reply);
        return s == NATS_OK;
    };
    auto facade = [&] {
        JsonPtr reply(qz_connection_send_recv_json(config, kSubject, kRequest, 2000, 0, nullptr));
        return reply != nullptr;
    };

    // Warm both paths (response subscriptions, allocator, caches) before measuring.
    microseconds_per_request(raw);
    microseconds_per_request(facade);
    std::vector<double> raw_us, facade_us;
    for (int round = 0; round < kRounds; ++round) {
        // Alternate the order so drift on a noisy machine hits both alike.
        if (round % 2 == 0) {
            raw_us.push_back(microseconds_per_request(raw));
            facade_us.push_back(microseconds_per_request(facade));
        } else {
            facade_us.push_back(microseconds_per_request(facade));
            raw_us.push_back(microseconds_per_request(raw));
        }
        if (raw_us.back() < 0 || facade_us.back() < 0) {
            fprintf(stderr, "a request failed in round %d\n", round);
            return 1;
        }
    }
    const double raw_median = median(raw_us);
    const double facade_median = median(facade_us);
    printf(
        "request/reply round trip, %d rounds of %d requests, %zu-byte request, median per "
        "request:\n",
        kRounds, kRequestsPerRound, sizeof(kRequest) - 1);
    printf("  raw natsConnection_Request     %8.1f us\n", raw_median);
    printf("  qz_connection_send_recv_json   %8.1f us\n", facade_median);
    printf("  ratio facade / raw             %8.2fx (goal <= 1.20x)\n", facade_median / raw_median);

    qz_connection_deinit(config);
    free(config->server_url);
    free(config);
    sub.reset();
    return 0;
}
