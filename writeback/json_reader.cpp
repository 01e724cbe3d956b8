#include "writeback/json_reader.h"

namespace JsonReader {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

const char* skip_whitespace(const char* p, const char* end) {
    while (p < end && is_blank(*p)) ++p;
    return p;
}

const char* find_value(const char* begin, const char* end, std::string_view key) {
    if (!begin || !end || begin >= end) return nullptr;
    // Sizes, not pointers, are compared so nothing is formed beyond end.
    const size_t k = key.size();
    const size_t total = static_cast<size_t>(end - begin);
    if (total <= k + 2) return nullptr;
    for (size_t i = 0; i + k + 2 < total; ++i) {
        if (begin[i] != '"' || begin[i + k + 1] != '"') continue;
        if (key.compare(0, k, begin + i + 1, k) != 0) continue;
        const char* q = skip_whitespace(begin + i + k + 2, end);
        if (q < end && *q == ':') return skip_whitespace(q + 1, end);
    }
    return nullptr;
}

bool read_int(const char* p, const char* end, int32_t& out) {
    if (!p || !end || p >= end || *p == 'n') return false;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    if (p >= end || !is_digit(*p)) return false;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    while (p < end && is_digit(*p)) {
        const int d = *p - '0';
        if (magnitude > (limit - d) / 10) return false;
        magnitude = magnitude * 10 + d;
        ++p;
    }
    p = skip_whitespace(p, end);
    if (p < end && *p != ',' && *p != ']' && *p != '}') return false;
    out = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

bool read_string(const char* p, const char* end, std::string& out) {
    if (!p || !end || p >= end || *p != '"') return false;
    out.clear();
    for (++p; p < end; ++p) {
        if (*p == '"') return true;
        if (*p == '\\' && p + 1 < end) ++p;
        out.push_back(*p);
    }
    return false;
}

bool decode_hex(std::string_view text, uint8_t* out, size_t n) {
    if (!out || text.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

}  // namespace JsonReader
