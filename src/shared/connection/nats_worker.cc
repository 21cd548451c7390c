// Threads are created joinable and kept in one process-wide list with the stop flag they were
// started with, so that a service program can wait for them (qz_nats_join_worker_threads) before
// it closes the connection; the records they share are released with their last thread.
#include "connection/nats_worker.h"

#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "connection/replies.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/error_text.h"
#include "platform/thread.h"

namespace qz::nats::worker {
namespace {

// Every wait of a worker thread is cut into steps of this length, so that a set stop flag ends
// the thread within about this time.
constexpr long kStopCheckMs = 100;
constexpr int64_t kHandlerWaitMs = kStopCheckMs;
constexpr int64_t kFetchWaitMs = kStopCheckMs;
constexpr int kPendingMsgsLimit = 50;
constexpr int kPendingBytesLimit = 838860800;
constexpr uint64_t kSlowConsumerNoticeMs = 5000;
constexpr long kBindRetryMs = 1000;
constexpr long kSlotPollMs = 20;
constexpr int kFetchBackoffFirstMs = 50;
constexpr int kFetchBackoffMaxMs = 1000;
constexpr uint64_t kFetchWarnIntervalMs = 10000;
constexpr uint64_t kRebindAfterMs = 29999;
constexpr int kDefaultProgressIntervalMs = 5000;
constexpr int kMinProgressIntervalMs = 1000;
constexpr int kMaxProgressIntervalMs = 15000;
constexpr size_t kMaxSubjectLength = 255;
constexpr size_t kMaxNameLength = 199;
constexpr char kPingReply[] = "{\"ReturnCode\": 0}";
constexpr char kDash[] = " \xE2\x80\x94 ";

bool stop_requested(volatile int32_t* flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0; }

// Sleeps up to ms in steps; true when the stop flag ended the sleep.
bool sleep_unless_stopped(volatile int32_t* flag, long ms) {
    while (ms > 0) {
        if (stop_requested(flag)) return true;
        const long step = std::min(ms, kStopCheckMs);
        QZ_Sleep(step);
        ms -= step;
    }
    return stop_requested(flag);
}

// The client's last error of this thread as " — text", or "" when there is none.
std::string last_error_suffix() {
    const char* text = nats_GetLastError(nullptr);
    if (text == nullptr || *text == '\0') return {};
    return std::string(kDash) + text;
}

// The reason of a failed QZ_CreateThread (which logs the pthread code itself).
const char* thread_start_error(int saved_errno) {
    return saved_errno != 0 ? QZstrerror(saved_errno) : "the thread could not be created";
}

// ---- Records shared by the threads of one start call ----------------------------------------

struct HandlerPool {
    qz_connection_config* config = nullptr;
    std::string subject;
    qz_request_handler_fn handler = nullptr;
    void* closure = nullptr;
    volatile int32_t* stop_flag = nullptr;
    SubscriptionPtr sub;
    SubscriptionPtr ping_sub;
};

struct WorkQueue {
    qz_connection_config* config = nullptr;
    qz_request_handler_fn handler = nullptr;
    void* closure = nullptr;
    volatile int32_t* stop_flag = nullptr;
    QZ_SEM_HANDLE slots = nullptr;
    std::string subject;
    std::string stream;
    std::string durable;
    SubscriptionPtr ping_sub;
    std::atomic<bool> tuned{false};
};

// ---- The list of started threads ----------------------------------------------------------

struct StartedThread {
    QZ_THREAD_HANDLE handle = nullptr;
    volatile int32_t* stop_flag = nullptr;  // NULL for the heartbeat thread
    std::shared_ptr<void> record;           // released with the last thread that uses it
};

std::mutex s_threads_mu;
std::vector<StartedThread>& started_threads() {
    static auto* threads = new std::vector<StartedThread>();
    return *threads;
}

// Starts fn(arg) and lists it; the thread names itself. -1 (errno kept for the caller's message)
// when the thread could not be created or there is no room to list it. The list's room is taken
// before the start, under the lock, because a running thread that is not listed could never be
// joined and its record would go with the caller's last reference.
int start_listed_thread(qz_thread_fn fn, void* arg, volatile int32_t* stop_flag,
                        const std::shared_ptr<void>& record, int* saved_errno) {
    std::lock_guard<std::mutex> lock(s_threads_mu);
    std::vector<StartedThread>& threads = started_threads();
    try {
        threads.reserve(threads.size() + 1);
    } catch (const std::bad_alloc&) {
        *saved_errno = ENOMEM;
        return -1;
    }
    errno = 0;
    QZ_THREAD_HANDLE handle = nullptr;
    if (QZ_CreateThread(&handle, fn, arg) != 0) {
        *saved_errno = errno;
        return -1;
    }
    threads.push_back(StartedThread{handle, stop_flag, record});
    return 0;
}

// ---- In-flight table and heartbeat --------------------------------------------------------

struct InflightEntry {
    natsMsg* msg;
    const char* label;
};

QZ_CRITICAL_SECTION s_js_inflight_mu;
std::once_flag s_js_inflight_mu_once;
InflightEntry s_js_inflight[QZ_NATS_JS_INFLIGHT_ENTRIES];
// Everything below is guarded by s_js_inflight_mu.
int s_js_inflight_used = 0;
int s_js_progress_interval_ms = kDefaultProgressIntervalMs;
bool s_js_progress_running = false;
bool s_js_progress_warned_full = false;
bool s_js_progress_tuned = false;
// Puller threads alive in the process. The heartbeat thread lives while there are pullers or
// registered jobs; its own stop condition does not depend on one caller's stop flag, so a
// second work queue in the process keeps its heartbeats when the first one is stopped.
std::atomic<int> s_live_pullers{0};

QZ_CRITICAL_SECTION* inflight_mu() {
    std::call_once(s_js_inflight_mu_once,
                   [] { QZ_InitializeCriticalSection(&s_js_inflight_mu, 1024); });
    return &s_js_inflight_mu;
}

// Waits until the next heartbeat round is due; false when the thread should end (no puller
// and no registered job left), with the running mark cleared under the lock so that the next
// registration starts a new thread.
bool wait_for_heartbeat_round() {
    long waited = 0;
    for (;;) {
        {
            CriticalSectionLock lock(inflight_mu());
            if (s_live_pullers.load() == 0 && s_js_inflight_used == 0) {
                s_js_progress_running = false;
                return false;
            }
            if (waited >= s_js_progress_interval_ms) return true;
        }
        QZ_Sleep(kStopCheckMs);
        waited += kStopCheckMs;
    }
}

void js_progress_thread_fn(void*) {
    QZ_SetThreadName("qz-wq-heartbeat");
    LOG_INFO("NATS: JS in-progress heartbeat thread started");
    while (wait_for_heartbeat_round()) {
        int sent = 0;
        int failed = 0;
        {
            CriticalSectionLock lock(inflight_mu());
            for (InflightEntry& entry : s_js_inflight) {
                if (entry.msg == nullptr) continue;
                const natsStatus s = natsMsg_InProgress(entry.msg, nullptr);
                if (s == NATS_OK) {
                    ++sent;
                } else {
                    ++failed;
                    LOG_DEBUG("NATS: JS in-progress ack for '%s' failed: %s",
                              entry.label != nullptr ? entry.label : "(unknown)",
                              natsStatus_GetText(s));
                }
            }
        }
        if (sent + failed > 0) {
            LOG_TRACE("NATS: JS in-progress heartbeat: %d sent, %d failed", sent, failed);
        }
    }
    LOG_INFO("NATS: JS in-progress heartbeat thread exiting");
}

// Called with s_js_inflight_mu held.
void start_heartbeat_locked() {
    if (s_js_progress_running) return;
    s_js_progress_running = true;
    int saved_errno = 0;
    if (start_listed_thread(js_progress_thread_fn, nullptr, nullptr, nullptr, &saved_errno) != 0) {
        LOG_ERROR(
            "NATS: failed to start the JS in-progress heartbeat thread: %s \xE2\x80\x94 long "
            "scans may be redelivered once AckWait expires",
            thread_start_error(saved_errno));
        s_js_progress_running = false;
    }
}

// ---- Handler pools ------------------------------------------------------------------------

// Answers the pings waiting on sub; the threads of a pool or work queue look after each wait.
void answer_pings(natsConnection* nc, natsSubscription* sub) {
    if (sub == nullptr) return;
    int pending = 0;
    while (natsSubscription_GetPending(sub, &pending, nullptr) == NATS_OK && pending > 0) {
        natsMsg* raw = nullptr;
        if (natsSubscription_NextMsg(&raw, sub, 1) != NATS_OK) return;
        MsgPtr msg(raw);
        const char* reply = natsMsg_GetReply(msg.get());
        if (reply == nullptr || *reply == '\0') continue;
        const natsStatus s = natsConnection_PublishString(nc, reply, kPingReply);
        if (s != NATS_OK) {
            LOG_WARN("NATS: ping reply on '%s' failed: %s", natsMsg_GetSubject(msg.get()),
                     natsStatus_GetText(s));
        } else {
            LOG_TRACE("NATS: answered ping on '%s'", natsMsg_GetSubject(msg.get()));
        }
    }
}

// A queue subscription on "<name>.ping"; NULL (with a WARN line) when it cannot be made, which
// only costs the answer to pings.
SubscriptionPtr subscribe_ping(natsConnection* nc, const std::string& name) {
    const std::string subject = name + ".ping";
    if (subject.size() > kMaxSubjectLength) return nullptr;
    natsSubscription* raw = nullptr;
    const natsStatus s =
        natsConnection_QueueSubscribeSync(&raw, nc, subject.c_str(), subject.c_str());
    SubscriptionPtr sub(raw);
    if (s != NATS_OK) {
        LOG_WARN("NATS: failed to subscribe to '%s': %s \xE2\x80\x94 pings go unanswered",
                 subject.c_str(), natsStatus_GetText(s));
        return nullptr;
    }
    return sub;
}

void publish_reply(natsConnection* nc, const char* reply_subject, const char* text) {
    const natsStatus s =
        natsConnection_Publish(nc, reply_subject, text, static_cast<int>(strlen(text)));
    if (s != NATS_OK) {
        LOG_ERROR("NATS: failed to publish reply: %s%s", natsStatus_GetText(s),
                  last_error_suffix().c_str());
    }
}

void handler_thread_fn(void* arg) {
    auto* pool = static_cast<HandlerPool*>(arg);
    QZ_SetThreadName("qz-handler");
    LOG_INFO("NATS: handler thread started");
    natsConnection* nc = pool->config->conn;
    int64_t reported_dropped = 0;
    uint64_t last_notice_ms = 0;
    bool notice_given = false;
    while (!stop_requested(pool->stop_flag)) {
        natsMsg* raw = nullptr;
        const natsStatus s = natsSubscription_NextMsg(&raw, pool->sub.get(), kHandlerWaitMs);
        MsgPtr msg(raw);

        int64_t dropped = 0;
        if (natsSubscription_GetDropped(pool->sub.get(), &dropped) == NATS_OK &&
            dropped > reported_dropped) {
            const uint64_t now = qz_monotonic_ms();
            if (!notice_given || now - last_notice_ms >= kSlowConsumerNoticeMs) {
                LOG_WARN(
                    "NATS: SLOW CONSUMER on '%s' \xE2\x80\x94 %lld dropped total (+%lld since last "
                    "notice); dropped queue-group requests are NOT redelivered and their "
                    "requesters time out. Raise worker capacity or move this service to the "
                    "JetStream work queue.",
                    pool->subject.empty() ? "(unknown)" : pool->subject.c_str(),
                    static_cast<long long>(dropped),
                    static_cast<long long>(dropped - reported_dropped));
                reported_dropped = dropped;
                last_notice_ms = now;
                notice_given = true;
            }
        }
        answer_pings(nc, pool->ping_sub.get());

        if (s == NATS_TIMEOUT) continue;
        if (s == NATS_CONNECTION_CLOSED || s == NATS_INVALID_SUBSCRIPTION) break;
        if (s != NATS_OK) {
            LOG_WARN("NATS: handler NextMsg error: %s", natsStatus_GetText(s));
            continue;
        }
        const int length = natsMsg_GetDataLength(msg.get());
        if (length <= 0) continue;
        char* reply_text = nullptr;
        qz_worker_scan_execute(pool->config, pool->handler, pool->closure,
                               natsMsg_GetData(msg.get()), static_cast<size_t>(length),
                               &reply_text);
        const char* reply_subject = natsMsg_GetReply(msg.get());
        if (reply_subject != nullptr && *reply_subject != '\0' && reply_text != nullptr) {
            publish_reply(nc, reply_subject, reply_text);
        }
        free(reply_text);
    }
    LOG_INFO("NATS: handler thread exiting");
}

int s_start_handler_threads(qz_connection_config* config, const char* subject,
                            qz_request_handler_fn handler, void* closure,
                            volatile int32_t* stop_flag, int thread_count, bool queue) {
    if (config == nullptr || config->conn == nullptr || subject == nullptr || *subject == '\0' ||
        handler == nullptr || stop_flag == nullptr || thread_count < 1) {
        LOG_ERROR("NATS: invalid parameters for start_handler_threads");
        return -1;
    }
    std::shared_ptr<HandlerPool> pool;
    try {
        pool = std::make_shared<HandlerPool>();
        pool->subject = subject;
    } catch (const std::bad_alloc&) {
        LOG_ERROR("NATS: out of memory starting handler threads for '%s'", subject);
        return -1;
    }
    natsSubscription* raw = nullptr;
    const natsStatus s =
        queue ? natsConnection_QueueSubscribeSync(&raw, config->conn, subject, subject)
              : natsConnection_SubscribeSync(&raw, config->conn, subject);
    pool->sub.reset(raw);
    if (s != NATS_OK) {
        LOG_ERROR("NATS: failed to subscribe to '%s': %s", subject, natsStatus_GetText(s));
        return -1;
    }
    natsSubscription_SetPendingLimits(pool->sub.get(), kPendingMsgsLimit, kPendingBytesLimit);
    if (queue) pool->ping_sub = subscribe_ping(config->conn, subject);
    // Requests sent right after the start find the subscription on the broker.
    natsConnection_FlushTimeout(config->conn, 2000);
    pool->config = config;
    pool->handler = handler;
    pool->closure = closure;
    pool->stop_flag = stop_flag;

    LOG_INFO("NATS: starting %d %s handler thread(s) for '%s'", thread_count,
             queue ? "queue" : "broadcast", subject);
    for (int i = 0; i < thread_count; ++i) {
        int saved_errno = 0;
        if (start_listed_thread(handler_thread_fn, pool.get(), stop_flag, pool, &saved_errno) !=
            0) {
            LOG_ERROR("NATS: failed to create handler thread %d: %s", i,
                      thread_start_error(saved_errno));
        }
    }
    return 0;
}

// ---- Work-queue pullers -------------------------------------------------------------------

struct Job {
    std::string reply_subject;
    std::string reqid;
};

Job read_job_envelope(const char* data, int length) {
    Job job;
    std::unique_ptr<json_tokener, HandleDeleter<json_tokener, json_tokener_free>> tokener(
        json_tokener_new());
    if (!tokener) return job;
    JsonPtr object(json_tokener_parse_ex(tokener.get(), data, length));
    if (!object || !json_object_is_type(object.get(), json_type_object)) return job;
    json_object* member = nullptr;
    if (json_object_object_get_ex(object.get(), "_reply_subj", &member) &&
        json_object_is_type(member, json_type_string) && json_object_get_string_len(member) > 0) {
        job.reply_subject = json_object_get_string(member);
    }
    if (json_object_object_get_ex(object.get(), "_reqid", &member) &&
        json_object_is_type(member, json_type_string) && json_object_get_string_len(member) > 0) {
        job.reqid = json_object_get_string(member);
    }
    return job;
}

// How often the broker has delivered msg: 0 counts as 1, unreadable metadata as 2 (a job that
// may have been seen before is checked against the verdict cache).
uint64_t delivery_count(natsMsg* msg) {
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) != NATS_OK || meta == nullptr) return 2;
    const uint64_t delivered = meta->NumDelivered;
    jsMsgMetaData_Destroy(meta);
    return delivered == 0 ? 1 : delivered;
}

