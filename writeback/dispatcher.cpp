#include "writeback/dispatcher.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/log.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/game_memory.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"
#include "storage/delivery.h"
#include "writeback/command_reader.h"
#include "writeback/lifecycle.h"

namespace {

using R = ChaoRecord;
using game_memory::probe_struct;

// A session rarely sees more than a few dozen commands; the bound only keeps a runaway
// server from growing the memory of handled ids without end.
constexpr size_t kMaxHandledCommands = 4096;
constexpr uint32_t kSkeletonDogBehaviour = 0x00010000;
constexpr int32_t kEggType = 1;

// The player character data as the fruit creator is handed it.
constexpr uint32_t kPlayerRotation = 0x0C;
constexpr uint32_t kPlayerPosition = 0x14;
constexpr uint32_t kPlayerDataSize = 0x20;

// ---- the restore table: positions 0 to 104, in payload order

enum Width : uint8_t { kByte = 1, kWord = 2, kDword = 4, kFloat = 5 };

struct RestoreField {
    uint16_t offset;
    uint8_t width;
};

struct RestoreTable {
    RestoreField fields[kRestoreFieldsV2];
    int count = 0;
};

constexpr RestoreTable make_restore_table() {
    RestoreTable t{};
    auto put = [&t](uint32_t offset, uint8_t width) {
        t.fields[t.count] = RestoreField{static_cast<uint16_t>(offset), width};
        ++t.count;
    };
    put(R::type, kByte);
    put(R::garden, kByte);
    for (uint32_t i = 0; i < 8; ++i) put(R::stat_grades + i, kByte);
    for (uint32_t i = 0; i < 8; ++i) put(R::stat_levels + i, kByte);
    for (uint32_t i = 0; i < 8; ++i) put(R::stat_points + 2 * i, kWord);
    for (uint32_t i = 0; i < 8; ++i) put(R::stat_fractions + i, kByte);
    for (uint32_t off : {R::happiness, R::in_kindergarten, R::clock_rollovers, R::adult_clock_rollovers, R::lifespan,
                         R::lifespan2, R::reincarnations})
        put(off, kWord);
    put(R::seed, kDword);
    put(R::timescale_timer, kDword);
    for (uint32_t off : {R::power_run, R::fly_swim, R::alignment, R::last_life_alignment, R::progress}) put(off, kFloat);
    for (uint32_t off : {R::color, R::monotone_highlights, R::texture, R::shiny, R::egg_color, R::eye_type, R::mouth_type,
                         R::ball_type, R::headgear, R::medal, R::hide_feet, R::body_type, R::body_type_animal})
        put(off, kByte);
    put(R::doctor_medal, kWord);
    for (uint32_t i = 0; i < 8; ++i) put(R::parts + i, kByte);
    for (uint32_t i = 0; i < 11; ++i) put(R::conditions + 2 * i, kWord);
    for (uint32_t off : {R::joy, R::anger, R::fear, R::urge_to_cry, R::kindness, R::vitality, R::glutton, R::skillful,
                         R::charm, R::chatty, R::curiosity, R::favorite_fruit, R::cough, R::cold, R::rash,
                         R::runny_nose, R::hiccups, R::stomach_ache, R::crybaby_energetic, R::naive_normal,
                         R::solitude, R::regain, R::carefree, R::fickle})
        put(off, kByte);
    return t;
}

constexpr RestoreTable kRestoreTable = make_restore_table();
static_assert(kRestoreTable.count == kRestoreFieldsV2, "the restore table covers positions 0 to 104");

constexpr int kRestoreChaoId = 105;      // 105 to 109: chao_id, 4 bytes each
constexpr int kRestoreBehaviours = 110;
constexpr int kRestoreHasClassroom = 111;
constexpr int kRestoreClassroom = 112;

// The 20 identity bytes that positions 105 to 109 carry, little-endian per integer.
std::array<uint8_t, 20> restore_chao_id(const WritebackCommand& c) {
    std::array<uint8_t, 20> id{};
    for (int k = 0; k < 5; ++k) {
        uint32_t w = static_cast<uint32_t>(c.restore_fields[kRestoreChaoId + k]);
        for (int j = 0; j < 4; ++j) id[4 * k + j] = static_cast<uint8_t>(w >> (8 * j));
    }
    return id;
}

// ---- the Chao array

struct ChaoArray {
    game_addr base;
    uint32_t record_size;
    int32_t count;
};

bool record_address(const ChaoArray& a, int32_t slot, game_addr& out) {
    uint64_t at = uint64_t(a.base) + uint64_t(static_cast<uint32_t>(slot)) * a.record_size;
    if (at + R::read_size > (uint64_t(1) << 32)) return false;
    out = static_cast<game_addr>(at);
    return true;
}

// The Chao array is one block of the game's data, but its pages need not form one region
// (copy-on-write pages not yet written differ in protection), so a range is probed region
// by region.
bool span_probe(game_addr address, uint32_t length, bool writable) {
    const uint64_t end = uint64_t(address) + length;
    if (address == 0 || end > (uint64_t(1) << 32)) return false;
    uint64_t at = address;
    while (at < end) {
        game::RegionInfo r{};
        if (!game::query_region(static_cast<game_addr>(at), r)) return false;
        const uint64_t region_end = uint64_t(r.base) + r.size;
        if (region_end <= at) return false;
        const uint32_t piece = static_cast<uint32_t>(std::min(end, region_end) - at);
        if (!probe_struct(static_cast<game_addr>(at), piece, writable)) return false;
        at += piece;
    }
    return true;
}

// Everything a guard reads lies in the first read_size bytes of a record.
bool record_readable(game_addr record) { return span_probe(record, R::read_size, false); }

int8_t type_of(game_addr record) { return game::read<int8_t>(record + R::type); }

bool chao_id_equals(game_addr record, const std::array<uint8_t, 20>& id) {
    return std::memcmp(game::game_ptr<const uint8_t>(record + R::chao_id), id.data(), id.size()) == 0;
}

enum class Other { none, found, unreadable };

// Whether another occupied slot than `slot` satisfies `match`; every record is probed first.
template <class Match>
Other find_other(const ChaoArray& a, int32_t slot, Match match) {
    for (int32_t i = 0; i < a.count; ++i) {
        if (i == slot) continue;
        game_addr r = 0;
        if (!record_address(a, i, r) || !record_readable(r)) return Other::unreadable;
        if (type_of(r) != 0 && match(r)) return Other::found;
    }
    return Other::none;
}

bool hat_allowed(int32_t h) { return (h >= 0 && h <= 8) || (h >= 11 && h <= 14) || h == 16; }

// The checks of a slot command in their order; the first failing one gives the reason. With
// no array the checks on game memory are taken as passed. On success `record` is the slot's
// record (when an array was given).
const char* check_slot_command(const WritebackCommand& c, const ChaoArray* a, game_addr& record) {
    const bool wardrobe = c.kind == CommandKind::set_parts || c.kind == CommandKind::set_hat;
    if (c.kind == CommandKind::resync) return nullptr;
    if (c.kind != CommandKind::rename && c.kind != CommandKind::restore && !wardrobe) return "unsupported command kind";
    if (a && (a->base == 0 || a->record_size < R::read_size)) return "chao array not available";
    const int32_t count = a ? a->count : game::kChaoSlotCount;
    if (c.slot < 0 || c.slot >= count) return "slot out of range";
    if (a && (!record_address(*a, c.slot, record) || !record_readable(record))) return "chao array not available";

    if (c.kind == CommandKind::restore) {
        if (!c.restore_ok) return "restore payload failed its version or length check";
        if (c.restore_fields[0] == 0) return "restore would empty the slot";
        return nullptr;  // a restore replaces whatever is there: no identity guard
    }
    if (a && type_of(record) == 0) return "no chao in that slot";
    if (!c.expect_chao_id_ok) return "command carried a malformed chao id";
    if (a && c.has_expect_chao_id && !chao_id_equals(record, c.expect_chao_id))
        return "a different chao now occupies that slot";

    if (wardrobe && c.has_expect_parts_guard) {
        if (!c.expect_parts_guard_ok) return "invalid wardrobe identity check";
        if (a) {
            if (parts_guard_of(record) != c.expect_parts_guard)
                return "This Chao changed. Sync your garden and choose the style again.";
            switch (find_other(*a, c.slot, [&](game_addr r) { return parts_guard_of(r) == c.expect_parts_guard; })) {
                case Other::found: return "These Chao still look identical to the game. Give them different names in SA2, then sync.";
                case Other::unreadable: return "chao array not available";
                case Other::none: break;
            }
        }
    }
    if (a && c.has_expect_chao_id && !c.has_expect_parts_guard) {
        switch (find_other(*a, c.slot, [&](game_addr r) { return chao_id_equals(r, c.expect_chao_id); })) {
            case Other::found: return "chao identity is duplicated in this save";
            case Other::unreadable: return "chao array not available";
            case Other::none: break;
        }
    }
    if (wardrobe && !c.has_expect_chao_id && !c.has_expect_seed && !c.has_expect_parts_guard)
        return "animal parts command carried no expected chao identity";
    if (a && c.has_expect_seed) {
        if (game::read<int32_t>(record + R::seed) != c.expect_seed) return "a different chao now occupies that slot";
        if (!c.has_expect_chao_id && !c.has_expect_parts_guard) {
            switch (find_other(*a, c.slot, [&](game_addr r) { return game::read<int32_t>(r + R::seed) == c.expect_seed; })) {
                case Other::found: return "chao seed is duplicated in this save";
                case Other::unreadable: return "chao array not available";
                case Other::none: break;
            }
        }
    }

    switch (c.kind) {
        case CommandKind::set_hat:
            if (!c.has_headgear || !hat_allowed(c.headgear) || (a && type_of(record) == kEggType))
                return "hat payload is invalid or target is an egg";
            if (a && (game::read<uint32_t>(record + R::animal_behaviors) & kSkeletonDogBehaviour) == 0)
                return "Give this Chao a Skeleton Dog in SA2 before changing hats.";
            return nullptr;
        case CommandKind::set_parts:
            if (a && type_of(record) == kEggType) return "an egg cannot wear animal parts";
            if (!c.parts_ok) return "animal parts payload is incomplete or invalid";
            for (int32_t p : c.parts)
                if (p < -1 || p > 20) return "animal parts payload is incomplete or invalid";
            return nullptr;
        default:  // rename
            return c.has_name ? nullptr : "rename carried no usable name";
    }
}

// ---- outcomes, and what was done with each id in this session

void remember(ModState& s, int32_t id, bool ok, bool awaits_snapshot, const std::string& reason) {
    auto& handled = s.handled_commands;
    if (handled.size() >= kMaxHandledCommands && handled.find(id) == handled.end()) {
        auto oldest = std::min_element(handled.begin(), handled.end(),
                                       [](const auto& x, const auto& y) { return x.second.serial < y.second.serial; });
        handled.erase(oldest);
    }
    HandledCommand& h = handled[id];
    h.ok = ok;
    h.awaits_snapshot = awaits_snapshot;
    h.reason = reason;
    h.serial = ++s.handled_serial;
    h.answered_in = s.dispatch_runs;
}

void refuse(ModState& s, const WritebackCommand& c, const std::string& reason) {
    QueueAck(static_cast<uint32_t>(c.id), false, reason);
    remember(s, c.id, false, false, reason);
}

// Done in the game: acknowledged once the next snapshot, which shows it, has been accepted.
void complete(ModState& s, const WritebackCommand& c) {
    garden_scanner().request_full();
    s.completed_command_ids.push_back(static_cast<uint32_t>(c.id));
    remember(s, c.id, true, true, std::string());
}

void acknowledge_ok(ModState& s, const WritebackCommand& c) {
    QueueAck(static_cast<uint32_t>(c.id), true, std::string());
    remember(s, c.id, true, false, std::string());
}

// A command already acted on in this session: the server did not get (or not yet record)
// its answer, so the answer goes out again, once per dispatcher run; nothing is applied.
bool answer_again(ModState& s, const WritebackCommand& c) {
    auto it = s.handled_commands.find(c.id);
    if (it == s.handled_commands.end()) return false;
    HandledCommand& h = it->second;
    if (!h.repeat_logged) {
        h.repeat_logged = true;
        ModLog::log("writeback: command %d was already handled in this session; not applied again", c.id);
    }
    h.serial = ++s.handled_serial;
    if (h.answered_in == s.dispatch_runs) return true;
    h.answered_in = s.dispatch_runs;
    const uint32_t id = static_cast<uint32_t>(c.id);
    if (!h.ok) {
        QueueAck(id, false, h.reason);
    } else if (h.awaits_snapshot) {
        auto& ids = s.completed_command_ids;
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    } else {
        QueueAck(id, true, std::string());
    }
    return true;
}

bool holds_id(const std::vector<WritebackCommand>& list, int32_t id) {
    return std::any_of(list.begin(), list.end(), [id](const WritebackCommand& c) { return c.id == id; });
}

// ---- fruit

struct PlayerSpot {
    game::Vec3 position;
    int32_t rotation;
};

bool read_player(PlayerSpot& out) {
    uint32_t data = 0;
    if (!game_memory::read_u32(game::addr::character_data, data) || !probe_struct(data, kPlayerDataSize, false))
        return false;
    out.rotation = game::read<int32_t>(data + kPlayerRotation);
    out.position = game::read<game::Vec3>(data + kPlayerPosition);
    return true;
}

bool fruit_routine_intact() {
    for (const auto& f : game_memory::kStorageCode)
        if (f.address == game::addr::create_fruit) return game_memory::matches_fingerprint(f.address, f.length, f.expected);
    return false;
}

void spawn_fruit(ModState& s, const WritebackCommand& c, int32_t current_garden) {
    if (!c.fruit_ok) return refuse(s, c, "invalid fruit spawn payload");
    PlayerSpot player{};
    if (c.garden != current_garden || !read_player(player)) return;  // wait for the player in that garden
    if (!fruit_routine_intact()) {
        ModLog::log("writeback: fruit command %d refused (the game's fruit routine differs)", c.id);
        return refuse(s, c, "fruit creation unavailable: the game's fruit routine differs");
    }
    const game_addr block = routine_vector_block();
    const game_addr position = block, zero = block + sizeof(game::Vec3);
    for (int32_t i = 0; i < c.count; ++i) {
        if (i > 0 && !read_player(player)) return refuse(s, c, "the player left before all fruit were created");
        const game::Vec3 at{player.position.x + (2.0f + 1.5f * static_cast<float>(i)), player.position.y + 1.5f,
                            player.position.z};
        game::write(position, at);
        game::write(zero, game::Vec3{0.0f, 0.0f, 0.0f});
        if (game::create_fruit(c.fruit_type, position, player.rotation, zero, 0) == 0)
            return refuse(s, c, "the game refused to create the fruit");
    }
    ModLog::log("writeback: spawned fruit %d x%d in garden %d", c.fruit_type, c.count, c.garden);
    acknowledge_ok(s, c);
}

// ---- one command

struct Context {
    ChaoArray chao;
    game_addr tree_array;
    int32_t current_garden;
};

void dispatch(ModState& s, const Context& x, const WritebackCommand& c) {
    if (answer_again(s, c)) return;
    const bool slot_known = c.slot >= 0 && c.slot < static_cast<int32_t>(s.new_life_flags.size());
    switch (c.kind) {
        case CommandKind::restore:
            if (slot_known && s.new_life_flags[static_cast<size_t>(c.slot)])
                return refuse(s, c, "restore refused: this slot has started a new life");
            if (!s.config.EnableRestoreOnLaunch) {
                ModLog::log("writeback: restore for slot %d refused (%s)", c.slot, "EnableRestoreOnLaunch is off");
                return refuse(s, c, "EnableRestoreOnLaunch is off");
            }
            break;
        case CommandKind::reincarnate: {
            if (holds_id(s.pending_rebirths, c.id)) return;
            uint32_t head = 0;
            if (!game_memory::read_u32(game::addr::task_list, head)) head = 0;
            StepResult r = start_guarded_rebirth(head, x.chao.base, x.chao.record_size, x.chao.count, x.current_garden, c);
            if (r.status == kStepStarted || r.status == kStepDone) {
                if (slot_known) s.new_life_flags[static_cast<size_t>(c.slot)] = true;
                s.pending_rebirths.push_back(c);
            } else if (r.status == kStepRefused) {
                refuse(s, c, r.message);
            }
            return;
        }
        case CommandKind::resync:
            ModLog::log("writeback: resync requested by server");
            return complete(s, c);
        case CommandKind::spawn_inventory: {
            DeliveryOutcome d = deliver_stored_item(c, x.current_garden);
            if (d.delivered) return complete(s, c);
            if (!d.reason.empty()) refuse(s, c, d.reason);
            return;
        }
        case CommandKind::spawn_fruit:
            return spawn_fruit(s, c, x.current_garden);
        case CommandKind::hatch: {
            if (holds_id(s.pending_hatches, c.id)) return;
            StepResult r = start_native_hatch(x.chao.base, x.chao.record_size, x.chao.count, x.current_garden, c);
            if (r.status == kStepStarted || r.status == kStepRunning) {
                s.pending_hatches.push_back(c);
            } else if (r.status == kStepDone) {
                complete(s, c);
            } else if (r.status == kStepRefused) {
                ModLog::log("writeback: hatch command %d refused (%s)", c.id, r.message.c_str());
                refuse(s, c, r.message);
            }
            return;
        }
        case CommandKind::tree_control: {
            if (c.tree_ok && c.garden == x.current_garden) return;  // a loaded garden's trees are left alone
            CommandResult r = apply_tree_command(x.tree_array, game::kTreeRecordSize, c);
            if (r.ok) return complete(s, c);
            ModLog::log("writeback: tree command %d refused (%s)", c.id, r.message.c_str());
            return refuse(s, c, r.message);
        }
        default: break;
    }
    CommandResult r = apply_slot_command(x.chao.base, x.chao.record_size, x.chao.count, c);
    if (r.ok) return complete(s, c);
    ModLog::log("writeback: command %d refused (%s)", c.id, r.message.c_str());
    refuse(s, c, r.message);
}

}  // namespace

