#include "host/config.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace {

bool is_trim_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trim(const char* begin, const char* end) {
    while (begin < end && is_trim_char(*begin)) ++begin;
    while (end > begin && is_trim_char(end[-1])) --end;
    return std::string(begin, end);
}

std::string trim(const std::string& s) { return trim(s.data(), s.data() + s.size()); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string s) {
    for (char& c : s) c = lower(c);
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Like atoi, but saturating instead of undefined on overflow.
int32_t leading_int(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t value = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        value = value * 10 + (s[i] - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int32_t>(value);
}

// An optional sign, then digits, nothing else.
bool whole_int(const std::string& s, int64_t& out) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == s.size()) return false;
    int64_t value = 0;
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return false;
        if (value < 1000000) value = value * 10 + (s[i] - '0');
    }
    out = negative ? -value : value;
    return true;
}

void set_flag(bool& flag, const std::string& v) {
    if (v == "1" || v == "true" || v == "True" || v == "TRUE" || v == "yes") flag = true;
    else if (v == "0" || v == "false" || v == "False" || v == "FALSE" || v == "no") flag = false;
}

void append_error(SyncConfig& c, const char* message) {
    c.valid = false;
    if (!c.error.empty()) c.error += "; ";
    c.error += message;
}

// The file as UTF-8 bytes: a UTF-8 byte-order mark is dropped, and a file saved as UTF-16
// (Notepad's "Unicode") is converted, so such files read like plain ones. The bytes come from
// an open file or from memory, read in the same pieces either way.
class TextStream {
public:
    explicit TextStream(platform::File* file) : file_(file) { start(); }
    TextStream(const unsigned char* data, size_t size) : mem_(data), mem_left_(size) { start(); }

    // Next byte of text, or -1 at the end.
    int get() {
        if (mode_ == Mode::Utf8) return raw();
        if (pending_pos_ < pending_len_) return pending_[pending_pos_++];
        int unit = unit16();
        if (unit < 0) return -1;
        uint32_t cp = static_cast<uint32_t>(unit);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            int low = unit16();
            if (low >= 0xDC00 && low <= 0xDFFF) cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
            else cp = '?';
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = '?';
        }
        encode(cp);
        return pending_[pending_pos_++];
    }

