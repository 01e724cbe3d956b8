// Door 1, HTTP: one plain request/response exchange with a server, nothing kept between
// calls. WinHTTP on Windows, libcurl elsewhere; both keep the same contract so the transport
// above them behaves the same on either side.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The response body kept for the caller never exceeds this many bytes; the rest of the
// stream is still read to its end and thrown away.
constexpr size_t kHttpResponseCap = 0x40000;
// The body is read in pieces of at most this size; only whole pieces are kept, so the kept
// text is a prefix of the body made of whole pieces.
constexpr size_t kHttpReadChunk = 2048;

struct HttpExchange {
    std::string host;  // UTF-8, as configured
    uint16_t port = 0;
    bool https = false;
    bool direct = false;  // true: no proxy at all; false: the system's proxy settings
    const char* verb = "GET";
    std::string path;  // UTF-8, already below the base path, begins with "/"
    std::string headers;  // header lines, each ending in "\r\n"
    const char* user_agent = "";
    std::string body;  // empty: no body is sent
    std::string* response = nullptr;  // receives the (capped) body when not null
    int32_t resolve_timeout_ms = 5000;
    int32_t connect_timeout_ms = 5000;
    int32_t send_timeout_ms = 8000;
    int32_t receive_timeout_ms = 8000;
};

// Where an exchange stopped short of a whole response.
enum class HttpFailure {
    none,        // a status and the whole body arrived
    open,        // the session could not be opened
    connect,     // the connection could not be set up (bad host, bad parameters)
    request,     // the request could not be opened
    exchange,    // sending, receiving or reading the body failed (DNS, refused, TLS, timeout, cut off)
};

struct HttpOutcome {
    int32_t status = 0;  // 0 whenever no whole response was obtained
    HttpFailure failure = HttpFailure::none;
    uint32_t error = 0;  // the system's error code for the failure
};

// Blocks for at most the timeouts per network step. Certificates are always checked and
// redirects are never followed (they would carry the key header to another address).
HttpOutcome http_exchange(const HttpExchange& exchange);

#ifdef _WIN32
// UTF-8 to UTF-16 with MultiByteToWideChar (code page 65001, flags 0); "" gives "".
std::wstring Utf8ToWide(const std::string& text);
#endif

}  // namespace platform
