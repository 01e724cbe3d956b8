#include "sim/game_code.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr uint32_t kPrime = game_memory::kFnvPrime;

constexpr uint32_t inverse_of_prime() {
    uint32_t x = kPrime;  // Newton's iteration doubles the correct low bits each step
    for (int i = 0; i < 5; ++i) x *= 2u - kPrime * x;
    return x;
}
constexpr uint32_t kPrimeInverse = inverse_of_prime();
static_assert(kPrime * kPrimeInverse == 1u);

// Instructions the system checks by form, and calls it expects at hook sites.
struct Fixed {
    game_addr address;
    std::vector<uint8_t> bytes;
};

std::vector<Fixed> fixed_code() {
    using namespace lifespan;
    std::vector<Fixed> f;
    // mov [esi+0x8C], ax / mov [esi+0x8A], ax
    f.push_back({kSite1, {0x66, 0x89, 0x86, 0x8C, 0x00, 0x00, 0x00}});
    f.push_back({kSite2, {0x66, 0x89, 0x86, 0x8A, 0x00, 0x00, 0x00}});
    std::vector<uint8_t> ageing{0x51};
    ageing.insert(ageing.end(), kSite3Tail, kSite3Tail + 15);
    f.push_back({kSite3, ageing});
    for (int s = 0; s < 2; ++s) f.push_back({kHookSites[s], {kHookSiteBefore[s], kHookSiteBefore[s] + 5}});
    // The guarded routine R: xor eax, eax; ret (the model answers for it).
    f.push_back({kGuardedRoutine, {0x31, 0xC0, 0xC3}});
    // The animal reserve's five call sites, as the game calls its own routines there.
    const std::pair<game_addr, game_addr> calls[] = {{0x0052B3C2, game::addr::discard_item},
                                                     {0x00549439, game::addr::alloc_item_record},
                                                     {0x00549468, game::addr::alloc_item_record},
                                                     {0x0052EBCE, game::addr::load_items},
                                                     {0x0052F098, game::addr::store_items}};
    for (const auto& [site, target] : calls) {
        uint8_t call[5];
        game_memory::encode_call_rel32(site, target, call);
        f.push_back({site, {call, call + 5}});
    }
    return f;
}

std::vector<CodeRange> build_ranges() {
    std::vector<CodeRange> r;
    // Inner ranges before the ranges that contain them: the outer one is steered last.
    for (const auto& c : game_memory::kStorageCode) r.push_back({c.address, c.length, c.expected});
    r.push_back({0x00545600, 0x18, 0xA14CFF28});  // animal reserve's own checks
    r.push_back({lifespan::kRebirthRoutine, lifespan::kRebirthRoutineLength, lifespan::kRebirthFingerprint});
    r.push_back({lifespan::kHelperRoutine, lifespan::kHelperRoutineLength, lifespan::kHelperFingerprint});
    r.push_back({lifespan::kSetRoutine, lifespan::kSetRoutineLength, lifespan::kSetRoutineFingerprint});
    r.push_back({0x00795364, 12, 0x29E030F8});  // Game Boy menu label code
    r.push_back({0x00795390, 58, 0x1D06AF6A});
    std::stable_sort(r.begin(), r.end(), [](const CodeRange& a, const CodeRange& b) { return a.length < b.length; });
    return r;
}

struct Image {
    std::vector<CodeRange> ranges;
    std::vector<Fixed> chunks;  // contiguous runs to poke
};

uint8_t filler(game_addr address) {
    uint32_t x = address * 2654435761u;  // any fixed, code-looking noise
    x ^= x >> 15;
    return static_cast<uint8_t>(x * 2246822519u >> 24);
}

Image build_image() {
    Image image;
    image.ranges = build_ranges();
    std::map<game_addr, uint8_t> bytes;
    for (const Fixed& f : fixed_code())
        for (size_t i = 0; i < f.bytes.size(); ++i) bytes[f.address + static_cast<game_addr>(i)] = f.bytes[i];
    for (const CodeRange& range : image.ranges) {
        std::vector<uint8_t> code(range.length);
        for (uint32_t i = 0; i < range.length; ++i) {
            auto it = bytes.find(range.address + i);
            code[i] = it != bytes.end() ? it->second : filler(range.address + i);
        }
        // The last five bytes are free in every range: nothing fixed lies at a range's end.
        size_t window = range.length - 4;
        for (size_t i = window - 1; i < range.length; ++i)
            if (bytes.count(range.address + static_cast<game_addr>(i))) {
                std::fprintf(stderr, "sim: no free bytes at the end of %08x\n", range.address);
                std::abort();
            }
        if (game_memory::fnv1a32(code.data(), code.size()) != range.fnv1a &&
            !steer_fnv1a(code.data(), code.size(), window, range.fnv1a)) {
            std::fprintf(stderr, "sim: cannot steer %08x\n", range.address);
            std::abort();
        }
        for (uint32_t i = 0; i < range.length; ++i) bytes[range.address + i] = code[i];
    }
    for (const auto& [address, b] : bytes) {
        if (image.chunks.empty() || image.chunks.back().address + image.chunks.back().bytes.size() != address)
            image.chunks.push_back({address, {}});
        image.chunks.back().bytes.push_back(b);
    }
    return image;
}

