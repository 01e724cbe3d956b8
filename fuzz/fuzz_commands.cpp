// libFuzzer target: whole command documents through the reader. Besides the sanitizers'
// checks on every read, each record must keep the promises its flags make to the executors.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "host/log.h"
#include "writeback/command_reader.h"

namespace {

bool in(int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; }

void check(const WritebackCommand& c) {
    const bool ok =
        in(static_cast<int32_t>(c.kind), 0, 10) && (!c.has_expect_chao_id || c.expect_chao_id_ok) &&
        c.restore_ok == (c.restore_version != 0) &&
        (!c.restore_ok || (c.kind == CommandKind::restore && in(c.restore_version, 2, 4))) &&
        (!c.fruit_ok || (in(c.garden, 1, 3) && in(c.fruit_type, 0, 23) && in(c.count, 1, 3))) &&
        (!c.inventory_ok || (c.item_id.size() == 32 && in(c.garden, 1, 3) && in(c.item_type, 0, 23) &&
                             (c.item_is_animal ? c.item_type <= 20 : in(c.size, 1, 4)))) &&
        (!c.tree_ok || (c.has_expect_raw && in(c.garden, 1, 3) && in(c.slot, 3, 6) && in(c.tree_action, 1, 4) &&
                        (c.tree_action != 3 || in(c.tree_kind, 1, 7)))) &&
        (!c.hatch_ok || (c.has_expect_generation && c.expect_generation_ok && c.hatch_version == 1 && in(c.garden, 0, 3))) &&
        (!c.reincarnate_ok || (c.has_expect_chao_id && in(c.garden, 1, 3) && in(c.reincarnations, 0, 32766))) &&
        (c.kind != CommandKind::unknown ||
         !(c.parts_ok || c.fruit_ok || c.inventory_ok || c.tree_ok || c.hatch_ok || c.reincarnate_ok));
    if (!ok) __builtin_trap();
    if (c.parts_ok)
        for (int32_t part : c.parts)
            if (!in(part, -1, 20)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ModLog::set_log_sink([](const char*) {});  // the log lines are still formatted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<WritebackCommand> out;
    if (!parse_commands(std::string_view(reinterpret_cast<const char*>(data), size), out) && !out.empty())
        __builtin_trap();
    for (const WritebackCommand& c : out) check(c);
    return 0;
}
