// The snapshot document of one scan, and the garden's tree plots.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/game.h"
#include "snapshot/chao_record.h"

// One of the 21 tree plots: 8 game bytes (kind, state, growth, water, three fruit growth
// bytes, rotation) with their FNV-1a hash. Record i belongs to garden i / 7 + 1, slot i % 7.
struct TreeImage {
    int32_t garden = 0;
    int32_t slot = -1;
    uint8_t raw[8] = {};
    uint32_t content_hash = 0;
};
static_assert(sizeof(TreeImage) == 20, "TreeImage is 20 bytes");
static_assert(offsetof(TreeImage, raw) == 8 && offsetof(TreeImage, content_hash) == 16);

// False, leaving a default image, for a null array or an index of 21 or more. The caller
// makes sure the record's bytes are readable.
bool read_tree_image(game_addr trees, int32_t index, TreeImage& out, uint32_t stride = game::kTreeRecordSize);
void write_tree_object(JsonWriter& w, const TreeImage& tree);

// What one document is written from. The lists are borrowed for the call.
struct GardenSnapshot {
    const ChaoImage* images = nullptr;  // the images chosen for sending; unoccupied ones are skipped
    size_t image_count = 0;
    const int32_t* occupied_slots = nullptr;
    size_t occupied_count = 0;
    bool full = false;
    std::string session_id;
    std::string mod_version;
    int64_t sent_at_ms = 0;
    int32_t active_character = -1;
    int32_t lobby_unlocks = -1;
    int32_t active_garden = 0;
    int32_t rings = -1;
    int32_t emblems = -1;
    const TreeImage* trees = nullptr;  // all 21 or none
    size_t tree_count = 0;
};

// The compact JSON text; ownership passes to the caller.
std::string write_snapshot_document(const GardenSnapshot& doc);
// The same, written over `out` (its capacity is kept and raised to the document size).
void write_snapshot_document(const GardenSnapshot& doc, std::string& out);
