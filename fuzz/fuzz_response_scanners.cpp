// The scanners of the server's greeting and deposit answers, over arbitrary text, every key the
// worker reads and one key from the input: never a crash, and each answer as the C library reads it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/server_api.h"
#include "net/worker.h"

namespace {

void check(const std::string& text, const std::string& key) {
    // The value starts after the first quoted `key` and its next ':'.
    size_t at = text.find("\"" + key + "\""), colon = at == std::string::npos ? at : text.find(':', at);
    size_t first = colon == std::string::npos ? colon : text.find_first_not_of(" \t\r\n", colon + 1);
    if (FindJsonBool(text, key.c_str()) != (first != std::string::npos && text.compare(first, 4, "true") == 0))
        abort();
    // Read as strtoll reads it (a NUL ends the digits either way), saturated into 32 bits.
    long long want = colon == std::string::npos ? 0 : std::strtoll(text.c_str() + colon + 1, nullptr, 10);
    if (FindJsonInt(text, key.c_str()) != std::clamp<long long>(want, INT32_MIN, INT32_MAX)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* key : {server_api::kFieldHeld, server_api::kFieldAvailable, server_api::kFieldIntakeRequired,
                            server_api::kFieldUpdateRequired, server_api::kFieldChao, server_api::kFieldOk})
        check(text, key);
    // A key of the input's own: its first byte gives the length, the bytes after it the name.
    if (size >= 1 && data[0] % 16 + 1u <= size && text.find('\0', 1) >= data[0] % 16 + 1u)
        check(text, text.substr(1, data[0] % 16));
    return 0;
}
