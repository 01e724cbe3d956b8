// One blocking HTTP(S) exchange with the sync server. Runs on the sync worker thread only;
// nothing is pooled between calls and nothing is retried here.
#pragma once
#include <cstdint>
#include <string>

#include "host/config.h"

// Sends one request below the configured base path. `status` is set to 0 first and stays 0
// when no status was obtained. `response`, when not null, receives the body (capped); when
// null the body is still read and thrown away. `session_override`, when not empty, goes in
// the session header instead of `session_id`. True exactly when a status 200..299 arrived.
bool SendRequest(const SyncConfig& config, const std::string& session_id, const char* verb,
                 const std::string& path, const std::string& body, std::string* response,
                 int32_t& status, const std::string& session_override = std::string());

// True when `host` (as configured, compared byte for byte) names this machine or a private
// network, which is reached without any proxy.
bool IsLocalHost(const std::string& host);

// The header block of one request, each line ending in "\r\n".
std::string BuildRequestHeaders(const SyncConfig& config, const std::string& session_id,
                                const std::string& session_override);

// Per-step network timeouts. The defaults are the shipped values; only tests change them.
struct HttpTimeouts {
    int32_t resolve_ms = 5000;
    int32_t connect_ms = 5000;
    int32_t send_ms = 8000;
    int32_t receive_ms = 8000;
};
HttpTimeouts GetHttpTimeouts();
void SetHttpTimeouts(const HttpTimeouts& timeouts);
