#include "snapshot/scanner.h"

#include <atomic>
#include <cstdint>
#include <random>

#include "host/log.h"
#include "host/version.h"
#include "platform/platform.h"

namespace {

// Signed 64-bit difference, so a clock that went back never counts as time passed.
bool elapsed_at_least(uint64_t now, uint64_t since, uint64_t interval) {
    int64_t d = static_cast<int64_t>(now - since);
    return d >= 0 && static_cast<uint64_t>(d) >= interval;
}

// True when every byte of [address, address + size) lies in committed memory that may be
// read. The range may cross regions: a game's data section is reported in several pieces
// once some of its pages have been written.
bool span_readable(game_addr address, uint64_t size) {
    if (address == 0 || size == 0) return false;
    uint64_t end = uint64_t(address) + size;
    if (end > (uint64_t(1) << 32)) return false;
    uint64_t at = address;
    for (int regions = 0; at < end; ++regions) {
        if (regions >= 256) return false;
        game::RegionInfo r{};
        if (!game::query_region(static_cast<game_addr>(at), r)) return false;
        if (r.state != game::kMemCommit || r.size == 0) return false;
        if ((r.protect & (game::kPageNoAccess | game::kPageGuard)) || (r.protect & 0xFF) == 0) return false;
        uint64_t region_end = uint64_t(r.base) + r.size;
        if (region_end <= at) return false;
        at = region_end;
    }
    return true;
}

}  // namespace

void GardenScanner::begin_session(const std::string& id, const std::string& version, int32_t full_resync_seconds) {
    session_id = id;
    garden_items.clear();
    garden_items_changed = false;
    mod_version = version;
    // 64-bit product: a large FullResyncSeconds must not wrap to a short interval.
    full_interval_ms = full_resync_seconds > 0 ? static_cast<uint64_t>(full_resync_seconds) * 1000u : 0;
    last_full_at_ms = 0;
    full_requested = true;
    lobby_unlocks = -1;
    rings = -1;
    emblems = -1;
    context_changed = false;
    active_character = -1;
    active_garden = 0;
    garden_changed = false;
    last_heartbeat_at_ms = 0;
    images.assign(game::kChaoSlotCount, ChaoImage{});
    memos.assign(game::kChaoSlotCount, FingerprintMemo{});
    image_hashes.assign(game::kChaoSlotCount, 0);
    trees.fill(TreeImage{});
    tree_hashes.fill(0);
    trees_known = false;
    unreadable_logged = false;
}

void GardenScanner::set_active_character(int32_t character) {
    if (character < 0 || character > 16 || character == 11) character = -1;
    if (character != active_character) context_changed = true;
    active_character = character;
}

void GardenScanner::set_active_garden(int32_t garden) {
    if (garden < 1 || garden > 3) garden = 0;
    if (garden != active_garden) garden_changed = true;
    active_garden = garden;
}

void GardenScanner::set_player_progress(int32_t new_rings, int32_t new_emblems) {
    if (new_rings == rings && new_emblems == emblems) return;
    rings = new_rings;
    emblems = new_emblems;
    context_changed = true;
}

void GardenScanner::set_garden_items(const std::string& listing) {
    if (listing == garden_items) return;
    garden_items = listing;
    garden_items_changed = true;
}

