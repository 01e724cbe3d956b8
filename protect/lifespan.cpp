#include "protect/lifespan.h"

#include <cstring>

#include "protect/game_memory.h"
#include "protect/hook_entry.h"

extern "C" {
volatile uint32_t velmora_rebirth_authorized = 0;
}

namespace lifespan {
namespace {

using game_memory::CodePatchSite;

struct State {
    bool patch_flushed = false;
    bool hook_flushed = false;
    uint8_t hook_bytes[2][5] = {};
    // The three routines' bytes as they were when their fingerprints last matched: the check
    // every frame compares with them and hashes again only when something changed.
    bool routines_known = false;
    uint8_t routines[kRebirthRoutineLength + kHelperRoutineLength + kSetRoutineLength] = {};
};

State& st() {
    static State s;
    return s;
}

void read_bytes(game_addr address, uint8_t* out, uint32_t length) {
    std::memcpy(out, game::game_ptr<const unsigned char>(address), length);
}

bool holds(game_addr address, const uint8_t* bytes, uint32_t length) {
    return std::memcmp(game::game_ptr<const unsigned char>(address), bytes, length) == 0;
}

bool all_nops(const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (bytes[i] != game_memory::kOpNop) return false;
    return true;
}

// FNV-1a of N as the game ships it: the hook sites are hashed as their original calls, so
// the fingerprint holds before and after hooking.
uint32_t rebirth_routine_hash() {
    const unsigned char* code = game::game_ptr<const unsigned char>(kRebirthRoutine);
    uint32_t h = game_memory::kFnvBasis;
    for (uint32_t i = 0; i < kRebirthRoutineLength; ++i) {
        game_addr at = kRebirthRoutine + i;
        uint8_t b = code[i];
        for (int s = 0; s < 2; ++s)
            if (at >= kHookSites[s] && at < kHookSites[s] + 5) b = kHookSiteBefore[s][at - kHookSites[s]];
        h = (h ^ b) * game_memory::kFnvPrime;
    }
    return h;
}

}  // namespace

bool is_lifespan_store(const uint8_t bytes[7], uint8_t offset) {
    if (all_nops(bytes, kStoreSiteLength)) return true;
    // mov word [reg + disp32], r16: operand-size prefix, 89, ModRM with mod 10 and no SIB.
    uint8_t modrm = bytes[2];
    return bytes[0] == 0x66 && bytes[1] == 0x89 && (modrm >> 6) == 2 && (modrm & 7) != 4 && bytes[3] == offset &&
           bytes[4] == 0 && bytes[5] == 0 && bytes[6] == 0;
}

bool is_ageing_routine(const uint8_t bytes[16]) {
    return (bytes[0] == 0x51 || bytes[0] == game_memory::kOpRet) && std::memcmp(bytes + 1, kSite3Tail, 15) == 0;
}

void reset() {
    st() = State{};
    velmora_rebirth_authorized = 0;
}

}  // namespace lifespan

using namespace lifespan;

bool verify_lifespan_protection() {
    if (!st().patch_flushed) return false;
    uint8_t nops[kStoreSiteLength];
    game_memory::fill_nops(nops, kStoreSiteLength);
    const uint8_t ret = game_memory::kOpRet;
    return holds(kSite1, nops, kStoreSiteLength) && holds(kSite2, nops, kStoreSiteLength) && holds(kSite3, &ret, 1);
}

