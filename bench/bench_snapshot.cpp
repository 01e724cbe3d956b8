// One scan tick of the garden on the game thread: full, delta with one changed slot and
// heartbeat, against a plain copy of the same game bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/game.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"

namespace {

constexpr size_t kGardenBytes = game::kChaoSlotCount * game::kChaoRecordSize;
constexpr size_t kTreeBytes = game::kTreeCount * game::kTreeRecordSize;

void setup_garden() {
    static bool done = false;
    if (done) return;
    done = true;
    sim::reset();
    std::string error;
    if (!sim::build_garden(sim::sample_garden(), error)) {
        fprintf(stderr, "bench: %s\n", error.c_str());
        std::abort();
    }
}

GardenScanner fresh_scanner(uint64_t now) {
    GardenScanner s;
    // The longest resync interval, so that only what a benchmark does makes a payload due.
    s.begin_session("0123456789abcdef", "0.1.19", 2147483647);
    feed_scanner(s, read_garden_context(), "");
    scan_garden(s, now);
    return s;
}

void BM_memcpy_baseline(benchmark::State& state) {
    setup_garden();
    std::vector<unsigned char> copy(kGardenBytes + kTreeBytes);
    for (auto _ : state) {
        memcpy(copy.data(), game::game_ptr<const unsigned char>(game::addr::chao_slots), kGardenBytes);
        memcpy(copy.data() + kGardenBytes, game::game_ptr<const unsigned char>(game::addr::trees), kTreeBytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (kGardenBytes + kTreeBytes)));
}

// Every Chao's timer moves between ticks, as it does in a live garden, so every content hash
// is computed anew; the identity bytes stay, as they do.
void touch_every_chao() {
    for (int i = 0; i < game::kChaoSlotCount; ++i) {
        game_addr timer = game::addr::chao_slots + static_cast<uint32_t>(i) * game::kChaoRecordSize +
                          ChaoRecord::timescale_timer;
        game::write<int32_t>(timer, game::read<int32_t>(timer) + 1);
    }
}

void BM_full_tick(benchmark::State& state) {
    setup_garden();
    uint64_t now = 100000;
    GardenScanner s = fresh_scanner(now);
    size_t bytes = 0;
    for (auto _ : state) {
        touch_every_chao();
        s.request_full();
        ScanResult r = scan_garden(s, now);
        bytes = r.payload.size();
        benchmark::DoNotOptimize(r.payload.data());
    }
    state.counters["payload_bytes"] = static_cast<double>(bytes);
}

// The first scan of a session: nothing remembered, every fingerprint and hash computed.
void BM_full_tick_cold(benchmark::State& state) {
    setup_garden();
    uint64_t now = 100000;
    GardenScanner s;
    size_t bytes = 0;
    for (auto _ : state) {
        s.begin_session("0123456789abcdef", "0.1.19", 60);
        feed_scanner(s, read_garden_context(), "");
        ScanResult r = scan_garden(s, now);
        bytes = r.payload.size();
        benchmark::DoNotOptimize(r.payload.data());
    }
    state.counters["payload_bytes"] = static_cast<double>(bytes);
}

void BM_delta_tick_one_slot(benchmark::State& state) {
    setup_garden();
    uint64_t now = 100000;
    GardenScanner s = fresh_scanner(now);
    game_addr happiness = game::addr::chao_slots + 5 * game::kChaoRecordSize + ChaoRecord::happiness;
    size_t bytes = 0;
    for (auto _ : state) {
        game::write<int16_t>(happiness, static_cast<int16_t>(game::read<int16_t>(happiness) + 1));
        ScanResult r = scan_garden(s, now);
        bytes = r.payload.size();
        if (r.chao_sent != 1 || r.full) state.SkipWithError("not a one-slot delta");
        benchmark::DoNotOptimize(r.payload.data());
    }
    state.counters["payload_bytes"] = static_cast<double>(bytes);
}

void BM_heartbeat_tick(benchmark::State& state) {
    setup_garden();
    uint64_t now = 100000;
    GardenScanner s = fresh_scanner(now);
    size_t bytes = 0;
    for (auto _ : state) {
        now += kHeartbeatMs;
        ScanResult r = scan_garden(s, now);
        bytes = r.payload.size();
        if (!r.produced || r.chao_sent != 0) state.SkipWithError("not a heartbeat");
        benchmark::DoNotOptimize(r.payload.data());
    }
    state.counters["payload_bytes"] = static_cast<double>(bytes);
}

void BM_quiet_tick(benchmark::State& state) {
    setup_garden();
    uint64_t now = 100000;
    GardenScanner s = fresh_scanner(now);
    for (auto _ : state) {
        ScanResult r = scan_garden(s, now);
        if (r.produced) state.SkipWithError("a payload was produced");
        benchmark::DoNotOptimize(r.slots_changed);
    }
}

BENCHMARK(BM_memcpy_baseline);
BENCHMARK(BM_full_tick);
BENCHMARK(BM_full_tick_cold);
BENCHMARK(BM_delta_tick_one_slot);
BENCHMARK(BM_heartbeat_tick);
BENCHMARK(BM_quiet_tick);

// Collects each run's time per iteration for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    struct Time {
        std::string name;
        double real_ns, cpu_ns;
    };
    std::vector<Time> times;
    void ReportRuns(const std::vector<Run>& runs) override {
        // One figure per benchmark: the median when repetitions were asked for, else the run.
        for (const Run& r : runs) {
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            bool single = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
            if (!(median || single) || r.iterations <= 0) continue;
            times.push_back({r.run_name.function_name, r.real_accumulated_time * 1e9 / static_cast<double>(r.iterations),
                             r.cpu_accumulated_time * 1e9 / static_cast<double>(r.iterations)});
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double real_base = 0, cpu_base = 0;
    for (auto& t : reporter.times)
        if (t.name == "BM_memcpy_baseline") real_base = t.real_ns, cpu_base = t.cpu_ns;
    printf("\nsnapshot ticks: ns per tick, and ratio to copying the same %zu game bytes\n",
           kGardenBytes + kTreeBytes);
    printf("  %-26s %12s %8s %12s %8s\n", "", "wall ns", "ratio", "cpu ns", "ratio");
    for (auto& t : reporter.times)
        printf("  %-26s %12.0f %7.1fx %12.0f %7.1fx\n", t.name.c_str(), t.real_ns,
               real_base > 0 ? t.real_ns / real_base : 0.0, t.cpu_ns, cpu_base > 0 ? t.cpu_ns / cpu_base : 0.0);
    benchmark::Shutdown();
    return 0;
}
