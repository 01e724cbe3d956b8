#include "snapshot/json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The single-precision value nearest to 3.0e38; the bounds themselves are numbers.
constexpr float kFloatBound = 3.0e38f;


// Decimal digits of `v` written backwards ending at `end`; returns the first digit. The
// same text as "%u" / "%llu", without the cost of printf on the game thread.
char* digits_backwards(uint64_t v, char* end) {
    while (v > 0xFFFFFFFFu) {
        *--end = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    // The rest in 32 bits: a 64-bit division is a library call in the 32-bit game build.
    uint32_t w = static_cast<uint32_t>(v);
    do {
        *--end = static_cast<char>('0' + w % 10);
        w /= 10;
    } while (w != 0);
    return end;
}

// "%d" / "%u" / "%lld" text of the value at `out`; returns its length.
size_t format_integer(uint64_t magnitude, bool negative, char* out) {
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = digits_backwards(magnitude, end);
    if (negative) *--p = '-';
    size_t n = static_cast<size_t>(end - p);
    memcpy(out, p, n);
    return n;
}

size_t format_signed(int64_t v, char* out) {
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return format_integer(magnitude, v < 0, out);
}

}  // namespace

void JsonWriter::separate() {
    if (!suppress_comma && !text.empty() && text.back() != ':') text.push_back(',');
    suppress_comma = false;
}

void JsonWriter::begin_object() {
    separate();
    text.push_back('{');
    suppress_comma = true;
}

void JsonWriter::end_object() {
    text.push_back('}');
    suppress_comma = false;
}

void JsonWriter::key(const char* name) {
    char buf[kStageSize];
    if (size_t n = stage_key(name, buf)) {
        text.append(buf, n);
        return;
    }
    separate();
    suppress_comma = false;
    write_string(name);
    text.push_back(':');
}

void JsonWriter::key_object(const char* name) {
    key(name);
    text.push_back('{');
    suppress_comma = true;
}

void JsonWriter::key_array(const char* name) {
    key(name);
    text.push_back('[');
    suppress_comma = true;
}

void JsonWriter::end_array() {
    text.push_back(']');
    suppress_comma = false;
}

void JsonWriter::key_int_escaped(const char* name, int32_t value) {
    key(name);
    suppress_comma = true;
    write_int(value);
}

void JsonWriter::key_uint(const char* name, uint32_t value) {
    char buf[kStageSize];
    size_t n = stage_key(name, buf);
    if (n == 0) key(name);
    n += format_integer(value, false, buf + n);
    text.append(buf, n);
}

void JsonWriter::key_int64(const char* name, int64_t value) {
    char buf[kStageSize];
    size_t n = stage_key(name, buf);
    if (n == 0) key(name);
    n += format_signed(value, buf + n);
    text.append(buf, n);
}

void JsonWriter::key_float(const char* name, float value) {
    char buf[kStageSize];
    size_t n = stage_key(name, buf);
    if (n == 0) key(name);
    n += format_json_float(value, buf + n);
    text.append(buf, n);
}

JsonKey make_json_key(const char* name) {
    JsonKey k;
    k.name = name ? name : "";
    JsonWriter w;
    w.suppress_comma = true;
    w.key(k.name);
    if (w.text.size() < sizeof k.text) {
        memcpy(k.text, w.text.data(), w.text.size());
        k.size = static_cast<uint8_t>(w.text.size());
    }
    return k;
}

void JsonWriter::key(const JsonKey& k) {
    if (k.size == 0) return key(k.name);
    char buf[kStageSize];
    text.append(buf, stage_prepared(k, buf));
}

void JsonWriter::key_object(const JsonKey& k) {
    key(k);
    text.push_back('{');
    suppress_comma = true;
}

void JsonWriter::key_uint(const JsonKey& k, uint32_t value) {
    if (k.size == 0) return key_uint(k.name, value);
    char buf[kStageSize];
    size_t n = stage_prepared(k, buf);
    n += format_integer(value, false, buf + n);
    text.append(buf, n);
}

void JsonWriter::key_float(const JsonKey& k, float value) {
    if (k.size == 0) return key_float(k.name, value);
    char buf[kStageSize];
    size_t n = stage_prepared(k, buf);
    n += format_json_float(value, buf + n);
    text.append(buf, n);
}

void JsonWriter::key_bool(const char* name, bool value) {
    key(name);
    text.append(value ? "true" : "false");
}

void JsonWriter::key_string(const char* name, const char* value) {
    key(name);
    write_string(value);
}

void JsonWriter::write_int(int32_t value) {
    separate();
    suppress_comma = false;
    char buf[16];
    text.append(buf, format_signed(value, buf));
}

void JsonWriter::write_string(const char* value) { write_string(value, value ? strlen(value) : 0); }

void JsonWriter::write_string(const char* value, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    text.push_back('"');
    size_t i = 0;
    while (i < size) {
        // Runs of plain bytes go in whole; keys and most values are nothing else.
        size_t run = i;
        while (run < size && plain_byte(static_cast<unsigned char>(value[run]))) ++run;
        if (run > i) text.append(value + i, run - i);
        i = run;
        if (i >= size) break;
        unsigned char c = static_cast<unsigned char>(value[i++]);
        switch (c) {
            case 0x00: i = size; break;
            case 0x09: text.append("\\t", 2); break;
            case 0x0A: text.append("\\n", 2); break;
            case 0x0D: text.append("\\r", 2); break;
            case 0x22: text.append("\\\"", 2); break;
            case 0x5C: text.append("\\\\", 2); break;
            default: {
                char esc[8] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15], 0, 0};
                text.append(esc, 6);
            }
        }
    }
    text.push_back('"');
}

std::string JsonWriter::take_text() {
    std::string out = std::move(text);
    text.clear();
    suppress_comma = false;
    return out;
}

size_t format_json_float(float value, char* out) {
    if (value != value || value > kFloatBound || value < -kFloatBound) {
        memcpy(out, "null", 4);
        return 4;
    }
    // Below 1e9 the value times 10,000 is exact in a double (24 + 14 bits), so rounding it
    // to an integer, to nearest with ties to even, is what "%.4f" prints. The sign comes
    // from the value, as printf gives "-0.0000" for -0 and for tiny negative values.
    double magnitude = std::fabs(static_cast<double>(value));
    if (magnitude < 1e9) {
        uint64_t scaled = static_cast<uint64_t>(std::nearbyint(magnitude * 10000.0));
        char buf[32];
        char* end = buf + sizeof buf;
        char* p = end;
        uint64_t frac = scaled % 10000;
        for (int k = 0; k < 4; ++k) {
            *--p = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        *--p = '.';
        p = digits_backwards(scaled / 10000, p);
        if (std::signbit(value)) *--p = '-';
        size_t n = static_cast<size_t>(end - p);
        memcpy(out, p, n);
        return n;
    }
    // Up to 39 integer digits, the point, four decimals and a sign fit.
    char buf[64];
    int n = snprintf(buf, sizeof buf, "%.4f", static_cast<double>(value));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
        memcpy(out, "0.0000", 6);
        return 6;
    }
    // A locale with a decimal comma must not turn the number into two.
    for (int i = 0; i < n; ++i)
        if (buf[i] != '-' && (buf[i] < '0' || buf[i] > '9')) buf[i] = '.';
    memcpy(out, buf, static_cast<size_t>(n));
    return static_cast<size_t>(n);
}

void append_json_float(std::string& out, float value) {
    char buf[64];
    out.append(buf, format_json_float(value, buf));
}
