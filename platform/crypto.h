// Door 1, cryptography for garden storage: SHA-256 and random bytes from the system's own
// generator (BCrypt on Windows, OpenSSL's libcrypto on Linux).
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

constexpr size_t kSha256Size = 32;

// SHA-256 of `size` bytes into `digest`; false when the system's provider failed.
bool sha256(const void* data, size_t size, uint8_t digest[kSha256Size]);
// Fills `buffer` with bytes from the system's preferred random generator; false on failure.
bool random_bytes(void* buffer, size_t size);

}  // namespace platform
