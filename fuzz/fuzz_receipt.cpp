// DecodeReceipt over arbitrary bytes, and over the same bytes with a correct checksum and their
// own binding to reach the field checks: whatever it accepts is valid and encodes back to the same
// 208 bytes (nothing ignored or normalised), with well-formed reports and state steps.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "storage/journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    for (int pass = 0; pass < 2 && (pass == 0 || size == kReceiptSize); ++pass) {
        uint32_t h = 0x811C9DC5u;  // FNV-1a of the 204 bytes before it
        for (size_t i = 0; pass && i < 204; ++i) h = (h ^ static_cast<unsigned char>(input[i])) * 0x01000193u;
        for (int i = 0; pass && i < 4; ++i) input[204 + i] = static_cast<char>(h >> (8 * i));
        TransferRecord r;
        if (!DecodeReceipt(input.data(), input.size(), pass ? input.substr(52, 64) : std::string(64, 'a'), r)) continue;
        const std::string prepare = BuildTransferJson(r, "prepare");
        if (!IsTransferValid(r) || EncodeReceipt(r) != input || prepare.empty() || prepare.front() != '{' ||
            prepare.back() != '}' || BuildTransferJson(r, "commit").empty() != (r.state < kTransferApplied))
            abort();
        for (uint32_t s = 0; s <= 5; ++s) {
            TransferRecord copy = r;
            bool moved = AdvanceTransfer(copy, s, "");
            if (moved != (s == r.state || (s == r.state + 1 && s >= kTransferApplying && s <= kTransferCommitted)) ||
                !IsTransferValid(copy))
                abort();
        }
    }
    return 0;
}
