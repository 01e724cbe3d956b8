// Chao lifespan protection and the manual-rebirth hook in the game's code. Both are written
// once at start-up, checked every frame, and never removed; a lost patch is not re-installed.
#pragma once
#include <cstdint>

#include "host/game.h"

namespace lifespan {

// The three places in the game's code that age a Chao.
constexpr game_addr kSite1 = 0x005354B2;  // 16-bit store to lifespan2 (record + 0x8C), 7 bytes
constexpr game_addr kSite2 = 0x005354C9;  // 16-bit store to lifespan (record + 0x8A), 7 bytes
constexpr game_addr kSite3 = 0x00562A20;  // the ageing routine; 16 bytes checked, 1 written
constexpr uint32_t kStoreSiteLength = 7;
constexpr uint32_t kRoutineSiteLength = 16;
// Site 3 after its first byte (push ecx, or a ret already written).
inline constexpr uint8_t kSite3Tail[15] = {0xD9, 0xE8, 0xD8, 0x1F, 0xDF, 0xE0, 0xF6, 0xC4,
                                           0x41, 0x7B, 0x44, 0x8B, 0x46, 0x34, 0x8B};

// The rebirth routine N calls the guarded routine R from two places, which become calls of
// the rebirth gate.
constexpr game_addr kGuardedRoutine = game::addr::guarded_lifecycle;
constexpr game_addr kRebirthRoutine = game::addr::rebirth_routine;
constexpr uint32_t kRebirthRoutineLength = 588;
constexpr game_addr kHookSites[2] = {0x0056903B, 0x005690A6};
inline constexpr uint8_t kHookSiteBefore[2][5] = {{0xE8, 0xF0, 0xFE, 0xFF, 0xFF}, {0xE8, 0x85, 0xFE, 0xFF, 0xFF}};
constexpr uint32_t kRebirthFingerprint = 0xCFF93CA2;  // N with both sites as before
constexpr game_addr kHelperRoutine = 0x00568570;
constexpr uint32_t kHelperRoutineLength = 64;
constexpr uint32_t kHelperFingerprint = 0xECE32341;
constexpr game_addr kSetRoutine = game::addr::set_chao_routine;
constexpr uint32_t kSetRoutineLength = 218;
constexpr uint32_t kSetRoutineFingerprint = 0xC4CC7E57;

// True when the bytes are one of the accepted forms of a lifespan store site (`offset` is
// 0x8C for site 1, 0x8A for site 2) or seven no-ops.
bool is_lifespan_store(const uint8_t bytes[7], uint8_t offset);
// True when the 16 bytes are the ageing routine's start, original or already returning.
bool is_ageing_routine(const uint8_t bytes[16]);

// Back to the state of a freshly loaded library (the simulator loads us many times).
void reset();

}  // namespace lifespan

bool install_lifespan_protection();
bool verify_lifespan_protection();
bool install_rebirth_hook();
bool verify_rebirth_hook();
// The rebirth code in the expected form, hooked (by this library's gate) or not.
bool verify_rebirth_code(bool expect_hook);

// Handed to the game as the routine to run for one Chao: the game's rebirth for that task
// alone, let through the gate. 0 without doing anything when the hook is not intact.
extern "C"
#if defined(__i386__)
    __attribute__((force_align_arg_pointer))
#endif
    uint32_t run_manual_rebirth(uint32_t task);