void apply_restore_payload(game_addr record, const WritebackCommand& c) {
    for (int i = 0; i < kRestoreTable.count; ++i) {
        const RestoreField f = kRestoreTable.fields[i];
        const int32_t v = c.restore_fields[static_cast<size_t>(i)];
        const game_addr at = record + f.offset;
        switch (f.width) {
            case kByte: game::write<uint8_t>(at, static_cast<uint8_t>(v)); break;
            case kWord: game::write<uint16_t>(at, static_cast<uint16_t>(v)); break;
            case kDword: game::write<int32_t>(at, v); break;
            default: game::write<float>(at, static_cast<float>(v / 1000.0)); break;
        }
    }
    if (c.restore_version >= 3) {
        const std::array<uint8_t, 20> id = restore_chao_id(c);
        std::memcpy(game::game_ptr<uint8_t>(record + R::chao_id), id.data(), id.size());
        game::write<uint32_t>(record + R::animal_behaviors,
                              static_cast<uint32_t>(c.restore_fields[kRestoreBehaviours]) & R::animal_behaviors_mask);
    }
    if (c.restore_version == 4 && c.restore_fields[kRestoreHasClassroom] == 1)
        game::write<uint32_t>(record + R::classroom_flags, static_cast<uint32_t>(c.restore_fields[kRestoreClassroom]));
    if (c.has_name) std::memcpy(game::game_ptr<uint8_t>(record + R::name_raw), c.name_raw.data(), R::name_size);
}

