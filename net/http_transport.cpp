#include "net/http_transport.h"

#include <atomic>
#include <climits>

#include "host/log.h"
#include "net/request_path.h"
#include "net/server_api.h"
#include "platform/http.h"

namespace {

std::atomic<int32_t> g_resolve_ms{HttpTimeouts{}.resolve_ms};
std::atomic<int32_t> g_connect_ms{HttpTimeouts{}.connect_ms};
std::atomic<int32_t> g_send_ms{HttpTimeouts{}.send_ms};
std::atomic<int32_t> g_receive_ms{HttpTimeouts{}.receive_ms};

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads a number the lenient way: blanks, a sign, digits up to the first non-digit; no
// digits read as 0. Saturates instead of overflowing.
long lenient_number(const char* p) {
    while (is_blank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < LONG_MAX / 10) value = value * 10 + (*p - '0');
    }
    return negative ? -value : value;
}

// A CR or LF inside a header value would let it start headers of its own.
bool safe_header_value(const std::string& value) {
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

}  // namespace

bool IsLocalHost(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    if (starts_with(host, "127.") || starts_with(host, "10.") || starts_with(host, "192.168.")) return true;
    if (starts_with(host, "172.")) {
        long second = lenient_number(host.c_str() + 4);
        return second >= 16 && second <= 31;
    }
    return false;
}

std::string BuildRequestHeaders(const SyncConfig& config, const std::string& session_id,
                                const std::string& session_override) {
    std::string headers = server_api::kContentTypeHeader;
    headers += "\r\n";
    if (!config.ApiKey.empty()) {
        headers += server_api::kKeyHeader;
        headers += ": " + config.ApiKey + "\r\n";
    }
    headers += server_api::kSaveSlotHeader;
    headers += ": " + std::to_string(config.SaveSlot) + "\r\n";
    const std::string& session = session_override.empty() ? session_id : session_override;
    if (!session.empty()) {
        headers += server_api::kSessionHeader;
        headers += ": " + session + "\r\n";
    }
    return headers;
}

HttpTimeouts GetHttpTimeouts() {
    HttpTimeouts t;
    t.resolve_ms = g_resolve_ms.load();
    t.connect_ms = g_connect_ms.load();
    t.send_ms = g_send_ms.load();
    t.receive_ms = g_receive_ms.load();
    return t;
}

void SetHttpTimeouts(const HttpTimeouts& timeouts) {
    g_resolve_ms.store(timeouts.resolve_ms);
    g_connect_ms.store(timeouts.connect_ms);
    g_send_ms.store(timeouts.send_ms);
    g_receive_ms.store(timeouts.receive_ms);
}

bool SendRequest(const SyncConfig& config, const std::string& session_id, const char* verb,
                 const std::string& path, const std::string& body, std::string* response,
                 int32_t& status, const std::string& session_override) {
    status = 0;
    if (!safe_header_value(config.ApiKey) || !safe_header_value(session_id) ||
        !safe_header_value(session_override)) {
        ModLog::log("upload: request not sent, a header value holds a line break");
        return false;
    }

    platform::HttpExchange exchange;
    exchange.host = config.ServerHost;
    exchange.port = static_cast<uint16_t>(config.ServerPort & 0xFFFF);
    exchange.https = config.UseHttps;
    exchange.direct = IsLocalHost(config.ServerHost);
    exchange.verb = verb ? verb : "GET";
    exchange.path = ComposeRequestPath(config, path);
    exchange.headers = BuildRequestHeaders(config, session_id, session_override);
    exchange.user_agent = server_api::kUserAgent;
    exchange.body = body;
    exchange.response = response;
    HttpTimeouts timeouts = GetHttpTimeouts();
    exchange.resolve_timeout_ms = timeouts.resolve_ms;
    exchange.connect_timeout_ms = timeouts.connect_ms;
    exchange.send_timeout_ms = timeouts.send_ms;
    exchange.receive_timeout_ms = timeouts.receive_ms;

    // A cut-off exchange leaves nothing behind that could pass for a response.
    size_t kept_before = response ? response->size() : 0;
    platform::HttpOutcome outcome = platform::http_exchange(exchange);
    if (outcome.failure != platform::HttpFailure::none && response) response->resize(kept_before);
    unsigned long error = outcome.error;
    switch (outcome.failure) {
        case platform::HttpFailure::none:
            break;
        case platform::HttpFailure::open:
            ModLog::log("upload: WinHttpOpen failed (error %lu)", error);
            return false;
        case platform::HttpFailure::connect:
            ModLog::log("upload: WinHttpConnect to %s:%d failed (error %lu)", config.ServerHost.c_str(),
                        static_cast<int>(config.ServerPort), error);
            return false;
        case platform::HttpFailure::request:
            ModLog::log("upload: WinHttpOpenRequest failed (error %lu)", error);
            return false;
        case platform::HttpFailure::exchange:
            ModLog::log("upload: send/receive failed (error %lu, host %s:%d, proxy %s)", error,
                        config.ServerHost.c_str(), static_cast<int>(config.ServerPort),
                        exchange.direct ? "direct" : "system");
            return false;
    }
    status = outcome.status;
    return server_api::is_accepted(status);
}
