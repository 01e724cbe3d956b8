// The snapshot writer fed with arbitrary game memory: a full scan, more writes, then a delta.
// Each document must be strict JSON (no duplicate keys, valid UTF-8, no NaN) that names exactly
// the occupied slots, sends each Chao in 0..36 once, and in the delta exactly the changed slots.
// The reader's own code (and the standard library's, which it brings in) is kept out of the
// coverage the fuzzer steers by, like the checks below.
#pragma clang attribute push(__attribute__((no_sanitize("coverage"))), apply_to = function)
#include <nlohmann/json.hpp>
#pragma clang attribute pop
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

// The facts the checks need, gathered while the library's strict reader (RFC 8259: no NaN,
// no number beyond a double, ill-formed UTF-8 or lone surrogates, nothing after the value)
// walks the text; the reader does not refuse duplicate keys, so they are refused here.
struct Facts : nlohmann::json_sax<nlohmann::json> {
    enum Ctx { None, Top, OccupiedArray, OccupiedItem, ChaoArray, ChaoItem, ChaoSlot, TreesArray, Character, Garden };
    struct Open {
        Ctx ctx, next;  // this container's place; the place of the value that comes next in it
        size_t keys;    // where its keys begin in `keys`
    };
    std::vector<Open> open;
    std::vector<std::string> keys;  // the keys of the open objects, innermost last
    bool occupied_array = false, chao_array = false, trees_array = false;
    std::vector<int64_t> occupied, slots;  // the occupied_slots list; each chao's "slot"
    size_t chao = 0, trees = 0;
    int64_t character = INT64_MIN, garden = INT64_MIN;

    NO_COVERAGE Ctx place() {  // the place of the value starting now, counted in its array
        if (open.empty()) return Top;
        chao += open.back().ctx == ChaoArray;
        trees += open.back().ctx == TreesArray;
        return open.back().next;
    }
    NO_COVERAGE bool scalar() { return place() == None; }
    NO_COVERAGE bool integer(int64_t v) {
        Ctx c = place();
        if (c == OccupiedItem) occupied.push_back(v);
        else if (c == ChaoSlot) slots.push_back(v);
        else if (c == Character || c == Garden) (c == Character ? character : garden) = v;
        return c == None || c == OccupiedItem || c == ChaoSlot || c == Character || c == Garden;
    }
    NO_COVERAGE bool null() override { return scalar(); }
    NO_COVERAGE bool boolean(bool) override { return scalar(); }
    NO_COVERAGE bool number_integer(number_integer_t v) override { return integer(v); }
    NO_COVERAGE bool number_unsigned(number_unsigned_t v) override { return v <= INT64_MAX && integer(int64_t(v)); }
    NO_COVERAGE bool number_float(number_float_t, const string_t&) override { return scalar(); }
    NO_COVERAGE bool string(string_t&) override { return scalar(); }
    NO_COVERAGE bool binary(binary_t&) override { return false; }
    NO_COVERAGE bool start_object(std::size_t) override {
        Ctx c = place();
        if (c != None && c != Top && c != ChaoItem) return false;
        open.push_back({c, None, keys.size()});
        return true;
    }
    NO_COVERAGE bool key(string_t& k) override {
        Open& o = open.back();
        for (size_t i = o.keys; i < keys.size(); ++i)
            if (keys[i] == k) return false;
        keys.push_back(k);
        o.next = o.ctx == ChaoItem ? (k == "slot" ? ChaoSlot : None)
               : o.ctx != Top ? None
               : k == "occupied_slots" ? OccupiedArray : k == "chao" ? ChaoArray : k == "trees" ? TreesArray
               : k == "active_character" ? Character : k == "active_garden" ? Garden : None;
        return true;
    }
    NO_COVERAGE bool end_object() override {
        keys.resize(open.back().keys);
        return open.pop_back(), true;
    }
    NO_COVERAGE bool start_array(std::size_t) override {
        Ctx c = place();
        if (c != None && c != OccupiedArray && c != ChaoArray && c != TreesArray) return false;
        occupied_array |= c == OccupiedArray;
        chao_array |= c == ChaoArray;
        trees_array |= c == TreesArray;
        open.push_back({c, c == OccupiedArray ? OccupiedItem : c == ChaoArray ? ChaoItem : None, keys.size()});
        return true;
    }
    NO_COVERAGE bool end_array() override { return open.pop_back(), true; }
    NO_COVERAGE bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

NO_COVERAGE std::vector<int> occupied_in_memory() {
    std::vector<int> out;
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

// `expected` is the set of slots that must be sent; null for a full document (every occupied one).
NO_COVERAGE void check_document(const ScanResult& r, const std::vector<int>& occupied, const std::set<int>* expected,
                                bool trees_expected) {
    Facts f;
    if (!nlohmann::json::sax_parse(r.payload, &f)) abort();
    if (!f.occupied_array || !f.chao_array) abort();
    if (f.occupied != std::vector<int64_t>(occupied.begin(), occupied.end())) abort();
    if (r.occupied != static_cast<int>(occupied.size())) abort();

    // A chao object has at most one "slot" (no key twice), so slots.size() == chao means one each.
    if (f.slots.size() != f.chao || r.chao_sent != static_cast<int>(f.chao)) abort();
    std::set<int> sent;
    for (int64_t slot : f.slots)
        if (slot < 0 || slot >= game::kChaoSlotCount || !sent.insert(static_cast<int>(slot)).second) abort();
    if (sent != (expected ? *expected : std::set<int>(occupied.begin(), occupied.end()))) abort();

    if (f.trees_array != trees_expected) abort();
    if (trees_expected && f.trees != static_cast<size_t>(game::kTreeCount)) abort();
    if (f.character < -1 || f.character > 16 || f.character == 11 || f.garden < 0 || f.garden > 3) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (sim::reset(), true);
    (void)ready;
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
    check_document(first, occupied_in_memory(), nullptr, true);

    // The delta: the slots whose image changed are sent, trees only when one changed.
    std::vector<uint32_t> before = s.image_hashes;
    std::vector<uint8_t> trees_before(kTreeBytes), trees_after(kTreeBytes);
    sim::peek(game::addr::trees, trees_before.data(), kTreeBytes);
    apply_writes(in, true);
    ScanResult second = scan_garden(s, 101000);
    std::vector<int> occupied = occupied_in_memory();
    std::set<int> changed;
    for (int slot : occupied)
        if (s.image_hashes[static_cast<size_t>(slot)] != before[static_cast<size_t>(slot)]) changed.insert(slot);
    sim::peek(game::addr::trees, trees_after.data(), kTreeBytes);
    bool trees_changed = trees_before != trees_after;
    if (!second.produced) {
        if (second.slots_changed != 0 || trees_changed) abort();
        return 0;
    }
    if (second.full) abort();
    check_document(second, occupied, &changed, trees_changed);
    return 0;
}
