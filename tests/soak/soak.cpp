// The soak: the simulated game played at full speed for many frames against the reference
// server, by a seeded random player and operator, with server faults thrown in. At the end the
// server's garden must equal the game's, every fruit, animal and command must be there exactly
// once, memory must have stayed flat, and the game thread's frame times are reported.
//
//   soak [--frames N] [--seed S] [--stall-seconds S] [--verbose]
//
// N also comes from VELMORA_SOAK_FRAMES (default 100000). The first stall is always a real
// 10 s one (longer than the mod's 8 s receive time-out); later ones last --stall-seconds
// (default 2 s, so the short run stays short).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "animals/animal_reserve.h"
#include "host/game.h"
#include "net/worker.h"
#include "platform/posix/posix_control.h"
#include "server_fixture.h"
#include "sim/animals.h"
#include "sim/gameboy.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "sim/tasks.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"
#include "storage/deposit.h"
#include "storage/startup.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using u64 = unsigned long long;

namespace {

constexpr int kScanInterval = 30;
constexpr uint32_t kAnimalKind = 2, kFruitKind = 3;
const std::string kGarden = "/admin/gardens/tester/1", kAccount = "/admin/accounts/tester/";

// The program's own resident memory in KiB (its heap and stacks, "RssAnon"): what the mod could
// leak. The simulated game's memory lies in a shared mapping and is never given back, as objects
// the game made stay mapped in the simulator, so the whole resident size says nothing.
long own_resident_kib() {
    long kib = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) std::sscanf(line, "RssAnon: %ld", &kib);
        std::fclose(f);
    }
    return kib;
}

u64 g_gameboy_until = 0;  // the player holds the storage key at the Game Boy until this frame

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

int8_t slot_type(int slot) {
    int8_t t = 0;
    sim::peek(slot_addr(slot) + ChaoRecord::type, &t, 1);
    return t;
}

struct Soak {
    u64 frames = 100000, seed = 20261207, stall_seconds = 2;  // the options
    bool verbose = false;
    ServerFixture server;
    TempDir folder;
    std::mt19937_64 rng;
    // The game thread's frame times in whole microseconds, in a histogram made once at start (so
    // the measurement keeps memory flat; from 200 ms on in the last bucket), and the longest.
    std::vector<uint32_t> frame_us = std::vector<uint32_t>(200001, 0);
    double longest_us = 0;
    Clock::time_point started = Clock::now();
    int garden = 1;     // where the player is; 0 in the lobby
    int save_slot = 1;  // the loaded save
    u64 fruit_found = 0, fruit_eaten = 0, animals_arrived = 0;
    bool had_long_stall = false;
    std::map<int, json> queued;          // command id -> what was queued
    std::set<std::string> hatch_queued;  // "slot:generation"
    std::map<int, game_addr> egg_tasks;  // slot -> its egg task
    uint32_t fruit_count_at_start = 0, fruit_objects_at_start = 0;
    bool intruder_holds = false, restart_when_saved_out = false;
    u64 intruder_release_frame = 0;
    std::string intruder_session;
    long rss_warm = 0, rss_end = 0;        // the program's own, KiB
    int failures = 0;

    std::string savedata() const { return folder.str() + "/savedata"; }
    u64 roll(u64 k) { return k ? rng() % k : 0; }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    float spot() { return static_cast<float>(roll(40)) - 20.0f; }
    std::string random_hex(size_t bytes) {
        std::string s;
        for (size_t i = 0; i < 2 * bytes; ++i) s += "0123456789abcdef"[roll(16)];
        return s;
    }

    template <class... Args> void check(bool ok, const char* what, Args... args) {
        std::printf(ok ? "  [ ok ] " : "  [FAIL] ");
        std::printf(what, args...);
        std::printf("\n");
        failures += !ok;
    }

    // ---- the game thread

