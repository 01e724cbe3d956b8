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
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
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

namespace {

constexpr int kScanInterval = 30;
constexpr uint32_t kAnimalKind = 2, kFruitKind = 3;
constexpr const char* kAccount = "tester";

struct Options {
    uint64_t frames = 100000;
    uint64_t seed = 20261207;
    int stall_seconds = 2;
    bool verbose = false;
};

// Sanitizer runtimes hold freed memory (ASan's quarantine, TSan's shadow and history), so
// the resident-size bound means nothing under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedHeap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizedHeap = true;
#else
constexpr bool kSanitizedHeap = false;
#endif
#else
constexpr bool kSanitizedHeap = false;
#endif

// Resident memory: all of it, and the program's own (its heap and stacks, "RssAnon"). The
// simulated game's memory lies in a shared mapping and is never given back, as objects the
// game made stay mapped in the simulator; the own share is what the mod could leak.
struct Resident {
    long total = 0, own = 0;
};

Resident resident_kib() {
    Resident r;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            std::sscanf(line, "VmRSS: %ld", &r.total);
            std::sscanf(line, "RssAnon: %ld", &r.own);
        }
        std::fclose(f);
    }
    return r;
}

bool g_f8 = false;  // the player holds the storage key

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

int8_t slot_type(int slot) {
    int8_t t = 0;
    sim::peek(slot_addr(slot) + ChaoRecord::type, &t, 1);
    return t;
}

// Frame times in a fixed histogram of whole microseconds (touched once at start, so the
// measurement itself keeps memory flat), plus the exact maximum.
struct FrameTimes {
    static constexpr size_t kBuckets = 200001;  // up to 200 ms; longer ones land in the last
    std::vector<uint32_t> hist = std::vector<uint32_t>(kBuckets, 0);
    uint64_t count = 0, over_16ms = 0, over_1ms = 0;
    double max_us = 0, total_us = 0;
    void add(double us) {
        ++count;
        total_us += us;
        max_us = std::max(max_us, us);
        if (us > 16667) ++over_16ms;
        if (us > 1000) ++over_1ms;
        hist[std::min(kBuckets - 1, static_cast<size_t>(us))]++;
    }
    double percentile(double p) const {
        uint64_t want = static_cast<uint64_t>(p * static_cast<double>(count));
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += hist[i];
            if (seen > want) return static_cast<double>(i) + 1;  // upper edge of the bucket
        }
        return max_us;
    }
};

struct Soak {
    Options opt;
    ServerFixture server;
    TempDir folder;
    std::mt19937_64 rng;
    FrameTimes times;
    Clock::time_point started = Clock::now();

    int garden = 1;     // where the player is; 0 in the lobby
    int save_slot = 1;  // the loaded save
    // What the player and the operator made.
    uint64_t animals_added = 0, animals_refused = 0, chao_changes = 0, eggs_laid = 0, slots_emptied = 0,
             chao_born = 0, garden_moves = 0, slot_switches = 0;
    std::map<int, json> queued;                    // command id -> what was queued
    std::set<std::string> hatch_queued;            // "slot:generation"
    std::map<int, game_addr> egg_tasks;            // slot -> its egg task
    uint32_t fruit_count_at_start = 0;
    int fruit_objects_at_start = 0;
    // Faults thrown.
    uint64_t bursts = 0, stalls = 0, long_stalls = 0, drops = 0, mid_body_drops = 0, restarts = 0,
             intruder_greets = 0, intruder_refused = 0, intruder_held = 0, restart_failures = 0;
    bool intruder_holds = false;
    uint64_t intruder_release_frame = 0;
    std::string intruder_session;
    // Garden storage: fruit the player found, what went to the Game Boy, what was withdrawn.
    uint64_t fruit_found = 0, fruit_eaten = 0, deposits = 0, deposit_walkaways = 0, deposit_faults = 0, withdrawals = 0;
    uint64_t gameboy_until = 0;
    bool restart_when_saved_out = false;  // the player stays at the Game Boy until this frame
    // What the mod said.
    std::map<std::string, uint64_t> log_counts;
    std::deque<std::string> last_lines;
    uint64_t log_lines = 0;
    double cpu_max_us = 0;
    uint64_t cpu_over_1ms = 0;
    struct SlowFrame {
        uint64_t frame;
        double us;
        std::vector<std::string> lines;  // what the mod logged up to and in that frame
    };
    std::vector<SlowFrame> slow;
    Resident rss_start, rss_warm, rss_end;
    int failures = 0, checks = 0;