CommandResult apply_slot_command(game_addr chao_array, uint32_t record_size, int32_t count,
                                 const WritebackCommand& c) {
    CommandResult result{c.id, false, std::string()};
    const ChaoArray a{chao_array, record_size, count};
    game_addr record = 0;
    if (const char* why = check_slot_command(c, &a, record)) {
        result.message = why;
        return result;
    }
    if (c.kind == CommandKind::resync) {
        result.ok = true;
        return result;
    }
    // The guards have passed; the bytes about to change must also be writable.
    bool writable = false;
    switch (c.kind) {
        case CommandKind::rename: writable = span_probe(record + R::name_raw, R::name_size, true); break;
        case CommandKind::set_hat: writable = span_probe(record + R::headgear, 1, true); break;
        case CommandKind::set_parts: writable = span_probe(record + R::parts, kPartCount, true); break;
        default: writable = span_probe(record, R::head_size, true); break;
    }
    if (!writable) {
        result.message = "chao array not available";
        return result;
    }
    switch (c.kind) {
        case CommandKind::set_hat:
            game::write<uint8_t>(record + R::headgear, static_cast<uint8_t>(c.headgear));
            break;
        case CommandKind::set_parts:
            for (int i = 0; i < kPartCount; ++i)
                game::write<uint8_t>(record + R::parts + static_cast<uint32_t>(i), static_cast<uint8_t>(c.parts[i]));
            ModLog::log("writeback: changed animal parts in slot %d", c.slot);
            break;
        case CommandKind::rename:
            std::memcpy(game::game_ptr<uint8_t>(record + R::name_raw), c.name_raw.data(), R::name_size);
            ModLog::log("writeback: renamed slot %d", c.slot);
            break;
        default: {  // restore
            // The same Chao in the same life keeps what it has learnt since it was stored.
            const bool same_life =
                (c.restore_version == 3 || c.restore_version == 4) && type_of(record) != 0 &&
                chao_id_equals(record, restore_chao_id(c)) &&
                static_cast<int32_t>(game::read<int16_t>(record + R::reincarnations)) == c.restore_fields[40];
            const uint32_t behaviours = game::read<uint32_t>(record + R::animal_behaviors);
            const uint32_t classroom = game::read<uint32_t>(record + R::classroom_flags);
            apply_restore_payload(record, c);
            if (same_life) {
                game::write<uint32_t>(record + R::animal_behaviors,
                                      game::read<uint32_t>(record + R::animal_behaviors) | behaviours);
                if (c.restore_version == 4 && c.restore_fields[kRestoreHasClassroom] == 1)
                    game::write<uint32_t>(record + R::classroom_flags,
                                          static_cast<uint32_t>(c.restore_fields[kRestoreClassroom]) | classroom);
            }
            ModLog::log("writeback: restored slot %d", c.slot);
            break;
        }
    }
    result.ok = true;
    return result;
}

