#include "storage/deposit.h"

#include <cmath>
#include <cstring>

#include "animals/animal_reserve.h"
#include "host/log.h"
#include "host/mod_state.h"
#include "host/notices.h"
#include "host/save_slot.h"
#include "net/worker.h"
#include "platform/platform.h"
#include "protect/game_memory.h"
#include "storage/delivery.h"
#include "storage/startup.h"

using game_memory::is_readable;
using game_memory::is_writable;

namespace storage_game {
const char kGardenSaveHeader[49] = "SONIC ADVENTURE 2 BATTLE        CHAO GARDEN DATA";

game_addr slot_table(uint32_t kind) { return game::addr::item_object_slots + kind * kSlotTableSize; }
game_addr record_table(uint32_t kind) { return kind == kKindFruit ? kFruitRecords : kAnimalRecords; }
uint32_t record_count(uint32_t kind) { return kind == kKindFruit ? kFruitRecordCount : kAnimalRecordCount; }
}  // namespace storage_game

using namespace storage_game;

namespace {

constexpr uint64_t kResendMs = 10000;
// A request the worker took but never answered (its result dropped): queued again after this.
constexpr uint64_t kStaleRequestMs = 60000;
constexpr game_addr kPlayer1 = game::addr::player_objects;
constexpr game_addr kButtonsHeld = game::addr::button_words;         // 0x01DEFC08
constexpr game_addr kButtonsPressed = game::addr::button_words + 8;  // 0x01DEFC10
constexpr game_addr kButtonsReleased = game::addr::button_words + 12;

struct DepositModule {
    std::vector<PendingDeposit> pending;
    int hold_counter = 0;
    bool hold_latch = false;
    bool press_latched = false;
    HeldItem press_item;
};

// Set by whoever hosts the library, not by a run: kept across enable_storage.
struct Hosting {
    game_addr scratch = 0;
    uint32_t scratch_size = 0;
    ReserveSerializeWithout reserve = nullptr;
};

Hosting& hosting() {
    static Hosting h;
    return h;
}

DepositModule& module() {
    static DepositModule m;
    return m;
}

alignas(16) unsigned char g_library_scratch[kStorageScratchSize];

bool read_u32(game_addr a, uint32_t& out) { return game_memory::read_checked(a, out); }

int16_t i16_at(const uint8_t* p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
void put_i16(uint8_t* p, int16_t v) { std::memcpy(p, &v, 2); }
float f32_at(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}

int32_t garden_now() {
    int32_t g = game::current_garden();
    return g >= 1 && g <= 3 ? g : 0;
}

bool at_garden_level() {
    return game::read<uint16_t>(game::addr::level) == game::kGardenLevel &&
           game::read<uint16_t>(game::addr::game_state) == 16;
}

// The player character's data, readable for 0x30 bytes; 0 when there is none.
game_addr character_data() {
    uint32_t p = 0;
    if (!read_u32(game::addr::character_data, p) || !is_readable(p, 0x30)) return 0;
    return p;
}

bool action_is_storage() {
    game_addr c = character_data();
    return c && game::read<uint8_t>(c) == kStorageAction;
}

// A terminated text, read region by region only where the probe allows.
bool read_text(game_addr address, uint32_t max_length, std::string& out) {
    out.clear();
    uint32_t i = 0;
    while (i < max_length) {
        game_addr at = address + i;
        game::RegionInfo r{};
        if (!is_readable(at, 1) || !game::query_region(at, r)) return false;
        uint64_t end = uint64_t(r.base) + r.size;
        for (; i < max_length && uint64_t(address) + i < end; ++i) {
            char c = game::read<char>(address + i);
            if (c == '\0') return true;
            out += c;
        }
    }
    return false;
}

void set_notice(const char* text, bool warning) { set_storage_notice(text, warning); }

void draw_notice() {
    StorageNotice& n = storage_state().notice;
    if (!n.on) return;
    if (platform::tick_ms() >= n.expiry_ms) {
        n.on = false;
        return;
    }
    show_screen_line(mod_state().screen_text, kStorageNoticeLine, n.text.c_str());
}

bool reserve_record(game_addr record, std::string* path, std::string* content) {
    Hosting& m = hosting();
    if (!m.reserve) return false;
    std::string p, c;
    if (!m.reserve(record, p, c)) return false;
    if (path) *path = p;
    if (content) *content = c;
    return true;
}

bool header_ok(const std::string& file) {
    return file.size() == kGardenSaveFileSize && std::memcmp(file.data(), kGardenSaveHeader, 48) == 0;
}

}  // namespace

void freed_record(uint8_t out[20]) {
    std::memset(out, 0, 20);
    put_i16(out, -1);
    put_i16(out + 2, -1);
}

void set_storage_scratch(game_addr address, uint32_t size) {
    hosting().scratch = address;
    hosting().scratch_size = size;
}

game_addr storage_scratch(uint32_t size) {
    Hosting& m = hosting();
    game_addr address = 0;
    if (m.scratch) {
        if (size > m.scratch_size) return 0;
        address = m.scratch;
    } else {
        // Inside the game a buffer of the library is itself a game address.
        uintptr_t p = reinterpret_cast<uintptr_t>(g_library_scratch);
        if (size > kStorageScratchSize || p < game::g_base || p - game::g_base + size > (uint64_t(1) << 32)) return 0;
        address = static_cast<game_addr>(p - game::g_base);
    }
    return is_writable(address, size) ? address : 0;
}

namespace {
DeliveryRoutines g_delivery_routines;
}

const DeliveryRoutines& delivery_routines() { return g_delivery_routines; }

void set_delivery_routines(game_addr (*alloc)(uint32_t),
                           game_addr (*fruit)(int32_t, game_addr, int32_t, game_addr, game_addr),
                           game_addr (*animal)(uint8_t, game_addr, int32_t, game_addr, game_addr)) {
    g_delivery_routines = DeliveryRoutines{};
    if (alloc) g_delivery_routines.alloc = alloc;
    if (fruit) g_delivery_routines.fruit = fruit;
    if (animal) g_delivery_routines.animal = animal;
}

void set_reserve_serialize_without(ReserveSerializeWithout fn) { hosting().reserve = fn; }

std::vector<PendingDeposit>& pending_deposits() { return module().pending; }

void reset_deposit_state() { module() = DepositModule{}; }

namespace {

// The file's data block copied into the scratch area and checked by the game's own routine:
// its address there, or 0 (with `why`) when the file is not one the game would load.
game_addr checked_block(const std::string& file, std::string& why) {
    if (!header_ok(file)) {
        why = "selected garden save is unavailable";
        return 0;
    }
    game_addr block = storage_scratch(kGardenBlockSize);
    if (!block) {
        why = "storage persistence or native code is unavailable";
        return 0;
    }
    std::memcpy(game::game_ptr<unsigned char>(block), file.data() + kGardenBlockOffset, kGardenBlockSize);
    if (!game::garden_save_check(block)) {
        why = "garden save checksum is invalid";
        return 0;
    }
    return block;
}

// Only the item tables' records: anything else in the block (its checksum word first) is not
// an item's place.
bool item_record_place(game_addr record) {
    for (uint32_t kind : {kKindFruit, kKindAnimal}) {
        game_addr table = record_table(kind);
        if (record >= table && (record - table) % kItemRecordSize == 0 &&
            (record - table) / kItemRecordSize < record_count(kind))
            return true;
    }
    return false;
}

}  // namespace

bool garden_save_with_record(const std::string& file, game_addr record, const uint8_t bytes[20], std::string& out,
                             std::string& why) {
    if (!item_record_place(record)) {
        why = "native item save allocation was not safe";
        return false;
    }
    game_addr block = checked_block(file, why);
    if (!block) return false;
    unsigned char* host = game::game_ptr<unsigned char>(block);
    std::memcpy(host + (record - game::addr::garden_save_block), bytes, kItemRecordSize);
    game::garden_save_store(block);
    std::string copy = file;
    std::memcpy(copy.data() + kGardenBlockOffset, host, kGardenBlockSize);
    out.swap(copy);
    return true;
}

bool garden_save_has_record(const std::string& file, uint32_t kind, const uint8_t bytes[20]) {
    std::string why;
    if (!checked_block(file, why)) return false;
    for (uint32_t i = 0; i < record_count(kind); ++i) {
        size_t at = kGardenBlockOffset + (record_table(kind) - game::addr::garden_save_block) + i * kItemRecordSize;
        if (std::memcmp(file.data() + at, bytes, kItemRecordSize) == 0) return true;
    }
    return false;
}

bool enable_storage(const std::string& mod_path, const SyncConfig& config) {
    reset_storage_state();
    reset_deposit_state();
    if (!config.valid || config.ApiKey.empty() || !config.EnableWriteback) return false;
    if (!storage_routines_intact()) return false;
    StorageState& s = storage_state();
    s.configuration = config;
    s.mod_folder = mod_path;
    // Reserve animals travel with their reserve file, which the animal reserve owns.
    s.reserve_file_path = &reserve_file_path;
    set_reserve_serialize_without(&serialize_without);
    s.enabled = true;
    return true;
}

bool storage_routines_intact() { return game_memory::verify_storage_code(); }

bool storage_context_valid() {
    uint32_t text = 0;
    if (!read_u32(game::addr::save_path, text) || text == 0) return false;
    std::string path;
    if (!read_text(text, 1024, path)) return false;
    if (active_save_slot(path.c_str()) != storage_state().configuration.SaveSlot) return false;
    uint32_t busy = 1;
    if (!read_u32(game::addr::save_busy, busy) || busy != 0) return false;
    const std::string& recorded = storage_state().main_save_path;
    if (!recorded.empty() && NormalizePath(path) != recorded) return false;
    return true;
}

bool find_held_item(HeldItem& out) {
    uint32_t player = 0, task = 0;
    if (!read_u32(kPlayer1, player) || !is_readable(player, 0x1C0)) return false;
    task = game::read<uint32_t>(player + 0x94);
    if (!is_readable(task, 0x50)) return false;
    HeldItem h;
    h.task = task;
    uint32_t routine = game::read<uint32_t>(task + 0x10);
    if (routine == kFruitRoutine) h.kind = kKindFruit;
    else if (routine == kAnimalRoutine) h.kind = kKindAnimal;
    else return false;
    game_addr data = game::read<uint32_t>(task + 0x34);
    if (!is_readable(data, 0x30)) return false;
    game_addr entry = game::read<uint32_t>(task + 0x3C);
    game_addr table = slot_table(static_cast<uint32_t>(h.kind));
    if (entry < table || entry - table + kSlotEntrySize > kSlotTableSize || (entry - table) % kSlotEntrySize != 0)
        return false;
    if (!is_readable(entry, kSlotEntrySize)) return false;
    if (game::read<int16_t>(entry) != h.kind || game::read<uint32_t>(entry + 0x3C) != task) return false;
    h.slot_entry = entry;
    h.entry_type = game::read<int16_t>(entry + 4);
    h.save_record = game::read<uint32_t>(entry + 8);

    h.type = h.kind == static_cast<int32_t>(kKindFruit) ? static_cast<int32_t>(game::read<uint32_t>(data + 8))
                                                        : game::read<uint8_t>(data + 3);
    if (h.save_record) {
        game_addr records = record_table(static_cast<uint32_t>(h.kind));
        game_addr r = h.save_record;
        bool in_table = r >= records && (r - records) % kItemRecordSize == 0 &&
                        (r - records) / kItemRecordSize < record_count(static_cast<uint32_t>(h.kind));
        bool in_reserve = !in_table && h.kind == static_cast<int32_t>(kKindAnimal) &&
                          reserve_record(r, nullptr, nullptr);
        if (!(in_table || in_reserve) || !is_readable(r, kItemRecordSize)) return false;
        std::memcpy(h.saved_copy, game::game_ptr<const uint8_t>(r), kItemRecordSize);
        int16_t first = i16_at(h.saved_copy);
        if (first < 0 || first != h.type) return false;
    } else {
        freed_record(h.saved_copy);
    }
    std::memcpy(h.current, h.saved_copy, kItemRecordSize);
    put_i16(h.current, static_cast<int16_t>(h.type));
    put_i16(h.current + 2, static_cast<int16_t>(garden_now()));
    if (h.kind == static_cast<int32_t>(kKindFruit)) {
        uint32_t size = game::read<uint32_t>(data + 0x10);
        if (size < 1 || size > 4) return false;
        put_i16(h.current + 4, static_cast<int16_t>(size));
    }
    int32_t max_type = h.kind == static_cast<int32_t>(kKindFruit) ? 23 : 20;
    if (h.type >= 0 && h.type <= max_type) std::memcpy(h.current + 8, game::game_ptr<const uint8_t>(data + 0x14), 12);
    out = h;
    return true;
}

bool same_item_held(const HeldItem& stored) {
    HeldItem now;
    if (!find_held_item(now)) return false;
    return now.task == stored.task && now.slot_entry == stored.slot_entry && now.entry_type == stored.entry_type &&
           now.save_record == stored.save_record && now.kind == stored.kind && now.type == stored.type &&
           std::memcmp(now.current, stored.current, 8) == 0;
}

bool near_game_boy(bool require_state, float radius) {
    uint32_t task = 0;
    if (!read_u32(game::addr::gameboy_task, task) || !is_readable(task, 0x50)) return false;
    if (game::read<uint32_t>(task + 0x10) != kGameBoyRoutine) return false;
    game_addr data = game::read<uint32_t>(task + 0x34);
    if (!is_readable(data, 0x30)) return false;
    if (require_state && game::read<uint8_t>(data) != 1) return false;
    game_addr c = character_data();
    if (!c) return false;
    float dx = game::read<float>(data + 0x14) - game::read<float>(c + 0x14);
    float dy = game::read<float>(data + 0x18) - game::read<float>(c + 0x18);
    float dz = game::read<float>(data + 0x1C) - game::read<float>(c + 0x1C);
    if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(dz)) return false;
    return dx * dx + dz * dz <= radius * radius && std::fabs(dy) <= 12.0f;
}

