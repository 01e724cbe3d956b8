// The HTTP door on Windows: a fresh WinHTTP session, connection and request for every
// exchange, all three closed before returning.
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>

#include "platform/http.h"

namespace platform {

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &wide[0], needed);
    if (written <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(written));
    return wide;
}

namespace {

struct Handles {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    ~Handles() {
        if (request) WinHttpCloseHandle(request);
        if (connection) WinHttpCloseHandle(connection);
        if (session) WinHttpCloseHandle(session);
    }
};

HttpOutcome failed(HttpFailure failure, DWORD error) {
    HttpOutcome out;
    out.failure = failure;
    out.error = error;
    return out;
}

// The announced body length, or -1 when there is none to hold the body against (chunked,
// or delimited by the end of the connection).
long long announced_length(HINTERNET request) {
    wchar_t buffer[64];
    DWORD size = sizeof buffer;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, buffer,
                            &size, WINHTTP_NO_HEADER_INDEX))
        return -1;
    size = sizeof buffer;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    wchar_t* end = nullptr;
    long long value = wcstoll(buffer, &end, 10);
    if (end == buffer || value < 0) return -1;
    return value;
}

}  // namespace

HttpOutcome http_exchange(const HttpExchange& x) {
    Handles h;
    std::wstring agent = Utf8ToWide(x.user_agent ? x.user_agent : "");
    h.session = WinHttpOpen(agent.c_str(), x.direct ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!h.session) return failed(HttpFailure::open, GetLastError());
    WinHttpSetTimeouts(h.session, x.resolve_timeout_ms, x.connect_timeout_ms, x.send_timeout_ms,
                       x.receive_timeout_ms);

    std::wstring host = Utf8ToWide(x.host);
    h.connection = WinHttpConnect(h.session, host.c_str(), x.port, 0);
    if (!h.connection) return failed(HttpFailure::connect, GetLastError());

    std::wstring verb = Utf8ToWide(x.verb ? x.verb : "GET");
    std::wstring path = Utf8ToWide(x.path);
    h.request = WinHttpOpenRequest(h.connection, verb.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, x.https ? WINHTTP_FLAG_SECURE : 0);
    if (!h.request) return failed(HttpFailure::request, GetLastError());
    if (x.body.size() > 0xFFFFFFFFu) return failed(HttpFailure::request, ERROR_INVALID_PARAMETER);
    // The wait for the response headers is bounded by the receive timeout too (some WinHTTP
    // versions keep a separate, far longer limit for it).
    DWORD header_wait = static_cast<DWORD>(x.receive_timeout_ms);
    WinHttpSetOption(h.request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &header_wait, sizeof header_wait);
    // A redirect would carry the key header to wherever the server points.
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(h.request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);

    std::wstring headers = Utf8ToWide(x.headers);
    DWORD body_length = static_cast<DWORD>(x.body.size());
    LPVOID body = body_length ? const_cast<char*>(x.body.data()) : WINHTTP_NO_REQUEST_DATA;
    if (!WinHttpSendRequest(h.request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(-1L), body, body_length, body_length, 0) ||
        !WinHttpReceiveResponse(h.request, nullptr))
        return failed(HttpFailure::exchange, GetLastError());

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(h.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
        status == 0)
        return failed(HttpFailure::exchange, GetLastError());

    // Read whatever the status; keep whole chunks within the cap, drain the rest.
    char chunk[kHttpReadChunk];
    unsigned long long total = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(h.request, &available)) return failed(HttpFailure::exchange, GetLastError());
        if (available == 0) break;
        DWORD want = available < kHttpReadChunk ? available : static_cast<DWORD>(kHttpReadChunk);
        DWORD got = 0;
        if (!WinHttpReadData(h.request, chunk, want, &got)) return failed(HttpFailure::exchange, GetLastError());
        if (got == 0) break;
        total += got;
        if (x.response && total <= kHttpResponseCap) x.response->append(chunk, got);
    }
    // A body shorter than announced was cut off; it must not pass for the whole answer.
    long long announced = (status >= 200 && status != 204 && status != 304) ? announced_length(h.request) : -1;
    if (announced >= 0 && total < static_cast<unsigned long long>(announced))
        return failed(HttpFailure::exchange, ERROR_WINHTTP_CONNECTION_ERROR);

    HttpOutcome out;
    out.status = static_cast<int32_t>(status);
    return out;
}

}  // namespace platform
