#include "storage/delivery.h"

#include <cstring>
#include <set>

#include "platform/files.h"
#include "platform/platform.h"
#include "protect/game_memory.h"
#include "storage/deposit.h"
#include "storage/startup.h"

using game_memory::is_readable;
using namespace storage_game;

namespace {

DeliveryOutcome wait() { return DeliveryOutcome{}; }
DeliveryOutcome refuse(const char* reason) { return DeliveryOutcome{false, reason}; }
DeliveryOutcome done() { return DeliveryOutcome{true, ""}; }

void put_i16(uint8_t* p, int16_t v) { std::memcpy(p, &v, 2); }
void put_f32(uint8_t* p, float v) { std::memcpy(p, &v, 4); }

void record_bytes(const TransferRecord& t, uint8_t out[20]) {
    put_i16(out, t.item_type);
    put_i16(out + 2, t.garden);
    put_i16(out + 4, t.size);
    put_i16(out + 6, t.age);
    put_f32(out + 8, t.pos_x);
    put_f32(out + 12, t.pos_y);
    put_f32(out + 16, t.pos_z);
}

uint32_t game_kind(const TransferRecord& t) { return t.kind == kTransferAnimal ? kKindAnimal : kKindFruit; }

// An interrupted delivery whose item is in the game: the record of its kind that holds exactly
// its 20 bytes, in game memory; 0 when there is none.
game_addr record_in_memory(const TransferRecord& t) {
    uint8_t want[20];
    record_bytes(t, want);
    uint32_t kind = game_kind(t);
    game_addr table = record_table(kind);
    uint32_t count = record_count(kind);
    if (!is_readable(table, count * kItemRecordSize)) return 0;
    for (uint32_t i = 0; i < count; ++i)
        if (std::memcmp(game::game_ptr<const uint8_t>(table + i * kItemRecordSize), want, 20) == 0)
            return table + i * kItemRecordSize;
    return 0;
}

// A delivery stopped while applying: complete when its item is in the garden save file, or
// is in game memory and can still be written into the file. False: the item is nowhere.
bool item_saved(const TransferRecord& t) {
    if (VerifyTargetDigest(t)) return true;
    const std::string& path = storage_state().garden_save_path;
    std::string file;
    if (!ReadWholeFile(path, kMaxHashedFileSize, file)) return false;
    uint8_t want[20];
    record_bytes(t, want);
    if (garden_save_has_record(file, game_kind(t), want)) return true;
    game_addr record = record_in_memory(t);
    if (!record) return false;
    std::string updated, why;
    return garden_save_with_record(file, record, want, updated, why) && ReplaceFileIfUnchanged(path, file, updated);
}

// After the item was written into the game: never reported as failed (the server would offer
// it again). The command stays unacknowledged; a later offer completes it once the receipt
// is applied.
DeliveryOutcome hold_after_creation() {
    storage_state().attention = true;
    return wait();
}

DeliveryOutcome replay(const WritebackCommand& c, int32_t garden, const std::string& path, const std::string& id) {
    StorageState& s = storage_state();
    TransferRecord t;
    uint32_t kind = c.item_is_animal ? kTransferAnimal : kTransferFruit;
    if (!ReadReceipt(path, s.binding, t) || t.transfer_id != id || t.target != kTargetGardenSave ||
        t.item_type != c.item_type || t.size != c.size || t.age != c.age || t.kind != kind || t.garden != garden)
        return refuse("stored-item delivery receipt does not match");
    if (t.state == kTransferApplying) {
        // The object may have been created before the run ended: the planned file proves it,
        // and so does the item itself, found in its save file or in the garden.
        if (item_saved(t)) {
            // The item exists: never answered as a failure, or the server would offer it again.
            if (!AdvanceAndWrite(t, path, kTransferApplied, "")) return hold_after_creation();
        }
    }
    if (t.state < kTransferApplied) return refuse("interrupted delivery needs review; item will not be created twice");
    return done();
}


}  // namespace