namespace {

bool at_game_boy() { return at_garden_level() && garden_now() != 0 && near_game_boy(true, kGameBoyRadius); }

// The target file's new content and the content it replaces. Target 0: nothing.
struct SavedOut {
    std::string path;
    std::string before;
    std::string after;
};

bool prepare_saved_out(PendingDeposit& d, SavedOut& out) {
    const TransferRecord& t = d.transfer;
    if (t.target == kTargetNone) return true;
    if (t.target == kTargetAnimalReserve) {
        if (!reserve_record(d.item.save_record, &out.path, &out.after)) return false;
        return ReadWholeFile(out.path, kMaxHashedFileSize, out.before);
    }
    out.path = storage_state().garden_save_path;
    if (out.path.empty() || !ReadWholeFile(out.path, kMaxHashedFileSize, out.before)) return false;
    uint8_t freed[20];
    freed_record(freed);
    std::string why;
    if (!garden_save_with_record(out.before, d.item.save_record, freed, out.after, why)) return false;
    return WriteFileAtomically(d.receipt_path + ".before", out.before);
}

bool handover_free(game_addr record) {
    uint32_t current = 0;
    return read_u32(game::addr::held_item_record, current) && (current == 0 || current == record);
}

}  // namespace

bool commit_deposit(PendingDeposit& d) {
    if (!storage_routines_intact() || !near_game_boy(true, kGameBoyRadius) || !same_item_held(d.item)) return false;
    SavedOut file;
    if (!prepare_saved_out(d, file)) {
        set_notice("Could not prepare a saved deposit. Item kept.", true);
        return false;
    }
    std::string digest = d.transfer.target == kTargetNone
                             ? Sha256Hex(d.transfer.transfer_id + d.transfer.save_binding)
                             : Sha256Hex(file.after);
    if (!AdvanceAndWrite(d.transfer, d.receipt_path, kTransferPlanned, digest)) return false;
    if (d.transfer.target != kTargetNone) {
        std::string again;
        if (!ReadWholeFile(file.path, kMaxHashedFileSize, again) || again != file.before) return false;
        if (d.transfer.target == kTargetAnimalReserve && !WriteFileAtomically(d.receipt_path + ".before", file.before))
            return false;
    }
    if (!storage_context_valid() || !near_game_boy(true, kGameBoyRadius) || !same_item_held(d.item) ||
        !storage_routines_intact() || !handover_free(d.item.save_record))
        return false;
    if (!is_writable(game::addr::held_item_kind, 8)) return false;

    // Applying goes to disk before the game is touched: a receipt that still says planned is
    // set aside as never begun at the next start.
    if (!BeginLocalChange(d.transfer, d.receipt_path)) {
        storage_state().attention = true;
        set_notice("Deposit paused: receipt could not save. Recovery copy retained.", true);
        return false;
    }
    game::write<uint32_t>(game::addr::held_item_kind, static_cast<uint32_t>(d.item.kind));
    game::write<uint32_t>(game::addr::held_item_record, d.item.save_record);
    game::release_held_item();
    uint32_t player = 0, after = 1;
    bool removed = read_u32(kPlayer1, player) && is_readable(player, 0x1C0) &&
                   game::read<uint32_t>(player + 0x94) == 0 && read_u32(game::addr::held_item_record, after) &&
                   after == 0;
    if (removed && d.item.save_record)
        removed = is_readable(d.item.save_record, 2) && game::read<uint16_t>(d.item.save_record) == 0xFFFF;
    if (!removed) {
        storage_state().attention = true;
        set_notice("Deposit paused: receipt could not save. Recovery copy retained.", true);
        return false;
    }

    if (is_writable(d.item.slot_entry, kSlotEntrySize) && game::read<uint32_t>(d.item.slot_entry + 0x3C) == d.item.task &&
        game::read<uint32_t>(d.item.slot_entry + 8) == d.item.save_record)
        game::write<uint32_t>(d.item.slot_entry + 8, 0);
    bool saved = d.transfer.target == kTargetNone || ReplaceFileIfUnchanged(file.path, file.before, file.after);
    saved = saved && AdvanceAndWrite(d.transfer, d.receipt_path, kTransferApplied, "");
    if (!saved) {
        storage_state().attention = true;
        set_notice("Deposit save needs recovery. Receipt and backup retained.", true);
        return false;
    }
    d.still_in_garden = false;
    d.request_queued = false;
    d.next_send_ms = 0;
    set_notice("Item saved out of the garden. Confirming server storage...", false);
    return true;
}

