// The snapshot writer fed with arbitrary game memory: a full scan, more writes, then a delta.
// Each document must be strict JSON (no duplicate keys, valid UTF-8, no NaN) that names exactly
// the occupied slots, sends each Chao in 0..36 once, and in the delta exactly the changed slots.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
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

// A strict JSON reader (RFC 8259: no NaN or bare words, no leading zeros, no number too large
// for a double, no control bytes, broken escapes or ill-formed UTF-8 in strings, no duplicate
// keys as written, nothing after the value) that keeps only the facts the checks need. Written
// out rather than taken from a library: the library's reader halves the target's speed.
struct Facts {
    bool occupied_array = false, chao_array = false, trees_array = false;
    std::vector<int64_t> occupied;  // the occupied_slots list
    std::vector<int64_t> slots;     // each chao's "slot"
    size_t chao = 0, trees = 0;
    int64_t character = INT64_MIN, garden = INT64_MIN;
};

class StrictJson {
public:
    StrictJson(const std::string& text, Facts& facts) : p_(text.data()), end_(text.data() + text.size()), f_(facts) {}

    NO_COVERAGE bool document() {
        ws();
        if (!at('{') || !value(Ctx::Top, 0)) return false;
        ws();
        return p_ == end_;
    }

private:
    enum class Ctx { None, Top, OccupiedArray, OccupiedItem, ChaoArray, ChaoItem, ChaoSlot, TreesArray, Character,
                     Garden };

    NO_COVERAGE static bool wants_int(Ctx c) {
        return c == Ctx::OccupiedItem || c == Ctx::ChaoSlot || c == Ctx::Character || c == Ctx::Garden;
    }
    NO_COVERAGE void ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    NO_COVERAGE bool at(char c) const { return p_ < end_ && *p_ == c; }
    NO_COVERAGE bool digit() const { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; }
    NO_COVERAGE bool digits() {
        if (!digit()) return false;
        while (digit()) ++p_;
        return true;
    }
    NO_COVERAGE bool literal(const char* word) {
        size_t n = std::strlen(word);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        return p_ += n, true;
    }

    NO_COVERAGE bool value(Ctx ctx, int depth) {
        ws();
        if (depth > 64 || p_ == end_) return false;
        char c = *p_;
        if (wants_int(ctx) && c != '-' && !(c >= '0' && c <= '9')) return false;
        if ((ctx == Ctx::OccupiedArray || ctx == Ctx::ChaoArray || ctx == Ctx::TreesArray) && c != '[') return false;
        if ((ctx == Ctx::Top || ctx == Ctx::ChaoItem) && c != '{') return false;
        if (c == '{') return object(ctx, depth);
        if (c == '[') return array(ctx, depth);
        if (c == '"') return string();
        if (c == 't' || c == 'f' || c == 'n') return literal(c == 't' ? "true" : c == 'f' ? "false" : "null");
        return number(ctx);
    }

    NO_COVERAGE bool object(Ctx ctx, int depth) {
        ++p_;
        const size_t base = keys_.size();  // the keys of the objects being read, innermost last
        ws();
        if (at('}')) return ++p_, true;
        size_t slot_keys = 0;
        for (;;) {
            ws();
            const char* key_start = p_ + 1;
            if (!at('"') || !string()) return false;
            std::string_view key(key_start, static_cast<size_t>(p_ - 1 - key_start));
            for (size_t k = base; k < keys_.size(); ++k)
                if (keys_[k] == key) return false;
            keys_.push_back(key);
            ws();
            if (!at(':')) return false;
            ++p_;
            Ctx child = Ctx::None;
            if (ctx == Ctx::Top) {
                child = key == "occupied_slots" ? Ctx::OccupiedArray : key == "chao" ? Ctx::ChaoArray
                      : key == "trees" ? Ctx::TreesArray : key == "active_character" ? Ctx::Character
                      : key == "active_garden" ? Ctx::Garden : Ctx::None;
            } else if (ctx == Ctx::ChaoItem && key == "slot") {
                child = Ctx::ChaoSlot;
                ++slot_keys;
            }
            if (!value(child, depth + 1)) return false;
            ws();
            if (at(',')) { ++p_; continue; }
            if (!at('}')) return false;
            ++p_;
            keys_.resize(base);
            return ctx != Ctx::ChaoItem || slot_keys == 1;
        }
    }

