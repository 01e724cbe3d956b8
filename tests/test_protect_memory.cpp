#include <doctest/doctest.h>

#include <cstring>
#include <vector>

#include "protect/game_memory.h"
#include "sim/game_code.h"
#include "sim/sim.h"

using namespace game_memory;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes bytes_at(game_addr address, size_t n) {
    Bytes out(n);
    sim::peek(address, out.data(), n);
    return out;
}
uint32_t protection_of(game_addr address) {
    game::RegionInfo r{};
    game::query_region(address, r);
    return r.protect;
}
}  // namespace

TEST_CASE("FNV-1a-32 and the instruction encodings against hand-worked values") {
    CHECK(fnv1a32("foobar", 6) == 0xBF9CF968u);
    uint8_t b[5];
    encode_call_rel32(0x0056903B, 0x00568F30, b);  // the game's own call at the hook site
    CHECK(Bytes(b, b + 5) == Bytes{0xE8, 0xF0, 0xFE, 0xFF, 0xFF});
    encode_jmp_rel32(0x00401000, 0x6E001000, b);  // 0x6E001000 - 0x00401005
    CHECK(Bytes(b, b + 5) == Bytes{0xE9, 0xFB, 0xFF, 0xBF, 0x6D});
    game_addr target = 0;
    CHECK(decode_rel32(0x00401000, b, kOpJmpRel32, target));
    CHECK(target == 0x6E001000);
    CHECK_FALSE(decode_rel32(0x00401000, b, kOpCallRel32, target));
}

TEST_CASE("probes: region ends, protections, guard pages, other modules, wrap-around, pointers followed") {
    sim::reset();
    game_addr heap = sim::alloc(0x2000);  // two pages, then a gap
    CHECK(is_readable(heap, 0x2000));
    CHECK_FALSE(is_readable(heap, 0x2001));
    CHECK_FALSE(is_readable(0, 4));
    CHECK_FALSE(is_readable(0xFFFFFFF0u, 0x20));
    sim::set_protection(heap + 0x1000, 0x1000, game::kPageReadOnly);
    CHECK_FALSE(is_readable(heap, 0x1001));  // runs into a region of another protection
    CHECK(is_readable(heap + 0x1000, 0x1000));
    CHECK_FALSE(is_writable(heap + 0x1000, 4));
    sim::set_protection(heap, 0x1000, game::kPageReadWrite | game::kPageNoCache);
    CHECK(is_readable(heap, 4));
    CHECK_FALSE(is_writable(heap, 4));
    CHECK_FALSE(is_game_image_data(heap, 4));  // private memory

    sim::set_protection(0x00500000, 0x1000, game::kPageExecuteRead | game::kPageGuard);
    CHECK_FALSE(is_readable(0x00500000, 1));
    CHECK_FALSE(is_game_code(0x00500000, 1));
    CHECK_FALSE(is_game_image_data(0x00500000, 1));
    CHECK(is_game_code(0x00401000, 0x1000));
    CHECK_FALSE(is_game_code(0x00800000, 4));  // the game's data
    CHECK(is_game_image_data(sim::kImageEnd - 4, 4));
    CHECK_FALSE(is_game_image_data(sim::kImageEnd - 4, 5));
    // Executable image memory of another module.
    CHECK_FALSE(is_game_code(sim::kGateAddress, 5));
    CHECK_FALSE(matches_fingerprint(sim::kGateAddress, 1, fnv1a32("\xC3", 1)));

    // A pointer found in game memory is probed before it is followed.
    game_addr object = sim::alloc(0x40);
    CHECK(write_checked<uint32_t>(object + 0x10, 0x12345678u));
    sim::set_protection(object, 0x40, game::kPageReadOnly);
    CHECK(probe_struct(object, 0x40, false));
    CHECK_FALSE(probe_struct(object, 0x40, true));
    CHECK_FALSE(write_checked<uint32_t>(object + 0x10, 1u));
    uint32_t value = 0;
    CHECK(read_u32(object + 0x10, value));
    CHECK(value == 0x12345678u);
    sim::unmap(object, 0x1000);
    CHECK_FALSE(read_u32(object + 0x10, value));
    CHECK_FALSE(probe_struct(0, 4, false));
}

TEST_CASE("the simulated build carries every fingerprint; one changed byte fails the storage check") {
    sim::reset();
    for (const sim::CodeRange& r : sim::fingerprinted_code()) {
        INFO("range at " << r.address);
        CHECK(matches_fingerprint(r.address, r.length, r.fnv1a));
    }
    CHECK(verify_storage_code());
    for (const CodeFingerprint& f : kStorageCode) {
        sim::reset();
        uint8_t b = static_cast<uint8_t>(bytes_at(f.address + f.length - 1, 1)[0] ^ 1);
        sim::poke(f.address + f.length - 1, &b, 1);
        CHECK_FALSE(verify_storage_code());
    }
}

TEST_CASE("apply_code_patch: written with the protections back, or nothing at all") {
    sim::reset();
    CodePatchSite sites[2];
    sites[0].address = 0x00401100;
    sites[0].length = 3;
    std::memcpy(sites[0].bytes, "\x90\x90\xC3", 3);
    sites[1].address = 0x00402FFE;  // across a page boundary
    sites[1].length = 4;
    std::memcpy(sites[1].bytes, "\xAA\xBB\xCC\xDD", 4);
    bool written = false;
    CHECK((apply_code_patch(sites, 2, &written) && written));
    CHECK(bytes_at(0x00401100, 3) == Bytes{0x90, 0x90, 0xC3});
    CHECK(bytes_at(0x00402FFE, 4) == Bytes{0xAA, 0xBB, 0xCC, 0xDD});
    CHECK(protection_of(0x00403000) == game::kPageExecuteRead);
    CHECK(is_game_code(0x00401000, 0x3000));  // one region again

    // The second site is not there: the first gets its protection back, neither is written.
    sim::reset();
    sites[1].address = 0x20000000;
    Bytes before = bytes_at(0x00401100, 3);
    CHECK_FALSE((apply_code_patch(sites, 2, &written) || written));
    CHECK(bytes_at(0x00401100, 3) == before);
    CHECK(protection_of(0x00401100) == game::kPageExecuteRead);
}