void storage_on_control(bool active) {
    StorageState& s = storage_state();
    DepositModule& m = module();
    if (!s.enabled || !s.started || s.attention || !active || !storage_context_valid() || !at_garden_level() ||
        garden_now() == 0 || !near_game_boy(true, kGameBoyRadius) || !storage_routines_intact() ||
        !platform::foreground_is_own_process() || !action_is_storage())
        return;
    HeldItem item;
    if (!find_held_item(item)) return;
    if (!is_writable(kButtonsHeld, 16)) return;
    bool pressed = (game::read<uint32_t>(kButtonsPressed) & kStorageButton) != 0;
    for (game_addr w : {kButtonsHeld, kButtonsPressed, kButtonsReleased})
        game::write<uint32_t>(w, game::read<uint32_t>(w) & ~kStorageButton);
    if (!m.press_latched && m.pending.empty() && pressed) {
        m.press_latched = true;
        m.press_item = item;
    }
}

namespace {

void take_results(const std::string& session_id, bool at_gb, uint64_t now) {
    DepositModule& m = module();
    StorageState& s = storage_state();
    DepositResult r;
    while (TakeDepositResult(r)) {
        size_t i = 0;
        while (i < m.pending.size() &&
               !(m.pending[i].transfer.transfer_id == r.request_id && m.pending[i].session_id == r.session_id))
            ++i;
        if (i == m.pending.size()) continue;
        PendingDeposit& d = m.pending[i];
        d.request_queued = false;
        bool remove = false;
        if (!r.ok && d.still_in_garden) {
            if (r.status == 404) set_notice("Update the server to enable storage. Item kept.", false);
            else set_notice("Storage unavailable or sync pending. Item kept.", true);
            remove = true;
        } else if (!r.ok) {
            d.next_send_ms = now + kResendMs;
            set_notice("Item is saved locally; waiting for server storage.", false);
        } else if (!d.still_in_garden) {
            if (AdvanceAndWrite(d.transfer, d.receipt_path, kTransferCommitted, "")) {
                set_notice("Sent to server storage.", false);
            } else {
                s.attention = true;
                set_notice("Storage confirmed; local receipt needs recovery.", true);
            }
            remove = true;
        } else {
            if (!(at_gb && commit_deposit(d))) {
                if (!s.attention) set_notice("Deposit cancelled. Keep holding the item near the Game Boy.", false);
                remove = true;
            }
        }
        if (remove) m.pending.erase(m.pending.begin() + static_cast<long>(i));
    }
    (void)session_id;
}

void send_requests(const std::string& session_id, bool at_gb, uint64_t now) {
    DepositModule& m = module();
    for (size_t i = 0; i < m.pending.size();) {
        PendingDeposit& d = m.pending[i];
        if (d.still_in_garden && !(at_gb && d.session_id == session_id && same_item_held(d.item))) {
            set_notice("Deposit cancelled. Item kept.", false);
            m.pending.erase(m.pending.begin() + static_cast<long>(i));
            continue;
        }
        // A request queued under an earlier session was dropped by the worker without a result,
        // and one taken but never answered is given up after a while: both go out again.
        if (d.request_queued && (d.session_id != session_id || now - d.queued_ms >= kStaleRequestMs)) {
            d.request_queued = false;
            d.next_send_ms = 0;
        }
        if (!d.request_queued && now >= d.next_send_ms && !session_id.empty()) {
            std::string body = BuildTransferJson(d.transfer, d.still_in_garden ? "prepare" : "commit");
            d.session_id = session_id;
            d.request_queued = !body.empty() && QueueDeposit(d.transfer.transfer_id, body);
            d.queued_ms = now;
            d.next_send_ms = now + kResendMs;
        }
        ++i;
    }
}

void start_deposit(const HeldItem& item) {
    DepositModule& m = module();
    StorageState& s = storage_state();
    m.hold_latch = true;
    PendingDeposit d;
    TransferRecord& t = d.transfer;
    t.transfer_id = NewTransferId();
    t.save_binding = s.binding;
    t.kind = item.kind == static_cast<int32_t>(kKindAnimal) ? kTransferAnimal : kTransferFruit;
    int32_t max_type = t.kind == kTransferAnimal ? 20 : 23;
    t.item_type = item.type >= 0 && item.type <= max_type ? static_cast<int16_t>(item.type) : int16_t(-1);
    t.garden = i16_at(item.current + 2);
    t.size = i16_at(item.current + 4);
    t.age = i16_at(item.current + 6);
    t.pos_x = f32_at(item.current + 8);
    t.pos_y = f32_at(item.current + 12);
    t.pos_z = f32_at(item.current + 16);
    if (!item.save_record) t.target = kTargetNone;
    else if (t.kind == kTransferAnimal && reserve_record(item.save_record, nullptr, nullptr)) t.target = kTargetAnimalReserve;
    else t.target = kTargetGardenSave;
    t.state = kTransferPrepared;
    d.receipt_path = ReceiptPath(s.storage_dir, t.transfer_id);
    if (!IsTransferValid(t) || d.receipt_path.empty() || !WriteReceipt(d.receipt_path, t)) {
        set_notice("Could not save the transfer receipt. Item kept.", true);
        return;
    }
    d.item = item;
    d.still_in_garden = true;
    d.session_id = mod_state().session_id;
    m.pending.push_back(d);
    set_notice("Preparing storage. Keep holding the item here...", false);
}

// Commits owed from an earlier run, handed over by start-up recovery.
void adopt_recovered() {
    StorageState& s = storage_state();
    for (const PendingTransfer& p : s.pending) {
        PendingDeposit d;
        d.transfer = p.transfer;
        d.receipt_path = p.receipt_path;
        d.still_in_garden = false;
        module().pending.push_back(d);
    }
    s.pending.clear();
}

}  // namespace

