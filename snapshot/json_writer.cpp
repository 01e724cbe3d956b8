#include "snapshot/json_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The single-precision value nearest to 3.0e38; the bounds themselves are numbers.
constexpr float kFloatBound = 3.0e38f;

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

void JsonWriter::key_int(const char* name, int32_t value) {
    key(name);
    suppress_comma = true;
    write_int(value);
}

void JsonWriter::key_uint(const char* name, uint32_t value) {
    key(name);
    char buf[16];
    int n = snprintf(buf, sizeof buf, "%" PRIu32, value);
    text.append(buf, static_cast<size_t>(n));
}

void JsonWriter::key_int64(const char* name, int64_t value) {
    key(name);
    char buf[32];
    int n = snprintf(buf, sizeof buf, "%" PRId64, value);
    text.append(buf, static_cast<size_t>(n));
}

void JsonWriter::key_float(const char* name, float value) {
    key(name);
    append_json_float(text, value);
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
    int n = snprintf(buf, sizeof buf, "%" PRId32, value);
    text.append(buf, static_cast<size_t>(n));
}

void JsonWriter::write_string(const char* value) { write_string(value, value ? strlen(value) : 0); }

void JsonWriter::write_string(const char* value, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    text.push_back('"');
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        switch (c) {
            case 0x00: i = size; break;
            case 0x09: text.append("\\t"); break;
            case 0x0A: text.append("\\n"); break;
            case 0x0D: text.append("\\r"); break;
            case 0x22: text.append("\\\""); break;
            case 0x5C: text.append("\\\\"); break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    text.push_back(static_cast<char>(c));
                } else {
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

void append_json_float(std::string& out, float value) {
    if (value != value || value > kFloatBound || value < -kFloatBound) {
        out.append("null");
        return;
    }
    // Up to 39 integer digits, the point, four decimals and a sign fit.
    char buf[64];
    int n = snprintf(buf, sizeof buf, "%.4f", static_cast<double>(value));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
        out.append("0.0000");
        return;
    }
    // A locale with a decimal comma must not turn the number into two.
    for (int i = 0; i < n; ++i)
        if (buf[i] != '-' && (buf[i] < '0' || buf[i] > '9')) buf[i] = '.';
    out.append(buf, static_cast<size_t>(n));
}
