// A small, forgiving scanner over server command text. It is not a JSON parser: keys are found
// by plain text search inside one range, and values are read where they start. Every operation
// works on a half-open range [p, end) and never reads at or past end, so the text needs no
// terminator and may hold any bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace JsonReader {

// Past blanks, tabs, line feeds and carriage returns; p itself when p is at or past end.
const char* skip_whitespace(const char* p, const char* end);

// The first character of the value of the first "key": found anywhere in [begin, end), with
// whitespace after the colon skipped (the result may equal end); null when there is none.
// The search does not follow nesting or strings: the first textual match wins.
const char* find_value(const char* begin, const char* end, std::string_view key);

// A 32-bit signed decimal integer at p, followed (after whitespace) by ',', ']', '}' or end.
// Refuses null positions, "null", a leading '+', fractions, exponents, quoted numbers and
// values beyond the 32-bit range; on refusal out is left untouched.
bool read_int(const char* p, const char* end, int32_t& out);

// A double-quoted string at p. A backslash makes the next character literal (no escape is
// translated). Succeeds only when the closing quote lies inside the range.
bool read_string(const char* p, const char* end, std::string& out);

// Exactly 2 * n hex digits (either case, high digit first) into n bytes; on refusal out may
// hold a partial result.
bool decode_hex(std::string_view text, uint8_t* out, size_t n);

}  // namespace JsonReader
