// The animal reserve: its file against bytes built by hand, then in the simulated game the patch,
// hooks, release, position sync and refusals, and saves crashed or failed at every file operation.
#include <doctest/doctest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "animals/animal_reserve.h"
#include "host/log.h"
#include "protect/game_memory.h"
#include "sim/animals.h"
#include "sim/sim.h"
#include "tests/crash_harness.h"
#include "test_support.h"

using namespace animals;
using namespace std::chrono_literals;

namespace {

const char* const kSave = "C:/Games/SA2/SAVEDATA/SONIC2B__S01";
const uint32_t kKey = save_key_of(normalize_save_path(kSave));

std::string u32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string u16(int v) { return std::string{char(v), char(v >> 8)}; }
std::string f32(float f) { return u32(std::bit_cast<uint32_t>(f)); }

// A record written out field by field.
std::string record_bytes(const AnimalRecord& r) {
    return u16(r.item_type) + u16(r.garden) + u16(r.size) + u16(r.age) + f32(r.x) + f32(r.y) + f32(r.z);
}

// The file written out field by field.
std::string hand_file(uint32_t key, const std::string& records, uint32_t count) {
    const uint32_t sum = game_memory::fnv1a32(records.data(), records.size());
    return std::string("VLANIMAL") + u32(1) + u32(key) + u32(count) + u32(sum) + records;
}

// An animal of type `t` in garden `g`.
AnimalRecord rec(int16_t t, int16_t g, float x = 1, float y = 2, float z = 3) { return {t, g, 7, 300, x, y, z}; }

int logged(const std::string& text) {
    const auto lines = sim::debug_lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), "[velmora] " + text + "\n"));
}

// The text shown at `position` on the last frame, or "".
std::string shown(int32_t position) {
    for (const auto& l : sim::recording().screen)
        if (l.frame == sim::frame_number() && l.position == position) return l.text;
    return "";
}

struct Game {
    TempDir dir;
    const std::string name = reserve_file_name(1, kKey).substr(1);
    std::string path() const { return dir.str() + "\\" + name; }
    std::vector<AnimalRecord> file_records() const {
        finish_background_save();
        std::string bytes = dir.read(name);
        std::vector<AnimalRecord> out;
        CHECK(parse_reserve_file(bytes.data(), bytes.size(), kKey, out));
        return out;
    }
    // A fresh game, the game's own animal records all taken; `before` runs just before Init.
    // Bare: no loader (so no worker threads where the crash harness forks), only the patch and
    // the reserve, in garden 1.
    bool start(const std::function<void()>& before = [] {}, bool bare = false) {
        sim::reset();
        sim::reset_animals();
        dir.write("config.ini", "BaseUrl=http://127.0.0.1:9/\nApiKey=abcdefgh\nSaveSlot=1\n");
        sim::set_save_path(kSave);
        sim::set_item_records(2, 0);
        before();
        if (bare) {
            ModLog::set_log_enabled(false);
            sim::enter_garden(1);
            return install_animal_patch(dir.str(), 1) && ensure_reserve_loaded();
        }
        sim::load(dir.str().c_str());
        return true;
    }
    // In the garden with the reserve loaded, the player at (10, 0, -4).
    void enter(int32_t garden = 1) {
        sim::enter_garden(garden);
        sim::set_player(10.0f, 0.0f, -4.0f, 0x1234);
        sim::frame();
        sim::game_loads_items(2);
    }
    void frames(int n) { for (int i = 0; i < n; ++i) sim::frame(); }
};

game_addr entry(uint32_t i) { return reserve().table + i * 20; }

}  // namespace

