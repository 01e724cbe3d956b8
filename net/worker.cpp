#include "net/worker.h"

#include <algorithm>
#include <chrono>

#include "host/log.h"
#include "net/http_transport.h"
#include "net/server_api.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint32_t> g_time_divisor{1};

std::chrono::milliseconds scaled(uint64_t ms) {
    uint32_t d = g_time_divisor.load();
    return std::chrono::milliseconds(ms / (d ? d : 1));
}

constexpr uint64_t kIdleWakeMs = 500;
constexpr uint32_t kFirstBackoffMs = 1000;
constexpr uint32_t kMaxBackoffMs = 30000;

bool has_work(const LinkWorker& w) {
    return !w.uploads.empty() || !w.acks.empty() || !w.deposit_requests.empty() ||
           !w.pending_hello.empty() || !w.pending_goodbye.empty() || !w.running.load();
}

// A pending goodbye counts as the job's when the job has no session or the same one.
bool goodbye_pending_for(const LinkWorker& w, const std::string& job_session) {
    return !w.pending_goodbye.empty() &&
           (job_session.empty() || job_session == w.pending_goodbye);
}

// Removes the first (or last) delta job; false when only full jobs are queued.
bool remove_delta(std::deque<UploadJob>& q, bool from_back) {
    if (from_back) {
        for (auto it = q.rbegin(); it != q.rend(); ++it)
            if (!it->full) {
                q.erase(std::next(it).base());
                return true;
            }
        return false;
    }
    auto it = std::find_if(q.begin(), q.end(), [](const UploadJob& j) { return !j.full; });
    if (it == q.end()) return false;
    q.erase(it);
    return true;
}

// One job: accepted, dropped, or put back at the front for a retry after `backoff`.
void upload_job(LinkWorker& w, UploadJob job, uint32_t& backoff) {
    int32_t status = 0;
    std::string current;
    {
        std::lock_guard<std::mutex> g(w.lock);
        current = w.current_session_id;
    }
    bool ok = SendRequest(w.config, current, "POST", w.config.SyncPath, job.payload, nullptr, status);
    if (ok) {
        backoff = 0;
        if (!job.ack_ids.empty()) {
            std::lock_guard<std::mutex> g(w.lock);
            for (uint32_t id : job.ack_ids) w.acks.push_back(AckEntry{id, true, std::string()});
        }
        return;
    }
    if (!server_api::is_transient(status)) {
        backoff = 0;
        if (job.full && status >= 400 && status <= 499)
            ModLog::log("upload: full snapshot rejected (status %d); not retrying permanent response",
                        status);
        return;
    }
    bool full = job.full;
    {
        std::lock_guard<std::mutex> g(w.lock);
        bool keep = w.running.load() && job.session_id == w.current_session_id &&
                    !goodbye_pending_for(w, job.session_id);
        if (keep && w.uploads.size() >= kMaxUploadJobs) keep = remove_delta(w.uploads, true);
        if (!keep) {
            backoff = 0;
            return;
        }
        w.uploads.push_front(std::move(job));
    }
    backoff = backoff == 0 ? kFirstBackoffMs : std::min(backoff * 2, kMaxBackoffMs);
    ModLog::log("upload: transient failure (status %d); retrying %s snapshot in %dms", status,
                full ? "full" : "delta", static_cast<int>(backoff));
    // New work does not end the wait; a stop or a goodbye does.
    std::unique_lock<std::mutex> g(w.lock);
    auto deadline = Clock::now() + scaled(backoff);
    while (w.running.load() && w.pending_goodbye.empty()) {
        if (w.work_signal.wait_until(g, deadline) == std::cv_status::timeout) break;
    }
}

