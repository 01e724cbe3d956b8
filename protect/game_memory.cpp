#include "protect/game_memory.h"

#include <cstring>

namespace game_memory {
namespace {

constexpr uint64_t kSpaceEnd = 1ull << 32;

bool ends_inside(const game::RegionInfo& r, game_addr address, uint32_t length) {
    return uint64_t(address) + length <= uint64_t(r.base) + r.size;
}

bool accessible(uint32_t protect) { return (protect & (game::kPageNoAccess | game::kPageGuard)) == 0; }

bool of_game_image(const game::RegionInfo& r) {
    return r.state == game::kMemCommit && r.type == game::kMemImage && r.allocation_base == game::main_module();
}

constexpr uint32_t kExecuteFlags =
    game::kPageExecute | game::kPageExecuteRead | game::kPageExecuteReadWrite | game::kPageExecuteWriteCopy;

}  // namespace

uint32_t fnv1a32(const void* data, size_t size, uint32_t basis) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t h = basis;
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

uint32_t fnv1a32_game(game_addr address, uint32_t length, uint32_t basis) {
    return fnv1a32(game::game_ptr<const unsigned char>(address), length, basis);
}

bool is_readable(game_addr address, uint32_t length) {
    if (address == 0 || uint64_t(address) + length > kSpaceEnd) return false;
    game::RegionInfo r{};
    if (!game::query_region(address, r)) return false;
    return r.state == game::kMemCommit && accessible(r.protect) && ends_inside(r, address, length);
}

bool is_writable(game_addr address, uint32_t length) {
    if (!is_readable(address, length)) return false;
    game::RegionInfo r{};
    if (!game::query_region(address, r)) return false;
    // Exactly one of the two plain writable protections: a modifier (no-cache, write-combine)
    // marks memory the game does not keep ordinary data in.
    return r.protect == game::kPageReadWrite || r.protect == game::kPageWriteCopy;
}

bool is_game_image_data(game_addr address, uint32_t length) {
    game::RegionInfo r{};
    if (!game::query_region(address, r)) return false;
    return of_game_image(r) && accessible(r.protect) && ends_inside(r, address, length);
}

bool is_game_code(game_addr address, uint32_t length) {
    game::RegionInfo r{};
    if (!game::query_region(address, r)) return false;
    return of_game_image(r) && (r.protect & 0xFF & kExecuteFlags) != 0 && (r.protect & game::kPageGuard) == 0 &&
           ends_inside(r, address, length);
}

bool matches_fingerprint(game_addr address, uint32_t length, uint32_t expected) {
    if (!is_readable(address, length)) return false;
    game::RegionInfo r{};
    if (!game::query_region(address, r)) return false;
    if (r.type != game::kMemImage || r.allocation_base != game::main_module()) return false;
    return fnv1a32_game(address, length) == expected;
}

bool verify_storage_code() {
    for (const CodeFingerprint& f : kStorageCode)
        if (!matches_fingerprint(f.address, f.length, f.expected)) return false;
    return true;
}

bool probe_struct(game_addr address, uint32_t size, bool writable) {
    if (address == 0) return false;
    return writable ? is_writable(address, size) : is_readable(address, size);
}

bool read_u32(game_addr address, uint32_t& out) { return read_checked(address, out); }

bool apply_code_patch(CodePatchSite* sites, size_t count, bool* written) {
    if (written) *written = false;
    for (size_t i = 0; i < count; ++i) {
        CodePatchSite& s = sites[i];
        bool ok = s.length <= kMaxPatchBytes &&
                  game::protect_region(s.address, s.length, game::kPageExecuteReadWrite, s.old_protect);
        if (!ok) {
            for (size_t j = i; j-- > 0;) {
                uint32_t ignored = 0;
                game::protect_region(sites[j].address, sites[j].length, sites[j].old_protect, ignored);
            }
            return false;
        }
    }
    for (size_t i = 0; i < count; ++i)
        std::memcpy(game::game_ptr<unsigned char>(sites[i].address), sites[i].bytes, sites[i].length);
    if (written) *written = true;
    bool flushed = true;
    for (size_t j = count; j-- > 0;) {
        uint32_t ignored = 0;
        game::protect_region(sites[j].address, sites[j].length, sites[j].old_protect, ignored);
        flushed = game::flush_code(sites[j].address, sites[j].length) && flushed;
    }
    return flushed;
}

}  // namespace game_memory
