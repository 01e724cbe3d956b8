// The HTTP door on Linux: one libcurl easy handle per exchange, cleaned up before returning.
#include <curl/curl.h>

#include <chrono>
#include <mutex>

#include "platform/http.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

void global_init_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Characters that would change what the URL means if they stood in the host.
bool usable_host(const std::string& host) {
    if (host.empty()) return false;
    for (unsigned char c : host) {
        if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '[' || c == ']' ||
            c == '\\')
            return false;
    }
    return true;
}

std::string build_url(const HttpExchange& x) {
    static const char hex[] = "0123456789ABCDEF";
    std::string url = x.https ? "https://" : "http://";
    bool ipv6 = x.host.find(':') != std::string::npos;
    if (ipv6) url += '[';
    url += x.host;
    if (ipv6) url += ']';
    url += ':';
    url += std::to_string(x.port);
    for (unsigned char c : x.path) {
        if (c <= 0x20 || c >= 0x7F) {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        } else {
            url += static_cast<char>(c);
        }
    }
    return url;
}

struct Transfer {
    CURL* curl = nullptr;
    std::string* response = nullptr;
    size_t total = 0;
    curl_off_t body_size = 0;
    int32_t send_timeout_ms = 0;
    int32_t receive_timeout_ms = 0;
    bool connected = false;
    curl_off_t last_up = 0;
    curl_off_t last_down = 0;
    Clock::time_point last_activity{};
};

// Keeps whole pieces of at most kHttpReadChunk bytes while the running total stays within
// the cap, and swallows the rest so the stream is drained to its end.
size_t on_body(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    size_t bytes = size * count;
    for (size_t at = 0; at < bytes; at += kHttpReadChunk) {
        size_t piece = bytes - at < kHttpReadChunk ? bytes - at : kHttpReadChunk;
        t.total += piece;
        if (t.response && t.total <= kHttpResponseCap) t.response->append(data + at, piece);
    }
    return bytes;
}

// libcurl has no per-step send and receive timeouts: abort when nothing has moved for longer
// than the step allows, counted from the moment the connection is ready.
int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    Transfer& t = *static_cast<Transfer*>(user);
    Clock::time_point now = Clock::now();
    if (!t.connected) {
        curl_off_t pretransfer = 0;
        if (curl_easy_getinfo(t.curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK || pretransfer <= 0)
            return 0;
        t.connected = true;
        t.last_activity = now;
    }
    if (up != t.last_up || down != t.last_down) {
        t.last_up = up;
        t.last_down = down;
        t.last_activity = now;
        return 0;
    }
    int32_t limit = up < t.body_size ? t.send_timeout_ms : t.receive_timeout_ms;
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - t.last_activity).count();
    return idle > limit ? 1 : 0;
}

curl_slist* header_list(const std::string& headers) {
    curl_slist* list = nullptr;
    size_t at = 0;
    while (at < headers.size()) {
        size_t end = headers.find("\r\n", at);
        if (end == std::string::npos) end = headers.size();
        if (end > at) list = curl_slist_append(list, headers.substr(at, end - at).c_str());
        at = end + 2;
    }
    // No "Expect: 100-continue" round trip before larger bodies.
    return curl_slist_append(list, "Expect:");
}

}  // namespace

HttpOutcome http_exchange(const HttpExchange& x) {
    HttpOutcome out;
    global_init_once();
    if (!usable_host(x.host)) {
        out.failure = HttpFailure::connect;
        out.error = CURLE_URL_MALFORMAT;
        return out;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        out.failure = HttpFailure::open;
        out.error = CURLE_FAILED_INIT;
        return out;
    }
    std::string url = build_url(x);
    curl_slist* headers = header_list(x.headers);
    Transfer t;
    t.curl = curl;
    t.response = x.response;
    t.body_size = static_cast<curl_off_t>(x.body.size());
    t.send_timeout_ms = x.send_timeout_ms;
    t.receive_timeout_ms = x.receive_timeout_ms;

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (x.direct) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, x.user_agent);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(x.resolve_timeout_ms) + static_cast<long>(x.connect_timeout_ms));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);

    std::string verb = x.verb ? x.verb : "GET";
    if (verb == "GET" && x.body.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        // Binary-safe body; an empty POST still says Content-Length: 0.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, t.body_size);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, x.body.data());
        if (verb != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb.c_str());
    }

    CURLcode rc = curl_easy_perform(curl);
    long code = 0;
    if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (rc == CURLE_URL_MALFORMAT) {
        out.failure = HttpFailure::connect;
        out.error = rc;
    } else if (rc != CURLE_OK || code <= 0) {
        // Refused, timed out, TLS refused, or the body was cut off: no whole response.
        out.failure = HttpFailure::exchange;
        out.error = rc != CURLE_OK ? rc : CURLE_RECV_ERROR;
    } else {
        out.status = static_cast<int32_t>(code);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return out;
}

}  // namespace platform