TEST_CASE("the file: header, occupied records in table order, FNV-1a checksum, its name; bad records, bad files") {
    const uint32_t key = 0x1234ABCD;
    std::vector<AnimalRecord> t(kCapacity, free_record());
    t[5] = rec(0, 1, -99999.99f, 0.25f, 99999.99f);  // types and coordinates at the edges of validity
    t[100] = rec(24, 3);
    const std::string expected = hand_file(key, record_bytes(t[5]) + record_bytes(t[100]), 2);
    std::string out;
    REQUIRE(serialize_table(t.data(), key, out));
    CHECK(out == expected);

    const std::string n = normalize_save_path("C:/Games/SA2/SAVEDATA\\SONIC2B__S07");
    CHECK(n == "c:\\games\\sa2\\savedata\\sonic2b__s07");
    CHECK(save_key_of(n) == 0x19CE688Cu);
    CHECK(reserve_file_name(7, 0x00ABCDEF) == "\\animal-inventory-s07-00abcdef.bin");

    // An invalid record is never written, and a bad file refused whole.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // A free record only in its exact form; the allocation hook leaves the garden set until
    // the game fills the record in.
    const AnimalRecord pending{-1, 1, 0, 0, 0, 0, 0}, aged{-1, -1, 0, 1, 0, 0, 0}, moved{-1, -1, 0, 0, 0, 0, 0.5f};
    const AnimalRecord bad[] = {rec(25, 1), rec(-2, 1), rec(3, 0), rec(3, 4), aged, moved,
                                rec(3, 2, 100000.0f, 0, 0), rec(3, 2, 0, -100000.0f, 0), rec(3, 2, 0, 0, nan)};

    const std::string one = record_bytes(rec(3, 1)), good = hand_file(key, one + one, 2);
    std::string flipped = good;
    flipped[30] ^= 1;
    // Free and pending records have no place in a file either, checksum or not.
    std::vector<std::string> refused{
        good.substr(0, 23), good.substr(0, good.size() - 1), good + std::string(1, '\0'), flipped,
        hand_file(key + 1, one + one, 2), hand_file(key, one + one, 3), hand_file(key, "", 4097),
        "VLANIMAX" + good.substr(8), good.substr(0, 8) + u32(2) + good.substr(12), std::string(kMaxFileSize + 20, 'V'),
        hand_file(key, record_bytes(free_record()), 1), hand_file(key, record_bytes(pending), 1),
    };
    for (const AnimalRecord& r : bad) {
        INFO(r.item_type << " " << r.garden << " " << r.age << " " << r.x << " " << r.y << " " << r.z);
        t[4095] = r;
        CHECK_FALSE(serialize_table(t.data(), key, out));
        refused.push_back(hand_file(key, record_bytes(r), 1));
    }
    // An entry handed to the game and not filled in yet is no animal, and blocks no save.
    t[4095] = pending;
    REQUIRE(serialize_table(t.data(), key, out));
    CHECK(out == expected);

    std::vector<AnimalRecord> kept(1, rec(9, 1));
    for (size_t i = 0; i < refused.size(); ++i) {
        CAPTURE(i);
        CHECK_FALSE(parse_reserve_file(refused[i].data(), refused[i].size(), key, kept));
        CHECK((kept.size() == 1 && kept[0].item_type == 9));
    }
    CHECK(parse_reserve_file(good.data(), good.size(), key, kept));
    CHECK(kept.size() == 2);
}