void acknowledge(natsMsg* msg, const std::string& subject) {
    const natsStatus s = natsMsg_Ack(msg, nullptr);
    if (s != NATS_OK) {
        const std::string why = last_error_suffix();
        LOG_WARN(
            "NATS: JS ack on '%s' failed: %s%s \xE2\x80\x94 the job will be redelivered and "
            "rescanned",
            subject.c_str(), natsStatus_GetText(s), why.c_str());
    }
}

// The redelivery check: true when the job was answered from the verdict cache (and acknowledged).
bool serve_from_verdict_cache(WorkQueue* wq, natsMsg* msg, const Job& job) {
    if (job.reqid.empty()) return false;
    char* cached = nullptr;
    if (qz_nats_kv_get(wq->config, QZ_NATS_KV_DEDUP_BUCKET, job.reqid.c_str(), &cached, nullptr) !=
        0) {
        return false;
    }
    if (!job.reply_subject.empty()) {
        const natsStatus s = natsConnection_Publish(wq->config->conn, job.reply_subject.c_str(),
                                                    cached, static_cast<int>(strlen(cached)));
        if (s != NATS_OK) {
            const std::string why = last_error_suffix();
            LOG_ERROR(
                "NATS: JS reply publish to '%s' failed: %s%s \xE2\x80\x94 the client will wait "
                "out its timeout for a verdict we already have",
                job.reply_subject.c_str(), natsStatus_GetText(s), why.c_str());
        }
    }
    free(cached);
    LOG_INFO(
        "NATS: JS reqid=%s redelivery \xE2\x80\x94 re-served cached verdict, scan/"
        "side-effects skipped",
        job.reqid.c_str());
    acknowledge(msg, wq->subject);
    return true;
}

