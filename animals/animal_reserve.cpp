#include "animals/animal_reserve.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "animals/animal_hooks.h"
#include "animals/reserve_writer.h"
#include "host/log.h"
#include "host/save_slot.h"
#include "platform/platform.h"
#include "protect/game_memory.h"

namespace animals {
namespace {

using game_memory::fnv1a32;

constexpr size_t kMaxSavePath = 260;
constexpr uint32_t kScratchBytes = 32;  // position (3 floats) + rotation vector (3 floats)

AnimalReserve g_reserve;

void put_u32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(v >> (8 * i));
}

uint32_t get_u32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool coordinate_ok(float v) { return std::isfinite(v) && std::fabs(v) < kCoordinateLimit; }

// The NUL-terminated text at `address`, read region by region without touching a page the
// probes refuse. False when unreadable, unterminated or longer than a path can be.
bool read_game_text(game_addr address, std::string& out) {
    out.clear();
    game_addr at = address;
    while (out.size() < kMaxSavePath) {
        game::RegionInfo r{};
        if (!game_memory::is_readable(at, 1) || !game::query_region(at, r)) return false;
        uint64_t end = uint64_t(r.base) + r.size;
        for (; uint64_t(at) < end && out.size() < kMaxSavePath; ++at) {
            char c = game::read<char>(at);
            if (c == '\0') return true;
            out.push_back(c);
            if (at == 0xFFFFFFFFu) return false;
        }
    }
    return false;
}

// The active main save path as the game names it; empty when none is readable.
std::string current_save_path() {
    uint32_t text = 0;
    std::string path;
    if (!game_memory::read_u32(game::addr::save_path, text) || text == 0 || !read_game_text(text, path)) return "";
    return path;
}

bool save_idle() {
    uint32_t busy = 1;
    return game_memory::read_u32(game::addr::save_busy, busy) && busy == 0;
}

bool configured_slot_active(const std::string& path) {
    return active_save_slot(path.c_str()) == g_reserve.configured_slot && g_reserve.configured_slot != 0;
}

// The entry index of `address`, or -1 when it is not the start of an entry of the table.
int entry_index(game_addr address) {
    const AnimalReserve& s = g_reserve;
    if (s.table == 0 || address < s.table) return -1;
    uint32_t offset = address - s.table;
    if (offset >= kTableBytes || offset % sizeof(AnimalRecord) != 0) return -1;
    return static_cast<int>(offset / sizeof(AnimalRecord));
}

game_addr entry_address(uint32_t index) { return g_reserve.table + index * static_cast<uint32_t>(sizeof(AnimalRecord)); }

bool holds(game_addr address, const uint8_t* bytes, uint32_t length) {
    return game_memory::is_game_image_data(address, length) &&
           std::memcmp(game::game_ptr<const unsigned char>(address), bytes, length) == 0;
}

uint32_t read_limit() { return game::read<uint32_t>(kLimit); }

// Reads and checks the reserve file; on success replaces the table. Nothing is touched on
// failure.
bool load_file() {
    AnimalReserve& s = g_reserve;
    platform::PathKind kind = platform::path_kind(s.reserve_path);
    std::vector<AnimalRecord> records;
    if (kind == platform::PathKind::Missing) {
        // No file yet: an empty reserve.
    } else if (kind != platform::PathKind::File) {
        return false;
    } else {
        platform::File* f = platform::file_open_read(s.reserve_path);
        if (!f) return false;
        // Read to the end, one byte past the largest file, so a file of any length is told
        // apart from one that fits.
        std::string bytes(kMaxFileSize + 1, '\0');
        size_t got = 0;
        bool ok = true;
        while (got < bytes.size()) {
            long n = platform::file_read(f, &bytes[got], bytes.size() - got);
            if (n < 0) ok = false;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        platform::file_close(f);
        if (!ok || !parse_reserve_file(bytes.data(), bytes.size(), s.save_key, records)) return false;
    }
    AnimalRecord* t = table();
    const AnimalRecord empty = free_record();
    for (uint32_t i = 0; i < kCapacity; ++i) t[i] = i < records.size() ? records[i] : empty;
    return true;
}

// The table matches what its file holds.
bool table_unchanged() {
    return g_reserve.saved_table.size() == kCapacity &&
           std::memcmp(table(), g_reserve.saved_table.data(), kTableBytes) == 0;
}

void saved(const AnimalRecord* from, uint32_t hash) {
    g_reserve.saved_table.assign(from, from + kCapacity);
    g_reserve.saved_hash = hash;
    g_reserve.failed = false;
}

void save_failed() {
    g_reserve.failed = true;
    ModLog::log("animal inventory: could not save reserve; animals remain in memory");
}

// Takes a background save's outcome when it is there; with `wait`, waits for it.
void collect_background_save(bool wait) {
    AnimalReserve& s = g_reserve;
    if (!s.save_in_flight) return;
    if (wait) writer_wait();
    WriteResult r;
    if (!writer_take_result(r)) return;
    s.save_in_flight = false;
    if (r.ok) saved(s.in_flight_table.data(), r.hash);
    else save_failed();
}

// The frame step's save: the table is copied and serialised here, the file written and the
// copy hashed on the writer thread. One save at a time; a changed table waits for the next.
void save_in_background() {
    AnimalReserve& s = g_reserve;
    collect_background_save(false);
    if (!s.loaded || s.save_in_flight || (!s.failed && table_unchanged())) return;
    std::string bytes;
    if (!serialize_table(table(), s.save_key, bytes)) {
        save_failed();
        return;
    }
    s.in_flight_table.assign(table(), table() + kCapacity);
    s.save_in_flight = true;
    writer_submit(s.reserve_path, std::move(bytes), s.in_flight_table.data(), kTableBytes);
}

bool save_table() {
    std::string bytes;
    return serialize_table(table(), g_reserve.save_key, bytes) && platform::write_file_atomically(g_reserve.reserve_path, bytes);
}

}  // namespace

bool record_is_free(const AnimalRecord& r) {
    static const AnimalRecord empty = free_record();
    return std::memcmp(&r, &empty, sizeof r) == 0;
}

bool record_is_pending(const AnimalRecord& r) {
    AnimalRecord free_but_garden = free_record();
    free_but_garden.garden = r.garden;
    return r.garden != -1 && std::memcmp(&r, &free_but_garden, sizeof r) == 0;
}

AnimalRecord free_record() {
    AnimalRecord r;
    std::memset(&r, 0, sizeof r);
    r.item_type = -1;
    r.garden = -1;
    return r;
}

bool record_valid(const AnimalRecord& r) {
    if (r.item_type == -1)
        return r.garden == -1 && r.size == 0 && r.age == 0 && r.x == 0.0f && r.y == 0.0f && r.z == 0.0f;
    return r.item_type >= 0 && r.item_type <= 24 && r.garden >= 1 && r.garden <= 3 && coordinate_ok(r.x) &&
           coordinate_ok(r.y) && coordinate_ok(r.z);
}

std::string normalize_save_path(const std::string& path) {
    std::string out = path;
    for (char& c : out) {
        if (c == '/') c = '\\';
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

uint32_t save_key_of(const std::string& normalized) { return fnv1a32(normalized.data(), normalized.size()); }

std::string reserve_file_name(int32_t slot, uint32_t save_key) {
    char name[64];
    std::snprintf(name, sizeof name, "\\animal-inventory-s%02d-%08x.bin", static_cast<int>(slot),
                  static_cast<unsigned>(save_key));
    return name;
}

bool serialize_table(const AnimalRecord* t, uint32_t save_key, std::string& out) {
    out.clear();
    if (!t) return false;
    std::string bytes(kHeaderSize, '\0');
    uint32_t count = 0;
    for (uint32_t i = 0; i < kCapacity; ++i) {
        // An entry the allocation hook handed to the game that the game has not filled in yet
        // holds no animal: written as free, so it cannot block every save of the run.
        if (record_is_pending(t[i])) continue;
        if (!record_valid(t[i])) return false;
        if (t[i].item_type < 0) continue;
        bytes.append(reinterpret_cast<const char*>(&t[i]), sizeof(AnimalRecord));
        ++count;
    }
    std::memcpy(&bytes[0], kMagic, sizeof kMagic);
    put_u32(bytes, 8, kFileVersion);
    put_u32(bytes, 12, save_key);
    put_u32(bytes, 16, count);
    put_u32(bytes, 20, fnv1a32(bytes.data() + kHeaderSize, bytes.size() - kHeaderSize));
    out.swap(bytes);
    return true;
}

bool parse_reserve_file(const void* data, size_t size, uint32_t save_key, std::vector<AnimalRecord>& records) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (!p || size < kHeaderSize || size > kMaxFileSize) return false;
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0 || get_u32(p + 8) != kFileVersion || get_u32(p + 12) != save_key)
        return false;
    uint32_t count = get_u32(p + 16);
    if (count > kCapacity || size != kHeaderSize + size_t(count) * sizeof(AnimalRecord)) return false;
    if (get_u32(p + 20) != fnv1a32(p + kHeaderSize, size - kHeaderSize)) return false;
    std::vector<AnimalRecord> parsed(count);
    if (count) std::memcpy(parsed.data(), p + kHeaderSize, size - kHeaderSize);
    for (const AnimalRecord& r : parsed)
        if (r.item_type < 0 || !record_valid(r)) return false;
    records.swap(parsed);
    return true;
}

AnimalReserve& reserve() { return g_reserve; }

AnimalRecord* table() { return g_reserve.table ? game::game_ptr<AnimalRecord>(g_reserve.table) : nullptr; }

uint32_t table_hash() {
    const AnimalRecord* t = table();
    return t ? fnv1a32(t, kTableBytes) : game_memory::kFnvBasis;
}

void reset() {
    collect_background_save(true);
    if (g_reserve.lock_handle) platform::lock_file_release(g_reserve.lock_handle);
    g_reserve.~AnimalReserve();
    new (&g_reserve) AnimalReserve();
}

}  // namespace animals

