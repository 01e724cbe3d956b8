#include "snapshot/garden_snapshot.h"

#include <cstring>

#include "snapshot/json_writer.h"

namespace {

// At least 64 KiB, and room for every object being sent, so that a full document of a
// busy garden is written into the one buffer without growing it on the way.
constexpr size_t kDocumentReserve = 65536;
constexpr size_t kChaoObjectRoom = 2304;
constexpr size_t kTreeObjectRoom = 192;

}  // namespace

bool read_tree_image(game_addr trees, int32_t index, TreeImage& out, uint32_t stride) {
    out = TreeImage{};
    if (trees == 0 || index < 0 || index >= game::kTreeCount) return false;
    out.garden = index / 7 + 1;
    out.slot = index % 7;
    memcpy(out.raw, game::game_ptr<const uint8_t>(trees + static_cast<uint32_t>(index) * stride),
           sizeof out.raw);
    out.content_hash = fnv1a(kFnvBasis, out.raw, sizeof out.raw);
    return true;
}

void write_tree_object(JsonWriter& w, const TreeImage& t) {
    w.begin_object();
    w.key_int("garden", t.garden);
    w.key_int("slot", t.slot);
    w.key_int("kind", t.raw[0]);
    w.key_int("state", t.raw[1]);
    w.key_int("growth", t.raw[2]);
    w.key_int("water", t.raw[3]);
    w.key_array("fruit_growth");
    for (int i = 4; i < 7; ++i) w.write_int(static_cast<int8_t>(t.raw[i]));
    w.end_array();
    w.key_int("rotation", t.raw[7]);
    char hex[16];
    hex_bytes(t.raw, sizeof t.raw, hex);
    w.key("raw");
    w.write_string(hex, sizeof hex);
    w.key_uint("content_hash", t.content_hash);
    w.end_object();
}

void write_snapshot_document(const GardenSnapshot& d, std::string& out) {
    JsonWriter w;
    w.text = std::move(out);
    w.text.clear();
    size_t room = 1024 + d.image_count * kChaoObjectRoom + d.tree_count * kTreeObjectRoom;
    if (room < kDocumentReserve) room = kDocumentReserve;
    if (w.text.capacity() < room) w.text.reserve(room);

    int32_t character = d.active_character;
    if (character < 0 || character > 16 || character == 11) character = -1;
    int32_t garden = d.active_garden >= 1 && d.active_garden <= 3 ? d.active_garden : 0;

    w.begin_object();
    w.key_int("schema", 1);
    w.key_string("session_id", d.session_id);
    w.key_string("mod_version", d.mod_version);
    w.key_int64("sent_at_ms", d.sent_at_ms);
    w.key_bool("full", d.full);
    w.key_int("active_character", character);
    if (d.lobby_unlocks != -1) w.key_int("lobby_unlocks", d.lobby_unlocks);
    w.key_int("active_garden", garden);
    if (d.rings >= 0 || d.emblems >= 0) {
        w.key_object("player_progress");
        if (d.rings >= 0) w.key_int("rings", d.rings);
        if (d.emblems >= 0) w.key_int("emblems", d.emblems);
        w.end_object();
    }
    w.key_array("occupied_slots");
    for (size_t i = 0; i < d.occupied_count; ++i) w.write_int(d.occupied_slots[i]);
    w.end_array();
    w.key_array("chao");
    for (size_t i = 0; i < d.image_count; ++i)
        if (d.images[i].occupied == 1) write_chao_object(w, d.images[i]);
    w.end_array();
    if (d.tree_count > 0) {
        w.key_array("trees");
        for (size_t i = 0; i < d.tree_count; ++i) write_tree_object(w, d.trees[i]);
        w.end_array();
    }
    w.end_object();
    out = w.take_text();
}

std::string write_snapshot_document(const GardenSnapshot& d) {
    std::string out;
    write_snapshot_document(d, out);
    return out;
}
