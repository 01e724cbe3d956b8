// Compact, append-only JSON text with one fixed escaping rule and fixed number formats.
// The caller balances the nesting; the writer only places the commas.
#pragma once
#include <cstdint>
#include <string>

// A key's quoted, escaped text (`"name":`) made once, for the fixed keys that a snapshot
// writes many times over. Writing it gives exactly what key() gives for the name, which
// must outlive the key (a string literal).
struct JsonKey {
    const char* name = "";
    char text[62] = {};
    uint8_t size = 0;  // 0 when the text does not fit; the name then takes the general path
};
JsonKey make_json_key(const char* name);

struct JsonWriter {
    std::string text;
    bool suppress_comma = false;

    void begin_object();
    void end_object();
    void key(const char* name);
    void key_object(const char* name);
    void key_array(const char* name);
    void end_array();
    void key_int(const char* name, int32_t value) {
        char buf[kStageSize];
        if (size_t n = stage_key(name, buf)) {
            n += format_int_text(value, buf + n);
            text.append(buf, n);
            return;
        }
        key_int_escaped(name, value);
    }
    void key_uint(const char* name, uint32_t value);
    void key_int64(const char* name, int64_t value);
    void key_float(const char* name, float value);
    void key_bool(const char* name, bool value);
    void key(const JsonKey& k);
    void key_object(const JsonKey& k);
    void key_uint(const JsonKey& k, uint32_t value);
    void key_float(const JsonKey& k, float value);
    void key_int(const JsonKey& k, int32_t value) {
        if (k.size == 0) return key_int(k.name, value);
        char buf[kStageSize];
        size_t n = stage_prepared(k, buf);
        n += format_int_text(value, buf + n);
        text.append(buf, n);
    }
    void key_string(const char* name, const char* value);
    void key_string(const char* name, const std::string& value) { key_string(name, value.c_str()); }
    void write_int(int32_t value);
    // The bytes up to the first zero byte, quoted and escaped.
    void write_string(const char* value);
    // Exactly `size` bytes (a zero byte among them still ends the string).
    void write_string(const char* value, size_t size);
    std::string take_text();

private:
    // A staged key with its value: keys up to kStagedKeyMax characters plus quotes, colon,
    // comma and the longest value text (a float of up to 48 characters).
    static constexpr size_t kStagedKeyMax = 48;
    static constexpr size_t kStageSize = kStagedKeyMax + 8 + 72;

    static bool plain_byte(unsigned char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; }
    static size_t format_int_text(int32_t value, char* out) {
        char tmp[12];
        char* end = tmp + sizeof tmp;
        char* p = end;
        uint32_t m = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
        do {
            *--p = static_cast<char>('0' + m % 10);
            m /= 10;
        } while (m != 0);
        if (value < 0) *--p = '-';
        size_t n = static_cast<size_t>(end - p);
        for (size_t i = 0; i < n; ++i) out[i] = p[i];
        return n;
    }
    void separate();
    size_t stage_prepared(const JsonKey& k, char* buf) {
        size_t n = 0;
        if (!suppress_comma && !text.empty() && text.back() != ':') buf[n++] = ',';
        suppress_comma = false;
        __builtin_memcpy(buf + n, k.text, sizeof k.text);
        return n + k.size;
    }
    void key_int_escaped(const char* name, int32_t value);
    // Puts `,"name":` (the comma when due) into `buf` and returns its length, or 0 when the
    // name is long or needs escaping and must take the general path. Inline, so that for a
    // literal name the compiler can do most of the work.
    size_t stage_key(const char* name, char* buf) {
        if (!name) return 0;
        size_t len = __builtin_strlen(name);
        if (len > kStagedKeyMax) return 0;
        for (size_t i = 0; i < len; ++i)
            if (!plain_byte(static_cast<unsigned char>(name[i]))) return 0;
        size_t n = 0;
        if (!suppress_comma && !text.empty() && text.back() != ':') buf[n++] = ',';
        buf[n++] = '"';
        __builtin_memcpy(buf + n, name, len);
        n += len;
        buf[n++] = '"';
        buf[n++] = ':';
        suppress_comma = false;
        return n;
    }
};

// The float as JSON text: null for NaN, infinities and magnitudes beyond 3.0e38,
// otherwise "%.4f" with a '.' separator whatever the locale.
void append_json_float(std::string& out, float value);
// The same text into `out` (at least 64 bytes); returns its length.
size_t format_json_float(float value, char* out);