void process_job(WorkQueue* wq, natsMsg* msg) {
    const int length = natsMsg_GetDataLength(msg);
    if (length <= 0) {
        acknowledge(msg, wq->subject);
        return;
    }
    const char* data = natsMsg_GetData(msg);
    const Job job = read_job_envelope(data, length);
    const uint64_t delivery = delivery_count(msg);
    const char* reqid_text = job.reqid.empty() ? "(none)" : job.reqid.c_str();
    LOG_TRACE("NATS: JS job pulled on '%s' (reqid=%s, delivery #%llu)", wq->subject.c_str(),
              reqid_text, static_cast<unsigned long long>(delivery));
    if (delivery > 1) {
        LOG_WARN(
            "NATS: JS work-queue REDELIVERY on '%s' (reqid=%s, delivery #%llu) \xE2\x80\x94 a "
            "prior worker did not ack in time (crash / slow scan / AckWait too short)",
            wq->subject.c_str(), reqid_text, static_cast<unsigned long long>(delivery));
        if (serve_from_verdict_cache(wq, msg, job)) return;
    }

    const int slot = inflight_register(msg, wq->subject.c_str());
    char* reply_text = nullptr;
    qz_worker_scan_execute(wq->config, wq->handler, wq->closure, data, static_cast<size_t>(length),
                           &reply_text);
    inflight_release(slot);

    // The verdict is cached before it is sent: a worker that dies after sending and before the
    // acknowledgement leaves a redelivery that the cache answers without a second scan.
    if (!job.reqid.empty() && reply_text != nullptr) {
        qz_nats_kv_put(wq->config, QZ_NATS_KV_DEDUP_BUCKET, job.reqid.c_str(), reply_text,
                       QZ_NATS_JS_VERDICT_TTL_MS);
    }
    if (reply_text != nullptr && !job.reply_subject.empty()) {
        const natsStatus s =
            natsConnection_Publish(wq->config->conn, job.reply_subject.c_str(), reply_text,
                                   static_cast<int>(strlen(reply_text)));
        if (s != NATS_OK) {
            const std::string why = last_error_suffix();
            LOG_ERROR(
                "NATS: JS reply publish to '%s' failed: %s%s \xE2\x80\x94 the client will wait "
                "out its timeout for a verdict we already have",
                job.reply_subject.c_str(), natsStatus_GetText(s), why.c_str());
        }
    } else if (job.reply_subject.empty()) {
        LOG_WARN("NATS: JS job on '%s' carried no %s \xE2\x80\x94 verdict has nowhere to go",
                 wq->subject.c_str(), "_reply_subj");
    }
    free(reply_text);
    acknowledge(msg, wq->subject);
}

