// Storage transfer reports handed to the worker, and their outcomes handed back.
#include "net/http_transport.h"
#include "net/server_api.h"
#include "net/worker.h"

bool QueueDeposit(const std::string& request_id, const std::string& body) {
    LinkWorker& w = link_worker();
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (!w.running.load()) return false;
        if (!w.session_held.load() || w.current_session_id.empty() || !w.pending_goodbye.empty() ||
            w.deposit_requests.size() >= kMaxDepositRequests)
            return false;
        if (body.size() > kMaxDepositBody) return false;
        for (const DepositRequest& r : w.deposit_requests)
            if (r.request_id == request_id) return true;
        w.deposit_requests.push_back(DepositRequest{request_id, body, w.current_session_id});
    }
    w.work_signal.notify_one();
    return true;
}

bool TakeDepositResult(DepositResult& out) {
    LinkWorker& w = link_worker();
    std::lock_guard<std::mutex> g(w.lock);
    if (w.deposit_results.empty()) return false;
    out = std::move(w.deposit_results.front());
    w.deposit_results.pop_front();
    return true;
}

void SendOneDeposit(LinkWorker& w) {
    DepositRequest request;
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (w.deposit_requests.empty() || !w.session_held.load()) return;
        request = std::move(w.deposit_requests.front());
        w.deposit_requests.pop_front();
        if (request.session_id != w.current_session_id || !w.pending_goodbye.empty()) return;
    }
    std::string response;
    int32_t status = 0;
    bool ok = SendRequest(w.config, request.session_id, "POST", server_api::kDepositPath, request.body,
                          &response, status, request.session_id) &&
              FindJsonBool(response, server_api::kFieldOk);
    std::lock_guard<std::mutex> g(w.lock);
    if (request.session_id != w.current_session_id || !w.pending_goodbye.empty()) return;
    while (w.deposit_results.size() >= kMaxDepositResults) w.deposit_results.pop_front();
    w.deposit_results.push_back(DepositResult{request.request_id, request.session_id, ok, status});
}
