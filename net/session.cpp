// The session greeting and farewell, and the scanners that read the server's answers.
#include <chrono>
#include <thread>
#include <cstring>

#include "host/log.h"
#include "host/version.h"
#include "net/http_transport.h"
#include "net/server_api.h"
#include "net/worker.h"

namespace {

// Where the value of the first quoted occurrence of `key` starts (after ':' and blanks), or
// npos when the key or its colon is missing.
size_t find_value_start(const std::string& text, const char* key, bool skip_blanks) {
    std::string quoted;
    quoted.reserve(std::strlen(key) + 2);
    quoted += '"';
    quoted += key;
    quoted += '"';
    size_t at = text.find(quoted);
    if (at == std::string::npos) return std::string::npos;
    size_t colon = text.find(':', at);
    if (colon == std::string::npos) return std::string::npos;
    size_t i = colon + 1;
    if (skip_blanks)
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    return i;
}

const char* hello_reason(bool update_required, int32_t status) {
    if (update_required) return "this mod version must be updated";
    if (status == server_api::kStatusGardenHeldElsewhere) return "another session already holds this garden";
    if (status != 0) return "server refused the greeting";
    return "server unreachable";
}

}  // namespace

bool FindJsonBool(const std::string& text, const char* key) {
    size_t i = find_value_start(text, key, true);
    return i != std::string::npos && text.compare(i, 4, "true") == 0;
}