// Binds a pull subscription to the provisioned durable, retrying every second; NULL when the
// stop flag ended the attempts. The consumer is only bound, never created: one created here
// with library defaults would not carry the broker side's AckWait and delivery limits.
SubscriptionPtr js_bind_puller(WorkQueue* wq) {
    while (!stop_requested(wq->stop_flag)) {
        jsSubOptions options;
        jsSubOptions_Init(&options);
        options.Stream = wq->stream.c_str();
        options.Consumer = wq->durable.c_str();
        natsSubscription* raw = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        const natsStatus s = js_PullSubscribe(&raw, wq->config->js, wq->subject.c_str(),
                                              wq->durable.c_str(), nullptr, &options, &jerr);
        SubscriptionPtr sub(raw);
        if (s == NATS_OK) return sub;
        const std::string why = last_error_suffix();
        LOG_WARN(
            "NATS: JS pull-subscribe to '%s'/'%s' failed: %s%s (jerr=%d) \xE2\x80\x94 "
            "retrying",
            wq->stream.c_str(), wq->durable.c_str(), natsStatus_GetText(s), why.c_str(),
            static_cast<int>(jerr));
        sub.reset();
        if (sleep_unless_stopped(wq->stop_flag, kBindRetryMs)) break;
    }
    return nullptr;
}

