// Compact, append-only JSON text with one fixed escaping rule and fixed number formats.
// The caller balances the nesting; the writer only places the commas.
#pragma once
#include <cstdint>
#include <string>

struct JsonWriter {
    std::string text;
    bool suppress_comma = false;

    void begin_object();
    void end_object();
    void key(const char* name);
    void key_object(const char* name);
    void key_array(const char* name);
    void end_array();
    void key_int(const char* name, int32_t value);
    void key_uint(const char* name, uint32_t value);
    void key_int64(const char* name, int64_t value);
    void key_float(const char* name, float value);
    void key_bool(const char* name, bool value);
    void key_string(const char* name, const char* value);
    void key_string(const char* name, const std::string& value) { key_string(name, value.c_str()); }
    void write_int(int32_t value);
    // The bytes up to the first zero byte, quoted and escaped.
    void write_string(const char* value);
    // Exactly `size` bytes (a zero byte among them still ends the string).
    void write_string(const char* value, size_t size);
    std::string take_text();

private:
    void separate();
};

// The float as JSON text: null for NaN, infinities and magnitudes beyond 3.0e38,
// otherwise "%.4f" with a '.' separator whatever the locale.
void append_json_float(std::string& out, float value);
