#include "writeback/command_reader.h"

#include <string>

#include "host/log.h"
#include "writeback/json_reader.h"

using JsonReader::decode_hex;
using JsonReader::find_value;
using JsonReader::read_int;
using JsonReader::read_string;

namespace {

constexpr const char* kKindTexts[] = {"",          "rename",   "resync",      "restore",
                                      "hatch",     "reincarnate", "set_parts", "set_hat",
                                      "spawn_fruit", "spawn_inventory", "tree_control"};
constexpr int kKindCount = static_cast<int>(sizeof kKindTexts / sizeof kKindTexts[0]);

constexpr const char* kPartKeys[8] = {"arm", "ear", "forehead", "horn", "leg", "tail", "wing", "face"};

// One command object: [begin, end) spans from its opening to its closing brace.
struct Object {
    const char* begin;
    const char* end;

    const char* value(std::string_view key) const { return find_value(begin, end, key); }
    bool has(std::string_view key) const { return value(key) != nullptr; }
    bool int_of(std::string_view key, int32_t& out) const { return read_int(value(key), end, out); }
    bool string_of(std::string_view key, std::string& out) const { return read_string(value(key), end, out); }
    template <size_t N>
    bool hex_of(std::string_view key, std::array<uint8_t, N>& out) const {
        std::string text;
        std::array<uint8_t, N> bytes{};
        if (!string_of(key, text) || !decode_hex(text, bytes.data(), N)) return false;
        out = bytes;
        return true;
    }
};

bool in_range(int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; }

void read_identity(const Object& o, WritebackCommand& c) {
    int32_t v = 0;
    if (o.int_of("slot", v)) c.slot = v;
    if (o.int_of("expect_seed", v)) {
        c.expect_seed = v;
        c.has_expect_seed = true;
    }
    if (o.has("expect_chao_id")) {
        std::array<uint8_t, 20> id{};
        bool beyond_seed = false;
        if (o.hex_of("expect_chao_id", id)) {
            // Bytes 8 to 11 hold the seed; an identity that is empty apart from it is no identity.
            for (size_t i = 0; i < id.size(); ++i)
                if ((i < 8 || i > 11) && id[i] != 0) beyond_seed = true;
        }
        if (beyond_seed) {
            c.expect_chao_id = id;
            c.has_expect_chao_id = true;
        } else {
            c.expect_chao_id_ok = false;
        }
    }
    c.has_name = o.hex_of("name_raw", c.name_raw);
}

void read_reincarnate(const Object& o, WritebackCommand& c) {
    int32_t v = 0, garden = 0, lives = 0;
    const bool v_ok = o.int_of("v", v) && v == 1;
    const bool garden_ok = o.int_of("garden", garden);
    if (garden_ok) c.garden = garden;
    const bool lives_ok = o.int_of("reincarnations", lives);
    if (lives_ok) c.reincarnations = lives;
    c.reincarnate_ok = v_ok && garden_ok && in_range(garden, 1, 3) && lives_ok && in_range(lives, 0, 32766) &&
                       c.has_expect_chao_id && c.expect_chao_id_ok;
}

void read_hatch(const Object& o, WritebackCommand& c) {
    if (o.has("expect_generation")) {
        if (o.hex_of("expect_generation", c.expect_generation)) c.has_expect_generation = true;
        else c.expect_generation_ok = false;
    }
    int32_t v = 0;
    const bool v_ok = o.int_of("v", v);
    if (v_ok) c.hatch_version = v;
    std::array<uint8_t, 8> generation{};
    const bool generation_ok = o.hex_of("generation", generation);
    // An absent garden means 0; one that is there but not a number is a broken payload.
    bool garden_ok = true;
    if (o.has("garden")) {
        int32_t garden = 0;
        garden_ok = o.int_of("garden", garden);
        if (garden_ok) c.garden = garden;
    }
    c.hatch_ok = v_ok && v == 1 && c.has_expect_generation && c.expect_generation_ok && generation_ok &&
                 generation == c.expect_generation && garden_ok && in_range(c.garden, 0, 3);
}

void read_wardrobe(const Object& o, WritebackCommand& c) {
    std::array<int32_t, 8> parts{};
    bool all = true;
    for (int i = 0; i < 8 && all; ++i)
        all = o.int_of(kPartKeys[i], parts[i]) && in_range(parts[i], -1, 20);
    if (all) {
        c.parts = parts;
        c.parts_ok = true;
    }
    int32_t hat = 0;
    if (o.int_of("headgear", hat)) {
        c.headgear = hat;
        c.has_headgear = true;
    }
    if (o.has("expect_parts_guard")) {
        c.has_expect_parts_guard = true;
        if (!o.hex_of("expect_parts_guard", c.expect_parts_guard)) c.expect_parts_guard_ok = false;
    }
}

void read_fruit(const Object& o, WritebackCommand& c) {
    int32_t garden = 0, type = 0, count = 0;
    const bool garden_ok = o.int_of("garden", garden);
    if (garden_ok) c.garden = garden;
    const bool type_ok = o.int_of("fruit_type", type);
    if (type_ok) c.fruit_type = type;
    // An absent count means one fruit; one that is there but not a number is a broken payload.
    bool count_ok = true;
    if (o.has("count")) {
        count_ok = o.int_of("count", count);
        if (count_ok) c.count = count;
    }
    c.fruit_ok = garden_ok && type_ok && count_ok && in_range(c.garden, 1, 3) && in_range(c.fruit_type, 0, 23) &&
                 in_range(c.count, 1, 3);
}

bool read_inventory_chain(const Object& o, WritebackCommand& c) {
    int32_t v = 0;
    if (!o.int_of("v", v) || v != 1) return false;
    std::string id;
    uint8_t id_bytes[16];
    if (!o.string_of("item_id", id) || !decode_hex(id, id_bytes, sizeof id_bytes)) return false;
    c.item_id = id;
    std::string kind;
    if (!o.string_of("item_kind", kind) || (kind != "animal" && kind != "fruit")) return false;
    const bool animal = kind == "animal";
    int32_t value = 0;
    if (!o.int_of("garden", value)) return false;
    c.garden = value;
    if (!in_range(value, 1, 3)) return false;
    if (!o.int_of("item_type", value)) return false;
    c.item_type = value;
    if (!in_range(value, 0, animal ? 20 : 23)) return false;
    if (!o.int_of("size", value)) return false;
    c.size = value;
    if (!in_range(value, -32768, 32767)) return false;
    if (!o.int_of("age", value)) return false;
    c.age = value;
    return in_range(value, -32768, 32767);
}

void read_inventory(const Object& o, WritebackCommand& c) {
    bool ok = read_inventory_chain(o, c);
    std::string kind;
    c.item_is_animal = o.string_of("item_kind", kind) && kind == "animal";
    if (!c.item_is_animal && !in_range(c.size, 1, 4)) ok = false;
    c.inventory_ok = ok;
}

void parse_object(const Object& o, std::vector<WritebackCommand>& out) {
    WritebackCommand c;
    std::string kind;
    if (!o.int_of("id", c.id)) return;
    if (!o.string_of("kind", kind)) return;
    c.kind = command_kind_from_text(kind);
    read_identity(o, c);
    switch (c.kind) {
        case CommandKind::restore: c.restore_ok = parse_restore_payload(o.begin, o.end, c); break;
        case CommandKind::reincarnate: read_reincarnate(o, c); break;
        case CommandKind::hatch: read_hatch(o, c); break;
        case CommandKind::set_parts:
        case CommandKind::set_hat: read_wardrobe(o, c); break;
        case CommandKind::spawn_fruit: read_fruit(o, c); break;
        case CommandKind::spawn_inventory: read_inventory(o, c); break;
        case CommandKind::tree_control: c.tree_ok = parse_tree_fields(o.begin, o.end, c); break;
        default: break;
    }
    out.push_back(std::move(c));
}

}  // namespace