using namespace animals;

bool animal_patch_intact() {
    const AnimalReserve& s = reserve();
    if (!s.installed) return false;
    if (!game_memory::is_game_image_data(kLimit, 4) || read_limit() != kLimitAfter) return false;
    for (int i = 0; i < 5; ++i)
        if (!holds(kSites[i].address, s.patched[i], 5)) return false;
    return true;
}

bool install_animal_patch(const std::string& mod_path, int32_t save_slot) {
    AnimalReserve& s = reserve();
    if (s.installed) return animal_patch_intact();
    s.mod_dir = mod_path;
    s.configured_slot = save_slot;

    for (const HookSite& site : kSites)
        if (!holds(site.address, site.unpatched, 5)) return false;
    if (!game_memory::is_game_image_data(kLimit, 4) || read_limit() != kLimitBefore) return false;
    for (const CodeCheck& c : kCodeChecks)
        if (!game_memory::is_game_image_data(c.address, c.length) ||
            game_memory::fnv1a32_game(c.address, c.length) != c.fnv1a)
            return false;

    // The table must exist before any hook can hand out one of its entries.
    if (s.table == 0) {
        game_addr block = game::alloc_game_memory(kTableBytes + kScratchBytes);
        if (block == 0) return false;
        s.table = block;
        s.scratch = block + kTableBytes;
        AnimalRecord* t = table();
        for (uint32_t i = 0; i < kCapacity; ++i) t[i] = free_record();
    }

    // Sites 0..4, then the limit.
    game_addr places[6];
    uint32_t lengths[6], old_protect[6] = {};
    for (int i = 0; i < 5; ++i) places[i] = kSites[i].address, lengths[i] = 5;
    places[5] = kLimit;
    lengths[5] = 4;
    for (int i = 0; i < 6; ++i) {
        if (!game::protect_region(places[i], lengths[i], game::kPageExecuteReadWrite, old_protect[i])) {
            for (int j = i; j-- > 0;) {
                uint32_t ignored = 0;
                game::protect_region(places[j], lengths[j], old_protect[j], ignored);
            }
            return false;
        }
    }

    for (int i = 0; i < 5; ++i) {
        game_memory::encode_call_rel32(kSites[i].address, animal_hook_address(kSiteHook[i]), s.patched[i]);
        std::memcpy(game::game_ptr<unsigned char>(kSites[i].address), s.patched[i], 5);
    }
    game::write<uint32_t>(kLimit, kLimitAfter);

    // The whole process's instruction cache.
    bool flushed = game::flush_code(0, 0);
    if (!flushed) {
        for (const HookSite& site : kSites) std::memcpy(game::game_ptr<unsigned char>(site.address), site.unpatched, 5);
        game::write<uint32_t>(kLimit, kLimitBefore);
        game::flush_code(0, 0);
    }

    // The limit first, then sites 4 down to 0.
    uint32_t ignored = 0;
    game::protect_region(places[5], lengths[5], old_protect[5], ignored);
    for (int i = 5; i-- > 0;) game::protect_region(places[i], lengths[i], old_protect[i], ignored);

    s.installed = flushed;
    return flushed && animal_patch_intact();
}

