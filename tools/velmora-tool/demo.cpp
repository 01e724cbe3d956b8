// velmora-tool demo: the whole system on this machine. The reference server on a free
// loopback port with a fresh database, a mod folder pointing at it, and the simulated game
// playing the sample garden at full speed, printed as a player and an operator would read it.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "host/mod_state.h"
#include "net/worker.h"
#include "platform/posix/posix_control.h"
#include "sim/gameboy.h"
#include "sim/garden.h"
#include "sim/tasks.h"
#include "sim/sim.h"
#include "tools/common/server_process.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kFramesPerSecond = 60;
constexpr int kScanIntervalFrames = 60;

std::string clock_text() {
    uint64_t ms = sim::frame_number() * 1000 / kFramesPerSecond;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02llu:%02llu.%01llu", static_cast<unsigned long long>(ms / 60000),
                  static_cast<unsigned long long>(ms / 1000 % 60), static_cast<unsigned long long>(ms / 100 % 10));
    return buf;
}

void say(const char* who, const std::string& text) {
    std::printf("[%s] %-8s %s\n", clock_text().c_str(), who, text.c_str());
    std::fflush(stdout);
}

// Simulated seconds of play. On scan ticks the game waits (in real time, at most a second)
// for the worker to finish what the tick handed it, so the account reads in order; the game
// thread itself never waits on the network.
void play_seconds(double seconds) {
    int frames = static_cast<int>(seconds * kFramesPerSecond);
    for (int i = 0; i < frames; ++i) {
        sim::frame();
        if (sim::frame_number() % kScanIntervalFrames == 1) {
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            while (!WorkerIdle() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

sim::ChaoSpec chao_change(int32_t slot, int32_t type, const char* field, int64_t value) {
    sim::ChaoSpec c;
    c.slot = slot;
    c.type = type;
    c.set(field, value);
    return c;
}

// The operator interface writes flags as JSON booleans or as 0/1.
bool truthy(const json& j, const char* key) {
    if (!j.is_object() || !j.contains(key)) return false;
    const json& v = j[key];
    return v.is_boolean() ? v.get<bool>() : v.is_number() && v.get<double>() != 0;
}

int count_of(const json& j, const char* key) {
    return j.is_object() && j.contains(key) && j[key].is_number() ? j[key].get<int>() : 0;
}

std::string source_dir_default() {
#ifdef VELMORA_SOURCE_DIR
    return VELMORA_SOURCE_DIR;
#else
    return ".";
#endif
}

json merged_chao(const ServerProcess& server, int32_t slot) {
    json g = json::parse(server.admin("GET", "/admin/gardens/player/1").body, nullptr, false);
    if (g.is_object() && g.contains("garden")) g = g["garden"];
    if (g.is_object() && g.contains("chao"))
        for (auto& c : g["chao"])
            if (c.value("slot", -1) == slot) return c;
    return json();
}

void queue(const ServerProcess& server, const json& command, const std::string& what) {
    HttpReply r = server.admin("POST", "/admin/gardens/player/1/commands", command.dump());
    json j = json::parse(r.body, nullptr, false);
    say("operator", "queues " + what + (r.status == 200 && j.is_object() && j.contains("id")
                                            ? " as command " + j["id"].dump()
                                            : " -- refused (status " + std::to_string(r.status) + ")"));
}

bool g_storage_key = false;

int usage() {
    std::fputs("usage: velmora-tool demo [--out FOLDER] [--source FOLDER]\n", stderr);
    return 2;
}

}  // namespace

int run_demo(const std::vector<std::string>& args) {
    std::string out = "velmora-demo", source = source_dir_default();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
        else if (args[i] == "--source" && i + 1 < args.size()) source = args[++i];
        else return usage();
    }
    std::error_code ec;
    fs::remove_all(out, ec);
    fs::create_directories(fs::path(out) / "mods" / "velmora", ec);
    if (ec) {
        std::fprintf(stderr, "demo: cannot create %s: %s\n", out.c_str(), ec.message().c_str());
        return 1;
    }
    out = fs::absolute(out).string();
    std::string mod_folder = out + "/mods/velmora";

    ServerProcess server;
    server.script = source + "/tools/sync-server/server.py";
    server.db = out + "/server.sqlite";
    server.admin_token = "demo-operator-token";
    std::string key = server.add_key("player");
    if (key.empty() || !server.start()) {
        std::fprintf(stderr, "demo: the reference server did not start (%s)\n", server.script.c_str());
        return 1;
    }
    say("server", "reference sync server listening on " + server.base_url() + ", database " + server.db);
    say("server", "account \"player\" created; its key goes into config.ini");

    {
        std::ofstream cfg(mod_folder + "/config.ini", std::ios::binary);
        cfg << "; written by velmora-tool demo\n[server]\nBaseUrl=" << server.base_url() << "\nApiKey=" << key
            << "\nCommandPollSeconds=2\n[garden]\nSaveSlot=1\nScanIntervalFrames=" << kScanIntervalFrames
            << "\nFullResyncSeconds=90\n[features]\nDumpPayloads=true\n";
    }

    sim::reset();
    sim::Recording& rec = sim::recording();
    rec.on_debug_line = [](const std::string& line) {
        std::string text = line;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        say("mod", text);
    };
    rec.on_box = [](const sim::BoxShown& box) { say("box", box.title + ": " + box.text); };
    // On-screen lines are drawn every frame; the account shows a line when its text changes.
    rec.keep_screen = false;
    static std::map<int32_t, std::string> shown;
    shown.clear();
    rec.on_screen = [](const sim::ScreenLine& line) {
        std::string& last = shown[line.position];
        if (last != line.text) say("screen", line.text);
        last = line.text;
    };
    std::string error;
    if (!sim::build_garden(sim::sample_garden(), error)) {
        std::fprintf(stderr, "demo: sample garden: %s\n", error.c_str());
        return 1;
    }
    sim::setup_gameboy(1);
    sim::leave_garden();
    fs::create_directories(out + "/savedata");
    sim::set_save_folder(out + "/savedata", 1);
    sim::add_egg_task(game::addr::chao_slots + 1 * game::kChaoRecordSize);   // the egg in slot 1
    sim::add_chao_task(game::addr::chao_slots + 6 * game::kChaoRecordSize);  // the adult in slot 6
    game_addr fruit = sim::place_fruit(6, 3, true, 101.0f, 5.0f, -40.0f);
    sim::write_garden_save();
    // The storage key (F8) as the player holds it.
    platform::posix::set_key_state_handler([](int key) { return key == 0x77 && g_storage_key; });

    say("game", "SA2 starts; the mod loader loads Velmora from " + mod_folder);
    sim::load(mod_folder.c_str());
    play_seconds(3);
    say("game", "save slot 1 is loaded; the player walks into the Hero garden");
    sim::enter_garden(1);
    play_seconds(6);

    say("game", "a Chao grows: slot 3's stamina goes up and slot 5 gets happier");
    sim::write_chao(chao_change(3, 2, "stamina.level", 42), error);
    sim::write_chao(chao_change(5, 2, "happiness", 90), error);
    play_seconds(4);
    say("game", "a new egg appears in slot 27");
    sim::write_chao(chao_change(27, 1, "lifespan", 3000), error);
    play_seconds(4);

    json egg = merged_chao(server, 1), adult = merged_chao(server, 6), first = merged_chao(server, 0);
    if (first.is_object())
        queue(server, {{"kind", "rename"}, {"slot", 0}, {"expect_chao_id", first["chao_id"]}, {"name_raw", "2110161b1c0000"}},
              "a rename of slot 0");
    if (egg.is_object())
        queue(server, {{"kind", "hatch"}, {"slot", 1}, {"v", 1}, {"garden", 1}, {"expect_generation", egg["egg_generation"]},
                       {"generation", egg["egg_generation"]}},
              "a hatch of the egg in slot 1");
    if (adult.is_object())
        queue(server, {{"kind", "reincarnate"}, {"slot", 6}, {"v", 1}, {"garden", 1},
                       {"reincarnations", adult["life"].value("reincarnations", 0)}, {"expect_chao_id", adult["chao_id"]}},
              "a guarded rebirth of the adult in slot 6");
    queue(server, {{"kind", "rename"}, {"slot", 2}, {"expect_chao_id", "0a1b2c3d4e5f60718b65c4f8a1b2c3d4e5f60718"},
                   {"name_raw", "21000000000000"}},
          "a rename of slot 2 with a stale identity");
    queue(server, {{"kind", "spawn_fruit"}, {"garden", 1}, {"fruit_type", 3}, {"count", 2}}, "two fruit");
    // A Chao the server keeps, restored into the free slot 36: type 5 (an adult) in garden 1,
    // the rest of its 105 fields as the server stored them.
    std::vector<int32_t> restored(105);
    for (int i = 0; i < 105; ++i) restored[static_cast<size_t>(i)] = i + 1;
    restored[0] = 5;
    restored[1] = 1;
    queue(server, {{"kind", "restore"}, {"slot", 36}, {"v", 2}, {"f", restored}}, "a restore into the free slot 36");
    play_seconds(12);

    say("game", "the player picks up a fruit and holds F8 at the Game Boy");
    sim::hold(fruit);
    g_storage_key = true;
    play_seconds(2);
    g_storage_key = false;
    play_seconds(6);
    json storage = json::parse(server.admin("GET", "/admin/accounts/player/storage").body, nullptr, false);
    std::string item_id;
    if (storage.is_object() && storage.contains("items"))
        for (auto& item : storage["items"])
            if (item.value("state", "") == "stored") item_id = item.value("item_id", "");
    say("server", item_id.empty() ? "holds no stored item" : "holds the fruit as stored item " + item_id);
    if (!item_id.empty()) {
        json body = {{"item_id", item_id}, {"save_slot", 1}, {"garden", 1}};
        HttpReply r = server.admin("POST", "/admin/accounts/player/withdraw", body.dump());
        say("operator", "withdraws it back to the Hero garden (status " + std::to_string(r.status) + ")");
        play_seconds(8);
    }

    say("game", "the player leaves the garden for the lobby");
    sim::leave_garden();
    play_seconds(4);
    say("game", "the player loads save slot 2");
    sim::set_save_path((out + "/savedata/SONIC2B__S02").c_str());
    play_seconds(3);
    say("game", "the game closes");
    sim::unload();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!WorkerIdle() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopWorker();
    WaitWorkerExit(3000);

    HttpReply garden = server.admin("GET", "/admin/gardens/player/1");
    HttpReply uploads = server.admin("GET", "/admin/gardens/player/1/uploads");
    json g = json::parse(garden.body, nullptr, false);
    if (g.contains("garden")) g = g["garden"];
    json u = json::parse(uploads.body, nullptr, false);
    json list = u.contains("uploads") ? u["uploads"] : u;
    std::printf("\nWhat the server holds for account \"player\", save slot 1:\n");
    if (g.is_object() && g.contains("chao")) {
        std::printf("  %zu Chao in %zu occupied slots, merged from %zu uploads (%d full)\n", g["chao"].size(),
                    g["occupied_slots"].size(), list.is_array() ? list.size() : 0,
                    count_of(g, "full_uploads"));
        if (list.is_array())
            for (auto& e : list)
                std::printf("    upload %-4d %-5s %7d bytes\n", count_of(e, "id"), truthy(e, "full") ? "full" : "delta",
                            count_of(e, "bytes"));
    } else {
        std::printf("  nothing (status %d)\n", garden.status);
    }
    json commands = json::parse(server.admin("GET", "/admin/gardens/player/1/commands").body, nullptr, false);
    if (commands.is_object() && commands.contains("commands")) commands = commands["commands"];
    if (commands.is_array() && !commands.empty()) {
        std::printf("  commands and their acknowledgements:\n");
        for (auto& c : commands) {
            std::string outcome = !c.contains("ok") || c["ok"].is_null() ? "not acknowledged"
                                  : truthy(c, "ok")                     ? "ok"
                                                                         : "refused: " + c.value("error", std::string());
            std::printf("    %-4d %-16s %s\n", count_of(c, "id"), c.value("kind", std::string()).c_str(), outcome.c_str());
        }
    }
    storage = json::parse(server.admin("GET", "/admin/accounts/player/storage").body, nullptr, false);
    if (storage.is_object() && storage.contains("items"))
        for (auto& item : storage["items"])
            std::printf("  stored item %s: %s\n", item.value("item_id", std::string()).c_str(),
                        item.value("state", std::string()).c_str());
    server.stop();
    platform::posix::set_key_state_handler(nullptr);
    std::printf("\nLeft for you to look into: %s\n  mods/velmora/config.ini, mods/velmora/velmora-last.json "
                "(the last payload), savedata/ (the game's garden save file and the storage receipts),\n"
                "  server.sqlite (the server's data)\n",
                out.c_str());
    return g.is_object() && g.contains("chao") ? 0 : 1;
}