private:
    enum class Mode { Utf8, Utf16Le, Utf16Be };

    void start() {
        fill();
        if (len_ >= 3 && buf_[0] == 0xEF && buf_[1] == 0xBB && buf_[2] == 0xBF) pos_ = 3;
        else if (len_ >= 2 && buf_[0] == 0xFF && buf_[1] == 0xFE) pos_ = 2, mode_ = Mode::Utf16Le;
        else if (len_ >= 2 && buf_[0] == 0xFE && buf_[1] == 0xFF) pos_ = 2, mode_ = Mode::Utf16Be;
    }

    void fill() {
        pos_ = 0;
        if (file_) {
            long n = platform::file_read(file_, buf_, sizeof buf_);
            len_ = n > 0 ? static_cast<size_t>(n) : 0;
        } else {
            len_ = std::min(mem_left_, sizeof buf_);
            if (len_ > 0) std::memcpy(buf_, mem_, len_);
            mem_ += len_;
            mem_left_ -= len_;
        }
    }

    int raw() {
        if (pos_ >= len_) {
            if (len_ == 0) return -1;
            fill();
            if (len_ == 0) return -1;
        }
        return buf_[pos_++];
    }

    int unit16() {
        int a = raw();
        if (a < 0) return -1;
        int b = raw();
        if (b < 0) return -1;
        return mode_ == Mode::Utf16Le ? (a | (b << 8)) : ((a << 8) | b);
    }

    void encode(uint32_t cp) {
        pending_pos_ = 0;
        if (cp < 0x80) {
            pending_[0] = static_cast<unsigned char>(cp);
            pending_len_ = 1;
        } else if (cp < 0x800) {
            pending_[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            pending_[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            pending_len_ = 2;
        } else if (cp < 0x10000) {
            pending_[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            pending_[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            pending_[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            pending_len_ = 3;
        } else {
            pending_[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            pending_[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            pending_[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            pending_[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            pending_len_ = 4;
        }
    }

    platform::File* file_ = nullptr;
    const unsigned char* mem_ = nullptr;
    size_t mem_left_ = 0;
    unsigned char buf_[16384];
    size_t pos_ = 0, len_ = 0;
    Mode mode_ = Mode::Utf8;
    unsigned char pending_[4];
    int pending_pos_ = 0, pending_len_ = 0;
};

// One piece of at most 1023 bytes, ending after a line feed or when full (fgets into a
// 1024-byte buffer). The text of a piece ends at its first NUL byte. False at the end.
bool read_piece(TextStream& in, char (&piece)[1024], size_t& text_len) {
    size_t n = 0;
    text_len = SIZE_MAX;
    while (n < sizeof piece - 1) {
        int c = in.get();
        if (c < 0) break;
        if (c == 0 && text_len == SIZE_MAX) text_len = n;
        piece[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (n == 0) return false;
    if (text_len == SIZE_MAX) text_len = n;
    return true;
}

struct Given {
    bool base_url = false;
    std::string base_url_text;
    bool save_slot = false;
    std::string save_slot_text;
    bool legacy = false;
    std::string legacy_host = "127.0.0.1";
    int32_t legacy_port = 8787;
    bool legacy_https = false;
};

void apply_line(SyncConfig& c, Given& g, const std::string& key, const std::string& value) {
    if (key == "BaseUrl") g.base_url = true, g.base_url_text = value;
    else if (key == "SaveSlot") g.save_slot = true, g.save_slot_text = value;
    else if (key == "ServerHost") g.legacy = true, g.legacy_host = value;
    else if (key == "ServerPort") g.legacy = true, g.legacy_port = leading_int(value);
    else if (key == "UseHttps") g.legacy = true, set_flag(g.legacy_https, value);
    else if (key == "SyncPath") c.SyncPath = value;
    else if (key == "ApiKey") c.ApiKey = value;
    else if (key == "ScanIntervalFrames") c.ScanIntervalFrames = leading_int(value);
    else if (key == "FullResyncSeconds") c.FullResyncSeconds = leading_int(value);
    else if (key == "DumpPayloads") set_flag(c.DumpPayloads, value);
    else if (key == "Verbose") set_flag(c.Verbose, value);
    else if (key == "EnableWriteback") set_flag(c.EnableWriteback, value);
    else if (key == "DisableNaturalDeath") set_flag(c.DisableNaturalDeath, value);
    else if (key == "ShowCareWarnings") set_flag(c.ShowCareWarnings, value);
    else if (key == "KeepGardenAnimals") set_flag(c.KeepGardenAnimals, value);
    else if (key == "EnableRestoreOnLaunch") set_flag(c.EnableRestoreOnLaunch, value);
    else if (key == "CommandPath") c.CommandPath = value;
    else if (key == "CommandPollSeconds") c.CommandPollSeconds = leading_int(value);
}

bool valid_port(const std::string& text, int32_t& port) {
    if (text.empty() || text.size() > 5) return false;
    int32_t value = 0;
    for (char ch : text) {
        if (!is_digit(ch)) return false;
        value = value * 10 + (ch - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

bool ParseBaseUrl(const std::string& text, ParsedBaseUrl& out) {
    // Trimmed and stripped of trailing slashes until neither changes it: "http://h/x /" would
    // otherwise keep "/x " as its base path and put a blank segment into every request path.
    std::string url = trim(text);
    for (;;) {
        size_t before = url.size();
        while (url.size() > 1 && url.back() == '/') url.pop_back();
        url = trim(url);
        if (url.size() == before) break;
    }
    if (url.size() < 3) return false;
    // A control byte has no place in a URL; a file with bare CR line ends would otherwise pass
    // its following lines off as part of the path.
    for (char ch : url)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return false;
    size_t sep = url.find("://");
    if (sep == std::string::npos) return false;
    std::string scheme = lowered(url.substr(0, sep));
    if (scheme != "http" && scheme != "https") return false;
    std::string rest = url.substr(sep + 3);
    if (rest.find_first_of("?#") != std::string::npos) return false;
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (authority.empty() || authority.find('@') != std::string::npos) return false;

    bool https = scheme == "https";
    int32_t port = https ? 443 : 80;
    std::string host;
    if (authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos || close < 2) return false;
        host = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':' || !valid_port(after.substr(1), port)) return false;
        }
    } else {
        size_t colon = authority.find(':');
        if (colon == std::string::npos) {
            host = authority;
        } else {
            if (colon == 0 || authority.find(':', colon + 1) != std::string::npos) return false;
            if (!valid_port(authority.substr(colon + 1), port)) return false;
            host = authority.substr(0, colon);
        }
    }
    if (host.empty() || host.find_first_of(" \t\r\n/\\") != std::string::npos) return false;

    out.url = url;
    out.host = lowered(host);
    out.port = port;
    out.https = https;
    out.path = slash == std::string::npos ? std::string() : rest.substr(slash);
    return true;
}

namespace {

SyncConfig parse_config(TextStream& in) {
    SyncConfig c;
    Given g;
    char piece[1024];
    size_t len = 0;
    while (read_piece(in, piece, len)) {
        std::string line = trim(piece, piece + len);
        if (line.empty() || line[0] == ';' || line[0] == '#' || line[0] == '[') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        apply_line(c, g, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }

    if (g.save_slot) {
        int64_t slot = 0;
        if (whole_int(g.save_slot_text, slot) && slot >= 1 && slot <= 99) c.SaveSlot = static_cast<int32_t>(slot);
        else append_error(c, "SaveSlot must be a whole number from 1 through 99");
    }
    bool legacy_used = false;
    if (g.base_url) {
        ParsedBaseUrl parsed;
        if (ParseBaseUrl(g.base_url_text, parsed)) {
            c.BaseUrl = parsed.url;
            c.ServerHost = parsed.host;
            c.ServerPort = parsed.port;
            c.UseHttps = parsed.https;
            c.base_path = parsed.path;
        } else {
            append_error(c, "BaseUrl must be a valid http:// or https:// URL");
        }
    } else if (g.legacy) {
        legacy_used = true;
        c.ServerHost = g.legacy_host;
        c.ServerPort = g.legacy_port;
        c.UseHttps = g.legacy_https;
        c.base_path.clear();
    }

    if (c.ScanIntervalFrames < 30) c.ScanIntervalFrames = 30;
    if (c.ScanIntervalFrames > 36000) c.ScanIntervalFrames = 36000;
    if (c.ServerPort <= 0 || c.ServerPort > 65535) c.ServerPort = 8787;
    if (c.SaveSlot < 1 || c.SaveSlot > 99) c.SaveSlot = 1;
    if (c.FullResyncSeconds < 30) c.FullResyncSeconds = 30;

    if (legacy_used) {
        std::string host = c.ServerHost;
        if (host.find(':') != std::string::npos && (host.empty() || host[0] != '[')) host = "[" + host + "]";
        c.BaseUrl = std::string(c.UseHttps ? "https://" : "http://") + host + ":" + std::to_string(c.ServerPort);
    }
    return c;
}

}  // namespace

SyncConfig LoadConfig(const std::string& folder) {
    platform::File* file = platform::file_open_read(folder + "\\config.ini");
    if (!file) return SyncConfig{};
    SyncConfig c;
    {
        TextStream in(file);
        c = parse_config(in);
    }
    platform::file_close(file);
    return c;
}

SyncConfig ParseConfigText(const std::string& bytes) {
    TextStream in(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return parse_config(in);
}

std::string MaskApiKey(const std::string& key) {
    // A short key would be shown almost whole, so it is hidden completely.
    std::string masked(key.size(), '*');
    if (key.size() >= 8) masked.replace(key.size() - 4, 4, key, key.size() - 4, 4);
    return masked;
}
