// libFuzzer target: one command object's restore payload. A refused payload must leave the
// record exactly as it was; an accepted one must hold only what its version allows.
#include <cstddef>
#include <cstdint>

#include "host/log.h"
#include "writeback/command_reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ModLog::set_log_sink([](const char*) {});  // the log lines are still formatted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr int32_t kUntouched = 0x5A5A5A5A;
    WritebackCommand c;
    c.restore_fields.fill(kUntouched);
    c.restore_version = -7;
    const char* begin = reinterpret_cast<const char*>(data);
    const bool ok = parse_restore_payload(begin, begin + size, c);
    const int v = c.restore_version;
    bool kept = ok ? v >= 2 && v <= 4 : v == -7;
    const int n = !ok ? 0 : v == 2 ? kRestoreFieldsV2 : v == 3 ? kRestoreFieldsV3 : kRestoreFieldsV4;
    for (int i = n; i < kRestoreFieldsMax; ++i) kept &= c.restore_fields[i] == (ok ? 0 : kUntouched);
    if (ok && v >= 3) kept &= (static_cast<uint32_t>(c.restore_fields[110]) & 0xFFE00000u) == 0;
    if (ok && v == 4) kept &= c.restore_fields[111] == 0 || c.restore_fields[111] == 1;
    if (!kept) __builtin_trap();
    return 0;
}