// Takes the consumer's AckWait into the heartbeat interval, once per work queue. The interval
// serves every work queue of the process, so the shortest one wins: a consumer with a shorter
// AckWait than the first one tuned would otherwise lose its long jobs to redelivery.
void js_progress_tune_interval(WorkQueue* wq) {
    if (wq->tuned.exchange(true)) return;
    jsConsumerInfo* info = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    const natsStatus s = js_GetConsumerInfo(&info, wq->config->js, wq->stream.c_str(),
                                            wq->durable.c_str(), nullptr, &jerr);
    if (s != NATS_OK || info == nullptr || info->Config == nullptr) {
        LOG_DEBUG("NATS: JS consumer info of '%s'/'%s' not readable: %s (jerr=%d)",
                  wq->stream.c_str(), wq->durable.c_str(), natsStatus_GetText(s),
                  static_cast<int>(jerr));
        jsConsumerInfo_Destroy(info);
        wq->tuned.store(false);
        return;
    }
    const int64_t ack_wait = info->Config->AckWait;
    jsConsumerInfo_Destroy(info);
    if (ack_wait <= 0) return;
    const int interval = heartbeat_interval_for_ack_wait(ack_wait);
    int in_effect = 0;
    {
        CriticalSectionLock lock(inflight_mu());
        if (!s_js_progress_tuned || interval < s_js_progress_interval_ms) {
            s_js_progress_interval_ms = interval;
        }
        s_js_progress_tuned = true;
        in_effect = s_js_progress_interval_ms;
    }
    LOG_INFO(
        "NATS: JS in-progress heartbeat every %dms (durable '%s' AckWait=%lldms) \xE2\x80\x94 a "
        "scan longer than AckWait keeps its job instead of being redelivered",
        in_effect, wq->durable.c_str(), static_cast<long long>(ack_wait / 1000000));
}

// Fetch failures of one puller: a back-off that doubles from 50 ms to 1 s, a warning at most
// every 10 s, and a rebind when the failures have lasted 30 s.
struct FetchErrorStreak {
    bool active = false;
    uint64_t started_ms = 0;
    int delay_ms = 0;
    bool warned = false;
    uint64_t last_warn_ms = 0;
    long long suppressed = 0;

    void reset() {
        active = false;
        delay_ms = 0;
    }
};