bool install_lifespan_protection() {
    if (verify_lifespan_protection()) return true;
    if (!game_memory::is_game_code(kSite1, kStoreSiteLength) || !game_memory::is_game_code(kSite2, kStoreSiteLength) ||
        !game_memory::is_game_code(kSite3, kRoutineSiteLength))
        return false;
    uint8_t site1[kStoreSiteLength], site2[kStoreSiteLength], site3[kRoutineSiteLength];
    read_bytes(kSite1, site1, sizeof site1);
    read_bytes(kSite2, site2, sizeof site2);
    read_bytes(kSite3, site3, sizeof site3);
    if (!is_lifespan_store(site1, 0x8C) || !is_lifespan_store(site2, 0x8A) || !is_ageing_routine(site3)) return false;

    CodePatchSite sites[3];
    sites[0].address = kSite1;
    sites[0].length = kStoreSiteLength;
    game_memory::fill_nops(sites[0].bytes, kStoreSiteLength);
    sites[1].address = kSite2;
    sites[1].length = kStoreSiteLength;
    game_memory::fill_nops(sites[1].bytes, kStoreSiteLength);
    sites[2].address = kSite3;
    sites[2].length = 1;
    sites[2].bytes[0] = game_memory::kOpRet;
    // A failed protection change writes nothing and leaves the flag as it was; a failed
    // flush leaves the bytes written but the protection reported as not verified.
    bool written = false;
    bool flushed = game_memory::apply_code_patch(sites, 3, &written);
    if (!written) return false;
    st().patch_flushed = flushed;
    return verify_lifespan_protection();
}

bool verify_rebirth_code(bool expect_hook) {
    if (!game_memory::is_game_code(kRebirthRoutine, kRebirthRoutineLength) ||
        !game_memory::is_game_code(kHelperRoutine, kHelperRoutineLength) ||
        !game_memory::is_game_code(kSetRoutine, kSetRoutineLength))
        return false;
    for (int s = 0; s < 2; ++s)
        if (!holds(kHookSites[s], expect_hook ? st().hook_bytes[s] : kHookSiteBefore[s], 5)) return false;
    State& state = st();
    uint8_t* helper = state.routines + kRebirthRoutineLength;
    uint8_t* set = helper + kHelperRoutineLength;
    if (state.routines_known && holds(kRebirthRoutine, state.routines, kRebirthRoutineLength) &&
        holds(kHelperRoutine, helper, kHelperRoutineLength) && holds(kSetRoutine, set, kSetRoutineLength))
        return true;
    state.routines_known = rebirth_routine_hash() == kRebirthFingerprint &&
                           game_memory::fnv1a32_game(kHelperRoutine, kHelperRoutineLength) == kHelperFingerprint &&
                           game_memory::fnv1a32_game(kSetRoutine, kSetRoutineLength) == kSetRoutineFingerprint;
    if (state.routines_known) {
        read_bytes(kRebirthRoutine, state.routines, kRebirthRoutineLength);
        read_bytes(kHelperRoutine, helper, kHelperRoutineLength);
        read_bytes(kSetRoutine, set, kSetRoutineLength);
    }
    return state.routines_known;
}

bool verify_rebirth_hook() {
    return st().hook_flushed && verify_lifespan_protection() && verify_rebirth_code(true);
}

bool install_rebirth_hook() {
    if (verify_rebirth_hook()) return true;
    if (!verify_lifespan_protection()) return false;
    if (!verify_rebirth_code(false)) return false;

    CodePatchSite sites[2];
    uint8_t bytes[2][5];
    for (int s = 0; s < 2; ++s) {
        game_memory::encode_call_rel32(kHookSites[s], rebirth_gate_address(), bytes[s]);
        sites[s].address = kHookSites[s];
        sites[s].length = 5;
        std::memcpy(sites[s].bytes, bytes[s], 5);
    }
    bool written = false;
    bool flushed = game_memory::apply_code_patch(sites, 2, &written);
    if (!written) return false;
    std::memcpy(st().hook_bytes, bytes, sizeof bytes);
    st().hook_flushed = flushed;
    return verify_rebirth_hook();
}

extern "C" uint32_t run_manual_rebirth(uint32_t task) {
    if (!verify_rebirth_hook()) return 0;
    uint32_t remembered = velmora_rebirth_authorized;
    velmora_rebirth_authorized = task;
    uint32_t result = game::rebirth_routine(task);
    velmora_rebirth_authorized = remembered;
    return result;
}
