// libFuzzer target: one command object's restore payload. A refused payload must leave the
// record exactly as it was; an accepted one must hold only what its version allows.
#include <cstddef>
#include <cstdint>

#include "host/log.h"
#include "writeback/command_reader.h"

namespace {

void discard(const char*) {}

void require(bool condition) {
    if (!condition) __builtin_trap();
}

constexpr int32_t kUntouched = 0x5A5A5A5A;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ModLog::set_log_sink(discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WritebackCommand c;
    c.restore_fields.fill(kUntouched);
    c.restore_version = -7;
    const char* begin = reinterpret_cast<const char*>(data);
    if (!parse_restore_payload(begin, begin + size, c)) {
        require(c.restore_version == -7);
        for (int32_t f : c.restore_fields) require(f == kUntouched);
        return 0;
    }
    const int v = c.restore_version;
    require(v >= 2 && v <= 4);
    const int n = v == 2 ? kRestoreFieldsV2 : v == 3 ? kRestoreFieldsV3 : kRestoreFieldsV4;
    for (int i = n; i < kRestoreFieldsMax; ++i) require(c.restore_fields[i] == 0);
    if (v >= 3) require((static_cast<uint32_t>(c.restore_fields[110]) & 0xFFE00000u) == 0);
    if (v == 4) require(c.restore_fields[111] == 0 || c.restore_fields[111] == 1);
    return 0;
}