void js_work_thread_fn(void* arg) {
    auto* wq = static_cast<WorkQueue*>(arg);
    QZ_SetThreadName("qz-wq-pull");
    LOG_INFO("NATS: JS work-queue puller starting for '%s' (durable '%s')", wq->subject.c_str(),
             wq->durable.c_str());
    SubscriptionPtr sub = js_bind_puller(wq);
    if (!sub) {
        LOG_INFO("NATS: JS work-queue puller for '%s' exiting before bind (shutdown)",
                 wq->subject.c_str());
        s_live_pullers.fetch_sub(1);
        return;
    }
    js_progress_tune_interval(wq);

    FetchErrorStreak streak;
    bool rebind_stopped = false;
    while (!stop_requested(wq->stop_flag)) {
        answer_pings(wq->config->conn, wq->ping_sub.get());
        if (wq->slots != nullptr) {
            bool stopped = false;
            while (QZsem_timedwait(wq->slots, -1) != 0) {
                if (sleep_unless_stopped(wq->stop_flag, kSlotPollMs)) {
                    stopped = true;
                    break;
                }
            }
            if (stopped) break;
        }
        auto release_slot = [wq] {
            if (wq->slots != nullptr) QZsem_post(wq->slots);
        };

        natsMsgList list{};
        jsErrCode jerr = static_cast<jsErrCode>(0);
        const natsStatus s = natsSubscription_Fetch(&list, sub.get(), 1, kFetchWaitMs, &jerr);
        if (s == NATS_TIMEOUT) {
            natsMsgList_Destroy(&list);
            release_slot();
            streak.reset();
            continue;
        }
        if (s != NATS_OK || list.Count <= 0) {
            natsMsgList_Destroy(&list);
            const uint64_t now = qz_monotonic_ms();
            if (!streak.active) {
                streak.active = true;
                streak.started_ms = now;
                streak.delay_ms = kFetchBackoffFirstMs;
            } else {
                streak.delay_ms = std::min(streak.delay_ms * 2, kFetchBackoffMaxMs);
            }
            if (!streak.warned || now - streak.last_warn_ms >= kFetchWarnIntervalMs) {
                const std::string why = last_error_suffix();
                LOG_WARN(
                    "NATS: JS Fetch on '%s' failed: %s%s (jerr=%d) \xE2\x80\x94 retrying in %dms "
                    "(%lld further occurrence(s) suppressed since the last line)",
                    wq->subject.c_str(), natsStatus_GetText(s), why.c_str(), static_cast<int>(jerr),
                    streak.delay_ms, streak.suppressed);
                streak.warned = true;
                streak.last_warn_ms = now;
                streak.suppressed = 0;
            } else {
                ++streak.suppressed;
            }
            release_slot();
            if (sleep_unless_stopped(wq->stop_flag, streak.delay_ms)) break;
            const uint64_t failing_ms = qz_monotonic_ms() - streak.started_ms;
            if (failing_ms > kRebindAfterMs) {
                LOG_WARN(
                    "NATS: JS Fetch on '%s' failing for %llds \xE2\x80\x94 rebinding to "
                    "durable '%s'",
                    wq->subject.c_str(), static_cast<long long>(failing_ms / 1000),
                    wq->durable.c_str());
                sub.reset();
                sub = js_bind_puller(wq);
                if (!sub) {
                    LOG_INFO("NATS: JS work-queue puller for '%s' exiting during rebind (shutdown)",
                             wq->subject.c_str());
                    rebind_stopped = true;
                    break;
                }
                LOG_INFO("NATS: JS work-queue puller for '%s' rebound to '%s'", wq->subject.c_str(),
                         wq->durable.c_str());
                streak.reset();
            }
            continue;
        }
        streak.reset();
        for (int i = 0; i < list.Count; ++i) {
            if (list.Msgs[i] != nullptr) process_job(wq, list.Msgs[i]);
        }
        natsMsgList_Destroy(&list);
        release_slot();
    }
    if (!rebind_stopped) {
        LOG_INFO("NATS: JS work-queue puller for '%s' exiting", wq->subject.c_str());
    }
    sub.reset();
    s_live_pullers.fetch_sub(1);
}

// Handler calls are C callbacks, but a C++ handler that throws must not take the thread (and
// with it the process) down.
void run_handler(qz_request_handler_fn handler, void* closure, qz_request_reply* pair) {
    try {
        handler(closure, pair);
    } catch (const std::exception& e) {
        LOG_ERROR("NATS: request handler threw: %s", e.what());
    } catch (...) {
        LOG_ERROR("NATS: request handler threw an unknown exception");
    }
}

}  // namespace

int heartbeat_interval_for_ack_wait(int64_t ack_wait_ns) {
    const int64_t third_ms = ack_wait_ns / 3000000;
    return static_cast<int>(
        std::clamp<int64_t>(third_ms, kMinProgressIntervalMs, kMaxProgressIntervalMs));
}

bool work_queue_names(const char* service, std::string* subject, std::string* stream,
                      std::string* durable) {
    if (service == nullptr) return false;
    std::string sanitised(service);
    std::replace(sanitised.begin(), sanitised.end(), '.', '_');
    *subject = std::string("jobs.") + service;
    *stream = "JOBS_" + sanitised;
    *durable = "WORK_" + sanitised;
    return subject->size() <= kMaxSubjectLength && stream->size() <= kMaxNameLength &&
           durable->size() <= kMaxNameLength;
}

