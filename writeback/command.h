// One parsed server command: the raw values the document carried, and beside them flags that
// say which values were present and well formed. Executors test the flags before they touch
// game memory. A plain record, copied by value (pending hatches and rebirths keep copies).
#pragma once
#include <array>
#include <cstdint>
#include <string>

enum class CommandKind : int32_t {
    unknown = 0,
    rename = 1,
    resync = 2,
    restore = 3,
    hatch = 4,
    reincarnate = 5,
    set_parts = 6,
    set_hat = 7,
    spawn_fruit = 8,
    spawn_inventory = 9,
    tree_control = 10,
};

// Positions of a restore payload: 105 in version 2, 111 in version 3, 113 in version 4.
constexpr int kRestoreFieldsV2 = 105;
constexpr int kRestoreFieldsV3 = 111;
constexpr int kRestoreFieldsV4 = 113;
constexpr int kRestoreFieldsMax = kRestoreFieldsV4;

// Tree actions of a tree_control command.
constexpr int32_t kTreeWater = 1;
constexpr int32_t kTreeMature = 2;
constexpr int32_t kTreeChangeKind = 3;
constexpr int32_t kTreeRemove = 4;

struct WritebackCommand {
    int32_t id = 0;
    CommandKind kind = CommandKind::unknown;
    int32_t slot = -1;
    bool has_expect_seed = false;
    int32_t expect_seed = 0;
    std::array<uint8_t, 20> expect_chao_id{};
    bool has_expect_chao_id = false;
    bool expect_chao_id_ok = true;
    std::array<uint8_t, 7> name_raw{};
    bool has_name = false;
    // arm, ear, forehead, horn, leg, tail, wing, face
    std::array<int32_t, 8> parts{};
    bool parts_ok = false;
    int32_t headgear = -1;
    bool has_headgear = false;
    std::array<uint8_t, 8> expect_parts_guard{};
    bool has_expect_parts_guard = false;
    bool expect_parts_guard_ok = true;
    int32_t garden = 0;
    int32_t fruit_type = -1;
    int32_t count = 1;
    bool fruit_ok = false;
    std::string item_id;
    bool item_is_animal = false;
    int32_t item_type = -1;
    int32_t size = 0;
    int32_t age = 0;
    bool inventory_ok = false;
    std::array<uint8_t, 8> expect_generation{};
    bool has_expect_generation = false;
    bool expect_generation_ok = true;
    int32_t hatch_version = 0;
    bool hatch_ok = false;
    int32_t reincarnations = -1;
    bool reincarnate_ok = false;
    int32_t tree_action = 0;
    std::array<uint8_t, 8> expect_raw{};
    bool has_expect_raw = false;
    int32_t tree_kind = 0;
    bool tree_ok = false;
    int32_t restore_version = 0;
    std::array<int32_t, kRestoreFieldsMax> restore_fields{};
    bool restore_ok = false;
};
