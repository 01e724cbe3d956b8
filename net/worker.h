// The sync worker: the one background thread, and the only place the network is used.
// The game thread only puts work into its queues and takes results out, each under the one
// lock for a short moment; it never waits on the server.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/config.h"

struct UploadJob {
    std::string payload;
    std::string session_id;
    bool full = false;
    std::vector<uint32_t> ack_ids;
};

struct HelloResult {
    std::string session_id;
    bool answered = false;
    bool held = false;
    bool available = false;
    bool intake_required = false;
    bool update_required = false;
    int32_t chao = 0;
    std::string reason;
};

struct AckEntry {
    uint32_t id = 0;
    bool ok = false;
    std::string error;
};

struct DepositRequest {
    std::string request_id;
    std::string body;
    std::string session_id;
};

struct DepositResult {
    std::string request_id;
    std::string session_id;
    bool ok = false;
    int32_t status = 0;
};

constexpr size_t kMaxUploadJobs = 16;
constexpr size_t kMaxCommandDocuments = 2;
constexpr size_t kMaxDepositRequests = 4;
constexpr size_t kMaxDepositResults = 8;
constexpr size_t kMaxDepositBody = 2048;

struct LinkWorker {
    SyncConfig config;  // the worker's own copy, taken at start
    std::thread thread;
    std::atomic<bool> running{false};
    // Capabilities announced in the greeting; written by the game thread.
    std::atomic<bool> lifespan_frozen{false};
    std::atomic<bool> rebirth_available{false};
    std::atomic<bool> storage_available{false};
    std::atomic<bool> session_held{false};
    // Worker threads still inside their loop: 0 or 1 (a new start waits for the old one).
    std::atomic<int> threads_alive{0};

    std::mutex lock;
    std::condition_variable work_signal;
    std::deque<UploadJob> uploads;
    std::deque<std::string> command_documents;
    std::deque<AckEntry> acks;
    std::deque<DepositRequest> deposit_requests;
    std::deque<DepositResult> deposit_results;
    std::string pending_hello;
    std::string pending_goodbye;
    // A farewell that never got through: sent again before the next greeting, so the ended
    // session does not keep the garden from the new one.
    std::string unconfirmed_goodbye;
    std::string current_session_id;
    HelloResult hello_result;
    bool waiting = false;  // the loop is in its idle wait (guarded by the lock)
};

// The one instance, for the life of the process. It is never destroyed, so a thread that is
// still in a network call when the library's statics go away never touches freed memory.
LinkWorker& link_worker();

// Game-thread operations; each takes the lock only to move queue entries.
void StartWorker(const SyncConfig& config);
void StopWorker();
void BeginSession(const std::string& session_id);
void EndSession(const std::string& session_id);
void EnqueueUpload(std::string payload, bool full, const std::vector<uint32_t>& ack_ids);
void QueueAck(uint32_t id, bool ok, const std::string& error);
bool TakeCommandDocument(std::string& out);
HelloResult GetHelloResult();
bool ShouldRequestIntake(const HelloResult& result, std::string& last_intake_session);
bool QueueDeposit(const std::string& request_id, const std::string& body);
bool TakeDepositResult(DepositResult& out);

// Response scanners over raw text (the first quoted occurrence of the key anywhere).
bool FindJsonBool(const std::string& text, const char* key);
int32_t FindJsonInt(const std::string& text, const char* key);

// Worker-side steps (run on the worker thread; exposed for the loop's own modules).
std::string BuildHelloBody(const LinkWorker& w, const std::string& session_id);
void SendHello(LinkWorker& w, const std::string& session_id);
void SendGoodbye(LinkWorker& w, const std::string& session_id);
// Sends the unconfirmed farewell, if any, before a greeting of another session.
void RetryUnconfirmedGoodbye(LinkWorker& w, const std::string& next_session_id);
// False when a transient failure left the oldest acknowledgement queued for a retry.
bool SendAcks(LinkWorker& w);
void FetchCommands(LinkWorker& w);
void SendOneDeposit(LinkWorker& w);
// Empties the session's queues (not the acknowledgements); the caller holds the lock.
void clear_session_queues(LinkWorker& w);
// The command poll interval in milliseconds (64-bit: a large setting must not wrap).
uint64_t command_poll_interval_ms(int32_t seconds);

// For tests and the simulator: waits up to `timeout_ms` for the worker thread to leave its
// loop, then joins it. True when no thread is left. The game never calls this.
bool WaitWorkerExit(uint64_t timeout_ms);
// For tests and the demo: the worker is waiting with nothing queued and nothing in flight.
bool WorkerIdle();
// For tests: divides every wait of the worker (idle wake-up, back-off) by `divisor`, so
// back-off sequences can be exercised quickly. 1 in the shipped mod.
void SetWorkerTimeDivisor(uint32_t divisor);