CommandKind command_kind_from_text(std::string_view text) {
    for (int i = 1; i < kKindCount; ++i)
        if (text == kKindTexts[i]) return static_cast<CommandKind>(i);
    return CommandKind::unknown;
}

const char* command_kind_text(CommandKind kind) {
    const int i = static_cast<int>(kind);
    return i > 0 && i < kKindCount ? kKindTexts[i] : "";
}

bool parse_restore_payload(const char* begin, const char* end, WritebackCommand& command) {
    const Object o{begin, end};
    int32_t version = 0;
    // read_int leaves version at 0 when "v" is absent or not a number.
    if (!o.int_of("v", version) || version < 2 || version > 4) {
        ModLog::log("writeback: restore version %d, expected %d or %d -- refusing", version, 2, 4);
        return false;
    }
    const int expected = version == 2 ? kRestoreFieldsV2 : version == 3 ? kRestoreFieldsV3 : kRestoreFieldsV4;
    const char* p = o.value("f");
    if (!p || p >= end || *p != '[') return false;
    ++p;
    std::array<int32_t, kRestoreFieldsMax> fields{};
    int count = 0;
    bool closed = false;
    while (true) {
        p = JsonReader::skip_whitespace(p, end);
        if (p < end && *p == ']') {
            closed = true;
            break;
        }
        int32_t value = 0;
        if (!read_int(p, end, value)) return false;
        if (count == expected) {
            ModLog::log("writeback: restore carries more than %d fields -- refusing", expected);
            return false;
        }
        fields[count++] = value;
        if (*p == '-') ++p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        p = JsonReader::skip_whitespace(p, end);
        if (p >= end) break;
        if (*p == ',') ++p;
    }
    // A list cut off before its closing bracket may have lost digits of its last number.
    if (!closed) return false;
    if (count != expected) {
        ModLog::log("writeback: restore carries %d fields, expected %d -- refusing", count, expected);
        return false;
    }
    if (version >= 3 && (static_cast<uint32_t>(fields[110]) & 0xFFE00000u) != 0) {
        ModLog::log("writeback: restore carries invalid animal behaviour flags -- refusing");
        return false;
    }
    if (version == 4 && fields[111] != 0 && fields[111] != 1) return false;
    command.restore_fields = fields;
    command.restore_version = version;
    return true;
}

