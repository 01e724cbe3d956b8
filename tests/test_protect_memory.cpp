#include <doctest/doctest.h>

#include <cstring>
#include <random>
#include <vector>

#include "protect/game_memory.h"
#include "sim/game_code.h"
#include "sim/sim.h"

using namespace game_memory;

namespace {

std::vector<uint8_t> bytes_at(game_addr address, size_t n) {
    std::vector<uint8_t> out(n);
    sim::peek(address, out.data(), n);
    return out;
}

uint32_t protection_of(game_addr address) {
    game::RegionInfo r{};
    game::query_region(address, r);
    return r.protect;
}

}  // namespace

TEST_CASE("FNV-1a-32: the published values, an empty range is the basis") {
    CHECK(fnv1a32("", 0) == 0x811C9DC5u);
    CHECK(fnv1a32("a", 1) == 0xE40C292Cu);
    CHECK(fnv1a32("foobar", 6) == 0xBF9CF968u);
}

TEST_CASE("instruction encodings match hand-worked bytes") {
    uint8_t b[5];
    // The game's own calls: 0x0056903B -> 0x00568F30 and 0x0052B3C2 -> 0x0052F6B0.
    encode_call_rel32(0x0056903B, 0x00568F30, b);
    CHECK(std::vector<uint8_t>(b, b + 5) == std::vector<uint8_t>{0xE8, 0xF0, 0xFE, 0xFF, 0xFF});
    encode_call_rel32(0x0052B3C2, 0x0052F6B0, b);
    CHECK(std::vector<uint8_t>(b, b + 5) == std::vector<uint8_t>{0xE8, 0xE9, 0x42, 0x00, 0x00});
    // A jump up into a library's range: 0x6E001000 - 0x00401005 = 0x6DBFFFFB.
    encode_jmp_rel32(0x00401000, 0x6E001000, b);
    CHECK(std::vector<uint8_t>(b, b + 5) == std::vector<uint8_t>{0xE9, 0xFB, 0xFF, 0xBF, 0x6D});
    game_addr target = 0;
    CHECK(decode_rel32(0x00401000, b, kOpJmpRel32, target));
    CHECK(target == 0x6E001000);
    CHECK_FALSE(decode_rel32(0x00401000, b, kOpCallRel32, target));
    uint8_t nops[7] = {};
    fill_nops(nops, 7);
    CHECK(std::vector<uint8_t>(nops, nops + 7) == std::vector<uint8_t>(7, 0x90));
}

TEST_CASE("probes: region ends, protections, guard pages, other modules, wrap-around") {
    sim::reset();
    game_addr heap = sim::alloc(0x2000);  // two pages, then a gap
    CHECK(is_readable(heap, 0x2000));
    CHECK_FALSE(is_readable(heap, 0x2001));
    CHECK(is_writable(heap + 0x1FFC, 4));
    CHECK_FALSE(is_readable(0, 4));
    CHECK_FALSE(is_readable(heap + 0x3000, 1));  // the gap
    CHECK_FALSE(is_readable(0xFFFFFFF0u, 0x20));

    // A range that runs into a neighbouring region of another protection is refused.
    sim::set_protection(heap + 0x1000, 0x1000, game::kPageReadOnly);
    CHECK(is_readable(heap, 0x1000));
    CHECK_FALSE(is_readable(heap, 0x1001));
    CHECK(is_readable(heap + 0x1000, 0x1000));
    CHECK_FALSE(is_writable(heap + 0x1000, 4));
    sim::set_protection(heap, 0x1000, game::kPageReadWrite | game::kPageNoCache);
    CHECK(is_readable(heap, 4));
    CHECK_FALSE(is_writable(heap, 4));
    sim::set_protection(heap, 0x1000, game::kPageWriteCopy);
    CHECK(is_writable(heap, 4));

    // Guard pages fail everything, also executable ones in the game's image.
    sim::set_protection(0x00500000, 0x1000, game::kPageExecuteRead | game::kPageGuard);
    CHECK_FALSE(is_readable(0x00500000, 1));
    CHECK_FALSE(is_game_code(0x00500000, 1));
    CHECK_FALSE(is_game_image_data(0x00500000, 1));
    CHECK(is_game_code(0x00501000, 16));

    // Game code and image data belong to the game's own module only.
    CHECK(is_game_code(0x00401000, 0x1000));
    CHECK_FALSE(is_game_code(0x00800000, 4));  // data
    CHECK(is_game_image_data(0x00800000, 4));
    CHECK(is_game_image_data(0x00401000, 4));  // code is image data too
    CHECK_FALSE(is_game_code(sim::kGateAddress, 5));
    CHECK_FALSE(is_game_image_data(sim::kGateAddress, 5));
    CHECK_FALSE(matches_fingerprint(sim::kGateAddress, 1, fnv1a32("\xC3", 1)));
    CHECK_FALSE(is_game_image_data(heap + 0x1000, 4));  // private memory
    CHECK(is_game_image_data(sim::kImageEnd - 4, 4));
    CHECK_FALSE(is_game_image_data(sim::kImageEnd - 4, 5));
}