int inflight_register(natsMsg* msg, const char* label) {
    CriticalSectionLock lock(inflight_mu());
    int slot = -1;
    for (int i = 0; i < QZ_NATS_JS_INFLIGHT_ENTRIES; ++i) {
        if (s_js_inflight[i].msg == nullptr) {
            s_js_inflight[i] = InflightEntry{msg, label};
            ++s_js_inflight_used;
            slot = i;
            break;
        }
    }
    if (slot < 0 && !s_js_progress_warned_full) {
        s_js_progress_warned_full = true;
        LOG_WARN(
            "NATS: more than %d JS jobs in flight in this process \xE2\x80\x94 the excess run "
            "without in-progress acks and may be redelivered if they outlast AckWait",
            QZ_NATS_JS_INFLIGHT_ENTRIES);
    }
    start_heartbeat_locked();
    return slot;
}

void inflight_release(int slot) {
    if (slot < 0 || slot >= QZ_NATS_JS_INFLIGHT_ENTRIES) return;
    CriticalSectionLock lock(inflight_mu());
    if (s_js_inflight[slot].msg == nullptr) return;
    s_js_inflight[slot] = InflightEntry{nullptr, nullptr};
    --s_js_inflight_used;
}

int inflight_count() {
    CriticalSectionLock lock(inflight_mu());
    return s_js_inflight_used;
}

int progress_interval_ms() {
    CriticalSectionLock lock(inflight_mu());
    return s_js_progress_interval_ms;
}

}  // namespace qz::nats::worker

using namespace qz::nats;
using namespace qz::nats::worker;

