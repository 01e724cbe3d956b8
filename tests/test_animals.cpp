// The animal reserve in the simulated game: patch, hooks, release, position sync, file and refusals.
#include <doctest/doctest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "animals/animal_reserve.h"
#include "protect/game_memory.h"
#include "sim/animals.h"
#include "sim/sim.h"
#include "test_support.h"

using namespace animals;
using Bytes = std::vector<uint8_t>;

namespace {

const char* const kSave = "C:/Games/SA2/SAVEDATA/SONIC2B__S01";
const char* const kWaiting = "Animal reserve: 2 - releases nearby as space opens";
const char* const kUnavailable = "Animal inventory unavailable - check mod/config and restart.";

Bytes bytes_at(game_addr address, size_t n) {
    Bytes out(n);
    sim::peek(address, out.data(), n);
    return out;
}

Bytes patch_bytes() {
    Bytes all = bytes_at(kLimit, 4);
    for (const HookSite& s : kSites) {
        Bytes b = bytes_at(s.address, 5);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

int logged(const std::string& text) {
    int n = 0;
    for (const auto& line : sim::debug_lines()) n += line == "[velmora] " + text + "\n";
    return n;
}

// The text shown at `position` on the last frame, or "".
std::string shown(int32_t position) {
    for (const auto& l : sim::recording().screen)
        if (l.frame == sim::frame_number() && l.position == position) return l.text;
    return "";
}

std::string made(size_t i) {
    const sim::Creation& c = sim::animal_model().created.at(i);
    std::ostringstream o;
    o << "creator " << c.creator << " type " << int(c.type) << " record " << c.record << " at " << c.position[0]
      << "," << c.position[1] << "," << c.position[2] << " rotation " << c.rotation << " "
      << c.rotation_vector[0] << "," << c.rotation_vector[1];
    return o.str();
}

struct Game {
    TempDir dir;
    std::string file_name() const { return reserve_file_name(1, save_key_of(normalize_save_path(kSave))).substr(1); }
    std::string path() const { return dir.str() + "\\" + file_name(); }
    bool file_exists() const { return std::filesystem::exists(dir.path / file_name()); }
    std::vector<AnimalRecord> file_records() const {
        finish_background_save();
        std::string bytes = dir.read(file_name());
        std::vector<AnimalRecord> out;
        CHECK(parse_reserve_file(bytes.data(), bytes.size(), save_key_of(normalize_save_path(kSave)), out));
        return out;
    }
    // A fresh game, the game's own animal records all taken; `before` runs just before Init.
    void start(const std::function<void()>& before = [] {}) {
        sim::reset();
        sim::reset_animals();
        dir.write("config.ini", "BaseUrl=http://127.0.0.1:9/\nApiKey=abcdefgh\nSaveSlot=1\n");
        sim::set_save_path(kSave);
        sim::set_item_records(2, 0);
        sim::set_item_records(3, 0);
        before();
        sim::load(dir.str().c_str());
    }
    // In the garden with the reserve loaded, the player at (10, 0, -4).
    void enter(int32_t garden = 1) {
        sim::enter_garden(garden);
        sim::set_player(10.0f, 0.0f, -4.0f, 0x1234);
        sim::frame();
        sim::game_loads_items(2);
    }
    void frames(int n) {
        for (int i = 0; i < n; ++i) sim::frame();
    }
};

AnimalRecord animal(int16_t type, int16_t garden) { return AnimalRecord{type, garden, 2, 50, 1.0f, 0.5f, 3.0f}; }

game_addr entry(uint32_t i) { return reserve().table + i * 20; }

}  // namespace

TEST_CASE("installed on the supported build; the first garden frame creates the reserve and its lock") {
    Game g;
    g.start();
    // The call sites are checked by the hooks they reach in the other cases.
    CHECK(sim::recording().boxes.empty());
    CHECK(game::read<uint32_t>(kLimit) == kLimitAfter);
    CHECK(animal_patch_intact());
    CHECK(game_memory::is_game_code(kSites[0].address, 5));  // protections as they were
    CHECK_FALSE(game_memory::is_game_code(kLimit, 4));
    sim::leave_garden();
    g.frames(2);
    CHECK_FALSE(g.file_exists());
    g.enter();
    CHECK(g.file_records().empty());
    // A second game process is refused the lock while this one runs.
    pid_t child = fork();
    if (child == 0) _exit(platform::lock_file_open(g.path() + ".lock") == nullptr ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    CHECK((WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

TEST_CASE("all or nothing: one foreign byte anywhere checked and nothing is written") {
    std::vector<game_addr> changed{kLimit};
    for (const HookSite& s : kSites) changed.push_back(s.address + 4);
    for (const CodeCheck& c : kCodeChecks) changed.insert(changed.end(), {c.address, c.address + c.length - 1});
    Game g;
    for (game_addr at : changed) {
        INFO(std::hex << at);
        Bytes before;
        g.start([&] {
            uint8_t b = static_cast<uint8_t>(bytes_at(at, 1)[0] ^ 0x01);
            sim::poke(at, &b, 1);
            before = patch_bytes();
        });
        CHECK(patch_bytes() == before);
        CHECK(logged("animal inventory: incompatible native code; disabled") == 1);
        REQUIRE(sim::recording().boxes.size() == 1);
        CHECK(sim::recording().boxes[0].title == "Velmora - animal inventory unavailable");
        CHECK(sim::recording().boxes[0].text ==
              "Animal persistence could not be verified. Check for conflicting animal mods and restart SA2. The "
              "original animal rules still apply.");
        CHECK(sim::recording().boxes[0].style == 48);
        g.enter();
        CHECK_FALSE(g.file_exists());
        CHECK(shown(0x10009).empty());
        CHECK(sim::game_requests_record(1, 2) == 0);
    }
    // A call site on a page that is not there at all.
    g.start([] { sim::unmap(kSites[0].address, 5); });
    CHECK(logged("animal inventory: incompatible native code; disabled") == 1);
    CHECK(bytes_at(kSites[1].address, 5) == Bytes(kSites[1].unpatched, kSites[1].unpatched + 5));
}

TEST_CASE("the game's records full: the reserve takes the animal and releases it near the player") {
    Game g;
    g.start();
    g.enter();
    sim::set_item_count(2, 10);
    CHECK(sim::game_requests_record(1, 2) == entry(0));
    CHECK(sim::game_requests_record(2, 2) == entry(1));  // the other call site, the next entry
    CHECK(sim::game_requests_record(1, 3) == 0);         // fruit: the game's own answer
    CHECK((table()[0].garden == 1 && reserve().placed[0]));
    table()[0] = animal(5, 1);
    table()[1] = animal(22, 1);
    sim::set_item_records(2, 1);  // a free record of the game's own comes first
    CHECK(sim::game_requests_record(1, 2) == sim::kAnimalRecords);
    sim::set_item_records(2, 0);

    // Entering the garden again: both wait and are released one at a time.
    sim::game_loads_items(2);
    sim::frame();
    CHECK(shown(0x10009) == kWaiting);
    g.frames(30);
    auto& created = sim::animal_model().created;
    REQUIRE(created.size() == 2);
    CHECK(made(0) == "creator 0 type 5 record " + std::to_string(entry(0)) + " at 13,2,-4 rotation 4660 0,0");
    CHECK(made(1).rfind("creator 1 type 1 ", 0) == 0);  // item type 22 - 21
    CHECK(shown(0x10009).empty());

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

TEST_CASE("saves during play go beside the game thread: frames go on while the disk is slow; a failure is retried") {
    Game g;
    g.start();
    g.enter();
    struct Disk {
        std::atomic<bool> writing{false}, open{false};
        std::atomic<int> failures{1};
    } disk;
    platform::set_file_fault_hook(
        [](platform::FileOp op, platform::FaultPhase phase, const char*, void* context) {
            auto* d = static_cast<Disk*>(context);
            if (phase != platform::FaultPhase::Before) return true;
            if (op == platform::FileOp::Flush) {
                d->writing = true;
                for (int i = 0; i < 5000 && !d->open; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return !(op == platform::FileOp::Move && d->failures-- > 0);
        },
        &disk);
    table()[0] = animal(5, 1);
    g.frames(60);
    for (int i = 0; i < 5000 && !disk.writing; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    REQUIRE(disk.writing);
    auto start = std::chrono::steady_clock::now();
    g.frames(120);  // another save falls due meanwhile: one save at a time
    CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(2));
    disk.open = true;
    CHECK(g.file_records().empty());  // failed at its last step: the old file stands
    CHECK(reserve().failed);
    CHECK(logged("animal inventory: could not save reserve; animals remain in memory") == 1);
    g.frames(60);
    auto records = g.file_records();
    platform::set_file_fault_hook(nullptr, nullptr);
    REQUIRE(records.size() == 1);
    CHECK(records[0].item_type == 5);
    CHECK_FALSE(reserve().failed);
    CHECK(reserve().saved_hash == table_hash());
}

TEST_CASE("release conditions: room in the garden, this garden, not the held record, retried after a failure") {
    Game g;
    g.start();
    g.enter(1);
    table()[0] = animal(4, 2);  // belongs to garden 2
    table()[1] = animal(6, 1);
    table()[2] = animal(7, 1);
    auto& created = sim::animal_model().created;
    sim::set_item_count(2, 30);
    g.frames(45);
    CHECK(created.empty());
    CHECK(shown(0x10009) == kWaiting);  // garden 2's is not counted

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
    g.frames(30);
    CHECK(created.size() == 2);  // garden 2's animal stays in the reserve

    // Mode 17 (paused) counts no frames; a failed creation is tried again later.
    table()[3] = animal(9, 1);
    sim::set_item_count(2, 0);
    sim::animal_model().creators_fail = true;
    game::write<uint16_t>(game::addr::game_state, 17);
    g.frames(30);
    CHECK(created.size() == 2);
    game::write<uint16_t>(game::addr::game_state, 16);
    g.frames(15);
    CHECK(created.size() == 3);
    sim::animal_model().creators_fail = false;
    g.frames(15);
    REQUIRE(created.size() == 4);
    CHECK((created[3].record == created[2].record && created[3].object != 0));
}

TEST_CASE("pointers the game keeps are probed before they are followed") {
    Game g;
    g.start();
    g.enter();
    table()[0] = animal(5, 1);
    table()[1] = animal(6, 1);
    const game_addr nowhere = 0x7F000000;
    // Slot 0: entry 0 with an object that is not there; slot 1: entry 1 with an object whose
    // transform is not there; and the player's data not there either.
    game::write<uint32_t>(sim::animal_slot(0) + 8, entry(0));
    game::write<uint32_t>(sim::animal_slot(0) + 0x3C, nowhere);
    game_addr object = sim::alloc(0x100);
    game::write<uint32_t>(object + 0x10, kAnimalRoutine);
    game::write<uint32_t>(object + 0x34, nowhere + 0x1000);
    game::write<uint32_t>(object + 0x3C, sim::animal_slot(1));
    game::write<uint32_t>(sim::animal_slot(1) + 8, entry(1));
    game::write<uint32_t>(sim::animal_slot(1) + 0x3C, object);
    game::write<uint32_t>(game::addr::character_data, nowhere + 0x2000);
    g.frames(30);
    CHECK(sim::animal_model().created.empty());
    CHECK_FALSE((reserve().placed[0] || reserve().placed[1]));
    CHECK(table()[1].x == 1.0f);
    CHECK(shown(0x10009) == kWaiting);
    sim::set_player(0, 0, 0, 0);  // once the player is back, the animals are released
    g.frames(15);
    CHECK(sim::animal_model().created.size() == 1);
}

TEST_CASE("the 4097th animal: the game gets none, the full text shows, attention logged once") {
    Game g;
    g.start();
    g.enter();
    for (uint32_t i = 0; i < kCapacity; ++i) {
        REQUIRE(sim::game_requests_record(1, 2) == entry(i));
        table()[i] = animal(static_cast<int16_t>(i % 25), 2);
    }
    CHECK_FALSE(reserve().full);
    CHECK(sim::game_requests_record(2, 2) == 0);
    CHECK(reserve().full);
    g.frames(70);
    CHECK(shown(0x1000A) == "Animal reserve full - use animals before collecting more.");
    CHECK(logged("animal inventory needs attention (storage or capacity)") == 1);
    CHECK(g.file_records().size() == kCapacity);
}

TEST_CASE("a bad reserve file is never overwritten and leaves the reserve out of play") {
    Game g;
    const uint32_t key = save_key_of(normalize_save_path(kSave));
    std::vector<AnimalRecord> one(kCapacity, free_record());
    one[0] = animal(3, 1);
    std::string good, other_key;
    REQUIRE(serialize_table(one.data(), key, good));
    REQUIRE(serialize_table(one.data(), key + 1, other_key));
    std::string corrupt = good;
    corrupt[26] ^= 0x10;
    for (const std::string& bytes : {good.substr(0, 20), good + "x", other_key, corrupt, std::string()}) {
        INFO(bytes.size());
        g.start([&] {
            std::filesystem::remove_all(g.dir.path / g.file_name());
            if (bytes.empty()) std::filesystem::create_directory(g.dir.path / g.file_name());  // unreadable
            else g.dir.write(g.file_name(), bytes);
        });
        g.enter();
        sim::game_stores_items(2);
        CHECK(sim::game_requests_record(1, 2) == 0);
        CHECK(sim::game_discards_item(2));
        g.frames(61);
        CHECK(logged("animal inventory: unreadable/invalid reserve; original file retained") == 1);
        CHECK(shown(0x10009) == kUnavailable);
        if (bytes.empty()) CHECK(std::filesystem::is_directory(g.dir.path / g.file_name()));
        else CHECK(g.dir.read(g.file_name()) == bytes);
    }
    // A lock held elsewhere.
    platform::LockFile* held = nullptr;
    g.start([&] {
        std::filesystem::remove_all(g.dir.path / g.file_name());
        held = platform::lock_file_open(g.path() + ".lock");
    });
    REQUIRE(held);
    g.enter();
    CHECK(logged("animal inventory: reserve locked by another process or inaccessible") == 1);
    CHECK_FALSE(g.file_exists());
    platform::lock_file_release(held);
}

TEST_CASE("discard guard, store hook, another save file, a patch taken away") {
    Game g;
    g.start();
    g.enter();
    CHECK_FALSE(sim::game_discards_item(2));  // the reserve keeps the game from discarding
    CHECK(sim::game_discards_item(3));
    CHECK(sim::animal_model().discard_calls == 1);
    table()[0] = animal(8, 1);
    sim::game_stores_items(3);
    CHECK(g.file_records().empty());
    sim::game_stores_items(2);
    CHECK(sim::animal_model().store_calls == 2);
    CHECK(g.file_records().size() == 1);

    // Another save file of the same slot leaves the reserve out of play without reloading.
    sim::set_save_path("D:/Other/SONIC2B__S01");
    CHECK_FALSE(ensure_reserve_loaded());
    CHECK(sim::game_discards_item(2));
    CHECK(sim::game_requests_record(1, 2) == 0);
    sim::set_save_path(kSave);
    CHECK(ensure_reserve_loaded());

    // serialize_without: the file as it would be without one entry; the table unchanged.
    std::string path, bytes;
    REQUIRE(serialize_without(entry(0), path, bytes));
    CHECK(path == g.path());
    std::vector<AnimalRecord> parsed;
    CHECK(parse_reserve_file(bytes.data(), bytes.size(), reserve().save_key, parsed));
    CHECK((parsed.empty() && table()[0].item_type == 8));
    CHECK_FALSE(serialize_without(entry(0) + 4, path, bytes));
    CHECK_FALSE(serialize_without(entry(1), path, bytes));
    table()[0] = animal(21, 1);
    CHECK_FALSE(serialize_without(entry(0), path, bytes));

    // Another mod rewrites a call site: the reserve stops for the run.
    sim::poke(kSites[1].address, kSites[1].unpatched, 5);
    sim::frame();
    CHECK_FALSE(animal_patch_intact());
    CHECK(shown(0x10009) == kUnavailable);
    CHECK(sim::animal_model().foreign_calls == 0);
    CHECK(sim::game_requests_record(1, 2) == 0);
}