TEST_CASE("probe helpers: a pointer found in game memory is probed before it is followed") {
    sim::reset();
    game_addr object = sim::alloc(0x40);
    game_addr slot = sim::alloc(4);
    sim::poke(slot, &object, 4);
    uint32_t pointer = 0;
    REQUIRE(read_u32(slot, pointer));
    CHECK(pointer == object);
    CHECK(probe_struct(pointer, 0x40, true));
    CHECK(write_checked<uint32_t>(pointer + 0x10, 0x12345678u));
    CHECK(game::read<uint32_t>(object + 0x10) == 0x12345678u);

    sim::set_protection(object, 0x40, game::kPageReadOnly);
    CHECK(probe_struct(object, 0x40, false));
    CHECK_FALSE(probe_struct(object, 0x40, true));
    CHECK_FALSE(write_checked<uint32_t>(object + 0x10, 1u));
    CHECK(game::read<uint32_t>(object + 0x10) == 0x12345678u);

    sim::unmap(object, 0x1000);
    uint32_t untouched = 7;
    CHECK_FALSE(read_checked(object, untouched));
    CHECK(untouched == 7);
    CHECK_FALSE(probe_struct(0, 4, false));
    CHECK_FALSE(probe_struct(object, 4, false));
}

TEST_CASE("the simulated build carries every fingerprint; one changed byte breaks exactly its range") {
    sim::reset();
    for (const sim::CodeRange& r : sim::fingerprinted_code()) {
        INFO("range at " << r.address);
        CHECK(matches_fingerprint(r.address, r.length, r.fnv1a));
    }
    CHECK(verify_storage_code());
    for (const CodeFingerprint& f : kStorageCode) {
        sim::reset();
        uint8_t b = 0;
        sim::peek(f.address + f.length / 2, &b, 1);
        b ^= 0x01;
        sim::poke(f.address + f.length / 2, &b, 1);
        CHECK_FALSE(verify_storage_code());
    }
    sim::reset();
    sim::unmap(0x0052F000, 0x1000);
    CHECK_FALSE(verify_storage_code());
}

TEST_CASE("the filler solver reaches any target") {
    std::mt19937 rng(7);
    for (int i = 0; i < 50; ++i) {
        std::vector<uint8_t> code(12 + rng() % 40);
        for (auto& b : code) b = static_cast<uint8_t>(rng());
        uint32_t target = rng();
        size_t window = 1 + rng() % (code.size() - 5);
        auto tail = std::vector<uint8_t>(code.begin() + static_cast<long>(window + 4), code.end());
        REQUIRE(sim::steer_fnv1a(code.data(), code.size(), window, target));
        CHECK(fnv1a32(code.data(), code.size()) == target);
        CHECK(std::vector<uint8_t>(code.begin() + static_cast<long>(window + 4), code.end()) == tail);
    }
    uint8_t small[4] = {};
    CHECK_FALSE(sim::steer_fnv1a(small, 4, 0, 1));
}

TEST_CASE("apply_code_patch: written, protections back, or nothing at all") {
    sim::reset();
    CodePatchSite sites[2];
    sites[0].address = 0x00401100;
    sites[0].length = 3;
    std::memcpy(sites[0].bytes, "\x90\x90\xC3", 3);
    sites[1].address = 0x00402FFE;  // across a page boundary
    sites[1].length = 4;
    std::memcpy(sites[1].bytes, "\xAA\xBB\xCC\xDD", 4);
    bool written = false;
    CHECK(apply_code_patch(sites, 2, &written));
    CHECK(written);
    CHECK(bytes_at(0x00401100, 3) == std::vector<uint8_t>{0x90, 0x90, 0xC3});
    CHECK(bytes_at(0x00402FFE, 4) == std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD});
    CHECK(protection_of(0x00401100) == game::kPageExecuteRead);
    CHECK(protection_of(0x00403000) == game::kPageExecuteRead);
    CHECK(is_game_code(0x00401000, 0x3000));  // one region again

    // The second site lies in memory that is not there: the first gets its protection
    // back and neither is written.
    sim::reset();
    sites[1].address = 0x20000000;
    auto before = bytes_at(0x00401100, 3);
    CHECK_FALSE(apply_code_patch(sites, 2, &written));
    CHECK_FALSE(written);
    CHECK(bytes_at(0x00401100, 3) == before);
    CHECK(protection_of(0x00401100) == game::kPageExecuteRead);
}
