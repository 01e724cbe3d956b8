// The snapshot writer fed with arbitrary game memory: a full scan, more writes, then a delta.
// Each document must be strict JSON (no duplicate keys, valid UTF-8, no NaN) that names exactly
// the occupied slots, sends each Chao in 0..36 once, and in the delta exactly the changed slots.
// The reader's own code (and the standard library's, which it brings in) is kept out of the
// coverage the fuzzer steers by, like the checks below.
#pragma clang attribute push(__attribute__((no_sanitize("coverage"))), apply_to = function)
#include <nlohmann/json.hpp>
#pragma clang attribute pop
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "snapshot/scanner.h"

namespace {

constexpr uint32_t kSlotBytes = game::kChaoSlotCount * ChaoRecord::size;
constexpr uint32_t kTreeBytes = game::kTreeCount * game::kTreeRecordSize;

struct Input {
    const uint8_t* p;
    size_t left;
    uint8_t byte() { return left ? (--left, *p++) : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(byte()) << (8 * i);
        return v;
    }
};

// One write: a target (slot 0..36, or 37 for the trees; the top bit defers it until after the
// first scan), an offset, a length and the bytes.
void apply_writes(Input in, bool deferred) {
    while (in.left >= 4) {
        uint8_t target = in.byte();
        uint32_t offset = in.byte() | (uint32_t(in.byte()) << 8);
        size_t len = in.byte();
        if (len > in.left) len = in.left;
        const uint8_t* bytes = in.p;
        in.p += len;
        in.left -= len;
        if (((target & 0x80) != 0) != deferred) continue;
        uint32_t index = (target & 0x7F) % (game::kChaoSlotCount + 1);
        bool slot = index < static_cast<uint32_t>(game::kChaoSlotCount);
        // Most of a record is never read; aim at what a scan reads.
        offset %= slot ? ChaoRecord::read_size : kTreeBytes;
        uint32_t room = slot ? ChaoRecord::size : kTreeBytes;
        game_addr base = slot ? game::addr::chao_slots + index * ChaoRecord::size : game::addr::trees;
        if (len > room - offset) len = room - offset;
        sim::poke(base + offset, bytes, len);
    }
}

// The checks' own code is left out of the coverage the fuzzer steers by: it is not what is
// being explored, and its comparisons would dominate the run time.
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))

NO_COVERAGE std::vector<int64_t> occupied_in_memory() {
    std::vector<int64_t> out;
    for (int i = 0; i < game::kChaoSlotCount; ++i) {
        int8_t type = 0;
        sim::peek(game::addr::chao_slots + static_cast<uint32_t>(i) * ChaoRecord::size + ChaoRecord::type, &type, 1);
        if (type != 0) out.push_back(i);
    }
    return out;
}

