// libFuzzer target: whole command documents through the reader. Besides the sanitizers'
// checks on every read, each record must keep the promises its flags make to the executors.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "host/log.h"
#include "writeback/command_reader.h"

namespace {

bool in_range(int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; }

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void check(const WritebackCommand& c) {
    require(in_range(static_cast<int32_t>(c.kind), 0, 10));
    require(!c.has_expect_chao_id || c.expect_chao_id_ok);
    if (c.parts_ok)
        for (int32_t part : c.parts) require(in_range(part, -1, 20));
    require(c.restore_ok == (c.restore_version != 0));
    require(!c.restore_ok || (c.kind == CommandKind::restore && in_range(c.restore_version, 2, 4)));
    require(!c.fruit_ok || (in_range(c.garden, 1, 3) && in_range(c.fruit_type, 0, 23) && in_range(c.count, 1, 3)));
    require(!c.inventory_ok || (c.item_id.size() == 32 && in_range(c.garden, 1, 3) && in_range(c.item_type, 0, 23) &&
                                (c.item_is_animal ? c.item_type <= 20 : in_range(c.size, 1, 4))));
    require(!c.tree_ok || (c.has_expect_raw && in_range(c.garden, 1, 3) && in_range(c.slot, 3, 6) &&
                           in_range(c.tree_action, 1, 4) && (c.tree_action != 3 || in_range(c.tree_kind, 1, 7))));
    require(!c.hatch_ok || (c.has_expect_generation && c.expect_generation_ok && c.hatch_version == 1 &&
                            in_range(c.garden, 0, 3)));
    require(!c.reincarnate_ok ||
            (c.has_expect_chao_id && in_range(c.garden, 1, 3) && in_range(c.reincarnations, 0, 32766)));
    require(c.kind != CommandKind::unknown ||
            !(c.parts_ok || c.fruit_ok || c.inventory_ok || c.tree_ok || c.hatch_ok || c.reincarnate_ok));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ModLog::set_log_sink([](const char*) {});  // the log lines are still formatted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<WritebackCommand> out;
    const bool is_document = parse_commands(std::string_view(reinterpret_cast<const char*>(data), size), out);
    require(is_document || out.empty());
    for (const WritebackCommand& c : out) check(c);
    return 0;
}
