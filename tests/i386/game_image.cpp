// The simulator's code image is compiled in for its bytes: its model of the mod's entry
// points and of the rebirth routine is renamed out of the way of the real ones linked here,
// and its memory writes are collected instead of reaching a simulated process.
#include <cstring>
#include <map>

#define rebirth_gate_address sim_model_rebirth_gate_address
#define manual_rebirth_address sim_model_manual_rebirth_address
#define rebirth_routine sim_model_rebirth_routine
#include "sim/game_code.cpp"
#undef rebirth_gate_address
#undef manual_rebirth_address
#undef rebirth_routine

#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/stand_ins.h"

namespace {

std::map<game_addr, uint8_t>* g_collecting = nullptr;

}  // namespace

namespace sim {

void poke(game_addr address, const void* data, size_t size) {
    if (!g_collecting || address >= kModImageBase) return;  // only the game's own module
    for (size_t i = 0; i < size; ++i) (*g_collecting)[address + i] = static_cast<const uint8_t*>(data)[i];
}

void peek(game_addr address, void* data, size_t size) {
    std::memcpy(data, game::game_ptr<const unsigned char>(address), size);
}

void map(game_addr, uint32_t, uint32_t, uint32_t, game_addr) {}  // the simulator's own module: not wanted

}  // namespace sim

namespace game_image {
namespace {

constexpr game_addr kCodeEnd = 0x00800000;  // code below, data (the animal limit word) above

struct Chunk {
    game_addr address;
    std::vector<uint8_t> bytes;
    uint32_t protect;
};

std::vector<Chunk> g_chunks;
std::map<game_addr, uint8_t> g_expected;

}  // namespace

std::vector<Overlay> stand_ins_behind_jumps(game_addr area) {
    std::vector<Overlay> out;
    for (int i = 0; i < STAND_IN_COUNT && (i || stand_ins::place(area)); ++i) {
        uint8_t b[5];
        game_memory::encode_jmp_rel32(stand_ins::address_of(i), stand_ins::body_address(i, area), b);
        out.push_back({stand_ins::address_of(i), {b, b + 5}});
    }
    return out;
}

bool build(const std::vector<Overlay>& overlays) {
    std::map<game_addr, uint8_t> bytes;
    g_collecting = &bytes;
    sim::place_game_code();
    g_collecting = nullptr;
    const std::vector<sim::CodeRange>& ranges = sim::fingerprinted_code();  // shortest first
    for (const Overlay& o : overlays) {
        for (const sim::CodeRange& r : ranges) {
            // The last five bytes of a range are the ones its fingerprint is steered with.
            if (o.address < r.address + r.length && o.address + o.bytes.size() > r.address + r.length - 5) {
                std::fprintf(stderr, "game_image: overlay at %08x covers the steering bytes of %08x\n", o.address,
                             r.address);
                return false;
            }
        }
        for (size_t i = 0; i < o.bytes.size(); ++i) bytes[o.address + static_cast<game_addr>(i)] = o.bytes[i];
    }
    for (const sim::CodeRange& r : ranges) {  // shortest first, as the simulator steers them
        std::vector<uint8_t> code(r.length);
        for (uint32_t i = 0; i < r.length; ++i) code[i] = bytes[r.address + i];
        if (game_memory::fnv1a32(code.data(), code.size()) != r.fnv1a &&
            !sim::steer_fnv1a(code.data(), code.size(), r.length - 4, r.fnv1a)) {
            std::fprintf(stderr, "game_image: cannot steer %08x\n", r.address);
            return false;
        }
        for (uint32_t i = 0; i < r.length; ++i) bytes[r.address + i] = code[i];
    }
    g_chunks.clear();
    for (const auto& [address, b] : bytes) {
        if (g_chunks.empty() || g_chunks.back().address + g_chunks.back().bytes.size() != address)
            g_chunks.push_back({address, {}, address < kCodeEnd ? game::kPageExecuteRead : game::kPageReadWrite});
        g_chunks.back().bytes.push_back(b);
    }
    g_expected = bytes;
    return true;
}

bool place() {
    for (const Chunk& c : g_chunks) {
        const uint32_t size = static_cast<uint32_t>(c.bytes.size());
        if (!(c.protect == game::kPageReadWrite ? game_pages::place_data : game_pages::place_code)(
                c.address, c.bytes.data(), size))
            return false;
        for (uint32_t i = 0; i < size; ++i) g_expected[c.address + i] = c.bytes[i];
    }
    return true;
}

bool flip(game_addr address, uint8_t bits) {
    game::RegionInfo r{};
    game::query_region(address, r);
    if (r.state != game::kMemCommit || !game_pages::set_protection(address, 1, game::kPageReadWrite)) return false;
    g_expected[address] = *game::game_ptr<uint8_t>(address) ^= bits;
    return game_pages::set_protection(address, 1, r.protect);
}

void take_live_as_placed() {
    for (auto& [address, b] : g_expected) b = *game::game_ptr<const uint8_t>(address);
}

std::string first_difference() {
    char line[96];
    for (const auto& [address, b] : g_expected) {
        uint8_t live = *game::game_ptr<const uint8_t>(address);
        if (live != b) {
            std::snprintf(line, sizeof line, "byte at %08x is %02x, placed %02x", address, live, b);
            return line;
        }
    }
    for (const Chunk& c : g_chunks) {
        for (game_addr page = c.address & ~(game_pages::kPageSize - 1); page < c.address + c.bytes.size();
             page += game_pages::kPageSize) {
            game::RegionInfo r{};
            game::query_region(page, r);
            if (r.protect != c.protect) {
                std::snprintf(line, sizeof line, "page %08x has protection %x, placed %x", page, r.protect, c.protect);
                return line;
            }
        }
    }
    return "";
}

}  // namespace game_image