int32_t FindJsonInt(const std::string& text, const char* key) {
    size_t i = find_value_start(text, key, false);
    if (i == std::string::npos) return 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n' ||
                               text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Saturate instead of wrapping: a hostile answer must not turn into a different number.
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

void BeginSession(const std::string& session_id) {
    LinkWorker& w = link_worker();
    {
        std::lock_guard<std::mutex> g(w.lock);
        w.pending_hello = session_id;
        w.current_session_id = session_id;
        w.hello_result = HelloResult{};
    }
    w.work_signal.notify_one();
}

void EndSession(const std::string& session_id) {
    LinkWorker& w = link_worker();
    {
        std::lock_guard<std::mutex> g(w.lock);
        w.pending_goodbye = session_id;
        if (w.pending_hello == session_id) w.pending_hello.clear();
        clear_session_queues(w);
    }
    w.session_held.store(false);
    w.work_signal.notify_one();
}

void clear_session_queues(LinkWorker& w) {
    w.uploads.clear();
    w.command_documents.clear();
    // Acknowledgements outlive the session: an outcome that never reached the server would make
    // it offer the command again, and the next session, which remembers nothing, would apply it
    // twice (a spawned fruit duplicated). The ack request needs no held session.
    w.deposit_requests.clear();
    w.deposit_results.clear();
}

HelloResult GetHelloResult() {
    LinkWorker& w = link_worker();
    std::lock_guard<std::mutex> g(w.lock);
    return w.hello_result;
}

bool ShouldRequestIntake(const HelloResult& r, std::string& last_intake_session) {
    if (!r.answered || !r.held || !r.intake_required || r.session_id.empty() ||
        r.session_id == last_intake_session)
        return false;
    last_intake_session = r.session_id;
    return true;
}

std::string BuildHelloBody(const LinkWorker& w, const std::string& session_id) {
    const SyncConfig& c = w.config;
    bool frozen = w.lifespan_frozen.load();
    std::string body;
    body.reserve(512);
    body += "{\"session_id\":\"";
    body += session_id;
    body += "\",\"writeback\":";
    body += (c.EnableWriteback && c.EnableRestoreOnLaunch) ? "true" : "false";
    body += ",\"mod_version\":\"";
    body += kServerProtocolVersion;
    body += "\",\"capabilities\":[\"spawn_fruit\",\"set_parts\",\"set_parts_guard_v1\",\"set_hat_v1\",\"hatch_v1\","
            "\"tree_read_v1\",\"tree_control_v1\",\"restore_v3\",\"restore_v4\"";
    if (w.storage_available.load())
        body += ",\"garden_deposit_v1\",\"garden_withdraw_v1\",\"garden_inventory_read_v1\"";
    if (w.rebirth_available.load() && frozen) body += ",\"reincarnate_v1\"";
    if (frozen)
        body += ",\"lifespan_frozen_v1\"";
    else if (!c.DisableNaturalDeath)
        body += ",\"natural_lifecycle_v1\"";
    body += "]}";
    return body;
}

void SendHello(LinkWorker& w, const std::string& session_id) {
    std::string body = BuildHelloBody(w, session_id);
    std::string current, response;
    {
        std::lock_guard<std::mutex> g(w.lock);
        current = w.current_session_id;
    }
    int32_t status = 0;
    HelloResult r;
    r.session_id = session_id;
    if (SendRequest(w.config, current, "POST", server_api::kHelloPath, body, &response, status)) {
        r.answered = true;
        r.held = FindJsonBool(response, server_api::kFieldHeld);
        r.available = FindJsonBool(response, server_api::kFieldAvailable);
        r.intake_required = FindJsonBool(response, server_api::kFieldIntakeRequired);
        r.chao = FindJsonInt(response, server_api::kFieldChao);
        ModLog::log("session: hello ok -- aging paused, server holds %d chao%s%s", r.chao,
                    r.available ? "" : " (nothing to restore)",
                    r.intake_required ? " (intake upload requested)" : "");
    } else {
        r.update_required = FindJsonBool(response, server_api::kFieldUpdateRequired);
        r.answered = status != 0;
        r.reason = hello_reason(r.update_required, status);
        ModLog::log("session: hello failed (%s, status %d)", r.reason.c_str(), status);
    }
    w.session_held.store(r.held);
    std::lock_guard<std::mutex> g(w.lock);
    w.hello_result = std::move(r);
}

void SendGoodbye(LinkWorker& w, const std::string& session_id) {
    std::string body = "{\"session_id\":\"" + session_id + "\"}";
    std::string current;
    {
        std::lock_guard<std::mutex> g(w.lock);
        current = w.current_session_id;
    }
    int32_t status = 0;
    // A farewell lost to a passing fault would leave the garden held by this ended session, and
    // the player's next session would be refused with 409 until the server's time-out: try a
    // few times, briefly (only this worker waits).
    for (int attempt = 0;; ++attempt) {
        if (SendRequest(w.config, current, "POST", server_api::kGoodbyePath, body, nullptr, status) ||
            !server_api::is_transient(status) || attempt == 2)
            break;
        ModLog::log("session: goodbye failed (status %d); retrying", status);
        std::this_thread::sleep_for(std::chrono::milliseconds(250 << attempt));
    }
    ModLog::log("session: goodbye sent (status %d) -- aging resumes", status);
    w.session_held.store(false);
    std::lock_guard<std::mutex> g(w.lock);
    if (server_api::is_transient(status)) w.unconfirmed_goodbye = session_id;
    else if (w.unconfirmed_goodbye == session_id) w.unconfirmed_goodbye.clear();
    if (w.current_session_id == session_id) w.current_session_id.clear();
    clear_session_queues(w);
    w.hello_result = HelloResult{};
}

void RetryUnconfirmedGoodbye(LinkWorker& w, const std::string& next_session_id) {
    std::string old;
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (w.unconfirmed_goodbye.empty() || w.unconfirmed_goodbye == next_session_id) return;
        old = w.unconfirmed_goodbye;
    }
    int32_t status = 0;
    SendRequest(w.config, next_session_id, "POST", server_api::kGoodbyePath, "{\"session_id\":\"" + old + "\"}",
                nullptr, status);
    ModLog::log("session: earlier goodbye sent again (status %d)", status);
    std::lock_guard<std::mutex> g(w.lock);
    if (!server_api::is_transient(status) && w.unconfirmed_goodbye == old) w.unconfirmed_goodbye.clear();
}