namespace {

// ensure_reserve_loaded once `raw`, the save path, names the configured slot, no save is
// running and the patch is intact.
bool load_for(const std::string& raw) {
    AnimalReserve& s = reserve();
    std::string path = normalize_save_path(raw);
    if (s.loaded) return path == s.save_path_seen;
    if (s.failed) return false;

    s.save_path_seen = path;
    s.save_key = save_key_of(path);
    s.reserve_path = s.mod_dir + reserve_file_name(s.configured_slot, s.save_key);
    if (!s.lock_handle) s.lock_handle = platform::lock_file_open(s.reserve_path + ".lock");
    if (!s.lock_handle) {
        s.failed = true;
        ModLog::log("animal inventory: reserve locked by another process or inaccessible");
        return false;
    }
    if (!load_file()) {
        s.failed = true;
        ModLog::log("animal inventory: unreadable/invalid reserve; original file retained");
        return false;
    }
    if (!save_table()) {
        s.failed = true;
        ModLog::log("animal inventory: reserve is not writable");
        return false;
    }
    saved(table(), table_hash());
    s.waiting_stale = true;
    s.loaded = true;
    ModLog::log("animal inventory: loaded local reserve for save slot %d", s.configured_slot);
    return true;
}

}  // namespace

bool ensure_reserve_loaded() {
    std::string raw = current_save_path();
    return !raw.empty() && configured_slot_active(raw) && save_idle() && animal_patch_intact() && load_for(raw);
}

