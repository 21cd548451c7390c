// Work-queue throughput: jobs per second through one worker process with 1 and 2 pullers
// (qz_nats_start_js_work_consumer: fetch, verdict cache write, reply, acknowledgement), against a
// bare cnats puller that only fetches, replies and acknowledges, on one broker in one run. The
// jobs are queued first, so the figures measure the worker and not the requesters. Starts its own
// nats-server on a free loopback port with a temporary store. Prints the figures; asserts nothing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "connection/nats_client.h"
#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "connection/nats_worker.h"
#include "connection/replies.h"
#include "support/bench_broker.h"

namespace {

using qzbench::median;

using Clock = std::chrono::steady_clock;
constexpr int kJobs = 2000;
constexpr int kRounds = 3;
constexpr char kService[] = "bench-wq";
constexpr char kReplySubject[] = "bench.reply";

// Counts replies and stamps the first and the last.
struct ReplyCounter {
    std::atomic<int> count{0};
    std::atomic<int64_t> first_ns{0};
    std::atomic<int64_t> last_ns{0};

    static void on_reply(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* self = static_cast<ReplyCounter*>(closure);
        const int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count();
        const int n = self->count.fetch_add(1) + 1;
        if (n == 1) self->first_ns.store(now);
        if (n == kJobs) self->last_ns.store(now);
        natsMsg_Destroy(msg);
    }
    void reset() {
        count.store(0);
        first_ns.store(0);
        last_ns.store(0);
    }
    bool done() const { return last_ns.load() != 0; }
    // Jobs per second between the first and the last reply.
    double rate() const {
        const double s = static_cast<double>(last_ns.load() - first_ns.load()) / 1e9;
        return s > 0 ? (kJobs - 1) / s : 0;
    }
};

// The smallest scan service: a fixed verdict.
void answer_clean(void*, qz_request_reply* pair) { qz_reply_set_OK(pair->reply); }

bool create_work_queue(jsCtx* js) {
    const std::string subject = std::string("jobs.") + kService;
    const std::string stream = std::string("JOBS_") + kService;
    const std::string durable = std::string("WORK_") + kService;
    jsStreamConfig sc;
    jsStreamConfig_Init(&sc);
    sc.Name = stream.c_str();
    const char* subjects[] = {subject.c_str()};
    sc.Subjects = subjects;
    sc.SubjectsLen = 1;
    sc.Retention = js_WorkQueuePolicy;
    sc.Storage = js_FileStorage;
    sc.Duplicates = 120LL * 1000 * 1000 * 1000;
    jsStreamInfo* si = nullptr;
    if (js_AddStream(&si, js, &sc, nullptr, nullptr) != NATS_OK) return false;
    jsStreamInfo_Destroy(si);
    jsConsumerConfig cc;
    jsConsumerConfig_Init(&cc);
    cc.Durable = durable.c_str();
    cc.AckPolicy = js_AckExplicit;
    cc.AckWait = 30LL * 1000 * 1000 * 1000;
    cc.MaxDeliver = 5;
    cc.MaxAckPending = 1024;
    cc.FilterSubject = subject.c_str();
    jsConsumerInfo* ci = nullptr;
    if (js_AddConsumer(&ci, js, stream.c_str(), &cc, nullptr, nullptr) != NATS_OK) return false;
    jsConsumerInfo_Destroy(ci);
    for (const char* name : {QZ_NATS_KV_SCAN_DATA_BUCKET, QZ_NATS_KV_DEDUP_BUCKET}) {
        kvConfig kc;
        kvConfig_Init(&kc);
        kc.Bucket = name;
        kc.History = 1;
        kvStore* kv = nullptr;
        if (js_CreateKeyValue(&kv, js, &kc) != NATS_OK) return false;
        kvStore_Destroy(kv);
    }
    return true;
}

// Queues kJobs jobs shaped like the requester's work-queue envelope.
bool queue_jobs(jsCtx* js, int round) {
    const std::string subject = std::string("jobs.") + kService;
    for (int i = 0; i < kJobs; ++i) {
        const std::string reqid = "bench-" + std::to_string(round) + "-" + std::to_string(i);
        const std::string job = "{\"Command\": 101, \"ObjectName\": \"file.txt\", \"_reqid\": \"" +
                                reqid + "\", \"_reply_subj\": \"" + kReplySubject + "\"}";
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MsgId = reqid.c_str();
        if (js_PublishAsync(js, subject.c_str(), job.data(), static_cast<int>(job.size()),
                            &options) != NATS_OK) {
            return false;
        }
    }
    jsPubOptions done;
    jsPubOptions_Init(&done);
    done.MaxWait = 30000;
    return js_PublishAsyncComplete(js, &done) == NATS_OK;
}

bool wait_for_replies(const ReplyCounter& counter) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!counter.done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// One round through the library's pullers.
double library_round(qz_connection_config* worker, jsCtx* js, ReplyCounter* counter, int pullers,
                     int round) {
    counter->reset();
    if (!queue_jobs(js, round)) return -1;
    volatile int32_t stop = 0;
    if (qz_nats_start_js_work_consumer(worker, kService, answer_clean, nullptr, &stop, pullers,
                                       nullptr) != 0) {
        return -1;
    }
    const bool ok = wait_for_replies(*counter);
    __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
    qz_nats_join_worker_threads(&stop, 5000);
    return ok ? counter->rate() : -1;
}

// One round through a bare cnats puller: fetch, reply, acknowledge, nothing else.
double raw_round(natsConnection* nc, jsCtx* js, ReplyCounter* counter, int round) {
    counter->reset();
    if (!queue_jobs(js, round)) return -1;
    const std::string subject = std::string("jobs.") + kService;
    const std::string stream = std::string("JOBS_") + kService;
    const std::string durable = std::string("WORK_") + kService;
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    so.Consumer = durable.c_str();
    natsSubscription* raw = nullptr;
    if (js_PullSubscribe(&raw, js, subject.c_str(), durable.c_str(), nullptr, &so, nullptr) !=
        NATS_OK) {
        return -1;
    }
    qz::nats::SubscriptionPtr sub(raw);
    static const char kVerdict[] = "{\"ReturnCode\": 0}";
    while (!counter->done()) {
        natsMsgList list{};
        if (natsSubscription_Fetch(&list, sub.get(), 1, 100, nullptr) != NATS_OK) continue;
        for (int i = 0; i < list.Count; ++i) {
            natsConnection_Publish(nc, kReplySubject, kVerdict, sizeof kVerdict - 1);
            natsMsg_Ack(list.Msgs[i], nullptr);
        }
        natsMsgList_Destroy(&list);
    }
    return counter->rate();
}

}  // namespace