void run_worker(LinkWorker* wp) {
    LinkWorker& w = *wp;
    uint32_t backoff = 0, ack_backoff = 0;
    uint64_t last_poll_ms = 0;
    bool polled = false;
    for (;;) {
        std::string goodbye, hello;
        {
            std::unique_lock<std::mutex> g(w.lock);
            w.waiting = true;
            w.work_signal.wait_for(g, scaled(kIdleWakeMs), [&] { return has_work(w); });
            w.waiting = false;
            goodbye.swap(w.pending_goodbye);
            if (w.running.load()) hello.swap(w.pending_hello);
        }
        if (!goodbye.empty()) SendGoodbye(w, goodbye);
        if (!hello.empty() && w.running.load()) {
            RetryUnconfirmedGoodbye(w, hello);
            SendHello(w, hello);
        }

        if (w.running.load()) {
            if (SendAcks(w)) {
                ack_backoff = 0;
            } else {
                ack_backoff = ack_backoff == 0 ? kFirstBackoffMs : std::min(ack_backoff * 2, kMaxBackoffMs);
                std::unique_lock<std::mutex> g(w.lock);
                auto deadline = Clock::now() + scaled(ack_backoff);
                while (w.running.load() && w.pending_goodbye.empty())
                    if (w.work_signal.wait_until(g, deadline) == std::cv_status::timeout) break;
                continue;
            }
            SendOneDeposit(w);
            if (w.config.EnableWriteback && w.session_held.load()) {
                uint64_t now = platform::tick_ms();
                if (!polled || now - last_poll_ms >= command_poll_interval_ms(w.config.CommandPollSeconds)) {
                    polled = true;
                    last_poll_ms = now;
                    FetchCommands(w);
                }
            }
            UploadJob job;
            {
                std::lock_guard<std::mutex> g(w.lock);
                if (w.uploads.empty()) continue;
                job = std::move(w.uploads.front());
                w.uploads.pop_front();
            }
            upload_job(w, std::move(job), backoff);
            continue;
        }
        // Stopping: send a pending goodbye first, then end. The scoped lock is released on
        // both paths.
        std::lock_guard<std::mutex> g(w.lock);
        if (w.pending_goodbye.empty()) break;
    }
    w.threads_alive.fetch_sub(1);
}

}  // namespace

LinkWorker& link_worker() {
    static LinkWorker* worker = new LinkWorker();
    return *worker;
}

namespace {
// At static destruction: stop and wake the thread, then let it go.
struct WorkerReleaser {
    ~WorkerReleaser() {
        LinkWorker& w = link_worker();
        w.running.store(false);
        w.work_signal.notify_all();
        if (w.thread.joinable()) w.thread.detach();
    }
} g_releaser;
}  // namespace

uint64_t command_poll_interval_ms(int32_t seconds) {
    return seconds <= 0 ? 10000u : static_cast<uint64_t>(seconds) * 1000u;
}

void StartWorker(const SyncConfig& config) {
    LinkWorker& w = link_worker();
    if (w.running.load()) return;
    // A thread from an earlier load that has already left its loop is collected here.
    if (w.thread.joinable() && w.threads_alive.load() == 0) w.thread.join();
    // A stopped thread still inside a network call reads the configuration: it is never
    // replaced under it. (Only a host that loads the library twice in one process meets this.)
    if (w.threads_alive.load() > 0) {
        ModLog::log("upload: the previous sync worker has not stopped yet -- worker not started");
        return;
    }
    w.config = config;
    w.lifespan_frozen.store(config.lifespan_frozen);
    if (!config.valid) {
        ModLog::log("upload: invalid configuration -- worker not started");
        return;
    }
    w.running.store(true);
    w.threads_alive.fetch_add(1);
    w.thread = std::thread(run_worker, &w);
}

void StopWorker() {
    LinkWorker& w = link_worker();
    w.running.store(false);
    w.work_signal.notify_all();
}

bool WaitWorkerExit(uint64_t timeout_ms) {
    LinkWorker& w = link_worker();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (w.threads_alive.load() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (w.threads_alive.load() > 0) return false;
    if (w.thread.joinable()) w.thread.join();
    return true;
}

bool WorkerIdle() {
    LinkWorker& w = link_worker();
    std::lock_guard<std::mutex> g(w.lock);
    return w.waiting && !has_work(w);
}

void SetWorkerTimeDivisor(uint32_t divisor) { g_time_divisor.store(divisor ? divisor : 1); }

void EnqueueUpload(std::string payload, bool full, const std::vector<uint32_t>& ack_ids) {
    LinkWorker& w = link_worker();
    {
        std::lock_guard<std::mutex> g(w.lock);
        std::vector<uint32_t> acks = ack_ids;
        if (full && !w.uploads.empty()) {
            // A full snapshot supersedes everything queued; its acknowledgements travel on.
            for (const UploadJob& j : w.uploads)
                for (uint32_t id : j.ack_ids)
                    if (std::find(acks.begin(), acks.end(), id) == acks.end()) acks.push_back(id);
            w.uploads.clear();
        }
        if (w.uploads.size() >= kMaxUploadJobs && !remove_delta(w.uploads, false)) {
            if (!full) return;
            w.uploads.pop_front();
        }
        w.uploads.push_back(UploadJob{std::move(payload), w.current_session_id, full, std::move(acks)});
    }
    w.work_signal.notify_one();
}
