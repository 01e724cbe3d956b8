// velmora-tool demo: the whole system on this machine. The reference server on a free
// loopback port with a fresh database, a mod folder pointing at it, and the simulated game
// playing the sample garden at full speed, printed as a player and an operator would read it.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "host/mod_state.h"
#include "net/worker.h"
#include "sim/garden.h"
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
    std::string error;
    if (!sim::build_garden(sim::sample_garden(), error)) {
        std::fprintf(stderr, "demo: sample garden: %s\n", error.c_str());
        return 1;
    }
    sim::leave_garden();
    sim::set_save_path("C:\\Games\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01");

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
    play_seconds(12);

    say("game", "the player leaves the garden for the lobby");
    sim::leave_garden();
    play_seconds(4);
    say("game", "the player loads save slot 2");
    sim::set_save_path("C:\\Games\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S02");
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
    server.stop();
    std::printf("\nLeft for you to look into: %s\n  mods/velmora/config.ini, mods/velmora/velmora-last.json "
                "(the last payload), server.sqlite (the server's data)\n",
                out.c_str());
    return g.is_object() && g.contains("chao") ? 0 : 1;
}
