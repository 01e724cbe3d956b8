// velmora-tool parse-commands: a command document read by the mod's own reader, one JSON line
// per command, so a server developer sees what the mod makes of each command before the game
// ever runs it.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "snapshot/json_writer.h"
#include "writeback/command_reader.h"
#include "writeback/dispatcher.h"

namespace {

constexpr int32_t kSlotCount = 37;

template <size_t N>
std::string hex_of(const std::array<uint8_t, N>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

bool in_range(int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; }

// The reason the game would refuse this command with whatever the garden holds. The checks on
// game memory that come first (slot occupied, identity matches, not an egg) are taken as
// passed, EnableRestoreOnLaunch as on; null when the command may succeed. The dispatcher's own
// kinds are decided by the dispatcher's rules; the executors of the other kinds check their
// payloads here.
const char* refusal_of(const WritebackCommand& c) {
    const bool slot_ok = in_range(c.slot, 0, kSlotCount - 1);
    switch (c.kind) {
        case CommandKind::reincarnate:
            if (!c.reincarnate_ok || c.reincarnations > 32766 || !in_range(c.garden, 1, 3) || !c.has_expect_chao_id ||
                !c.expect_chao_id_ok || !slot_ok)
                return "invalid guarded rebirth request";
            return nullptr;
        case CommandKind::spawn_inventory: return c.inventory_ok ? nullptr : "invalid stored-item delivery";
        case CommandKind::hatch:
            if (!c.hatch_ok || !c.has_expect_generation || !c.expect_generation_ok)
                return "hatch payload is incomplete or invalid";
            if (!slot_ok) return "slot out of range";
            if (!c.expect_chao_id_ok) return "command carried a malformed chao id";
            return nullptr;
        case CommandKind::tree_control:
            if (!c.tree_ok || !c.has_expect_raw) return "tree control payload is incomplete or invalid";
            if (!in_range(c.expect_raw[0], 1, 7)) return "tree slot does not contain a player-planted tree";
            return nullptr;
        default: return refusal_without_game(c);
    }
}

std::string command_json(const WritebackCommand& c) {
    static const char* const kParts[8] = {"arm", "ear", "forehead", "horn", "leg", "tail", "wing", "face"};
    JsonWriter w;
    w.begin_object();
    w.key_int("id", c.id);
    w.key_int("kind", static_cast<int32_t>(c.kind));
    w.key_string("kind_text", c.kind == CommandKind::unknown ? "unrecognised" : command_kind_text(c.kind));
    w.key_int("slot", c.slot);
    w.key_bool("has_expect_seed", c.has_expect_seed);
    if (c.has_expect_seed) w.key_int("expect_seed", c.expect_seed);
    w.key_bool("has_expect_chao_id", c.has_expect_chao_id);
    w.key_bool("expect_chao_id_ok", c.expect_chao_id_ok);
    if (c.has_expect_chao_id) w.key_string("expect_chao_id", hex_of(c.expect_chao_id));
    w.key_bool("has_name", c.has_name);
    if (c.has_name) w.key_string("name_raw", hex_of(c.name_raw));
    switch (c.kind) {
        case CommandKind::restore:
            w.key_bool("restore_ok", c.restore_ok);
            w.key_int("restore_version", c.restore_version);
            if (c.restore_ok) {
                const int n = c.restore_version == 2 ? kRestoreFieldsV2
                              : c.restore_version == 3 ? kRestoreFieldsV3
                                                       : kRestoreFieldsV4;
                w.key_array("restore_fields");
                for (int i = 0; i < n; ++i) w.write_int(c.restore_fields[i]);
                w.end_array();
            }
            break;
        case CommandKind::hatch:
            w.key_bool("has_expect_generation", c.has_expect_generation);
            w.key_bool("expect_generation_ok", c.expect_generation_ok);
            if (c.has_expect_generation) w.key_string("expect_generation", hex_of(c.expect_generation));
            w.key_int("hatch_version", c.hatch_version);
            w.key_int("garden", c.garden);
            w.key_bool("hatch_ok", c.hatch_ok);
            break;
        case CommandKind::reincarnate:
            w.key_int("garden", c.garden);
            w.key_int("reincarnations", c.reincarnations);
            w.key_bool("reincarnate_ok", c.reincarnate_ok);
            break;
        case CommandKind::set_parts:
        case CommandKind::set_hat:
            w.key_object("parts");
            for (int i = 0; i < 8; ++i) w.key_int(kParts[i], c.parts[i]);
            w.end_object();
            w.key_bool("parts_ok", c.parts_ok);
            w.key_int("headgear", c.headgear);
            w.key_bool("has_headgear", c.has_headgear);
            w.key_bool("has_expect_parts_guard", c.has_expect_parts_guard);
            w.key_bool("expect_parts_guard_ok", c.expect_parts_guard_ok);
            if (c.has_expect_parts_guard && c.expect_parts_guard_ok)
                w.key_string("expect_parts_guard", hex_of(c.expect_parts_guard));
            break;
        case CommandKind::spawn_fruit:
            w.key_int("garden", c.garden);
            w.key_int("fruit_type", c.fruit_type);
            w.key_int("count", c.count);
            w.key_bool("fruit_ok", c.fruit_ok);
            break;
        case CommandKind::spawn_inventory:
            w.key_string("item_id", c.item_id);
            w.key_bool("item_is_animal", c.item_is_animal);
            w.key_int("garden", c.garden);
            w.key_int("item_type", c.item_type);
            w.key_int("size", c.size);
            w.key_int("age", c.age);
            w.key_bool("inventory_ok", c.inventory_ok);
            break;
        case CommandKind::tree_control:
            w.key_int("garden", c.garden);
            w.key_int("tree_action", c.tree_action);
            w.key_bool("has_expect_raw", c.has_expect_raw);
            if (c.has_expect_raw) w.key_string("expect_raw", hex_of(c.expect_raw));
            w.key_int("tree_kind", c.tree_kind);
            w.key_bool("tree_ok", c.tree_ok);
            break;
        default: break;
    }
    if (const char* reason = refusal_of(c)) w.key_string("refusal", reason);
    w.end_object();
    return w.take_text();
}

}  // namespace

int parse_commands_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<WritebackCommand> commands;
    if (!parse_commands(text, commands)) {
        fprintf(stderr, "%s is not a command document: no \"commands\" array\n", path.c_str());
        return 1;
    }
    for (const WritebackCommand& c : commands) printf("%s\n", command_json(c).c_str());
    fflush(stdout);
    return 0;
}
