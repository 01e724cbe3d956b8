#include <windows.h>
#include <bcrypt.h>

#include "platform/crypto.h"

namespace platform {

// The create/hash/finish sequence rather than the one-call BCryptHash, which older Windows
// releases do not export; an import missing at load would keep the whole mod from loading.
bool sha256(const void* data, size_t size, uint8_t digest[kSha256Size]) {
    if (size > 0xFFFFFFFFu) return false;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    if (ok && size > 0)
        ok = BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0) == 0;
    if (ok) ok = BCryptFinishHash(hash, digest, static_cast<ULONG>(kSha256Size), 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

bool random_bytes(void* buffer, size_t size) {
    if (size > 0xFFFFFFFFu) return false;
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

}  // namespace platform
