// GameMemory: the rules every access to game memory and game code goes through first.
// The probes ask door 2 about the region holding the start address; a range is accepted only
// when it lies entirely inside that one region. They say whether an access would be safe at
// the moment of the query and lock nothing, so the pattern is: probe, then access at once on
// the game thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/game.h"

namespace game_memory {

constexpr uint32_t kFnvBasis = 0x811C9DC5u;
constexpr uint32_t kFnvPrime = 0x01000193u;

uint32_t fnv1a32(const void* data, size_t size, uint32_t basis = kFnvBasis);
// Over live game bytes; the caller has probed the range.
uint32_t fnv1a32_game(game_addr address, uint32_t length, uint32_t basis = kFnvBasis);

bool is_readable(game_addr address, uint32_t length);
bool is_writable(game_addr address, uint32_t length);
bool is_game_image_data(game_addr address, uint32_t length);
bool is_game_code(game_addr address, uint32_t length);
// Readable game image bytes whose FNV-1a-32 is `expected`.
bool matches_fingerprint(game_addr address, uint32_t length, uint32_t expected);

struct CodeFingerprint {
    game_addr address;
    uint32_t length;
    uint32_t expected;
};

// The game routines Game Boy storage and the garden items listing rely on, in check order.
inline constexpr CodeFingerprint kStorageCode[] = {
    {0x0052F470, 0x7C, 0xC28EF707},  {0x0057D540, 0x20, 0x85D53169},  {0x0052F030, 0x5C, 0x290DD5E4},
    {0x0052EEE0, 0x14B, 0xA877FF22}, {0x00548C50, 0x20, 0x878EE756},  {0x00545E40, 0x20, 0x8402FCC2},
    {0x00548C30, 0x300, 0xD45160BF}, {0x00546180, 0x150, 0xDE1D6C0B}, {0x0052F9E0, 0x160, 0x7477FB20},
    {0x00530750, 0xA0, 0xAE089E06},
};
bool verify_storage_code();

// Anything reached through a pointer read from game memory (an object, a task, a list entry)
// is probed over the bytes about to be touched before it is touched: readable to read it,
// writable to write it. A null address always fails.
bool probe_struct(game_addr address, uint32_t size, bool writable);

// A 32-bit word at a probed address, e.g. a pointer the game keeps. False leaves `out` alone.
bool read_u32(game_addr address, uint32_t& out);

template <class T>
bool read_checked(game_addr address, T& out) {
    if (!is_readable(address, sizeof(T))) return false;
    out = game::read<T>(address);
    return true;
}

template <class T>
bool write_checked(game_addr address, const T& value) {
    if (!is_writable(address, sizeof(T))) return false;
    game::write<T>(address, value);
    return true;
}

// One place in the game's code to rewrite. At most 16 bytes: every patch the system
// writes is a short instruction or a run of them.
constexpr uint32_t kMaxPatchBytes = 16;
struct CodePatchSite {
    game_addr address = 0;
    uint32_t length = 0;
    uint8_t bytes[kMaxPatchBytes] = {};
    uint32_t old_protect = 0;  // kept by apply_code_patch
};

// Makes every site writable (exactly its length), writes them all, gives each its old
// protection back in reverse order and flushes the instruction cache over it. When a
// protection change fails, the sites changed so far get their protection back and nothing
// is written: false. Also false when the bytes were written but a flush failed, so the
// caller treats the patch as not verified; `written` then tells the two failures apart.
bool apply_code_patch(CodePatchSite* sites, size_t count, bool* written = nullptr);

// Encodings of the few instructions the patches consist of.
constexpr uint8_t kOpCallRel32 = 0xE8;
constexpr uint8_t kOpJmpRel32 = 0xE9;
constexpr uint8_t kOpNop = 0x90;
constexpr uint8_t kOpRet = 0xC3;
constexpr uint32_t kRel32Length = 5;

// E8 and the little-endian displacement target - (site + 5): a near call placed at `site`.
// Header-only, so the 32-bit machine-code tests use the same encoders.
inline void encode_rel32(uint8_t opcode, game_addr site, game_addr target, uint8_t out[5]) {
    uint32_t displacement = target - (site + kRel32Length);  // wraps like the processor's sum
    out[0] = opcode;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<uint8_t>(displacement >> (8 * i));
}
inline void encode_call_rel32(game_addr site, game_addr target, uint8_t out[5]) {
    encode_rel32(kOpCallRel32, site, target, out);
}
inline void encode_jmp_rel32(game_addr site, game_addr target, uint8_t out[5]) {
    encode_rel32(kOpJmpRel32, site, target, out);
}
inline void fill_nops(uint8_t* out, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) out[i] = kOpNop;
}
// Where a 5-byte call or jump at `site` with these bytes leads; false unless it is one.
inline bool decode_rel32(game_addr site, const uint8_t bytes[5], uint8_t opcode, game_addr& target) {
    if (bytes[0] != opcode) return false;
    uint32_t displacement = 0;
    for (int i = 0; i < 4; ++i) displacement |= uint32_t(bytes[1 + i]) << (8 * i);
    target = site + kRel32Length + displacement;
    return true;
}

}  // namespace game_memory
