#include "tests/i386/game_image.h"

#include <cstdio>
#include <map>

#include "protect/game_memory.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/sim_game_code.h"
#include "tests/i386/stand_ins.h"

namespace game_image {
namespace {

// Code below this address, data (the animal limit word) above it.
constexpr game_addr kCodeEnd = 0x00800000;

struct Chunk {
    game_addr address;
    std::vector<uint8_t> bytes;
    uint32_t protect;
};

std::vector<Chunk>& chunks() {
    static std::vector<Chunk> built;
    return built;
}

std::map<game_addr, uint8_t>& expected() {
    static std::map<game_addr, uint8_t> bytes;
    return bytes;
}

}  // namespace

Overlay jump(game_addr from, game_addr to) {
    uint8_t b[5];
    game_memory::encode_jmp_rel32(from, to, b);
    return {from, {b, b + 5}};
}

std::vector<Overlay> stand_ins_behind_jumps(game_addr area) {
    std::vector<Overlay> out;
    if (!stand_ins::place_bodies(area)) return out;
    for (int i = 0; i < STAND_IN_COUNT; ++i)
        out.push_back(jump(stand_ins::address_of(i), stand_ins::body_address(i, area)));
    return out;
}

bool build(const std::vector<Overlay>& overlays) {
    std::map<game_addr, uint8_t> bytes;
    for (const sim_image::Chunk& c : sim_image::game_code())
        for (size_t i = 0; i < c.bytes.size(); ++i) bytes[c.address + static_cast<game_addr>(i)] = c.bytes[i];
    const std::vector<sim_image::Range> ranges = sim_image::fingerprinted();
    for (const Overlay& o : overlays) {
        for (const sim_image::Range& r : ranges) {
            // The last five bytes of a range are the ones its fingerprint is steered with.
            game_addr window = r.address + r.length - 5;
            if (o.address < r.address + r.length && o.address + o.bytes.size() > window) {
                std::fprintf(stderr, "game_image: overlay at %08x covers the steering bytes of %08x\n", o.address,
                             r.address);
                return false;
            }
        }
        for (size_t i = 0; i < o.bytes.size(); ++i) bytes[o.address + static_cast<game_addr>(i)] = o.bytes[i];
    }
    // Shortest first: steering an outer range never touches an inner one.
    for (const sim_image::Range& r : ranges) {
        std::vector<uint8_t> code(r.length);
        for (uint32_t i = 0; i < r.length; ++i) code[i] = bytes[r.address + i];
        if (game_memory::fnv1a32(code.data(), code.size()) != r.fnv1a &&
            !sim_image::steer(code.data(), code.size(), r.length - 4, r.fnv1a)) {
            std::fprintf(stderr, "game_image: cannot steer %08x\n", r.address);
            return false;
        }
        for (uint32_t i = 0; i < r.length; ++i) bytes[r.address + i] = code[i];
    }
    for (const sim_image::Range& r : ranges) {
        std::vector<uint8_t> code(r.length);
        for (uint32_t i = 0; i < r.length; ++i) code[i] = bytes[r.address + i];
        if (game_memory::fnv1a32(code.data(), code.size()) != r.fnv1a) {
            std::fprintf(stderr, "game_image: %08x lost its fingerprint\n", r.address);
            return false;
        }
    }
    chunks().clear();
    for (const auto& [address, b] : bytes) {
        if (chunks().empty() || chunks().back().address + chunks().back().bytes.size() != address)
            chunks().push_back({address, {}, address < kCodeEnd ? game::kPageExecuteRead : game::kPageReadWrite});
        chunks().back().bytes.push_back(b);
    }
    expected() = bytes;
    return true;
}

bool place() {
    for (const Chunk& c : chunks()) {
        const uint32_t size = static_cast<uint32_t>(c.bytes.size());
        bool ok = c.protect == game::kPageReadWrite ? game_pages::place_data(c.address, c.bytes.data(), size)
                                                    : game_pages::place_code(c.address, c.bytes.data(), size);
        if (!ok) return false;
        for (size_t i = 0; i < c.bytes.size(); ++i) expected()[c.address + static_cast<game_addr>(i)] = c.bytes[i];
    }
    return true;
}

bool poke(game_addr address, uint8_t value) {
    game::RegionInfo r{};
    game_pages::query(address, r);
    if (r.state != game::kMemCommit || !game_pages::set_protection(address, 1, game::kPageReadWrite)) return false;
    *game::game_ptr<uint8_t>(address) = value;
    if (!game_pages::set_protection(address, 1, r.protect)) return false;
    expected()[address] = value;
    return true;
}

void take_live_as_placed() {
    for (auto& [address, b] : expected()) b = *game::game_ptr<const uint8_t>(address);
}

bool intact(std::string* why) {
    char line[96];
    for (const auto& [address, b] : expected()) {
        uint8_t live = *game::game_ptr<const uint8_t>(address);
        if (live != b) {
            std::snprintf(line, sizeof line, "byte at %08x is %02x, placed %02x", address, live, b);
            if (why) *why = line;
            return false;
        }
    }
    for (const Chunk& c : chunks()) {
        for (game_addr page = c.address & ~(game_pages::kPageSize - 1); page < c.address + c.bytes.size();
             page += game_pages::kPageSize) {
            game::RegionInfo r{};
            game_pages::query(page, r);
            if (r.protect != c.protect) {
                std::snprintf(line, sizeof line, "page %08x has protection %x, placed %x", page, r.protect, c.protect);
                if (why) *why = line;
                return false;
            }
        }
    }
    return true;
}

}  // namespace game_image