ScanResult GardenScanner::scan(game_addr chao_array, uint32_t stride, int32_t count, uint64_t now_ms,
                               game_addr tree_array, uint32_t tree_stride, int32_t tree_count) {
    ScanResult result;
    if (chao_array == 0 || count < 1 || stride == 0) return result;
    // Memory that cannot be read is refused like a missing array: nothing produced, nothing
    // remembered.
    if (!span_readable(chao_array, uint64_t(count - 1) * stride + ChaoRecord::read_size)) {
        if (!unreadable_logged) {
            unreadable_logged = true;
            ModLog::log("upload: Chao slots at 0x%08x are not readable; garden scan skipped", chao_array);
        }
        return result;
    }

    size_t n = static_cast<size_t>(count);
    if (images.size() != n) images.resize(n);
    if (image_hashes.size() != n) image_hashes.resize(n, 0);
    if (memos.size() != n) memos.resize(n);

    bool full = full_requested || elapsed_at_least(now_ms, last_full_at_ms, full_interval_ms);

    send_list.clear();
    occupied_list.clear();
    if (send_list.capacity() < 8) send_list.reserve(8);
    for (size_t i = 0; i < n; ++i) {
        ChaoImage image;
        read_chao_image(chao_array + static_cast<game_addr>(i * stride), static_cast<int32_t>(i), image, &memos[i],
                        &images[i]);
        images[i] = image;
        bool changed = image.content_hash != image_hashes[i];
        if (image.occupied) {
            occupied_list.push_back(static_cast<int32_t>(i));
            if (full || changed) send_list.push_back(image);
        }
        image_hashes[i] = image.content_hash;
        if (changed) ++result.slots_changed;
    }
    result.occupied = static_cast<int32_t>(occupied_list.size());

    bool trees_usable = false;
    if (tree_array != 0 && tree_stride >= game::kTreeRecordSize && tree_count == game::kTreeCount &&
        span_readable(tree_array, uint64_t(game::kTreeCount - 1) * tree_stride + game::kTreeRecordSize)) {
        std::array<TreeImage, game::kTreeCount> fresh;
        bool ok = true;
        for (int j = 0; j < game::kTreeCount && ok; ++j)
            ok = read_tree_image(tree_array, j, fresh[j], tree_stride);
        if (ok) {
            trees_usable = true;
            for (int j = 0; j < game::kTreeCount; ++j) {
                if (!trees_known || fresh[j].content_hash != tree_hashes[j]) ++result.trees_changed;
                trees[j] = fresh[j];
                tree_hashes[j] = fresh[j].content_hash;
            }
            trees_known = true;
        }
    }

    bool heartbeat = active_garden != 0 && elapsed_at_least(now_ms, last_heartbeat_at_ms, kHeartbeatMs);
    bool due = full || result.slots_changed > 0 || result.trees_changed > 0 || garden_changed || heartbeat ||
               context_changed || garden_items_changed;
    if (!due) return result;

    result.produced = true;
    result.full = full;
    result.chao_sent = static_cast<int32_t>(send_list.size());
    bool send_trees = trees_usable && (full || result.trees_changed >= 1);

    GardenSnapshot doc;
    doc.images = send_list.data();
    doc.image_count = send_list.size();
    doc.occupied_slots = occupied_list.data();
    doc.occupied_count = occupied_list.size();
    doc.full = full;
    doc.session_id = session_id;
    doc.mod_version = mod_version;
    doc.sent_at_ms = static_cast<int64_t>(now_ms);
    doc.active_character = active_character;
    doc.lobby_unlocks = lobby_unlocks;
    doc.active_garden = active_garden;
    doc.rings = rings;
    doc.emblems = emblems;
    doc.trees = send_trees ? trees.data() : nullptr;
    doc.tree_count = send_trees ? trees.size() : 0;
    write_snapshot_document(doc, result.payload);

    if (!garden_items.empty()) {
        result.payload.pop_back();
        result.payload.append(",\"garden_items\":");
        result.payload.append(garden_items);
        result.payload.push_back('}');
    }

    garden_items_changed = false;
    if (active_garden != 0) last_heartbeat_at_ms = now_ms;
    garden_changed = false;
    context_changed = false;
    if (full) {
        last_full_at_ms = now_ms;
        full_requested = false;
    }
    return result;
}

GardenScanner& garden_scanner() {
    static GardenScanner scanner;
    return scanner;
}

GardenContext read_garden_context() {
    GardenContext c;
    uint16_t level = game::read<uint16_t>(game::addr::level);
    uint16_t state = game::read<uint16_t>(game::addr::game_state);
    bool playing = state == 16 || state == 17;
    c.in_garden = level == game::kGardenLevel && playing;
    if (c.in_garden) {
        int32_t g = game::current_garden();
        c.active_garden = g >= 1 && g <= 3 ? g : 0;
    }
    if (playing && game::read<uint32_t>(game::addr::character_data) != 0)
        c.active_character = game::read<int32_t>(game::addr::active_character);
    c.lobby_unlocks = game::read<int32_t>(game::addr::lobby_unlocks);
    c.rings = game::read<int32_t>(game::addr::rings);
    c.emblems = game::read<uint8_t>(game::addr::emblems);
    return c;
}

void feed_scanner(GardenScanner& s, const GardenContext& c, const std::string& garden_items) {
    s.set_active_garden(c.active_garden);
    s.set_active_character(c.active_character);
    s.set_garden_items(garden_items);
    s.lobby_unlocks = c.lobby_unlocks;
    s.set_player_progress(c.rings, c.emblems);
}

ScanResult scan_garden(GardenScanner& s, uint64_t now_ms) {
    return s.scan(game::addr::chao_slots, game::kChaoRecordSize, game::kChaoSlotCount, now_ms, game::addr::trees,
                  game::kTreeRecordSize, game::kTreeCount);
}

std::string new_session_id() {
    // Seeded from the calendar time and a stack address, as before, plus the tick count and a
    // call counter: the session step asks again when a slot is left and re-entered, often
    // within the same second and from the same stack depth, and the new session must not
    // reuse the old id. The generator is our own, so the game's rand() state is left alone.
    static std::atomic<uint32_t> calls{0};
    static std::string last;
    int anchor = 0;
    uint64_t clock = static_cast<uint64_t>(platform::calendar_seconds());
    uint64_t stack = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&anchor));
    uint64_t ticks = platform::tick_ms();
    static const char kHex[] = "0123456789abcdef";
    std::string id(16, '0');
    do {
        uint32_t n = calls.fetch_add(1) + 1;
        uint64_t mixed = clock ^ stack;
        std::seed_seq seq{static_cast<uint32_t>(mixed), static_cast<uint32_t>(mixed >> 32),
                          static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32), n};
        std::mt19937 rng(seq);
        for (char& c : id) c = kHex[rng() & 15u];
    } while (id == last);
    last = id;
    return id;
}