// Noise from the input's seed (splitmix64), with about a third of the slots made free when
// asked, so that free and occupied records meet in one scan.
NO_COVERAGE void fill_noise(std::vector<uint8_t>& noise, uint64_t seed, bool free_some) {
    auto next = [&seed]() NO_COVERAGE {
        uint64_t z = (seed += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    for (size_t i = 0; i + 8 <= noise.size(); i += 8) {
        uint64_t v = next();
        std::memcpy(&noise[i], &v, 8);
    }
    if (free_some)
        for (int i = 0; i < game::kChaoSlotCount; ++i)
            if (next() % 3 == 0) noise[static_cast<size_t>(i) * ChaoRecord::size + ChaoRecord::type] = 0;
}

// The library's reader is strict (RFC 8259: no NaN, no number beyond a double, ill-formed UTF-8
// or lone surrogates, nothing after the value) but keeps the last of two equal keys: the
// callback refuses them. `expected` is the set of slots that must be sent.
NO_COVERAGE void check_document(const ScanResult& r, const std::vector<int64_t>& occupied,
                                const std::set<int64_t>& expected, bool trees_expected) try {
    using json = nlohmann::json;
    // The keys of the object open at each depth; only what the checks read is kept in the tree.
    std::vector<std::vector<std::string>> keys(2);
    auto unique_keys = [&keys](int depth, json::parse_event_t e, json& v) NO_COVERAGE {
        const size_t d = static_cast<size_t>(depth);
        if (e == json::parse_event_t::object_start) keys.resize(std::max(keys.size(), d + 2)), keys[d + 1].clear();
        if (e != json::parse_event_t::key) return true;
        const std::string& k = v.get_ref<const std::string&>();
        if (std::find(keys[d].begin(), keys[d].end(), k) != keys[d].end()) abort();
        keys[d].push_back(k);
        return depth == 1 || (depth == 3 && k == "slot");
    };
    const json doc = json::parse(r.payload, unique_keys);
    if (doc.at("occupied_slots").get<std::vector<int64_t>>() != occupied) abort();
    if (r.occupied != static_cast<int>(occupied.size()) || !doc.at("chao").is_array()) abort();
    std::set<int64_t> sent;  // each Chao once
    for (const json& c : doc["chao"])
        if (!sent.insert(c.at("slot").get<int64_t>()).second) abort();
    if (sent != expected || r.chao_sent != static_cast<int>(doc["chao"].size())) abort();
    if (doc.contains("trees") != trees_expected) abort();
    if (trees_expected && (!doc["trees"].is_array() || doc["trees"].size() != game::kTreeCount)) abort();
    int64_t character = doc.at("active_character"), garden = doc.at("active_garden");
    if (character < -1 || character > 16 || character == 11 || garden < 0 || garden > 3) abort();
} catch (const std::exception&) {
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static bool ready = (sim::reset(), true);
    static std::vector<uint8_t> noise(kSlotBytes);
    Input in{data, size};
    uint8_t flags = in.byte();
    uint32_t seed = in.u32();

    // The base: zeros, or noise.
    if (flags & 1) fill_noise(noise, seed, (flags & 2) != 0);
    else std::fill(noise.begin(), noise.end(), 0);
    sim::poke(game::addr::chao_slots, noise.data(), noise.size());
    sim::poke(game::addr::trees, noise.data(), kTreeBytes);

    GardenContext context;
    context.in_garden = (flags & 4) != 0;
    context.active_garden = static_cast<int8_t>(in.byte());
    context.active_character = static_cast<int32_t>(in.u32());
    context.lobby_unlocks = static_cast<int32_t>(in.u32());
    context.rings = static_cast<int32_t>(in.u32());
    context.emblems = in.byte();

    apply_writes(in, false);
    GardenScanner s;
    s.begin_session("0123456789abcdef", "0.1.13", 60);
    feed_scanner(s, context, std::string());
    ScanResult first = scan_garden(s, 100000);
    if (!first.produced || !first.full) abort();
    std::vector<int64_t> occupied = occupied_in_memory();
    check_document(first, occupied, std::set<int64_t>(occupied.begin(), occupied.end()), true);

    // The delta: the slots whose image changed are sent, trees only when one changed.
    std::vector<uint32_t> before = s.image_hashes;
    std::vector<uint8_t> trees_before(kTreeBytes), trees_after(kTreeBytes);
    sim::peek(game::addr::trees, trees_before.data(), kTreeBytes);
    apply_writes(in, true);
    ScanResult second = scan_garden(s, 101000);
    occupied = occupied_in_memory();
    std::set<int64_t> changed;
    for (int64_t slot : occupied)
        if (s.image_hashes[static_cast<size_t>(slot)] != before[static_cast<size_t>(slot)]) changed.insert(slot);
    sim::peek(game::addr::trees, trees_after.data(), kTreeBytes);
    bool trees_changed = trees_before != trees_after;
    if (!second.produced) {
        if (second.slots_changed != 0 || trees_changed) abort();
        return 0;
    }
    if (second.full) abort();
    check_document(second, occupied, changed, trees_changed);
    return 0;
}
