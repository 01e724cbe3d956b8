// Command documents fetched for the game thread, and the outcomes sent back.
#include <cstdio>

#include "net/http_transport.h"
#include "net/server_api.h"
#include "net/worker.h"

namespace {

// Quotes and backslashes escaped; control bytes dropped; other bytes pass unchanged.
std::string escape_error(const std::string& error) {
    std::string out;
    out.reserve(error.size() + 8);
    for (unsigned char c : error) {
        if (c == '"' || c == '\\') out += '\\';
        if (c >= 32) out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

bool TakeCommandDocument(std::string& out) {
    LinkWorker& w = link_worker();
    std::lock_guard<std::mutex> g(w.lock);
    if (w.command_documents.empty()) return false;
    out = std::move(w.command_documents.front());
    w.command_documents.pop_front();
    return true;
}

void QueueAck(uint32_t id, bool ok, const std::string& error) {
    LinkWorker& w = link_worker();
    {
        std::lock_guard<std::mutex> g(w.lock);
        w.acks.push_back(AckEntry{id, ok, error});
    }
    w.work_signal.notify_one();
}

void FetchCommands(LinkWorker& w) {
    std::string current, response;
    {
        std::lock_guard<std::mutex> g(w.lock);
        current = w.current_session_id;
    }
    int32_t status = 0;
    if (!SendRequest(w.config, current, "GET", w.config.CommandPath, std::string(), &response, status) ||
        response.empty())
        return;
    std::lock_guard<std::mutex> g(w.lock);
    while (w.command_documents.size() >= kMaxCommandDocuments) w.command_documents.pop_front();
    w.command_documents.push_back(std::move(response));
}

bool SendAcks(LinkWorker& w) {
    for (;;) {
        AckEntry entry;
        std::string current;
        {
            std::lock_guard<std::mutex> g(w.lock);
            if (w.acks.empty()) return true;
            entry = std::move(w.acks.front());
            w.acks.pop_front();
            current = w.current_session_id;
        }
        std::string error = escape_error(entry.error);
        std::string body = entry.ok ? "{\"ok\":true" : "{\"ok\":false";
        if (!error.empty()) body += ",\"error\":\"" + error + "\"";
        body += "}";
        char path[160];
        std::snprintf(path, sizeof path, server_api::kAckPathFormat, w.config.CommandPath.c_str(),
                      static_cast<int>(entry.id));
        int32_t status = 0;
        // A lost acknowledgement is not harmless: the server offers the command again, and a
        // later session applies it again. Transient failures keep it first in line.
        if (!SendRequest(w.config, current, "POST", path, body, nullptr, status) && server_api::is_transient(status)) {
            std::lock_guard<std::mutex> g(w.lock);
            w.acks.push_front(std::move(entry));
            return false;
        }
    }
}
