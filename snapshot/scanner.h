// Change tracking for one session: remembers the last image of every Chao slot and tree and
// the player's context, and decides on each scan whether a payload is due, full or delta.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/game.h"
#include "snapshot/chao_record.h"
#include "snapshot/garden_snapshot.h"

struct ScanResult {
    bool produced = false;
    bool full = false;
    int32_t slots_changed = 0;  // content hash differs from the previous scan (emptied slots too)
    int32_t chao_sent = 0;
    int32_t occupied = 0;
    int32_t trees_changed = 0;  // all 21 on the first tree read of a session
    std::string payload;        // the document; empty when not produced
};

constexpr uint64_t kHeartbeatMs = 10000;

struct GardenScanner {
    std::string session_id;
    std::string garden_items;
    bool garden_items_changed = false;
    std::string mod_version;
    uint64_t full_interval_ms = 0;
    uint64_t last_full_at_ms = 0;
    bool full_requested = true;
    int32_t lobby_unlocks = -1;  // assigned directly by the frame driver before each scan
    int32_t rings = -1;
    int32_t emblems = -1;
    bool context_changed = false;
    int32_t active_character = -1;
    int32_t active_garden = 0;
    bool garden_changed = false;
    uint64_t last_heartbeat_at_ms = 0;
    std::vector<ChaoImage> images;
    std::vector<uint32_t> image_hashes;
    std::array<TreeImage, game::kTreeCount> trees{};
    std::array<uint32_t, game::kTreeCount> tree_hashes{};
    bool trees_known = false;
    // Working lists of one scan, kept so that a scan does not allocate them anew.
    std::vector<FingerprintMemo> memos;
    std::vector<ChaoImage> send_list;
    std::vector<int32_t> occupied_list;
    bool unreadable_logged = false;

    // Forgets everything and arms a full payload. The interval is kept in 64-bit
    // milliseconds: FullResyncSeconds has no upper limit.
    void begin_session(const std::string& id, const std::string& version, int32_t full_resync_seconds);
    void set_active_character(int32_t character);
    void set_active_garden(int32_t garden);
    void set_player_progress(int32_t new_rings, int32_t new_emblems);
    void set_garden_items(const std::string& listing);
    void request_full() { full_requested = true; }
    // One scan of `count` Chao records and (when usable) `tree_count` trees at `now_ms`.
    ScanResult scan(game_addr chao_array, uint32_t stride, int32_t count, uint64_t now_ms, game_addr tree_array,
                    uint32_t tree_stride, int32_t tree_count);
};

// The one scanner of the process.
GardenScanner& garden_scanner();

// The player's context as the game shows it at this moment.
struct GardenContext {
    bool in_garden = false;       // level 90 and game state 16 or 17
    int32_t active_garden = 0;    // the game's garden number while in a garden, 1 to 3, else 0
    int32_t active_character = -1;
    int32_t lobby_unlocks = -1;
    int32_t rings = -1;
    int32_t emblems = -1;
};
GardenContext read_garden_context();
// The frame driver's feeding order: garden, character, items listing, lobby unlocks, progress.
void feed_scanner(GardenScanner& scanner, const GardenContext& context, const std::string& garden_items);
// `scan` over the game's own Chao slots and tree plots.
ScanResult scan_garden(GardenScanner& scanner, uint64_t now_ms);

// 16 lower-case hexadecimal digits; an opaque tag for one session, not a secret.
std::string new_session_id();