    explicit Soak(const Options& o) : opt(o), rng(o.seed) {}

    std::string savedata() const { return folder.str() + "/savedata"; }
    std::string save_path(int slot) const { return savedata() + "/SONIC2B__S0" + std::to_string(slot); }

    uint64_t roll(uint64_t n) { return n ? rng() % n : 0; }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    std::string random_hex(size_t bytes) {
        static const char* digits = "0123456789abcdef";
        std::string s;
        for (size_t i = 0; i < 2 * bytes; ++i) s += digits[roll(16)];
        return s;
    }

    void check(bool ok, const std::string& what) {
        std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
        ++checks;
        if (!ok) ++failures;
    }

    // ---- the game thread

    // The game thread's own CPU time: a wall-clock frame is also stretched by the other
    // threads (worker, server) taking its core on a small machine.
    static double thread_cpu_us() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
    }

    void frame() {
        auto t0 = Clock::now();
        const double c0 = thread_cpu_us();
        sim::frame();
        const double cpu = thread_cpu_us() - c0;
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        times.add(us);
        cpu_max_us = std::max(cpu_max_us, cpu);
        if (cpu > 1000) ++cpu_over_1ms;
        if (cpu > 1000 && slow.size() < 40) slow.push_back({sim::frame_number(), cpu, sim::take_debug_lines()});
        if (sim::frame_number() % kScanInterval == 1) pace();
        if (sim::frame_number() % 600 == 0) drain_log();
    }

    // On scan ticks the harness (not the game thread, whose frame time is already taken) gives
    // the worker a bounded moment, so the server sees the traffic the play makes.
    void pace() {
        auto until = Clock::now() + std::chrono::milliseconds(60);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        while (!WorkerIdle() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }

    void drain_log() {
        static const char* const kinds[] = {"transient failure",
                                            "session is waiting: another session",
                                            "session: hello ok",
                                            "full upload: ",
                                            "delta upload: ",
                                            "began native hatch",
                                            "native hatch completed",
                                            "ERROR",
                                            "WARNING",
                                            "rejected",
                                            "not retrying",
                                            "dropped"};
        for (std::string& l : sim::take_debug_lines()) {
            ++log_lines;
            for (const char* k : kinds)
                if (l.find(k) != std::string::npos) ++log_counts[k];
            if (opt.verbose) std::printf("%s", l.c_str());
            last_lines.push_back(std::move(l));
            if (last_lines.size() > 80) last_lines.pop_front();
        }
    }

    void play(uint64_t frames) {
        for (uint64_t i = 0; i < frames; ++i) frame();
    }

    // ---- the player

    std::vector<int> slots_of(bool (*pred)(int8_t)) {
        std::vector<int> out;
        for (int s = 0; s < static_cast<int>(game::kChaoSlotCount); ++s)
            if (pred(slot_type(s))) out.push_back(s);
        return out;
    }
    static bool is_grown(int8_t t) { return t >= 2; }
    static bool is_free(int8_t t) { return t == 0; }

    void change_chao() {
        std::vector<int> grown = slots_of(is_grown);
        if (grown.empty()) return;
        int slot = grown[roll(grown.size())];
        game_addr r = slot_addr(slot);
        uint8_t bytes[8];
        switch (roll(4)) {
            case 0:  // the player renames it in the game
                for (int i = 0; i < 7; ++i) bytes[i] = static_cast<uint8_t>(0x21 + roll(90));
                sim::poke(r + ChaoRecord::name_raw, bytes, 7);
                break;
            case 1:  // a stat level goes up
                bytes[0] = static_cast<uint8_t>(roll(100));
                sim::poke(r + ChaoRecord::stat_levels + static_cast<uint32_t>(roll(8)), bytes, 1);
                break;
            case 2: {  // happier or sadder
                int16_t h = static_cast<int16_t>(static_cast<int>(roll(201)) - 100);
                sim::poke(r + ChaoRecord::happiness, &h, 2);
                break;
            }
            default: {  // stat points
                uint16_t p = static_cast<uint16_t>(roll(3000));
                sim::poke(r + ChaoRecord::stat_points + 2 * static_cast<uint32_t>(roll(8)), &p, 2);
                break;
            }
        }
        ++chao_changes;
    }

    void lay_egg() {
        std::vector<int> free = slots_of(is_free);
        if (free.empty() || egg_tasks.size() >= 6) return;
        int slot = free[roll(free.size())];
        sim::ChaoSpec c;
        c.slot = slot;
        c.type = 1;
        c.set("chao_id", random_hex(20)).set("garden", std::max(garden, 1)).set("lifespan", 3000);
        std::string error;
        if (!sim::write_chao(c, error)) return;
        egg_tasks[slot] = sim::add_egg_task(slot_addr(slot)).task;
        ++eggs_laid;
    }

    void chao_born_or_gone() {
        std::string error;
        if (chance(0.5)) {
            std::vector<int> grown = slots_of(is_grown);
            if (grown.size() < 15) return;
            sim::ChaoSpec c;
            c.slot = grown[roll(grown.size())];
            c.type = 0;
            if (sim::write_chao(c, error)) ++slots_emptied;
        } else {
            std::vector<int> free = slots_of(is_free);
            if (free.empty()) return;
            sim::ChaoSpec c;
            c.slot = free[roll(free.size())];
            c.type = 2;
            c.set("chao_id", random_hex(20)).set("name_raw", random_hex(7)).set("garden", std::max(garden, 1));
            if (sim::write_chao(c, error)) ++chao_born;
        }
    }

    void enter(int g) {
        garden = g;
        sim::enter_garden(g);
        sim::place_player(static_cast<float>(roll(40)) - 20.0f, 0.0f, static_cast<float>(roll(40)) - 20.0f,
                          static_cast<int32_t>(roll(0x10000)));
        frame();
        sim::game_loads_items(kAnimalKind);
    }
    void leave() {
        sim::game_stores_items(kAnimalKind);
        sim::leave_garden();
        garden = 0;
    }

    void move_about() {
        ++garden_moves;
        if (garden != 0 && chance(0.5)) leave();
        else enter(1 + static_cast<int>(roll(3)));
    }

    void switch_save() {
        ++slot_switches;
        save_slot = save_slot == 1 ? 2 : 1;
        sim::set_save_folder(savedata(), save_slot);
    }

    // The game asks for a record for a new animal; whatever it is handed it fills in.
    void animal_arrives() {
        if (garden == 0) return;
        game_addr r = sim::game_requests_record(1 + static_cast<int>(roll(2)), kAnimalKind);
        if (r == 0) {
            ++animals_refused;
            return;
        }
        AnimalRecord a{static_cast<int16_t>(roll(21)), static_cast<int16_t>(garden),
                       static_cast<uint16_t>(roll(200)), static_cast<uint16_t>(roll(1000)),
                       static_cast<float>(roll(60)) - 30.0f, 0.5f, static_cast<float>(roll(60)) - 30.0f};
        sim::poke(r, &a, sizeof a);
        ++animals_added;
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
        if (garden == 0 || gameboy_until != 0) return;
        game_addr task = lying_about(chance(0.7) ? kFruitKind : kAnimalKind);
        if (chance(0.5) && sim::count_objects(kFruitKind) < 16 && sim::item_count(kFruitKind) < 36) {
            task = sim::place_fruit(static_cast<int32_t>(roll(24)), 1 + static_cast<int32_t>(roll(4)), chance(0.8),
                                    100.0f, 5.0f, -40.0f);
            if (task) ++fruit_found;
        }
        if (!task) return;
        sim::write_garden_save();
        sim::hold(task);
        sim::place_player(100.0f, 5.0f, -40.0f, 0);
        g_f8 = true;
        ++deposits;
        gameboy_until = sim::frame_number() + 50 + roll(chance(0.2) ? 60 : 400);
        if (chance(0.2)) {  // the server fails the prepare or the commit, answers late, or restarts
            ++deposit_faults;  // (its sessions gone) once the item is saved out
            const uint64_t kind = roll(3);
            if (kind == 0) set_faults({{"statuses", {roll(2) ? 503 : 500}}, {"match", "/api/v1/inventory/deposit"}});
            if (kind == 1) set_faults({{"delay_seconds", 1 + roll(2)}, {"delay_count", 1}, {"match", "/api/v1/inventory/deposit"}});
            restart_when_saved_out = kind == 2;
        }
    }

    void walk_away() {
        g_f8 = false;
        gameboy_until = 0;
        if (!pending_deposits().empty()) ++deposit_walkaways;
        sim::hold(0);
        sim::place_player(static_cast<float>(roll(40)) - 20.0f, 0.0f, static_cast<float>(roll(40)) - 20.0f, 0);
    }

    json storage_items() {
        HttpReply r = server.admin("GET", std::string("/admin/accounts/") + kAccount + "/storage");
        json j = json::parse(r.body, nullptr, false);
        return j.is_object() && j.contains("items") ? j["items"] : json::array();
    }

    // A stored fruit back into the garden the player is in (animals stay stored: the game's own
    // animal records are all taken, so a delivery of one would wait for ever).
    void withdraw() {
        if (garden == 0) return;
        for (const json& item : storage_items()) {
            if (item["state"] != "stored" || item["kind"] != "fruit") continue;
            json body = {{"item_id", item["item_id"]}, {"save_slot", 1}, {"garden", garden}};
            HttpReply r = server.admin("POST", std::string("/admin/accounts/") + kAccount + "/withdraw", body.dump());
            json j = json::parse(r.body, nullptr, false);
            if (r.status == 200 && j.is_object() && j.contains("id")) {
                queued[j["id"].get<int>()] = body;
                ++withdrawals;
            }
            return;
        }
    }

    // ---- the operator

    json merged() {
        HttpReply r = server.admin("GET", std::string("/admin/gardens/") + kAccount + "/1");
        if (r.status != 200) return json();
        json j = json::parse(r.body, nullptr, false);
        return j.is_object() && j.contains("garden") ? j["garden"] : j;
    }

    void queue(const json& command) {
        HttpReply r = server.admin("POST", std::string("/admin/gardens/") + kAccount + "/1/commands", command.dump());
        json j = json::parse(r.body, nullptr, false);
        if (r.status == 200 && j.is_object() && j.contains("id")) queued[j["id"].get<int>()] = command;
    }

    void operator_rename() {
        json g = merged();
        if (!g.is_object() || !g.contains("chao") || g["chao"].empty()) return;
        const json& c = g["chao"][roll(g["chao"].size())];
        if (!c.contains("chao_id") || c.value("type", 0) < 2) return;
        queue({{"kind", "rename"}, {"slot", c["slot"]}, {"expect_chao_id", c["chao_id"]}, {"name_raw", random_hex(7)}});
    }

    void operator_fruit() {
        int g = garden != 0 ? garden : 1 + static_cast<int>(roll(3));
        queue({{"kind", "spawn_fruit"}, {"garden", g}, {"fruit_type", static_cast<int>(roll(24))},
               {"count", 1 + static_cast<int>(roll(3))}});
    }

    // Eggs the server shows get a hatch, once per egg.
    void operator_hatches() {
        json g = merged();
        if (!g.is_object() || !g.contains("chao")) return;
        for (const json& c : g["chao"]) {
            if (c.value("type", 0) != 1 || !c.contains("egg_generation")) continue;
            int slot = c["slot"].get<int>();
            if (!egg_tasks.count(slot)) continue;  // an egg with no live task would wait for ever
            std::string gen = c["egg_generation"].get<std::string>();
            if (!hatch_queued.insert(std::to_string(slot) + ":" + gen).second) continue;
            queue({{"kind", "hatch"}, {"slot", slot}, {"v", 1}, {"garden", 0}, {"expect_generation", gen},
                   {"generation", gen}});
        }
    }

    // ---- faults

    void set_faults(const json& faults) { server.admin("POST", "/admin/faults", faults.dump()); }

    std::string random_match() {
        static const char* const m[] = {"", "/api/v1/sync", "/api/v1/commands", "/api/v1/session"};
        return m[roll(4)];
    }

    HttpReply intruder(const char* what) {
        std::string body = json{{"session_id", intruder_session}, {"writeback", true}, {"mod_version", "0.1.13"},
                                {"capabilities", json::array()}}
                               .dump();
        return raw_http(server.port, "POST", std::string("/api/v1/session/") + what, body,
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

    void fault() {
        switch (roll(7)) {
            case 0:
            case 1: {
                json statuses = json::array();
                for (uint64_t i = 0, n = 2 + roll(6); i < n; ++i) statuses.push_back(roll(3) == 0 ? 503 : 500);
                set_faults({{"statuses", statuses}, {"match", random_match()}});
                ++bursts;
                break;
            }
            case 2: {
                int seconds = long_stalls == 0 ? 10 : opt.stall_seconds;
                if (seconds >= 10) ++long_stalls;
                set_faults({{"delay_seconds", seconds}, {"delay_count", 1}, {"match", random_match()}});
                ++stalls;
                break;
            }
            case 3:
                if (chance(0.5)) {
                    set_faults({{"drop", "close"}, {"drop_count", 1 + roll(3)}, {"match", random_match()}});
                    ++drops;
                } else {
                    set_faults({{"drop", "mid_body"}, {"drop_count", 1 + roll(2)}, {"match", random_match()}});
                    ++mid_body_drops;
                }
                break;
            case 4:
            case 5: {
                // A second game with the same key greets: refused while the mod holds the garden;
                // while it does not (another save loaded) it takes it, and the mod meets 409s.
                if (intruder_holds) break;
                set_faults(json::object());
                intruder_session = "intruder" + random_hex(4);
                ++intruder_greets;
                HttpReply r = intruder("hello");
                if (r.status == 409) ++intruder_refused;
                if (r.status == 200 && r.body.find("\"held\":true") != std::string::npos) {
                    ++intruder_held;
                    intruder_holds = true;
                    intruder_release_frame = sim::frame_number() + 600 + roll(3000);
                }
                break;
            }
            default:
                if (server.restart()) ++restarts;
                else ++restart_failures;
                break;
        }
    }

    // ---- the run

    bool start() {
        if (server.pid <= 0) return false;
        sim::reset();
        sim::reset_animals();
        std::string error;
        if (!sim::build_garden(sim::sample_garden(), error)) {
            std::printf("soak: sample garden: %s\n", error.c_str());
            return false;
        }
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
        platform::posix::set_key_state_handler([](int key) { return key == 0x77 && g_f8; });
        folder.write("config.ini", "BaseUrl=" + server.base_url() + "\nApiKey=" + server.api_key +
                                       "\nSaveSlot=1\nScanIntervalFrames=" + std::to_string(kScanInterval) +
                                       "\nFullResyncSeconds=3600\nCommandPollSeconds=2\n");
        sim::load(folder.str().c_str());
        sim::recording().keep_screen = false;
        enter(1);
        return true;
    }

    void run() {
        rss_start = resident_kib();
        const uint64_t warm = std::max<uint64_t>(3000, opt.frames / 10);
        uint64_t next_fault = 3000 + roll(3000);
        while (sim::frame_number() < opt.frames) {
            frame();
            const uint64_t f = sim::frame_number();
            if (f == warm) rss_warm = resident_kib();
            if (intruder_holds && f >= intruder_release_frame) release_intruder();
            if (gameboy_until && (f >= gameboy_until || garden == 0)) walk_away();
            if (restart_when_saved_out && !pending_deposits().empty() && !pending_deposits()[0].still_in_garden) {
                restart_when_saved_out = false;
                if (server.restart()) ++restarts;
                else ++restart_failures;
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
            if (f % 6000 == 0) progress();
        }
        if (rss_warm.total == 0) rss_warm = resident_kib();
        rss_end = resident_kib();  // before the end checks fetch and parse the server's copies
    }

    void progress() {
        double secs = std::chrono::duration<double>(Clock::now() - started).count();
        const Resident r = resident_kib();
        std::printf("soak: frame %llu of %llu, %.0f s, %zu commands, rss %ld KiB (own %ld KiB)\n",
                    static_cast<unsigned long long>(sim::frame_number()),
                    static_cast<unsigned long long>(opt.frames), secs, queued.size(), r.total, r.own);
        std::fflush(stdout);
    }

    json commands() {
        HttpReply r = server.admin("GET", std::string("/admin/gardens/") + kAccount + "/1/commands");
        json j = json::parse(r.body, nullptr, false);
        return j.is_object() && j.contains("commands") ? j["commands"] : json::array();
    }

    json local_chao() {
        GardenScanner fresh;
        fresh.begin_session("0000000000000000", "0.1.19", 60);
        ScanResult r = scan_garden(fresh, garden);
        if (!r.produced) return json();
        return json::parse(r.payload)["chao"];
    }

    // Faults off, the intruder gone, the player back in slot 1 and in the garden that the
    // oldest waiting command needs, until the server has everything.
    bool settle() {
        set_faults(json::object());
        release_intruder();
        if (save_slot != 1) switch_save();
        if (garden == 0) enter(1);
        if (gameboy_until) walk_away();
        drain_log();
        operator_hatches();
        auto deadline = Clock::now() + std::chrono::seconds(240);
        for (int round = 0; Clock::now() < deadline; ++round) {
            chao_eat();  // a garden full of fruit keeps deliveries waiting until the Chao eat
            play(60);
            if (round % 5 != 4) continue;
            int waiting_garden = 0;
            bool all_acked = true;
            for (const json& c : commands()) {
                if (c.value("acknowledged", false)) continue;
                all_acked = false;
                if (c["kind"] != "hatch" && waiting_garden == 0) waiting_garden = c["fields"].value("garden", 0);
            }
            if (waiting_garden != 0 && waiting_garden != garden) enter(waiting_garden);
            json g = merged();
            const bool same = g.is_object() && g.contains("chao") && g["chao"] == local_chao();
            if (all_acked && same && pending_deposits().empty()) return true;
            if (round % 500 == 499) {
                std::printf("soak: settling at frame %llu: %s, %s\n", (unsigned long long)sim::frame_number(),
                            all_acked ? "all acknowledged" : "commands waiting",
                            same ? "garden equal" : "garden differs");
                drain_log();
                for (const json& c : commands())
                    if (!c.value("acknowledged", false))
                        std::printf("    waiting: command %d, %s for garden %d, offered %d times\n",
                                    c.value("id", 0), c.value("kind", "").c_str(), c["fields"].value("garden", 0),
                                    c.value("offered", 0));
                for (size_t i = last_lines.size() > 6 ? last_lines.size() - 6 : 0; i < last_lines.size(); ++i)
                    std::printf("    %s", last_lines[i].c_str());
                std::fflush(stdout);
            }
        }
        return false;
    }

    void report() {
        drain_log();
        const double secs = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("\nsoak: %llu frames (%.1f h of play) in %.0f s, seed %llu\n",
                    static_cast<unsigned long long>(sim::frame_number()),
                    static_cast<double>(sim::frame_number()) / 60.0 / 3600.0, secs,
                    static_cast<unsigned long long>(opt.seed));
        std::printf("  player: %llu Chao changes, %llu eggs laid, %llu Chao born, %llu slots emptied, %llu garden "
                    "moves, %llu save switches, %llu animals (%llu refused)\n",
                    (unsigned long long)chao_changes, (unsigned long long)eggs_laid, (unsigned long long)chao_born,
                    (unsigned long long)slots_emptied, (unsigned long long)garden_moves,
                    (unsigned long long)slot_switches, (unsigned long long)animals_added,
                    (unsigned long long)animals_refused);
        std::printf("  storage: %llu deposits begun (%llu with a server fault, %llu walked away from unfinished), "
                    "%llu fruit found, %llu withdrawals\n",
                    (unsigned long long)deposits, (unsigned long long)deposit_faults,
                    (unsigned long long)deposit_walkaways, (unsigned long long)fruit_found,
                    (unsigned long long)withdrawals);
        std::printf("  faults: %llu status bursts, %llu stalls (%llu of 10 s), %llu dropped, %llu cut mid-body, "
                    "%llu restarts (%llu failed), intruder %llu greetings (%llu refused, %llu took the garden)\n",
                    (unsigned long long)bursts, (unsigned long long)stalls, (unsigned long long)long_stalls,
                    (unsigned long long)drops, (unsigned long long)mid_body_drops, (unsigned long long)restarts,
                    (unsigned long long)restart_failures, (unsigned long long)intruder_greets,
                    (unsigned long long)intruder_refused, (unsigned long long)intruder_held);
        std::printf("  mod log: %llu lines;", (unsigned long long)log_lines);
        for (auto& [k, n] : log_counts) std::printf(" \"%s\" %llu;", k.c_str(), (unsigned long long)n);
        std::printf("\n");
        std::printf("  frame times (sim::frame on the game thread): p50 %.0f us, p99 %.0f us, max %.0f us, mean "
                    "%.1f us; %llu over 1 ms, %llu over 16.7 ms\n",
                    times.percentile(0.50), times.percentile(0.99), times.max_us,
                    times.total_us / static_cast<double>(std::max<uint64_t>(1, times.count)),
                    (unsigned long long)times.over_1ms, (unsigned long long)times.over_16ms);
        std::printf("  the game thread's own CPU time per frame: max %.0f us, %llu frames over 1 ms\n", cpu_max_us,
                    (unsigned long long)cpu_over_1ms);
        for (const SlowFrame& f : slow) {
            std::printf("  frame %llu took %.0f us of CPU", (unsigned long long)f.frame, f.us);
            if (!f.lines.empty()) std::printf("; last log line: %s", f.lines.back().c_str());
            else std::printf("\n");
        }
        std::printf("  resident size: %ld KiB at start, %ld KiB after warm-up, %ld KiB at the end; the program's "
                    "own (without the simulated game's memory) %ld, %ld and %ld KiB\n",
                    rss_start.total, rss_warm.total, rss_end.total, rss_start.own, rss_warm.own, rss_end.own);
    }

    void verify(bool settled) {
        std::printf("\nchecks:\n");
        check(settled, "the server settled: every command acknowledged and its garden equal to the game's");

        json g = merged();
        json local = local_chao();
        check(g.is_object() && g.contains("chao") && g["chao"] == local,
              "merged garden's Chao equal a fresh full scan (" + std::to_string(local.size()) + " Chao)");

        // Commands: each acknowledged once, none applied twice.
        json list = commands();
        size_t acked = 0, ok = 0, unknown = 0;
        int fruit_ok = 0, hatch_ok = 0;
        std::map<std::string, int> refusals;
        for (const json& c : list) {
            int id = c["id"].get<int>();
            if (!queued.count(id)) ++unknown;
            if (!c.value("acknowledged", false)) continue;
            ++acked;
            if (c.value("ok", false)) {
                ++ok;
                if (c["kind"] == "spawn_fruit") fruit_ok += c["fields"].value("count", 1);
                if (c["kind"] == "hatch") ++hatch_ok;
            } else {
                refusals[c["kind"].get<std::string>() + ": " + c.value("error", std::string())]++;
            }
        }
        check(list.size() == queued.size() && unknown == 0,
              "the server holds exactly the " + std::to_string(queued.size()) + " commands queued");
        check(acked == list.size(), std::to_string(acked) + " of " + std::to_string(list.size()) +
                                        " commands acknowledged (" + std::to_string(ok) + " ok)");
        for (auto& [reason, n] : refusals) std::printf("         refused %dx: %s\n", n, reason.c_str());
        // Fruit: the commands' own, and those the player found, each in the garden or in the
        // server's storage (delivered ones back in the garden, made once each).
        int stored[2] = {0, 0}, delivered = 0;
        for (const json& i : storage_items()) {
            if (i["state"] == "delivered") ++delivered;
            else ++stored[i["kind"] == "animal"];
        }
        const size_t fruit_made = sim::created_fruit().size();
        const int found_in_garden = sim::count_objects(kFruitKind) - fruit_objects_at_start;
        const uint32_t fruit_counted = sim::item_count(kFruitKind) - fruit_count_at_start;
        check(fruit_made == static_cast<size_t>(fruit_ok) && fruit_counted + fruit_eaten == fruit_made + found_in_garden,
              "fruit: " + std::to_string(fruit_ok) + " asked for by acknowledged commands, " +
                  std::to_string(fruit_made) + " created, " + std::to_string(fruit_eaten) + " eaten, " +
                  std::to_string(fruit_counted) + " in the game's item count");
        check(found_in_garden + stored[0] == static_cast<int>(fruit_found) &&
                  delivered == sim::gameboy_faults().create_calls && pending_deposits().empty() &&
                  !storage_state().attention,
              "storage: " + std::to_string(fruit_found) + " fruit found, " + std::to_string(found_in_garden) +
                  " in the garden, " + std::to_string(stored[0]) + " fruit and " + std::to_string(stored[1]) +
                  " animals stored, " + std::to_string(delivered) + " delivered and " +
                  std::to_string(sim::gameboy_faults().create_calls) + " made, none pending or stuck");
        const std::string file = sim::read_garden_save();
        bool same_records = file.size() == sim::kGardenSaveSize;
        for (uint32_t kind : {kAnimalKind, kFruitKind}) {
            const game_addr table = storage_game::record_table(kind);
            const uint32_t bytes = storage_game::record_count(kind) * storage_game::kItemRecordSize;
            same_records = same_records && std::memcmp(file.data() + sim::kGardenSaveBlockOffset +
                                                           (table - game::addr::garden_save_block),
                                                       game::game_ptr<const uint8_t>(table), bytes) == 0;
        }
        check(same_records && sim::garden_save_sealed(file), "the garden save file's item records are the game's");
        check(sim::task_model().hatches == hatch_ok,
              "hatches: " + std::to_string(hatch_ok) + " acknowledged, " +
                  std::to_string(sim::task_model().hatches) + " carried out by the game");

        // Animals: the game's own 10 records plus the reserve hold every animal once.
        uint32_t own = 0, reserved = 0;
        for (uint32_t i = 0; i < sim::kAnimalRecordCount; ++i) {
            AnimalRecord a{};
            sim::peek(sim::kAnimalRecords + i * 20, &a, sizeof a);
            if (a.item_type >= 0) ++own;
        }
        if (const AnimalRecord* t = animals::table())
            for (uint32_t i = 0; i < animals::kCapacity; ++i)
                if (animals::record_valid(t[i]) && !animals::record_is_free(t[i])) ++reserved;
        check(own == sim::kAnimalRecordCount && reserved + stored[1] == animals_added,
              "animals: " + std::to_string(animals_added) + " arrived, " + std::to_string(reserved) +
                  " in the reserve, " + std::to_string(stored[1]) + " stored, " + std::to_string(own) +
                  " of the game's own records kept");
        sim::game_stores_items(kAnimalKind);
        std::string name =
            animals::reserve_file_name(1, animals::save_key_of(animals::normalize_save_path(save_path(1)))).substr(1);
        std::string bytes = folder.read(name);
        std::vector<AnimalRecord> saved;
        bool parsed = animals::parse_reserve_file(bytes.data(), bytes.size(),
                                                  animals::save_key_of(animals::normalize_save_path(save_path(1))),
                                                  saved);
        check(parsed && saved.size() == reserved,
              "reserve file holds the same " + std::to_string(saved.size()) + " animals");

        const long bound = 4 * 1024, grown = rss_end.own - rss_warm.own;
        check(kSanitizedHeap || grown <= bound, "own resident size after warm-up grew by " + std::to_string(grown) +
                                                   " KiB (bound " + std::to_string(bound) + " KiB)");
        // The game thread never waits on the network: even the 10 s stall leaves no long frame.
        check(times.max_us < 250000, "longest frame " + std::to_string(static_cast<long>(times.max_us)) +
                                         " us, under 250 ms while the server stalled for 10 s");
    }
};

bool parse_number(const char* text, uint64_t& out) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (!text[0] || *end) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const char* env = std::getenv("VELMORA_SOAK_FRAMES")) parse_number(env, opt.frames);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        uint64_t v = 0;
        if (a == "--frames" && i + 1 < argc && parse_number(argv[++i], v)) opt.frames = v;
        else if (a == "--seed" && i + 1 < argc && parse_number(argv[++i], v)) opt.seed = v;
        else if (a == "--stall-seconds" && i + 1 < argc && parse_number(argv[++i], v) && v <= 60)
            opt.stall_seconds = static_cast<int>(v);
        else if (a == "--verbose") opt.verbose = true;
        else {
            std::fprintf(stderr, "usage: soak [--frames N] [--seed S] [--stall-seconds S] [--verbose]\n");
            return 2;
        }
    }
    Soak soak(opt);
    if (!soak.start()) {
        std::printf("soak: the reference server did not start\n");
        return 1;
    }
    soak.run();
    bool settled = soak.settle();
    soak.verify(settled);
    soak.report();
    if (soak.failures) {
        std::printf("\nlast mod log lines:\n");
        for (const std::string& l : soak.last_lines) std::printf("  %s", l.c_str());
    }
    sim::unload();
    for (auto until = Clock::now() + std::chrono::seconds(3); !WorkerIdle() && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopWorker();
    WaitWorkerExit(3000);
    std::printf("\nsoak: %d passed, %d failed\n", soak.checks - soak.failures, soak.failures);
    return soak.failures ? 1 : 0;
}
