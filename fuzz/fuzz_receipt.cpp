// DecodeReceipt over arbitrary bytes: whatever it accepts is valid and encodes back to the same 208
// bytes (nothing ignored or normalised), with well-formed reports and state steps.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/journal.h"

namespace {

void check_accepted(const std::string& input, const TransferRecord& r) {
    if (!IsTransferValid(r)) abort();
    if (EncodeReceipt(r) != input) abort();
    std::string prepare = BuildTransferJson(r, "prepare");
    if (prepare.empty() || prepare.front() != '{' || prepare.back() != '}') abort();
    std::string commit = BuildTransferJson(r, "commit");
    if (commit.empty() != (r.state < kTransferApplied)) abort();
    for (uint32_t s = 0; s <= 5; ++s) {
        TransferRecord copy = r;
        bool moved = AdvanceTransfer(copy, s, "");
        if (moved != (s == r.state || (s == r.state + 1 && s >= kTransferApplying && s <= kTransferCommitted))) abort();
        if (!IsTransferValid(copy)) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string binding(64, 'a');
    TransferRecord r;
    if (DecodeReceipt(data, size, binding, r)) check_accepted(input, r);
    if (size != kReceiptSize) return 0;

    // The same bytes with a correct checksum and their own binding, to reach the field checks.
    std::string fixed = input;
    uint32_t h = 0x811C9DC5u;
    for (size_t i = 0; i < 204; ++i) h = (h ^ static_cast<unsigned char>(fixed[i])) * 0x01000193u;
    for (int i = 0; i < 4; ++i) fixed[204 + i] = static_cast<char>(h >> (8 * i));
    TransferRecord f;
    if (DecodeReceipt(fixed.data(), fixed.size(), fixed.substr(52, 64), f)) check_accepted(fixed, f);
    return 0;
}