TEST_CASE("in the garden: the reserve saved, the game's records full, released near the player, refused") {
    Game g;
    g.start();
    CHECK(game_memory::is_game_code(kSites[0].address, 5));  // protections as they were
    CHECK_FALSE(game_memory::is_game_code(kLimit, 4));
    g.enter();
    CHECK(g.file_records().empty());
    auto& created = sim::animal_model().created;

    SUBCASE("the lock kept; the reserve takes the animal the game has no record for and releases it") {
        // Another game process is refused the lock while this one runs (flock: so is this one).
        CHECK(platform::lock_file_open(g.path() + ".lock") == nullptr);

        CHECK(sim::game_requests_record(1, 2) == entry(0));
        table()[0] = rec(5, 1);
        table()[1] = rec(22, 1);

        // Entering the garden again: both wait and are released one at a time.
        sim::game_loads_items(2);
        sim::frame();
        CHECK(shown(0x10009) == "Animal reserve: 2 - releases nearby as space opens");
        g.frames(30);
        REQUIRE(created.size() == 2);
        const sim::Creation& c = created[0];
        CHECK((c.creator == 0 && c.type == 5 && c.record == entry(0) && c.rotation == 0x1234));
        CHECK((c.position[0] == 13 && c.position[1] == 2 && c.position[2] == -4));
        CHECK((created[1].creator == 1 && created[1].type == 1 && shown(0x10009).empty()));  // item type 22 - 21

        // The released animal walks; its place is kept and saved every 60 counted frames.
        sim::move_object(created[0].object, 50.0f, 1.0f, 7.0f);
        g.frames(60);
        auto saved = g.file_records();
        REQUIRE(saved.size() == 2);
        CHECK((saved[0].item_type == 5 && saved[0].x == 50.0f && saved[0].z == 7.0f));
        sim::move_object(created[0].object, 1e6f, 1.0f, 7.0f);  // out of range: not taken over
        sim::frame();
        CHECK(table()[0].x == 50.0f);
        CHECK(created.size() == 2);  // nothing released twice
    }
    SUBCASE("saves go beside the game thread: frames go on while the disk is slow; a failure shown, retried") {
        // Each save's flush waits for `open`; the first move fails.
        struct Disk { std::atomic<bool> writing{false}, open{false}; std::atomic<int> failures{1}; } disk;
        platform::set_file_fault_hook(
            [](platform::FileOp op, platform::FaultPhase phase, const char*, void* context) {
                auto* d = static_cast<Disk*>(context);
                if (phase != platform::FaultPhase::Before) return true;
                if (op == platform::FileOp::Flush) {
                    d->writing = true;
                    for (int i = 0; i < 5000 && !d->open; ++i) std::this_thread::sleep_for(1ms);
                }
                return !(op == platform::FileOp::Move && d->failures-- > 0);
            },
            &disk);
        auto save_held = [&] {  // the save due now held at its flush
            g.frames(60);
            for (int i = 0; i < 5000 && !disk.writing; ++i) std::this_thread::sleep_for(1ms);
            REQUIRE(disk.writing);
        };
        table()[0] = rec(5, 1);
        save_held();
        auto start = std::chrono::steady_clock::now();
        g.frames(120);  // another save falls due meanwhile: one save at a time
        CHECK(std::chrono::steady_clock::now() - start < 2s);
        disk.open = true;
        CHECK(g.file_records().empty());  // failed at its last step: the old file stands
        CHECK(logged("animal inventory: could not save reserve; animals remain in memory") == 1);
        sim::frame();
        CHECK(shown(0x1000A) == "Animal reserve could not save - check disk access before quitting.");
        g.frames(60);
        CHECK(g.file_records().size() == 1);

        // A change made while a save is being written goes out with the next save.
        disk.writing = false;
        disk.open = false;
        table()[1] = rec(22, 1);
        save_held();
        table()[2] = rec(6, 1);
        g.frames(60);
        disk.open = true;
        finish_background_save();
        g.frames(60);
        CHECK(g.file_records().size() == 3);
        platform::set_file_fault_hook(nullptr, nullptr);
    }
    SUBCASE("release: room in the garden, this garden, not the held record, retried after a failure") {
        table()[0] = rec(4, 2);  // belongs to garden 2
        table()[1] = rec(6, 1);
        table()[2] = rec(7, 1);
        sim::set_item_count(2, 30);
        g.frames(45);
        CHECK(created.empty());
        CHECK(shown(0x10009) == "Animal reserve: 2 - releases nearby as space opens");  // garden 2's is not counted

        sim::set_item_count(2, 29);
        game::write<uint32_t>(game::addr::held_item_record, entry(1));  // the player holds this one
        g.frames(15);
        REQUIRE(created.size() == 1);
        CHECK(created[0].record == entry(2));
        sim::set_item_count(2, 29);  // the creator counted the new animal
        game::write<uint32_t>(game::addr::held_item_record, 0);
        g.frames(15);
        REQUIRE(created.size() == 2);
        CHECK(created[1].record == entry(1));

        // A failed creation is tried again later; garden 2's animal stays in the reserve throughout.
        table()[3] = rec(9, 1);
        sim::set_item_count(2, 0);
        sim::animal_model().creators_fail = true;
        g.frames(15);
        CHECK(created.size() == 3);
        sim::animal_model().creators_fail = false;
        g.frames(15);
        REQUIRE(created.size() == 4);
        CHECK((created[3].record == entry(3) && created[3].object != 0));
    }
    SUBCASE("pointers the game keeps are probed before they are followed") {
        table()[0] = rec(5, 1);
        table()[1] = rec(6, 1);
        const game_addr nowhere = 0x7F000000;
        // Slot 0: entry 0 with an object that is not there; slot 1: entry 1 with an object whose
        // transform is not there; and the player's data not there either.
        const game_addr object = sim::alloc(0x100), slot0 = sim::animal_slot(0), slot1 = sim::animal_slot(1);
        for (auto [at, value] : {std::pair{slot0 + 8, entry(0)}, {slot0 + 0x3C, nowhere}, {object + 0x10, kAnimalRoutine},
                                 {object + 0x34, nowhere + 0x1000}, {object + 0x3C, slot1}, {slot1 + 8, entry(1)},
                                 {slot1 + 0x3C, object}, {game::addr::character_data, nowhere + 0x2000}})
            game::write<uint32_t>(at, value);
        g.frames(30);
        CHECK(created.empty());
        sim::set_player(0, 0, 0, 0);  // once the player is back, the animals are released
        g.frames(15);
        CHECK(created.size() == 1);
    }
    SUBCASE("the 4097th animal: the game gets none, the full text shows, attention logged once") {
        for (uint32_t i = 0; i < kCapacity; ++i) {
            REQUIRE(sim::game_requests_record(1, 2) == entry(i));
            table()[i] = rec(static_cast<int16_t>(i % 25), 2);
        }
        CHECK(sim::game_requests_record(2, 2) == 0);
        g.frames(70);
        CHECK(shown(0x1000A) == "Animal reserve full - use animals before collecting more.");
        CHECK(logged("animal inventory needs attention (storage or capacity)") == 1);
        CHECK(g.file_records().size() == kCapacity);
    }
    SUBCASE("another save file, serialize_without, a patch taken away") {
        // Another save file of the same slot leaves the reserve out of play without reloading.
        sim::set_save_path("D:/Other/SONIC2B__S01");
        CHECK_FALSE(ensure_reserve_loaded());
        CHECK(sim::game_discards_item(2));
        CHECK(sim::game_requests_record(1, 2) == 0);
        sim::set_save_path(kSave);
        CHECK(ensure_reserve_loaded());
        table()[0] = rec(8, 1);

        // serialize_without: the file as it would be without one entry; the table unchanged.
        std::string path, bytes;
        REQUIRE(serialize_without(entry(0), path, bytes));
        CHECK(path == g.path());
        CHECK(bytes == hand_file(kKey, "", 0));
        CHECK(table()[0].item_type == 8);
        CHECK_FALSE(serialize_without(entry(0) + 4, path, bytes));
        CHECK_FALSE(serialize_without(entry(1), path, bytes));
        table()[0] = rec(21, 1);
        CHECK_FALSE(serialize_without(entry(0), path, bytes));

        // Another mod rewrites a call site: the reserve stops for the run.
        sim::poke(kSites[1].address, kSites[1].unpatched, 5);
        sim::frame();
        CHECK(shown(0x10009) == "Animal inventory unavailable - check mod/config and restart.");
        CHECK(sim::game_requests_record(1, 2) == 0);
    }
}