bool parse_tree_fields(const char* begin, const char* end, WritebackCommand& command) {
    const Object o{begin, end};
    int32_t garden = 0;
    if (!o.int_of("garden", garden) || !in_range(garden, 1, 3)) return false;
    if (!in_range(command.slot, 3, 6)) return false;
    std::string action;
    if (!o.string_of("action", action)) return false;
    if (action == "water") command.tree_action = kTreeWater;
    else if (action == "mature") command.tree_action = kTreeMature;
    else if (action == "change_kind") command.tree_action = kTreeChangeKind;
    else if (action == "remove") command.tree_action = kTreeRemove;
    else return false;
    if (!o.hex_of("expect_raw", command.expect_raw)) return false;
    command.has_expect_raw = true;
    command.garden = garden;
    if (command.tree_action == kTreeChangeKind) {
        int32_t kind = 0;
        if (!o.int_of("tree_kind", kind) || !in_range(kind, 1, 7)) return false;
        command.tree_kind = kind;
    }
    return true;
}

bool parse_commands(std::string_view text, std::vector<WritebackCommand>& out) {
    out.clear();
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = find_value(begin, end, "commands");
    if (!p || p >= end || *p != '[') return false;
    // One counter, no recursion: any depth of nesting costs nothing but the walk.
    size_t depth = 0;
    const char* object_start = nullptr;
    for (++p; p < end; ++p) {
        const char ch = *p;
        if (ch == '{') {
            if (depth == 0) object_start = p;
            ++depth;
        } else if (ch == '}') {
            if (depth == 0) continue;  // a stray closing brace opens nothing and closes nothing
            if (--depth == 0 && object_start) {
                parse_object(Object{object_start, p + 1}, out);
                object_start = nullptr;
            }
        } else if (ch == ']' && depth == 0) {
            break;
        }
    }
    return true;
}