void save_if_changed() {
    AnimalReserve& s = reserve();
    collect_background_save(true);
    if (!s.loaded || (!s.failed && table_unchanged())) return;
    if (save_table()) saved(table(), table_hash());
    else save_failed();
}

void finish_background_save() { collect_background_save(true); }

bool reserve_file_path(std::string& path) {
    finish_background_save();  // the caller reads or replaces the file
    if (!ensure_reserve_loaded()) return false;
    path = reserve().reserve_path;
    return true;
}

bool serialize_without(game_addr entry, std::string& path, std::string& bytes) {
    bytes.clear();
    finish_background_save();  // the caller replaces the file with these bytes
    if (!ensure_reserve_loaded() || reserve().failed) return false;
    int index = entry_index(entry);
    if (index < 0) return false;
    const AnimalRecord* t = table();
    const AnimalRecord& r = t[index];
    if (r.item_type < 0 || r.item_type >= 21 || !record_valid(r)) return false;
    std::vector<AnimalRecord> copy(t, t + kCapacity);
    copy[index] = free_record();
    if (!serialize_table(copy.data(), reserve().save_key, bytes)) return false;
    path = reserve().reserve_path;
    return true;
}

// ---- The hooks' handlers ----

extern "C" uint32_t velmora_animal_discard_skips(uint32_t kind) {
    return kind == kAnimalKind && ensure_reserve_loaded() ? 1u : 0u;
}

