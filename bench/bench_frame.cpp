// The cost of OnFrame on the game thread: a plain frame, a scan tick with a full upload and
// with a delta, and the worst single frame over a simulated hour while the server is
// unreachable and while it stalls every request for 10 s.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <ctime>
#include <unistd.h>

#include "host/mod_state.h"
#include "net/worker.h"
#include "sim/animals.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/scanner.h"
#include "tools/common/server_process.h"

namespace {

namespace fs = std::filesystem;
constexpr int kScanInterval = 180;

fs::path g_dir;
ServerProcess g_server;
std::string g_key;

void write_config(const std::string& base_url) {
    fs::create_directories(g_dir / "mod");
    std::ofstream(g_dir / "mod" / "config.ini")
        << "BaseUrl=" << base_url << "\nApiKey=" << g_key << "\nScanIntervalFrames=" << kScanInterval
        << "\nFullResyncSeconds=3600\nCommandPollSeconds=3600\nVerbose=false\n";
}

// A fresh game in the garden, loaded with `base_url`; with `held`, played until the server
// holds the session and the first full upload went out.
void start_game(const std::string& base_url, bool held) {
    sim::unload();  // the previous game says goodbye, so the server lets the next one hold the garden
    sim::reset();
    std::string error;
    sim::build_garden(sim::sample_garden(), error);
    sim::enter_garden(1);
    sim::set_save_path("C:\\SA2\\SAVEDATA\\SONIC2B__S01");
    write_config(base_url);
    sim::recording().keep_screen = false;  // the simulator's own bookkeeping is not the mod's cost
    sim::load((g_dir / "mod").c_str());
    // The game loads the garden's animals as the player enters it, behind its loading screen:
    // the reserve file is read (and written back once) there, not in a frame of play.
    sim::game_loads_items(2);
    if (!held) return;
    for (int i = 0; i < 40 * kScanInterval && !(GetHelloResult().held && WorkerIdle()); ++i) {
        sim::frame();
        if (i % kScanInterval == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int i = 0; i < 2 * kScanInterval; ++i) sim::frame();
}

void BM_plain_frame(benchmark::State& state) {
    start_game(g_server.base_url(), true);
    for (auto _ : state) {
        mod_state().scan_frame_counter = 0;  // never reaches the scan tick
        sim::frame();
    }
}

void scan_tick_bench(benchmark::State& state, bool full) {
    start_game(g_server.base_url(), true);
    int slot = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (full) {
            garden_scanner().request_full();
        } else {
            uint8_t v = static_cast<uint8_t>(slot);
            sim::poke(game::addr::chao_slots + 0x800u * (slot % 30) + 0x80, &v, 1);  // one slot changes
            ++slot;
        }
        mod_state().scan_frame_counter = static_cast<uint32_t>(kScanInterval - 1);
        state.ResumeTiming();
        sim::frame();
    }
    state.counters["queued"] = static_cast<double>(link_worker().uploads.size());
}

void BM_scan_tick_full(benchmark::State& state) { scan_tick_bench(state, true); }
void BM_scan_tick_delta(benchmark::State& state) { scan_tick_bench(state, false); }

double thread_cpu_us() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// One simulated hour (216,000 frames) with a Chao changing every few seconds. The worst frame
// in wall time (which includes the machine taking the core away) and in this thread's own
// processor time (which does not).
void worst_frame_of_hour(benchmark::State& state) {
    double worst = 0, worst_cpu = 0;
    for (int i = 0; i < 216000; ++i) {
        if (i % 600 == 0) {
            uint8_t v = static_cast<uint8_t>(i / 600);
            sim::poke(game::addr::chao_slots + 0x800u * ((i / 600) % 30) + 0x80, &v, 1);
        }
        double c0 = thread_cpu_us();
        auto t0 = std::chrono::steady_clock::now();
        sim::frame();
        double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        worst = std::max(worst, us);
        double cpu = thread_cpu_us() - c0;
        if (cpu > worst_cpu) {
            worst_cpu = cpu;
            state.counters["worst_cpu_frame"] = i;
        }
    }
    state.counters["worst_wall_us"] = worst;
    state.counters["worst_cpu_us"] = worst_cpu;
}

void BM_hour_server_unreachable(benchmark::State& state) {
    for (auto _ : state) {
        start_game("http://127.0.0.1:9", false);  // the discard port: nothing listens
        worst_frame_of_hour(state);
    }
}

void BM_hour_server_stalls_10s(benchmark::State& state) {
    for (auto _ : state) {
        start_game(g_server.base_url(), true);
        g_server.admin("POST", "/admin/faults", R"({"delay_seconds":10})");
        worst_frame_of_hour(state);
        g_server.admin("POST", "/admin/faults", "{}");
    }
}

}  // namespace

BENCHMARK(BM_plain_frame);
BENCHMARK(BM_scan_tick_full)->Iterations(2000);
BENCHMARK(BM_scan_tick_delta)->Iterations(2000);
BENCHMARK(BM_hour_server_unreachable)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hour_server_stalls_10s)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    g_dir = fs::temp_directory_path() / ("velmora-bench-frame-" + std::to_string(::getpid()));
    fs::create_directories(g_dir);
    g_server.script = std::string(VELMORA_SOURCE_DIR) + "/tools/sync-server/server.py";
    g_server.db = (g_dir / "server.sqlite").string();
    g_server.test_faults = true;
    g_key = g_server.add_key("bench");
    if (!g_server.start()) {
        std::fprintf(stderr, "bench_frame: the reference server did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sim::unload();
    StopWorker();
    g_server.stop();
    std::error_code ec;
    fs::remove_all(g_dir, ec);
    return 0;
}