int main() {
    qzbench::BenchBroker broker("qz-wq-bench");
    natsConnection* raw_nc = broker.connect(100, 50);
    if (raw_nc == nullptr) {
        fprintf(stderr, "work_queue_bench: nats-server did not start\n");
        return 1;
    }
    qz::nats::ConnectionPtr nc(raw_nc);
    jsCtx* raw_js = nullptr;
    natsConnection_JetStream(&raw_js, nc.get(), nullptr);
    qz::nats::JsCtxPtr js(raw_js);
    if (!create_work_queue(js.get())) {
        fprintf(stderr, "work_queue_bench: cannot create the stream, consumer or buckets\n");
        return 1;
    }
    ReplyCounter counter;
    natsSubscription* raw_sub = nullptr;
    natsConnection_Subscribe(&raw_sub, nc.get(), kReplySubject, &ReplyCounter::on_reply, &counter);
    qz::nats::SubscriptionPtr replies(raw_sub);
    natsConnection_Flush(nc.get());

    qz_connection_config* worker = qz_nats_config_new();
    worker->server_url = strdup(broker.url().c_str());
    if (qz_nats_init(worker) != 0) {
        fprintf(stderr, "work_queue_bench: the worker cannot connect\n");
        return 1;
    }

    // Warm-up: bucket bindings, the heartbeat interval, connection buffers.
    int round = 0;
    library_round(worker, js.get(), &counter, 1, round++);

    std::vector<double> one, two, bare;
    for (int r = 0; r < kRounds; ++r) {
        one.push_back(library_round(worker, js.get(), &counter, 1, round++));
        two.push_back(library_round(worker, js.get(), &counter, 2, round++));
        bare.push_back(raw_round(nc.get(), js.get(), &counter, round++));
    }
    if (*std::min_element(one.begin(), one.end()) < 0 ||
        *std::min_element(two.begin(), two.end()) < 0 ||
        *std::min_element(bare.begin(), bare.end()) < 0) {
        fprintf(stderr, "work_queue_bench: a round did not finish\n");
        return 1;
    }
    const double r1 = median(one);
    const double r2 = median(two);
    const double rb = median(bare);
    printf("work queue, %d queued jobs per round, median of %d rounds, one worker process\n", kJobs,
           kRounds);
    printf("  1 puller  (fetch, cache, reply, ack):   %8.0f jobs/s\n", r1);
    printf("  2 pullers (fetch, cache, reply, ack):   %8.0f jobs/s   (%.2fx of 1 puller)\n", r2,
           r2 / r1);
    printf("  bare cnats puller (fetch, reply, ack):  %8.0f jobs/s   (1 puller at %.2fx of it)\n",
           rb, r1 / rb);

    replies.reset();
    qz_nats_deinit(worker);
    free(worker->server_url);
    free(worker);
    js.reset();
    nc.reset();
    nats_Close();
    return 0;
}