extern "C" uint32_t velmora_animal_reserve_record(uint32_t kind) {
    if (kind != kAnimalKind || !ensure_reserve_loaded()) return 0;
    AnimalReserve& s = reserve();
    AnimalRecord* t = table();
    for (uint32_t i = 0; i < kCapacity; ++i) {
        if (!record_is_free(t[i])) continue;
        t[i] = free_record();
        t[i].garden = static_cast<int16_t>(game::current_garden());
        s.placed[i] = true;
        s.waiting_stale = true;
        return entry_address(i);
    }
    s.full = true;
    return 0;
}

extern "C" void velmora_animal_items_loading(uint32_t kind) {
    AnimalReserve& s = reserve();
    if (kind == kAnimalKind && ensure_reserve_loaded()) {
        std::memset(s.placed, 0, sizeof s.placed);
        s.waiting_stale = true;
        s.entered_garden = game::current_garden();
    } else {
        s.entered_garden = 0;
    }
}

extern "C" void velmora_animal_items_stored(uint32_t kind) {
    const AnimalReserve& s = reserve();
    if (kind != kAnimalKind || !s.loaded) return;
    if (!configured_slot_active(current_save_path()) || !save_idle() || !animal_patch_intact()) return;
    save_if_changed();
}

// ---- The frame step ----

namespace {

// The live objects that hold reserve entries: mark them placed and follow their positions.
// Every pointer the game keeps is probed before it is followed; a failed probe skips that
// slot for this frame.
void sync_positions(int32_t garden) {
    AnimalReserve& s = reserve();
    AnimalRecord* t = table();
    if (!game_memory::is_readable(kObjectSlots, kObjectSlotCount * kObjectSlotSize)) return;
    for (uint32_t n = 0; n < kObjectSlotCount; ++n) {
        game_addr slot = kObjectSlots + n * kObjectSlotSize;
        int index = entry_index(game::read<uint32_t>(slot + 8));
        if (index < 0 || t[index].item_type < 0) continue;
        uint32_t object = game::read<uint32_t>(slot + 0x3C);
        if (!game_memory::probe_struct(object, 0x40, false)) continue;
        uint32_t back = game::read<uint32_t>(object + 0x3C);
        uint32_t transform = game::read<uint32_t>(object + 0x34);
        uint32_t routine = game::read<uint32_t>(object + 0x10);
        if (back != slot || (routine != kAnimalRoutine && routine != kItemObjectRoutine)) continue;
        if (!game_memory::probe_struct(transform, 0x20, false)) continue;
        if (!s.placed[index]) s.waiting_stale = true;
        s.placed[index] = true;
        AnimalRecord copy = t[index];
        copy.garden = static_cast<int16_t>(garden);
        copy.x = game::read<float>(transform + 0x14);
        copy.y = game::read<float>(transform + 0x18);
        copy.z = game::read<float>(transform + 0x1C);
        if (record_valid(copy)) t[index] = copy;
    }
}

bool releasable(uint32_t i, int32_t garden, uint32_t held) {
    const AnimalRecord& r = table()[i];
    return !reserve().placed[i] && r.item_type >= 0 && r.garden == garden && entry_address(i) != held &&
           record_valid(r);
}

void release_one(int32_t garden) {
    AnimalReserve& s = reserve();
    uint32_t player = 0, count = 0, held = 0;
    if (!game_memory::read_u32(game::addr::character_data, player) || player == 0) return;
    if (!game_memory::read_u32(kAnimalCount, count) || count >= kReleaseBelow) return;
    // The held item's record is read to be compared only; unreadable means "none held".
    if (!game_memory::read_u32(game::addr::held_item_record, held)) held = 0;
    if (!game_memory::probe_struct(player, 0x20, false)) return;

    for (uint32_t i = 0; i < kCapacity; ++i) {
        if (!releasable(i, garden, held)) continue;
        const AnimalRecord r = table()[i];
        float position[3] = {game::read<float>(player + 0x14) + 3.0f, game::read<float>(player + 0x18) + 2.0f,
                             game::read<float>(player + 0x1C)};
        const float zero[3] = {0.0f, 0.0f, 0.0f};
        game_addr pos = s.scratch, rotation = s.scratch + 16;
        std::memcpy(game::game_ptr<unsigned char>(pos), position, sizeof position);
        std::memcpy(game::game_ptr<unsigned char>(rotation), zero, sizeof zero);
        game_addr entry = entry_address(i);
        game_addr object;
        if (r.item_type < 21)
            object = game::create_animal(static_cast<uint8_t>(r.item_type), pos,
                                         game::read<int32_t>(player + 0x0C), rotation, entry);
        else
            object = game::create_item_object(static_cast<uint8_t>(r.item_type - 21), pos, rotation, entry);
        uint32_t slot = 0, named = 0;
        s.placed[i] = game_memory::probe_struct(object, 0x40, false) && game_memory::read_u32(object + 0x3C, slot) &&
                      slot != 0 && game_memory::read_u32(slot + 8, named) && named == entry;
        s.waiting_stale = true;
        return;
    }
}

// Walking all 4096 entries every frame would cost more than the rest of the frame together, so
// the count is kept: counted again when entries changed hands (a garden entered or another one
// shown, an animal handed to the game, released or seen live) and every 15 frame steps for what
// the game writes into records itself.
uint32_t waiting_count(int32_t garden) {
    AnimalReserve& s = reserve();
    if (s.waiting_stale || s.waiting_garden != garden || ++s.waiting_age >= 15) {
        const AnimalRecord* t = table();
        uint32_t waiting = 0;
        for (uint32_t i = 0; i < kCapacity; ++i)
            if (t[i].item_type >= 0 && t[i].garden == garden && !s.placed[i]) ++waiting;
        s.waiting = waiting;
        s.waiting_garden = garden;
        s.waiting_age = 0;
        s.waiting_stale = false;
    }
    return s.waiting;
}

}  // namespace