void apply_server_commands(game_addr chao_array, uint32_t record_size, int32_t count, game_addr tree_array,
                           int32_t current_garden) {
    ModState& s = mod_state();
    ++s.dispatch_runs;
    const Context x{ChaoArray{chao_array, record_size, count}, tree_array, current_garden};
    std::string document;
    std::vector<WritebackCommand> commands;
    while (TakeCommandDocument(document)) {
        if (!parse_commands(document, commands)) continue;  // not a command document: nothing is answered
        for (const WritebackCommand& c : commands) dispatch(s, x, c);
    }
}

const char* refusal_without_game(const WritebackCommand& c) {
    switch (c.kind) {
        case CommandKind::spawn_fruit: return c.fruit_ok ? nullptr : "invalid fruit spawn payload";
        case CommandKind::hatch:
        case CommandKind::reincarnate:
        case CommandKind::tree_control:
        case CommandKind::spawn_inventory: return nullptr;
        default: {
            game_addr record = 0;
            return check_slot_command(c, nullptr, record);
        }
    }
}

#if defined(VELMORA_DLL)
game_addr routine_vector_block() {
    // Inside the game process the mod's own memory is game memory: a static has a game address.
    static game::Vec3 block[2];
    return static_cast<game_addr>(reinterpret_cast<uintptr_t>(block));
}
#endif