const Image& image() {
    static const Image built = build_image();
    return built;
}

RebirthModel g_rebirth;

uint32_t guarded(uint32_t task) {
    ++g_rebirth.guarded_calls;
    return g_rebirth.guarded_answer;
}

// One of N's call sites, run as the bytes there say.
uint32_t run_call_site(game_addr site, uint32_t eax) {
    uint8_t call[5];
    peek(site, call, sizeof call);
    game_addr target = 0;
    if (game_memory::decode_rel32(site, call, game_memory::kOpCallRel32, target)) {
        if (target == lifespan::kGuardedRoutine) return guarded(eax);
        // What the gate's machine code does.
        if (target == kGateAddress) return eax != 0 && eax == velmora_rebirth_authorized ? 1 : guarded(eax);
    }
    ++g_rebirth.foreign_calls;
    return 0;
}

}  // namespace

bool steer_fnv1a(uint8_t* bytes, size_t length, size_t window, uint32_t target) {
    if (window + 4 > length || window == 0) return false;
    // The state after the window, worked back from the target over the bytes behind it.
    uint32_t after = target;
    for (size_t i = length; i-- > window + 4;) after = (after * kPrimeInverse) ^ bytes[i];
    // Meet in the middle: the states two bytes forward from the window's start, bucketed by
    // their top 16 bits, against the states two bytes back from its end.
    std::vector<uint32_t> forward(65536), bucket_start(65537), order(65536);
    for (int attempt = 0; attempt < 256; ++attempt) {
        bytes[window - 1] = static_cast<uint8_t>(bytes[window - 1] + (attempt ? 1 : 0));
        uint32_t before = game_memory::fnv1a32(bytes, window);
        std::fill(bucket_start.begin(), bucket_start.end(), 0);
        for (uint32_t v = 0; v < 65536; ++v) {
            forward[v] = ((before ^ (v & 0xFF)) * kPrime ^ (v >> 8)) * kPrime;
            ++bucket_start[(forward[v] >> 16) + 1];
        }
        for (size_t b = 1; b < bucket_start.size(); ++b) bucket_start[b] += bucket_start[b - 1];
        std::vector<uint32_t> fill(bucket_start.begin(), bucket_start.end() - 1);
        for (uint32_t v = 0; v < 65536; ++v) order[fill[forward[v] >> 16]++] = v;
        for (uint32_t v = 0; v < 65536; ++v) {
            uint32_t s = (((after * kPrimeInverse) ^ (v >> 8)) * kPrimeInverse) ^ (v & 0xFF);
            for (uint32_t i = bucket_start[s >> 16]; i < bucket_start[(s >> 16) + 1]; ++i) {
                uint32_t f = order[i];
                if (forward[f] != s) continue;
                bytes[window] = static_cast<uint8_t>(f & 0xFF);
                bytes[window + 1] = static_cast<uint8_t>(f >> 8);
                bytes[window + 2] = static_cast<uint8_t>(v & 0xFF);
                bytes[window + 3] = static_cast<uint8_t>(v >> 8);
                return game_memory::fnv1a32(bytes, length) == target;
            }
        }
    }
    return false;
}

const std::vector<CodeRange>& fingerprinted_code() { return image().ranges; }

RebirthModel& rebirth_model() { return g_rebirth; }

void place_game_code() {
    for (const Fixed& chunk : image().chunks) poke(chunk.address, chunk.bytes.data(), chunk.bytes.size());
    const uint32_t animal_limit = 10;
    poke(0x008AB840, &animal_limit, sizeof animal_limit);
    // The mod's module: entry points that return at once (the models stand in for them).
    map(kModImageBase, 0x10000, game::kPageExecuteRead, game::kMemImage, kModImageBase);
    const uint8_t ret = game_memory::kOpRet;
    poke(kGateAddress, &ret, 1);
    poke(kManualRebirthAddress, &ret, 1);
    g_rebirth = RebirthModel{};
}

}  // namespace sim

game_addr rebirth_gate_address() { return sim::kGateAddress; }
game_addr manual_rebirth_address() { return sim::kManualRebirthAddress; }

namespace game {

uint32_t rebirth_routine(game_addr task) {
    sim::RebirthModel& m = sim::g_rebirth;
    ++m.rebirth_calls;
    // A refusal at the first call site ends the routine there.
    if (sim::run_call_site(lifespan::kHookSites[0], task) == 0) return 0;
    if (sim::run_call_site(lifespan::kHookSites[1], task) == 0) return 0;
    m.reborn.push_back(task);
    return 1;
}

}  // namespace game
