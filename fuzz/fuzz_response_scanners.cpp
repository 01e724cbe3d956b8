// The scanners of the server's greeting and deposit answers, over arbitrary text, every key the
// worker reads and one key from the input: never a crash, and each answer as worked out plainly here.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/server_api.h"
#include "net/worker.h"

namespace {

// Where the value after the first quoted `key` and its next ':' starts, or -1.
long value_start(const std::string& text, const std::string& key) {
    const std::string quoted = "\"" + key + "\"";
    for (size_t at = 0; at + quoted.size() <= text.size(); ++at) {
        if (std::memcmp(text.data() + at, quoted.data(), quoted.size()) != 0) continue;
        for (size_t i = at; i < text.size(); ++i)
            if (text[i] == ':') return static_cast<long>(i + 1);
        return -1;
    }
    return -1;
}

bool reference_bool(const std::string& text, const std::string& key) {
    long i = value_start(text, key);
    if (i < 0) return false;
    size_t first = text.find_first_not_of(" \t\r\n", static_cast<size_t>(i));
    return first != std::string::npos && text.compare(first, 4, "true") == 0;
}

// Like atoi, without its undefined overflow: the digits are kept as text and compared.
int32_t reference_int(const std::string& text, const std::string& key) {
    long i = value_start(text, key);
    if (i < 0) return 0;
    std::string rest = text.substr(static_cast<size_t>(i));
    size_t p = rest.find_first_not_of(" \t\r\n\v\f");
    if (p == std::string::npos) return 0;
    bool negative = false;
    if (rest[p] == '+' || rest[p] == '-') negative = rest[p++] == '-';
    size_t end = rest.find_first_not_of("0123456789", p);
    std::string digits = rest.substr(p, end == std::string::npos ? std::string::npos : end - p);
    size_t nonzero = digits.find_first_not_of('0');
    digits = nonzero == std::string::npos ? std::string() : digits.substr(nonzero);
    const std::string limit = negative ? "2147483648" : "2147483647";
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits >= limit))
        return negative ? INT32_MIN : INT32_MAX;
    int32_t v = 0;
    for (char d : digits) v = v * 10 + (d - '0');
    return negative ? -v : v;
}

void check(const std::string& text, const std::string& key) {
    if (FindJsonBool(text, key.c_str()) != reference_bool(text, key)) abort();
    // The 64-bit comparison catches a result that was not clamped into 32 bits first.
    int64_t got = FindJsonInt(text, key.c_str());
    if (got < INT32_MIN || got > INT32_MAX || got != reference_int(text, key)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (const char* key : {server_api::kFieldHeld, server_api::kFieldAvailable, server_api::kFieldIntakeRequired,
                            server_api::kFieldUpdateRequired, server_api::kFieldChao, server_api::kFieldOk})
        check(text, key);

    // A key of the input's own: its first byte gives the length, the bytes after it the name.
    if (size >= 1 && data[0] % 16 + 1u <= size) {
        std::string key = text.substr(1, data[0] % 16);
        if (key.find('\0') == std::string::npos) check(text, key);
    }
    return 0;
}
