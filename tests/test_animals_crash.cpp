// A save crashed or failed at every file operation: old table or new, never a damaged file.
#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "animals/animal_reserve.h"
#include "host/log.h"
#include "sim/animals.h"
#include "sim/sim.h"
#include "tests/crash_harness.h"
#include "test_support.h"

using namespace animals;

namespace {

const char* const kSave = "C:/Games/SA2/SAVEDATA/SONIC2B__S02";

// A game in the garden with the reserve loaded from the file as it is; no loader, no worker.
bool start_game(const TempDir& dir) {
    sim::reset();
    sim::reset_animals();
    ModLog::set_log_enabled(false);
    sim::set_save_path(kSave);
    sim::set_item_records(2, 0);
    sim::enter_garden(1);
    return install_animal_patch(dir.str(), 2) && ensure_reserve_loaded();
}

std::vector<int16_t> types_in(const std::vector<AnimalRecord>& records) {
    std::vector<int16_t> out;
    for (const AnimalRecord& r : records) out.push_back(r.item_type);
    return out;
}

}  // namespace

TEST_CASE("a save killed or failed at any file operation: old or new table, and the next start loads") {
    TempDir dir;
    const uint32_t key = save_key_of(normalize_save_path(kSave));
    const std::string name = reserve_file_name(2, key).substr(1);
    std::vector<AnimalRecord> old_table(kCapacity, free_record());
    for (int i = 0; i < 3; ++i) old_table[i] = AnimalRecord{int16_t(i + 1), 1, 1, 1, float(i), 0, 0};
    std::string old_file;
    REQUIRE(serialize_table(old_table.data(), key, old_file));
    const std::vector<int16_t> old_types{1, 2, 3}, new_types{1, 2, 3, 9};

    for (crash::Mode mode : {crash::Mode::Kill, crash::Mode::Fail}) {
        INFO((mode == crash::Mode::Kill ? "kill" : "fail"));
        crash::Case c;
        c.mode = mode;
        c.setup = [&] {
            std::filesystem::remove(dir.path / (name + ".tmp"));
            dir.write(name, old_file);
            REQUIRE(start_game(dir));
        };
        // A fourth animal comes in through the hook and the game stores its items.
        c.operation = [&] {
            game_addr r = sim::game_requests_record(1, 2);
            if (r != reserve().table + 3 * 20) return false;
            table()[3] = AnimalRecord{9, 1, 1, 1, 3.0f, 0, 0};
            sim::game_stores_items(2);
            return !reserve().failed;
        };
        c.recover = [&] { reset(); };
        c.check = [&](const crash::Outcome& o) -> std::string {
            std::string bytes = dir.read(name);
            std::vector<AnimalRecord> records;
            if (!parse_reserve_file(bytes.data(), bytes.size(), key, records)) return "damaged reserve file";
            std::vector<int16_t> types = types_in(records);
            if (types != old_types && types != new_types) return "neither the old nor the new table";
            if (o.succeeded && types != new_types) return "reported saved without the new table";
            if (!start_game(dir)) return "the next start cannot load the reserve";
            if (types_in(std::vector<AnimalRecord>(table(), table() + records.size())) != types)
                return "the next start loaded something else";
            return "";
        };
        crash::Report r = crash::run(c);
        for (const auto& f : r.failures) CHECK_MESSAGE(false, f);
        CHECK(r.fault_points == 8);  // create, write, flush, move; before and after each
    }
}

TEST_CASE("a failed save keeps the animals in memory and is retried though nothing changed since") {
    TempDir dir;
    REQUIRE(start_game(dir));
    int fail = 1;
    platform::set_file_fault_hook(
        [](platform::FileOp op, platform::FaultPhase phase, const char*, void* left) {
            int& n = *static_cast<int*>(left);
            return !(op == platform::FileOp::Move && phase == platform::FaultPhase::Before && n-- > 0);
        },
        &fail);
    table()[0] = AnimalRecord{4, 1, 0, 0, 0, 0, 0};
    save_if_changed();
    CHECK((reserve().failed && table()[0].item_type == 4));
    save_if_changed();
    platform::set_file_fault_hook(nullptr, nullptr);
    CHECK_FALSE(reserve().failed);
    const std::string bytes = dir.read(reserve_file_name(2, reserve().save_key).substr(1));
    std::vector<AnimalRecord> records;
    REQUIRE(parse_reserve_file(bytes.data(), bytes.size(), reserve().save_key, records));
    CHECK(types_in(records) == std::vector<int16_t>{4});
}