void animal_frame_step(ScreenTextFn screen_text) {
    AnimalReserve& s = reserve();
    if (!s.installed) return;
    if (!animal_patch_intact()) s.unavailable = true;

    uint16_t level = 0, mode = 0;
    if (!game_memory::read_checked(game::addr::level, level) || level != game::kGardenLevel) return;
    if (!game_memory::read_checked(game::addr::game_state, mode) || (mode != 16 && mode != 17)) return;
    const std::string raw = current_save_path();
    if (raw.empty() || !configured_slot_active(raw) || !save_idle()) return;
    int32_t garden = game::current_garden();
    if (garden < 1 || garden > 3) return;

    // Not unavailable: the patch was found intact above.
    if (s.unavailable || !load_for(raw)) {
        show_screen_line(screen_text, 9, "Animal inventory unavailable - check mod/config and restart.");
        return;
    }

    collect_background_save(false);
    sync_positions(garden);

    if (mode == 16) {
        ++s.frame_counter;
        // Nothing waiting is nothing to release: the walk for a candidate is skipped.
        if (s.frame_counter % 15 == 0 && s.entered_garden == garden && waiting_count(garden) > 0) release_one(garden);
        if (s.frame_counter % 60 == 0) save_in_background();
    }

    if (screen_text) {
        uint32_t waiting = waiting_count(garden);
        if (waiting > 0) {
            char text[96];
            std::snprintf(text, sizeof text, "Animal reserve: %d - releases nearby as space opens",
                          static_cast<int>(waiting));
            show_screen_line(screen_text, 9, text);
        }
        if (s.failed || s.full)
            show_screen_line(screen_text, 10,
                             s.full ? "Animal reserve full - use animals before collecting more."
                                    : "Animal reserve could not save - check disk access before quitting.");
    }

    if ((s.failed || s.full) && !s.attention_logged) {
        ModLog::log("animal inventory needs attention (storage or capacity)");
        s.attention_logged = true;
    }
}