DeliveryOutcome deliver_stored_item(const WritebackCommand& c, int32_t current_garden) {
    StorageState& s = storage_state();
    if (!c.inventory_ok) return refuse("invalid stored-item delivery");
    if (!s.started) return wait();
    if (!s.enabled || !storage_context_valid() || !storage_routines_intact())
        return refuse("storage persistence or native code is unavailable");
    if (c.garden != current_garden || game::read<uint16_t>(game::addr::level) != game::kGardenLevel ||
        game::read<uint16_t>(game::addr::game_state) != 16)
        return wait();
    uint32_t character = 0;
    if (!game_memory::read_checked(game::addr::character_data, character) || !is_readable(character, 0x30)) return wait();

    const std::string id = DeliveryTransferId(c.id, c.item_id);
    const std::string folder = DeliveryReceiptFolder();
    const std::string path = ReceiptPath(folder, id);
    if (path.empty() || !platform::create_folder(folder)) return refuse("could not open delivery receipts");
    platform::PathKind existing = platform::path_kind(path);
    if (existing == platform::PathKind::Error || existing == platform::PathKind::Folder)
        return refuse("could not open delivery receipts");
    // A repeat never creates anything, so it may settle its receipt even under attention.
    if (existing == platform::PathKind::File) return replay(c, current_garden, path, id);
    if (s.attention) return refuse("storage persistence or native code is unavailable");

    // New delivery.
    uint32_t kind = c.item_is_animal ? kKindAnimal : kKindFruit;
    uint32_t count = 0;
    if (!game_memory::read_checked(game::addr::item_counts + 4 * kind, count) || count > 39) return wait();
    game_addr record = delivery_routines().alloc(kind);
    if (!record) return wait();
    game_addr table = record_table(kind);
    if (record < table || (record - table) % kItemRecordSize != 0 || (record - table) / kItemRecordSize >= record_count(kind) ||
        !game_memory::is_writable(record, kItemRecordSize) || game::read<uint16_t>(record) != 0xFFFF)
        return refuse("native item save allocation was not safe");
    uint8_t remembered[20];
    std::memcpy(remembered, game::game_ptr<const uint8_t>(record), 20);

    TransferRecord t;
    t.transfer_id = id;
    t.save_binding = s.binding;
    t.kind = c.item_is_animal ? kTransferAnimal : kTransferFruit;
    t.target = kTargetGardenSave;
    t.item_type = static_cast<int16_t>(c.item_type);
    t.garden = static_cast<int16_t>(current_garden);
    t.size = static_cast<int16_t>(c.size);
    t.age = static_cast<int16_t>(c.age);
    t.pos_x = game::read<float>(character + 0x14) + 3.0f;
    t.pos_y = game::read<float>(character + 0x18) + 2.0f;
    t.pos_z = game::read<float>(character + 0x1C);
    t.state = kTransferPrepared;
    // The command's numbers must survive narrowing to the receipt's 16-bit fields.
    if (t.item_type != c.item_type || t.size != c.size || t.age != c.age || !IsTransferValid(t))
        return refuse("invalid stored-item delivery");
    game_addr args = storage_scratch(24);
    if (!args) return refuse("storage persistence or native code is unavailable");
    std::string before;
    if (!ReadWholeFile(s.garden_save_path, kMaxHashedFileSize, before) || before.size() != kGardenSaveFileSize ||
        std::memcmp(before.data(), kGardenSaveHeader, 48) != 0)
        return refuse("selected garden save is unavailable");
    uint8_t item[20];
    record_bytes(t, item);
    std::string after, why;
    if (!garden_save_with_record(before, record, item, after, why)) return refuse(why.c_str());

    if (!WriteReceipt(path, t) || !WriteFileAtomically(path + ".before", before) ||
        !AdvanceAndWrite(t, path, kTransferPlanned, Sha256Hex(after)))
        return refuse("could not persist delivery intent");

    std::string again;
    if (!storage_context_valid() || game::current_garden() != c.garden || !storage_routines_intact() ||
        std::memcmp(game::game_ptr<const uint8_t>(record), remembered, 20) != 0 ||
        !ReadWholeFile(s.garden_save_path, kMaxHashedFileSize, again) || again != before)
        return refuse("garden changed while preparing delivery");
    // Applying is on disk before the game is touched: a receipt below it proves nothing was made.
    if (!BeginLocalChange(t, path)) return refuse("could not persist delivery intent");

    std::memcpy(game::game_ptr<uint8_t>(record), item, 20);
    float position[3] = {t.pos_x, t.pos_y, t.pos_z};
    float zero[3] = {0.0f, 0.0f, 0.0f};
    std::memcpy(game::game_ptr<uint8_t>(args), position, 12);
    std::memcpy(game::game_ptr<uint8_t>(args + 12), zero, 12);
    int32_t rotation = game::read<int32_t>(character + 0x0C);
    game_addr task = c.item_is_animal
                         ? delivery_routines().animal(static_cast<uint8_t>(c.item_type), args, rotation, args + 12, record)
                         : delivery_routines().fruit(c.item_type, args, rotation, args + 12, record);
    game_addr entry = 0;
    bool confirmed = task && is_readable(task, 0x50);
    if (confirmed) {
        entry = game::read<uint32_t>(task + 0x3C);
        confirmed = is_readable(entry, 0x48) && game::read<uint32_t>(entry + 8) == record &&
                    game::read<uint32_t>(entry + 0x3C) == task;
    }
    if (!confirmed) {
        // The record is in the game and the object may be too: finish the file so the receipt
        // can reach applied, but let no new transfer start in this run.
        storage_state().attention = true;
    }
    if (!ReplaceFileIfUnchanged(s.garden_save_path, before, after) ||
        !AdvanceAndWrite(t, path, kTransferApplied, ""))
        return hold_after_creation();
    if (!confirmed) return hold_after_creation();
    set_storage_notice("Stored item delivered to this garden.", false);
    return done();
}