TEST_CASE("refused at the start: foreign code, a bad or locked reserve file; nothing written, the game's own rules") {
    Game g;
    std::string records;  // a full reserve: one byte more is only seen when read past the largest size
    for (uint32_t i = 0; i < kCapacity; ++i) records += record_bytes(rec(3, 1));
    const std::string full = hand_file(kKey, records, kCapacity);
    const char* const incompatible = "animal inventory: incompatible native code; disabled";
    const char* const bad = "animal inventory: unreadable/invalid reserve; original file retained";
    const char* const locked = "animal inventory: reserve locked by another process or inaccessible";
    // One byte of the game's code changed (at a call site: its page not there), or this laid down
    // as the reserve file ("dir" a folder, "lock" its lock held). Each byte the installer checks
    // is refused in the 32-bit tests, each bad file by the parser above; here what the player meets.
    using Row = std::tuple<game_addr, std::string, const char*>;
    for (const auto& [foreign, file, log] :
         {Row{kLimit, "", incompatible}, Row{0, "dir", bad}, Row{kSites[0].address, "", incompatible},
          Row{0, full + "x", bad}, Row{0, "lock", locked}}) {
        INFO(std::hex << foreign << " " << file.size());
        platform::LockFile* held = nullptr;
        g.start([&] {
            std::filesystem::remove_all(g.dir.path / g.name);
            const uint8_t b = foreign ? static_cast<uint8_t>(game::read<uint8_t>(foreign) ^ 0x01) : 0;
            if (foreign == kSites[0].address) sim::unmap(foreign, 5);
            else if (foreign) sim::poke(foreign, &b, 1);
            if (file == "dir") std::filesystem::create_directory(g.dir.path / g.name);
            else if (file == "lock") held = platform::lock_file_open(g.path() + ".lock");
            else if (!file.empty()) g.dir.write(g.name, file);
        });
        CHECK((std::memcmp(game::game_ptr<uint8_t>(kSites[1].address), kSites[1].unpatched, 5) == 0) == !!foreign);
        CHECK(logged(incompatible) == (foreign ? 1 : 0));
        REQUIRE(sim::recording().boxes.size() == (foreign ? 1 : 0));
        if (foreign) {
            const auto& box = sim::recording().boxes[0];
            CHECK((box.title == "Velmora - animal inventory unavailable" && box.style == 48));
            CHECK(box.text == "Animal persistence could not be verified. Check for conflicting animal mods and restart "
                              "SA2. The original animal rules still apply.");
        }
        if (foreign == kSites[0].address) continue;  // the game's calls through it would fault
        g.enter();
        sim::game_stores_items(2);
        CHECK(sim::game_requests_record(1, 2) == 0);
        CHECK(sim::game_discards_item(2));
        g.frames(61);
        platform::lock_file_release(held);
        CHECK(logged(log) == 1);
        CHECK(shown(0x10009) == (foreign ? "" : "Animal inventory unavailable - check mod/config and restart."));
        if (file == "dir") CHECK(std::filesystem::is_directory(g.dir.path / g.name));
        else CHECK(g.dir.read(g.name) == (held ? "" : file));  // never written
    }
}