    void frame() {
        const auto t0 = Clock::now();
        sim::frame();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        longest_us = std::max(longest_us, us);
        frame_us[std::min(frame_us.size() - 1, static_cast<size_t>(us))]++;
        const u64 f = sim::frame_number();
        // On scan ticks the harness (not the game thread, whose frame time is already taken)
        // gives the worker a bounded moment, so the server sees the traffic the play makes.
        if (f % kScanInterval == 1) {
            const auto until = Clock::now() + std::chrono::milliseconds(60);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            while (!WorkerIdle() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (f % 600 == 0) drain_log();
    }

    void drain_log() {
        for (const std::string& l : sim::take_debug_lines())
            if (verbose) std::printf("%s", l.c_str());
    }

    // ---- the player

    // A random slot of a grown Chao (or a free one); -1 when fewer than `least` there.
    int random_slot(bool grown, size_t least = 1) {
        std::vector<int> out;
        for (int s = 0; s < static_cast<int>(game::kChaoSlotCount); ++s)
            if (grown ? slot_type(s) >= 2 : slot_type(s) == 0) out.push_back(s);
        return out.size() < least ? -1 : out[roll(out.size())];
    }

    // A new Chao of `type` written into `slot` (a child gets a name); type 0 empties the slot.
    bool put_chao(int slot, int type, sim::ChaoSpec c = {}) {
        std::string error;
        c.slot = slot;
        c.type = type;
        if (slot < 0) return false;
        if (type) c.set("chao_id", random_hex(20)).set("garden", std::max(garden, 1));
        if (type == 2) c.set("name_raw", random_hex(7));
        return sim::write_chao(c, error);
    }

    void change_chao() {
        const int slot = random_slot(true);
        if (slot < 0) return;
        const game_addr r = slot_addr(slot);
        const u64 what = roll(4);
        // The value is drawn before the stat it goes to; written little-endian, so its low bytes.
        const u64 v = what == 0 ? 0 : what == 1 ? roll(100) : what == 2 ? roll(201) - 100 : roll(3000);
        if (what == 0) {  // the player renames it in the game
            uint8_t name[7];
            for (uint8_t& b : name) b = static_cast<uint8_t>(0x21 + roll(90));
            sim::poke(r + ChaoRecord::name_raw, name, 7);
        } else if (what == 2) {  // happier or sadder
            sim::poke(r + ChaoRecord::happiness, &v, 2);
        } else {  // a stat level goes up, or stat points
            const uint32_t stat = static_cast<uint32_t>(roll(8));
            sim::poke(what == 1 ? r + ChaoRecord::stat_levels + stat : r + ChaoRecord::stat_points + 2 * stat, &v,
                      what == 1 ? 1 : 2);
        }
    }

    void lay_egg() {
        const int slot = egg_tasks.size() < 6 ? random_slot(false) : -1;
        if (put_chao(slot, 1, sim::ChaoSpec().set("lifespan", 3000)))
            egg_tasks[slot] = sim::add_egg_task(slot_addr(slot)).task;
    }

    void chao_born_or_gone() {
        if (chance(0.5)) put_chao(random_slot(true, 15), 0);  // gone
        else put_chao(random_slot(false), 2);  // born
    }

    void enter(int g) {
        garden = g;
        sim::enter_garden(g);
        sim::place_player(spot(), 0.0f, spot(), static_cast<int32_t>(roll(0x10000)));
        frame();
        sim::game_loads_items(kAnimalKind);
    }

    void move_about() {
        if (garden == 0 || !chance(0.5)) return enter(1 + static_cast<int>(roll(3)));
        sim::game_stores_items(kAnimalKind);
        sim::leave_garden();
        garden = 0;
    }

    void switch_save() {
        save_slot = 3 - save_slot;
        sim::set_save_folder(savedata(), save_slot);
    }

    // The game asks for a record for a new animal; whatever it is handed it fills in.
    void animal_arrives() {
        if (garden == 0) return;
        const game_addr r = sim::game_requests_record(1 + static_cast<int>(roll(2)), kAnimalKind);
        if (r == 0) return;
        AnimalRecord a{static_cast<int16_t>(roll(21)), static_cast<int16_t>(garden),
                       static_cast<uint16_t>(roll(200)), static_cast<uint16_t>(roll(1000)),
                       static_cast<float>(roll(60)) - 30.0f, 0.5f, static_cast<float>(roll(60)) - 30.0f};
        sim::poke(r, &a, sizeof a);
        ++animals_arrived;
    }

    // Garden storage. The player finds a fruit (or takes an animal of the reserve), walks to the
    // Game Boy and holds the storage key; after a while, done or not, walks away. The game saves
    // the garden now and then, also in the middle of a deposit.
    // One of the garden's fruit, or an animal of the reserve, lying about.
    game_addr lying_about(uint32_t kind) {
        const game_addr routine = kind == kFruitKind ? storage_game::kFruitRoutine : storage_game::kAnimalRoutine;
        for (uint32_t i = 0, at = static_cast<uint32_t>(roll(40)); i < 40; ++i) {
            game_addr entry = storage_game::slot_table(kind) + (at + i) % 40 * storage_game::kSlotEntrySize;
            game_addr task = game::read<uint32_t>(entry + 0x3C);
            if (task && game::read<uint32_t>(task + 0x10) == routine && (kind == kFruitKind || sim::item_record(task)))
                return task;
        }
        return 0;
    }

    // The Chao eat fruit the commands made, keeping the garden below the game's 40 (at 40 a
    // delivery waits for room).
    void chao_eat() {
        if (sim::item_count(kFruitKind) > 30 && fruit_eaten < sim::created_fruit().size()) {
            sim::set_item_count(kFruitKind, sim::item_count(kFruitKind) - 1);
            ++fruit_eaten;
        }
    }

    void deposit() {
        if (garden == 0 || g_gameboy_until != 0) return;
        game_addr task = lying_about(chance(0.7) ? kFruitKind : kAnimalKind);
        if (chance(0.5) && sim::count_objects(kFruitKind) < 16 && sim::item_count(kFruitKind) < 36) {
            task = sim::place_fruit(static_cast<int32_t>(roll(24)), 1 + static_cast<int32_t>(roll(4)), chance(0.8),
                                    100.0f, 5.0f, -40.0f);
            fruit_found += task != 0;
        }
        if (!task) return;
        sim::write_garden_save();
        sim::hold(task);
        sim::place_player(100.0f, 5.0f, -40.0f, 0);
        g_gameboy_until = sim::frame_number() + 50 + roll(chance(0.2) ? 60 : 400);
        // The server fails the prepare or the commit, answers late, or restarts (its sessions
        // gone) once the item is saved out.
        if (chance(0.2)) {
            const u64 kind = roll(3);
            const json match = "/api/v1/inventory/deposit";
            if (kind == 0) set_faults({{"statuses", {roll(2) ? 503 : 500}}, {"match", match}});
            if (kind == 1) set_faults({{"delay_seconds", 1 + roll(2)}, {"delay_count", 1}, {"match", match}});
            restart_when_saved_out = kind == 2;
        }
    }

    void walk_away() {
        g_gameboy_until = 0;
        sim::hold(0);
        sim::place_player(spot(), 0.0f, spot(), 0);
    }

    // A stored fruit back into the garden the player is in (animals stay stored: the game's own
    // animal records are all taken, so a delivery of one would wait for ever).
    void withdraw() {
        if (garden == 0) return;
        for (const json& item : storage_items())
            if (item["state"] == "stored" && item["kind"] == "fruit") {
                json body = {{"item_id", item["item_id"]}, {"save_slot", 1}, {"garden", garden}};
                return void(queue(body, kAccount + "withdraw"));
            }
    }

    // ---- the operator

    json admin(const std::string& method, const std::string& path, const json& body = nullptr) {
        return server.admin_json(method, path, body.is_null() ? "" : body.dump());
    }
    json server_chao() { return admin("GET", kGarden).value("chao", json()); }
    json commands() { return admin("GET", kGarden + "/commands").value("commands", json::array()); }
    json storage_items() { return admin("GET", kAccount + "storage").value("items", json::array()); }
    void set_faults(const json& faults) { admin("POST", "/admin/faults", faults); }

    bool queue(const json& command, const std::string& path = kGarden + "/commands") {
        const json j = admin("POST", path, command);
        if (j.contains("id")) queued[j["id"].get<int>()] = command;
        return j.contains("id");
    }

    void operator_rename() {
        const json chao = server_chao();
        if (chao.empty()) return;
        const json& c = chao[roll(chao.size())];
        if (c.contains("chao_id") && c.value("type", 0) >= 2)
            queue({{"kind", "rename"}, {"slot", c["slot"]}, {"expect_chao_id", c["chao_id"]},
                   {"name_raw", random_hex(7)}});
    }

    void operator_fruit() {
        const int g = garden != 0 ? garden : 1 + static_cast<int>(roll(3));
        queue({{"kind", "spawn_fruit"}, {"garden", g}, {"fruit_type", roll(24)}, {"count", 1 + roll(3)}});
    }

    // Eggs the server shows get a hatch, once per egg.
    void operator_hatches() {
        for (const json& c : server_chao()) {
            if (c.value("type", 0) != 1 || !c.contains("egg_generation")) continue;
            const int slot = c["slot"].get<int>();
            const std::string gen = c["egg_generation"].get<std::string>();
            // An egg with no live task would wait for ever.
            if (egg_tasks.count(slot) && hatch_queued.insert(std::to_string(slot) + ":" + gen).second)
                queue({{"kind", "hatch"}, {"slot", slot}, {"v", 1}, {"garden", 0}, {"expect_generation", gen},
                       {"generation", gen}});
        }
    }

    // ---- faults

    HttpReply intruder(const char* what) {
        const json body = {{"session_id", intruder_session}, {"writeback", true}, {"mod_version", "0.1.13"},
                           {"capabilities", json::array()}};
        return raw_http(server.port, "POST", std::string("/api/v1/session/") + what, body.dump(),
                        "X-Velmora-Key: " + server.api_key + "\r\nX-Velmora-Save-Slot: 1\r\nX-Velmora-Session: " +
                            intruder_session + "\r\n");
    }

    // The intruder leaves; its farewell must not meet a fault of ours, or the garden would stay
    // taken until the server's session time-out.
    void release_intruder() {
        if (!intruder_holds) return;
        set_faults(json::object());
        for (int i = 0; i < 5 && intruder("goodbye").status != 200; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        intruder_holds = false;
    }

    // A second game with the same key greets: refused while the mod holds the garden; while it
    // does not (another save loaded) it takes it, and the mod meets 409s.
    void intruder_greets() {
        if (intruder_holds) return;
        set_faults(json::object());
        intruder_session = "intruder" + random_hex(4);
        const HttpReply r = intruder("hello");
        intruder_holds = r.status == 200 && r.body.find("\"held\":true") != std::string::npos;
        if (intruder_holds) intruder_release_frame = sim::frame_number() + 600 + roll(3000);
    }

    void fault() {
        static const char* const paths[] = {"", "/api/v1/sync", "/api/v1/commands", "/api/v1/session"};
        const auto match = [&] { return paths[roll(4)]; };  // drawn last
        const u64 what = roll(7);
        if (what <= 1) {
            json statuses = json::array();
            for (u64 i = 0, k = 2 + roll(6); i < k; ++i) statuses.push_back(roll(3) == 0 ? 503 : 500);
            set_faults({{"statuses", statuses}, {"match", match()}});
        } else if (what == 2) {
            const u64 seconds = had_long_stall ? stall_seconds : 10;
            had_long_stall = true;
            set_faults({{"delay_seconds", seconds}, {"delay_count", 1}, {"match", match()}});
        } else if (what == 3) {
            const bool close = chance(0.5);
            set_faults({{"drop", close ? "close" : "mid_body"}, {"drop_count", 1 + roll(close ? 3 : 2)},
                        {"match", match()}});
        } else if (what <= 5) {
            intruder_greets();
        } else {
            server.restart();
        }
    }

    // ---- the run

    bool start() {
        std::string error;
        sim::reset();
        sim::reset_animals();
        if (server.pid <= 0 || !sim::build_garden(sim::sample_garden(), error))
            return std::printf("soak: no reference server, or the sample garden failed: %s\n", error.c_str()), false;
        sim::recording().keep_screen = false;
        sim::setup_gameboy(1);
        sim::set_item_records(kAnimalKind, 0);  // the game's own animal records are all taken
        sim::set_item_count(kAnimalKind, 10);
        fruit_count_at_start = sim::item_count(kFruitKind);
        fruit_objects_at_start = sim::count_objects(kFruitKind);
        for (int s = 0; s < static_cast<int>(game::kChaoSlotCount); ++s)
            if (slot_type(s) == 1) egg_tasks[s] = sim::add_egg_task(slot_addr(s)).task;
        std::filesystem::create_directories(savedata());
        sim::set_save_folder(savedata(), 1);
        sim::write_garden_save();
        sim::use_standin_item_routines();
        platform::posix::set_key_state_handler([](int key) { return key == 0x77 && g_gameboy_until != 0; });
        folder.write("config.ini", "BaseUrl=" + server.base_url() + "\nApiKey=" + server.api_key +
                                       "\nSaveSlot=1\nScanIntervalFrames=" + std::to_string(kScanInterval) +
                                       "\nFullResyncSeconds=3600\nCommandPollSeconds=2\n");
        sim::load(folder.str().c_str());
        enter(1);
        return true;
    }

    void run() {
        const u64 warm = std::max<u64>(3000, frames / 10);
        u64 next_fault = 3000 + roll(3000);
        while (sim::frame_number() < frames) {
            frame();
            const u64 f = sim::frame_number();
            if (f == warm) rss_warm = own_resident_kib();
            if (intruder_holds && f >= intruder_release_frame) release_intruder();
            if (g_gameboy_until && (f >= g_gameboy_until || garden == 0)) walk_away();
            if (restart_when_saved_out && !pending_deposits().empty() && !pending_deposits()[0].still_in_garden) {
                restart_when_saved_out = false;
                server.restart();
            }
            if (f >= next_fault) {
                fault();
                next_fault = f + 1000 + roll(2000);
            }
            if (f % 60 != 0) continue;
            // One second of play: now and then something happens.
            if (chance(0.12)) change_chao();
            if (chance(0.02)) lay_egg();
            if (chance(0.02)) chao_born_or_gone();
            if (chance(0.03)) move_about();
            if (chance(0.015)) switch_save();
            if (chance(0.05)) animal_arrives();
            if (chance(0.03)) operator_rename();
            if (chance(0.025)) operator_fruit();
            if (chance(0.003)) queue({{"kind", "resync"}});
            chao_eat();
            if (chance(0.04)) deposit();
            if (chance(0.02)) withdraw();
            if (chance(0.01)) sim::write_garden_save();
            if (f % 600 == 0) operator_hatches();
        }
        if (rss_warm == 0) rss_warm = own_resident_kib();
        rss_end = own_resident_kib();  // before the end checks fetch and parse the server's copies
    }

    // The server's Chao equal those of a fresh full scan of the game.
    bool gardens_equal() {
        GardenScanner fresh;
        fresh.begin_session("0000000000000000", "0.1.19", 60);
        const ScanResult r = scan_garden(fresh, garden);
        const json server = server_chao();
        return r.produced && !server.is_null() && server == json::parse(r.payload)["chao"];
    }

    // Faults off, the intruder gone, the player back in slot 1 and in the garden that the
    // oldest waiting command needs, until the server has everything: within ten minutes of play.
    // The frames it took; 0 when it did not.
    u64 settle() {
        const u64 start = sim::frame_number();
        set_faults(json::object());
        release_intruder();
        if (save_slot != 1) switch_save();
        if (garden == 0) enter(1);
        if (g_gameboy_until) walk_away();
        operator_hatches();
        for (const u64 until = sim::frame_number() + 10 * 60 * 60; sim::frame_number() < until;) {
            for (int i = 0; i < 300; ++i) {
                if (i % 60 == 0) chao_eat();  // a garden full of fruit keeps deliveries waiting until the Chao eat
                frame();
            }
            bool waiting = false;
            int waiting_garden = 0;
            for (const json& c : commands()) {
                if (c.value("acknowledged", false)) continue;
                waiting = true;
                if (c["kind"] != "hatch" && waiting_garden == 0) waiting_garden = c["fields"].value("garden", 0);
            }
            if (waiting_garden != 0 && waiting_garden != garden) enter(waiting_garden);
            if (!waiting && gardens_equal() && pending_deposits().empty()) return sim::frame_number() - start;
        }
        return 0;
    }

    void verify(u64 settled_in) {
        std::printf("\nchecks:\n");
        check(settled_in > 0, "settled in %llu frames: every command acknowledged, the server's garden equal to the "
              "game's, no deposit pending", settled_in);
        // Within a session only deltas go out: a change made now must reach the server by one.
        change_chao();
        int frames = 0;
        while (frames < 600 && (frames == 0 || !gardens_equal()))
            for (int i = 0; i < 60; ++i, ++frames) frame();
        check(gardens_equal(), "a Chao changed after settling is in the server's garden %d frames later", frames);

        // Commands: each acknowledged once, none applied twice.
        const json list = commands();
        size_t acked = 0, unknown = 0;
        int fruit_ok = 0, hatch_ok = 0;
        for (const json& c : list) {
            unknown += !queued.count(c["id"].get<int>());
            acked += c.value("acknowledged", false);
            if (!c.value("acknowledged", false) || !c.value("ok", false)) continue;
            if (c["kind"] == "spawn_fruit") fruit_ok += c["fields"].value("count", 1);
            hatch_ok += c["kind"] == "hatch";
        }
        check(list.size() == queued.size() && unknown == 0 && acked == list.size() &&
                  sim::task_model().hatches == hatch_ok,
              "the server holds exactly the %zu commands queued, %zu acknowledged; %d hatches acknowledged, %d "
              "carried out", queued.size(), acked, hatch_ok, sim::task_model().hatches);

        // Fruit: the commands' own, and those the player found, each in the garden or in the
        // server's storage (delivered ones back in the garden, made once each).
        int stored[2] = {0, 0}, delivered = 0;
        for (const json& i : storage_items()) {
            if (i["state"] == "delivered") ++delivered;
            else ++stored[i["kind"] == "animal"];
        }
        const size_t made = sim::created_fruit().size();
        const int in_garden = sim::count_objects(kFruitKind) - static_cast<int>(fruit_objects_at_start);
        const u64 counted = sim::item_count(kFruitKind) - fruit_count_at_start;
        check(made == static_cast<size_t>(fruit_ok) && counted + fruit_eaten == made + in_garden,
              "fruit: %d asked for by acknowledged commands, %zu created, %llu eaten, %llu in the game's item count",
              fruit_ok, made, fruit_eaten, counted);
        const int gameboy_made = sim::gameboy_faults().create_calls;
        check(in_garden + stored[0] == static_cast<int>(fruit_found) && delivered == gameboy_made &&
                  !storage_state().attention,
              "storage: %llu fruit found, %d in the garden, %d fruit and %d animals stored, %d delivered and %d "
              "made, none stuck", fruit_found, in_garden, stored[0], stored[1], delivered, gameboy_made);
        const std::string file = sim::read_garden_save();
        bool same_records = file.size() == sim::kGardenSaveSize;
        for (uint32_t kind : {kAnimalKind, kFruitKind}) {
            const game_addr table = storage_game::record_table(kind);
            const size_t at = sim::kGardenSaveBlockOffset + (table - game::addr::garden_save_block);
            const size_t size = storage_game::record_count(kind) * storage_game::kItemRecordSize;
            same_records = same_records && !std::memcmp(file.data() + at, game::game_ptr<const uint8_t>(table), size);
        }
        check(same_records && sim::garden_save_sealed(file), "the garden save file's item records are the game's");

        // Animals: the game's own 10 records plus the reserve hold every animal once.
        // The reserve's file, too, holds every one of them.
        const int own = sim::count_records(kAnimalKind);
        uint32_t reserved = 0;
        if (const AnimalRecord* t = animals::table())
            for (uint32_t i = 0; i < animals::kCapacity; ++i)
                reserved += animals::record_valid(t[i]) && !animals::record_is_free(t[i]);
        sim::game_stores_items(kAnimalKind);
        const auto key = animals::save_key_of(animals::normalize_save_path(savedata() + "/SONIC2B__S01"));
        const std::string bytes = folder.read(animals::reserve_file_name(1, key).substr(1));
        std::vector<AnimalRecord> saved;
        const bool parsed = animals::parse_reserve_file(bytes.data(), bytes.size(), key, saved);
        check(own == static_cast<int>(sim::kAnimalRecordCount) && reserved + stored[1] == animals_arrived && parsed &&
                  saved.size() == reserved,
              "animals: %llu arrived, %u in the reserve (%zu in its file), %d stored, %d of the game's own records "
              "kept", animals_arrived, reserved, saved.size(), stored[1], own);

#ifndef SOAK_NO_MEMORY_BOUND
        check(rss_end - rss_warm <= 4 * 1024, "own resident size %ld KiB after warm-up, %ld KiB at the end (bound: "
              "4 MiB more)", rss_warm, rss_end);
#endif
        // The game thread never waits on the network: even the 10 s stall leaves no long frame.
        const auto percentile = [&](double p) {
            u64 seen = 0, want = static_cast<u64>(p * std::accumulate(frame_us.begin(), frame_us.end(), 0.0));
            for (size_t i = 0; i < frame_us.size(); ++i)
                if ((seen += frame_us[i]) > want) return static_cast<double>(i + 1);
            return longest_us;
        };
        check(longest_us < 250000, "frames p50 %.0f us, p99 %.0f us, longest %.0f us: under 250 ms while the server "
              "stalled for 10 s", percentile(0.50), percentile(0.99), longest_us);
    }
};

}  // namespace

int main(int argc, char** argv) {
    Soak soak;
    // A number that does not read whole, or no frames at all, is a usage error: a soak that
    // plays nothing must not pass.
    auto number = [](const char* text, u64& v) {
        char* end = nullptr;
        v = std::strtoull(text, &end, 10);
        return *text && !*end;
    };
    const char* env = std::getenv("VELMORA_SOAK_FRAMES");
    bool ok = !env || number(env, soak.frames);
    for (int i = 1; ok && i < argc; ++i) {
        const std::string a = argv[i];
        u64* v = a == "--frames" ? &soak.frames : a == "--seed" ? &soak.seed
                 : a == "--stall-seconds" ? &soak.stall_seconds : nullptr;
        if (a == "--verbose") soak.verbose = true;
        else ok = v && i + 1 < argc && number(argv[++i], *v);
    }
    if (!ok || soak.frames == 0 || soak.stall_seconds > 60)
        return std::fprintf(stderr, "usage: soak [--frames N] [--seed S] [--stall-seconds S] [--verbose]\n"), 2;
    soak.rng.seed(soak.seed);
    if (!soak.start()) return 1;
    soak.run();
    soak.verify(soak.settle());
    soak.drain_log();
    const u64 frames = sim::frame_number();
    sim::unload();
    for (auto until = Clock::now() + std::chrono::seconds(3); !WorkerIdle() && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopWorker();
    WaitWorkerExit(3000);
    std::printf("soak: %llu frames in %.0f s, seed %llu: %d checks failed\n", frames,
                std::chrono::duration<double>(Clock::now() - soak.started).count(), soak.seed, soak.failures);
    return soak.failures ? 1 : 0;
}
