#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "platform/crypto.h"

namespace platform {

bool sha256(const void* data, size_t size, uint8_t digest[kSha256Size]) {
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return false;
    return length == kSha256Size;
}

bool random_bytes(void* buffer, size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) return false;
    return RAND_bytes(static_cast<unsigned char*>(buffer), static_cast<int>(size)) == 1;
}

}  // namespace platform