void run_storage_frame(bool active, const std::string& session_id) {
    StorageState& s = storage_state();
    DepositModule& m = module();
    bool pressed = m.press_latched;
    HeldItem press_item = m.press_item;
    m.press_latched = false;
    draw_notice();
    if (!s.enabled || !active || !storage_context_valid()) {
        SetGameBoyStoreLabel(false);
        return;
    }
    if (!s.started) {
        if (!s.attempted) {
            s.attempted = true;
            if (!StartStorage()) {
                s.attention = true;
                set_notice("Storage journal unavailable. Item kept.", true);
            } else {
                adopt_recovered();
            }
        }
        if (!s.started) {
            SetGameBoyStoreLabel(false);
            return;
        }
    }
    bool at_gb = at_game_boy();
    uint64_t now = platform::tick_ms();
    take_results(session_id, at_gb, now);
    send_requests(session_id, at_gb, now);

    bool held = platform::foreground_is_own_process() &&
                ((game::read<uint32_t>(kButtonsHeld) & kHoldButton) != 0 || platform::key_down(kHoldKey));
    if (!held) {
        m.hold_counter = 0;
        m.hold_latch = false;
    }
    HeldItem item;
    if (at_gb && !s.attention && find_held_item(item)) {
        if (m.pending.empty()) {
            bool trigger = false;
            if (pressed && same_item_held(press_item)) {
                trigger = true;
            } else if (held && !m.hold_latch && ++m.hold_counter >= kHoldFrames) {
                trigger = true;
            }
            if (trigger) start_deposit(item);
        }
    } else {
        m.hold_counter = 0;
    }
    SetGameBoyStoreLabel(storage_routines_intact() && action_is_storage());
}