extern "C" {

int qz_nats_start_service_handler_threads(qz_connection_config* config, const char* subject,
                                          qz_request_handler_fn handler, void* closure,
                                          volatile int32_t* stop_flag, int thread_count) {
    return s_start_handler_threads(config, subject, handler, closure, stop_flag, thread_count,
                                   true);
}

int qz_nats_start_broadcast_handler_threads(qz_connection_config* config, const char* subject,
                                            qz_request_handler_fn handler, void* closure,
                                            volatile int32_t* stop_flag, int thread_count) {
    return s_start_handler_threads(config, subject, handler, closure, stop_flag, thread_count,
                                   false);
}

int qz_nats_start_js_work_consumer(qz_connection_config* config, const char* service,
                                   qz_request_handler_fn handler, void* closure,
                                   volatile int32_t* stop_flag, int puller_count,
                                   QZ_SEM_HANDLE slot_semaphore) {
    if (config == nullptr || config->conn == nullptr || config->js == nullptr ||
        service == nullptr || *service == '\0' || handler == nullptr || stop_flag == nullptr ||
        puller_count < 1) {
        LOG_ERROR("NATS: invalid parameters for start_js_work_consumer");
        return -1;
    }
    std::shared_ptr<WorkQueue> wq;
    try {
        wq = std::make_shared<WorkQueue>();
        if (!work_queue_names(service, &wq->subject, &wq->stream, &wq->durable)) {
            LOG_ERROR(
                "NATS: work-queue names for service '%.64s...' are too long (subject at most "
                "%zu, stream and durable at most %zu characters)",
                service, kMaxSubjectLength, kMaxNameLength);
            return -1;
        }
    } catch (const std::bad_alloc&) {
        LOG_ERROR("NATS: out of memory starting work-queue pullers for '%s'", service);
        return -1;
    }
    wq->config = config;
    wq->handler = handler;
    wq->closure = closure;
    wq->stop_flag = stop_flag;
    wq->slots = slot_semaphore;
    wq->ping_sub = subscribe_ping(config->conn, service);
    if (wq->ping_sub) natsConnection_FlushTimeout(config->conn, 2000);

    LOG_INFO("NATS: starting %d JS work-queue puller(s) for '%s' (stream '%s', durable '%s')",
             puller_count, wq->subject.c_str(), wq->stream.c_str(), wq->durable.c_str());
    for (int i = 0; i < puller_count; ++i) {
        // Counted before the start so that the heartbeat never sees a gap between a puller's
        // start and its first job.
        s_live_pullers.fetch_add(1);
        int saved_errno = 0;
        if (start_listed_thread(js_work_thread_fn, wq.get(), stop_flag, wq, &saved_errno) != 0) {
            s_live_pullers.fetch_sub(1);
            LOG_ERROR("NATS: failed to create JS work-queue thread %d: %s", i,
                      thread_start_error(saved_errno));
        }
    }
    return 0;
}

int qz_nats_join_worker_threads(volatile int32_t* stop_flag, long timeout_ms) {
    if (stop_flag == nullptr) return -1;
    const uint64_t deadline = qz_monotonic_ms() + static_cast<uint64_t>(std::max(timeout_ms, 0L));
    auto remaining = [deadline] {
        const uint64_t now = qz_monotonic_ms();
        return now >= deadline ? 0L : static_cast<long>(deadline - now);
    };

    // Joined outside the list's lock: a puller may need it to list the heartbeat thread.
    auto take = [](auto matches) {
        std::vector<StartedThread> taken;
        std::lock_guard<std::mutex> lock(s_threads_mu);
        auto& threads = started_threads();
        for (auto it = threads.begin(); it != threads.end();) {
            if (matches(*it)) {
                taken.push_back(std::move(*it));
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    };
    auto join_all = [&](std::vector<StartedThread>& threads) {
        std::vector<StartedThread> still_running;
        for (StartedThread& thread : threads) {
            if (QZ_JoinThreadTimeout(thread.handle, remaining()) != 0) {
                still_running.push_back(std::move(thread));
            }
        }
        threads.clear();
        // Records of joined threads are released here, with their subscriptions.
        if (!still_running.empty()) {
            std::lock_guard<std::mutex> lock(s_threads_mu);
            for (StartedThread& thread : still_running) {
                started_threads().push_back(std::move(thread));
            }
            return false;
        }
        return true;
    };

    std::vector<StartedThread> mine =
        take([stop_flag](const StartedThread& t) { return t.stop_flag == stop_flag; });
    bool all_ended = join_all(mine);
    if (all_ended && s_live_pullers.load() == 0) {
        std::vector<StartedThread> heartbeats =
            take([](const StartedThread& t) { return t.stop_flag == nullptr; });
        all_ended = join_all(heartbeats);
    }
    return all_ended ? 0 : 1;
}

int qz_worker_scan_execute(qz_connection_config* config, qz_request_handler_fn handler,
                           void* closure, const char* request, size_t length, char** out_reply) {
    if (out_reply != nullptr) *out_reply = nullptr;
    if (out_reply == nullptr || handler == nullptr || (request == nullptr && length > 0)) {
        LOG_ERROR("NATS: invalid parameters for worker_scan_execute");
        return -1;
    }
    qz_request_reply* pair = qz_request_reply_new();
    char* text = static_cast<char*>(malloc(length + 1));
    if (pair == nullptr || text == nullptr) {
        LOG_ERROR("NATS: out of memory for a request of %zu bytes", length);
        qz_request_reply_free_p(pair);
        free(text);
        return -1;
    }
    if (length > 0) memcpy(text, request, length);
    text[length] = '\0';
    pair->request->json = text;

    char* staged_key = nullptr;
    bool payload_missing = false;
    JsonPtr object;
    if (length > 0 && length <= static_cast<size_t>(INT32_MAX)) {
        std::unique_ptr<json_tokener, HandleDeleter<json_tokener, json_tokener_free>> tokener(
            json_tokener_new());
        if (tokener) {
            object.reset(json_tokener_parse_ex(tokener.get(), text, static_cast<int>(length)));
        }
    }
    json_object* key_member = nullptr;
    if (object && json_object_is_type(object.get(), json_type_object) &&
        json_object_object_get_ex(object.get(), "_kv_key", &key_member)) {
        // A key that is not a non-empty string cannot name a payload: the request fails closed
        // like one whose payload has gone.
        const bool usable = json_object_is_type(key_member, json_type_string) &&
                            json_object_get_string_len(key_member) > 0;
        staged_key =
            strdup(usable ? json_object_get_string(key_member)
                          : json_object_to_json_string_ext(key_member, JSON_C_TO_STRING_PLAIN));
        json_object_object_del(object.get(), "_kv_key");
        const char* plain = json_object_to_json_string_ext(object.get(), JSON_C_TO_STRING_PLAIN);
        char* stripped = plain != nullptr ? strdup(plain) : nullptr;
        if (staged_key == nullptr || stripped == nullptr) {
            LOG_ERROR("NATS: out of memory preparing a request with a staged payload");
            free(staged_key);
            free(stripped);
            qz_request_reply_free_p(pair);
            return -1;
        }
        free(pair->request->json);
        pair->request->json = stripped;
        pair->request->staged_key = staged_key;
        unsigned char* payload = nullptr;
        size_t payload_len = 0;
        if (usable && kvstore_get_chunked(config, staged_key, &payload, &payload_len) == 0) {
            pair->request->data = payload;
            pair->request->data_len = payload_len;
        } else {
            payload_missing = true;
            LOG_ERROR(
                "NATS: could not retrieve staged payload for key '%s' \xE2\x80\x94 failing the "
                "request closed (handler not invoked)",
                staged_key);
            qz_reply_set_ERROR(pair->reply, QZ_NATS_STAGED_PAYLOAD_MISSING_CODE,
                               QZ_NATS_STAGED_PAYLOAD_MISSING_TEXT);
        }
    }
    object.reset();

    if (!payload_missing) run_handler(handler, closure, pair);

    *out_reply = pair->reply->json;
    pair->reply->json = nullptr;
    pair->request->staged_key = nullptr;
    free(staged_key);
    qz_request_reply_free_p(pair);
    return 0;
}
}