TEST_CASE("a save killed or failed at any file operation: old or new table, a failure retried, the next start loads") {
    Game g;
    const std::string three = record_bytes(rec(1, 1)) + record_bytes(rec(2, 1)) + record_bytes(rec(3, 1));
    const std::string before = hand_file(kKey, three, 3), after = hand_file(kKey, three + record_bytes(rec(4, 1)), 4);
    for (crash::Mode mode : {crash::Mode::Kill, crash::Mode::Fail}) {
        INFO((mode == crash::Mode::Kill ? "kill" : "fail"));
        crash::Report r = crash::run({
            .setup = [&] {
                std::filesystem::remove(g.dir.path / (g.name + ".tmp"));
                g.dir.write(g.name, before);
                REQUIRE(g.start([] {}, true));
            },
            // A fourth animal comes in through the hook and the game stores its items; a failed
            // save is tried again, though the table has not changed since.
            .operation = [&] {
                if (sim::game_requests_record(1, 2) != entry(3)) return false;
                table()[3] = rec(4, 1);
                sim::game_stores_items(2);
                if (reserve().failed) save_if_changed();
                return !reserve().failed;
            },
            .recover = [] { reset(); },
            .check = [&](const crash::Outcome& o) -> std::string {
                const std::string bytes = g.dir.read(g.name);
                if (bytes != before && bytes != after) return "neither the old nor the new file";
                if ((o.succeeded || !o.killed) && bytes != after) return "ran on, the new table not saved";
                std::string loaded;
                if (!g.start([] {}, true) || !serialize_table(table(), kKey, loaded))
                    return "the next start cannot load the reserve";
                return loaded == bytes ? "" : "the next start loaded something else";
            },
            .mode = mode,
        });
        for (const auto& f : r.failures) CHECK_MESSAGE(false, f);
        CHECK(r.fault_points == 8);  // create, write, flush, move; before and after each
    }
}