    NO_COVERAGE bool array(Ctx ctx, int depth) {
        ++p_;
        Ctx item = Ctx::None;
        if (ctx == Ctx::OccupiedArray) item = Ctx::OccupiedItem, f_.occupied_array = true;
        if (ctx == Ctx::ChaoArray) item = Ctx::ChaoItem, f_.chao_array = true;
        if (ctx == Ctx::TreesArray) f_.trees_array = true;
        ws();
        if (at(']')) return ++p_, true;
        for (;;) {
            if (!value(item, depth + 1)) return false;
            if (ctx == Ctx::ChaoArray) ++f_.chao;
            if (ctx == Ctx::TreesArray) ++f_.trees;
            ws();
            if (at(',')) { ++p_; continue; }
            if (!at(']')) return false;
            return ++p_, true;
        }
    }

    NO_COVERAGE bool number(Ctx ctx) {
        const char* start = p_;
        bool negative = at('-');
        if (negative) ++p_;
        if (at('0')) ++p_;
        else if (!digits()) return false;
        bool integer = true;
        if (at('.') && (++p_, integer = false, !digits())) return false;
        if ((at('e') || at('E')) && (++p_, integer = false, (at('+') || at('-')) && ++p_, !digits())) return false;
        // A number no reader can hold (1e999) is as broken as a NaN.
        if (!wants_int(ctx)) return std::isfinite(std::strtod(std::string(start, p_).c_str(), nullptr));
        size_t count = static_cast<size_t>(p_ - start) - (negative ? 1 : 0);
        if (!integer || count > 18) return false;
        int64_t v = 0;
        for (const char* q = start + (negative ? 1 : 0); q < p_; ++q) v = v * 10 + (*q - '0');
        if (negative) v = -v;
        if (ctx == Ctx::OccupiedItem) f_.occupied.push_back(v);
        else if (ctx == Ctx::ChaoSlot) f_.slots.push_back(v);
        else (ctx == Ctx::Character ? f_.character : f_.garden) = v;
        return true;
    }

    NO_COVERAGE int hex4() {
        if (end_ - p_ < 4) return -1;
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p_++;
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }

    // A string at p_ (on its opening quote), up to and past its closing quote.
    NO_COVERAGE bool string() {
        for (++p_;;) {
            if (p_ == end_) return false;
            unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') return ++p_, true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++p_ == end_) return false;
                char e = *p_++;
                if (e == 'u') {  // a lone or reversed surrogate is not a character
                    int u = hex4();
                    if (u < 0 || (u >= 0xDC00 && u <= 0xDFFF)) return false;
                    if (u >= 0xD800 && u <= 0xDBFF) {
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
                        p_ += 2;
                        int low = hex4();
                        if (low < 0xDC00 || low > 0xDFFF) return false;
                    }
                } else if (!std::strchr("\"\\/bfnrt", e) || e == '\0') {
                    return false;
                }
                continue;
            }
            // UTF-8: the shortest form only, no surrogates, nothing above U+10FFFF.
            int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
            if (extra < 0 || end_ - p_ <= extra) return false;
            uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
            for (int i = 1; i <= extra; ++i) {
                unsigned char cc = static_cast<unsigned char>(p_[i]);
                if ((cc & 0xC0) != 0x80) return false;
                cp = (cp << 6) | (cc & 0x3F);
            }
            static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
            if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            p_ += extra + 1;
        }
    }

    const char* p_;
    const char* end_;
    Facts& f_;
    std::vector<std::string_view> keys_;
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
    if (!StrictJson(r.payload, f).document()) abort();
    if (!f.occupied_array || !f.chao_array) abort();
    if (f.occupied != std::vector<int64_t>(occupied.begin(), occupied.end())) abort();
    if (r.occupied != static_cast<int>(occupied.size())) abort();

    // Each chao object has exactly one "slot" (checked while reading), so slots.size() == chao.
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
