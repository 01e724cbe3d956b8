// Snapshots through the sync worker to the reference server over loopback: enqueue-to-accepted
// latency (median, p99) and the rate it allows, for a full and a delta snapshot, with the
// transport's own share (the same request sent directly).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/log.h"
#include "net/http_transport.h"
#include "net/worker.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/scanner.h"
#include "tools/common/server_process.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSession = "0123456789abcdef";

double us_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Stats {
    double median = 0, p99 = 0, mean = 0;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    Stats s;
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    for (double x : v) s.mean += x;
    s.mean /= static_cast<double>(v.size());
    return s;
}

bool wait_idle() {
    auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        if (WorkerIdle()) return true;
        std::this_thread::yield();
    }
    return false;
}

// The sample garden's full document and a one-slot delta, as the scanner writes them.
void payloads(std::string& full, std::string& delta) {
    sim::reset();
    std::string error;
    sim::build_garden(sim::sample_garden(), error);
    sim::enter_garden(1);
    GardenScanner scanner;
    scanner.begin_session(kSession, "0.1.19", 3600);
    full = scan_garden(scanner, 1000).payload;
    uint8_t v = 77;
    sim::poke(game::addr::chao_slots + 0x80, &v, 1);
    delta = scan_garden(scanner, 2000).payload;
}

void measure(const char* name, const std::string& payload, bool full, const SyncConfig& config, int rounds) {
    std::vector<double> through_worker, direct;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        EnqueueUpload(payload, full, {});
        if (!wait_idle()) {
            std::fprintf(stderr, "bench_link: the worker did not finish\n");
            return;
        }
        through_worker.push_back(us_since(t0));
    }
    for (int i = 0; i < rounds; ++i) {
        int32_t status = 0;
        auto t0 = Clock::now();
        SendRequest(config, kSession, "POST", config.SyncPath, payload, nullptr, status);
        direct.push_back(us_since(t0));
    }
    Stats w = stats(through_worker), d = stats(direct);
    std::printf("%-6s %7zu bytes  enqueue-to-accepted median %8.0f us  p99 %8.0f us  %6.0f snapshots/s  "
                "transport alone median %8.0f us (%.0f%% of it)\n",
                name, payload.size(), w.median, w.p99, 1e6 / w.mean, d.median, 100.0 * d.median / w.median);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    fs::path dir = fs::temp_directory_path() / ("velmora-bench-link-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ServerProcess server;
    server.script = std::string(VELMORA_SOURCE_DIR) + "/tools/sync-server/server.py";
    server.db = (dir / "server.sqlite").string();
    std::string key = server.add_key("bench");
    if (!server.start()) {
        std::fprintf(stderr, "bench_link: the reference server did not start\n");
        return 1;
    }
    std::string full, delta;
    payloads(full, delta);

    ModLog::set_log_enabled(false);
    SyncConfig c;
    ParsedBaseUrl u;
    ParseBaseUrl(server.base_url(), u);
    c.BaseUrl = u.url;
    c.ServerHost = u.host;
    c.ServerPort = u.port;
    c.UseHttps = false;
    c.ApiKey = key;
    c.EnableWriteback = false;  // no command polls in between
    StartWorker(c);
    BeginSession(kSession);
    wait_idle();
    if (!GetHelloResult().held) {
        std::fprintf(stderr, "bench_link: the server did not hold the session\n");
        return 1;
    }
    std::printf("%d rounds each, reference server on loopback (Python, sqlite with synchronous=FULL)\n", rounds);
    measure("full", full, true, c, rounds);
    measure("delta", delta, false, c, rounds);

    EndSession(kSession);
    StopWorker();
    WaitWorkerExit(5000);
    server.stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
