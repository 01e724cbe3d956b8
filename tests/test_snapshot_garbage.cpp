// Whatever game memory holds, the document is valid JSON that says what memory says.
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "sim/sim.h"
#include "snapshot/scanner.h"

using nlohmann::json;

namespace {

constexpr uint32_t kSlotBytes = game::kChaoSlotCount * ChaoRecord::size;

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

std::string hex(const uint8_t* p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
    return s;
}

template <class T>
T at(const std::vector<uint8_t>& mem, int slot, uint32_t offset) {
    T v;
    memcpy(&v, mem.data() + static_cast<size_t>(slot) * ChaoRecord::size + offset, sizeof v);
    return v;
}

void check_float(const json& value, float f) {
    if (std::isnan(f) || std::fabs(f) > 3.0e38f) {
        CHECK(value.is_null());
    } else {
        REQUIRE(value.is_number());
        double d = value.get<double>();
        CHECK(std::fabs(d - static_cast<double>(f)) <= 0.00005 + std::fabs(static_cast<double>(f)) * 1e-12);
    }
}

// Scans what is in memory now and checks the document against the bytes.
void check_document(GardenScanner& s, uint64_t now) {
    std::vector<uint8_t> mem(kSlotBytes);
    sim::peek(game::addr::chao_slots, mem.data(), mem.size());
    s.request_full();
    ScanResult r = scan_garden(s, now);
    REQUIRE(r.produced);
    json doc;
    REQUIRE_NOTHROW(doc = json::parse(r.payload));

    std::vector<int> occupied;
    for (int i = 0; i < game::kChaoSlotCount; ++i)
        if (at<int8_t>(mem, i, ChaoRecord::type) != 0) occupied.push_back(i);
    CHECK(doc["occupied_slots"].get<std::vector<int>>() == occupied);
    REQUIRE(doc["chao"].size() == occupied.size());
    CHECK(r.chao_sent == static_cast<int>(occupied.size()));

    for (size_t k = 0; k < occupied.size(); ++k) {
        int slot = occupied[k];
        const json& c = doc["chao"][k];
        const uint8_t* rec = mem.data() + static_cast<size_t>(slot) * ChaoRecord::size;
        CHECK(c["slot"] == slot);
        int type = at<int8_t>(mem, slot, ChaoRecord::type);
        CHECK(c["type"] == type);
        CHECK(c["garden"] == at<int8_t>(mem, slot, ChaoRecord::garden));
        CHECK(c["name_raw"] == hex(rec + ChaoRecord::name_raw, 7));
        CHECK(c["chao_id"] == hex(rec + ChaoRecord::chao_id, 20));
        CHECK(c.contains("egg_generation") == (type == 1 || type == 2));
        Fingerprint guard = parts_guard_of(slot_addr(slot));
        CHECK(c["parts_guard"] == hex(guard.data(), 8));
        CHECK(c["content_hash"] == s.image_hashes[static_cast<size_t>(slot)]);
        CHECK(c["stats"]["run"]["points"] == at<int16_t>(mem, slot, ChaoRecord::stat_points + 4));
        CHECK(c["life"]["lifespan"] == at<int16_t>(mem, slot, ChaoRecord::lifespan));
        CHECK(c["life"]["classroom_flags"] == at<uint32_t>(mem, slot, ChaoRecord::classroom_flags));
        CHECK(c["animal_behaviors"] == (at<uint32_t>(mem, slot, ChaoRecord::animal_behaviors) & 0x1FFFFF));
        CHECK(c["parts"]["face"] == at<int8_t>(mem, slot, ChaoRecord::parts + 7));
        CHECK(c["personality"]["favorite_fruit"] == at<uint8_t>(mem, slot, ChaoRecord::favorite_fruit));
        check_float(c["evolution"]["power_run"], at<float>(mem, slot, ChaoRecord::power_run));
        check_float(c["evolution"]["progress"], at<float>(mem, slot, ChaoRecord::progress));
        check_float(c["evolution"]["alignment"], at<float>(mem, slot, ChaoRecord::alignment));
    }
    REQUIRE(doc["trees"].size() == 21);
    uint8_t trees[21 * 8];
    sim::peek(game::addr::trees, trees, sizeof trees);
    for (int t = 0; t < 21; ++t) {
        CHECK(doc["trees"][t]["raw"] == hex(trees + 8 * t, 8));
        CHECK(doc["trees"][t]["fruit_growth"][0] == static_cast<int8_t>(trees[8 * t + 4]));
    }
}

}  // namespace

TEST_CASE("random records, all-0xFF records and odd floats give honest documents") {
    sim::reset();
    std::mt19937 rng(20261207);
    std::vector<uint8_t> noise(kSlotBytes);
    GardenScanner s;
    s.begin_session("0123456789abcdef", "0.1.19", 60);
    uint64_t now = 100000;
    for (int round = 0; round < 150; ++round) {
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        // About a third of the slots free, so free and occupied records meet in one scan.
        for (int i = 0; i < game::kChaoSlotCount; ++i)
            if (rng() % 3 == 0) noise[static_cast<size_t>(i) * ChaoRecord::size + ChaoRecord::type] = 0;
        sim::poke(game::addr::chao_slots, noise.data(), noise.size());
        uint8_t trees[21 * 8];
        for (auto& b : trees) b = static_cast<uint8_t>(rng());
        sim::poke(game::addr::trees, trees, sizeof trees);
        check_document(s, now += 1000);
    }

    std::vector<uint8_t> ff(kSlotBytes, 0xFF);
    sim::poke(game::addr::chao_slots, ff.data(), ff.size());
    sim::poke(game::addr::trees, ff.data(), 21 * 8);
    check_document(s, now += 1000);

    // NaN, infinities, the bounds, just past them, and -0; names with no zero byte anywhere.
    const uint32_t floats[] = {0x7FC00000, 0xFFC00001, 0x7F800000, 0xFF800000, 0x7F61B1E6,
                               0xFF61B1E6, 0x7F61B1E7, 0x80000000, 0x00000001, 0x4E6E6B28};
    for (int i = 0; i < game::kChaoSlotCount; ++i) {
        for (uint32_t off : {ChaoRecord::power_run, ChaoRecord::progress, ChaoRecord::alignment}) {
            uint32_t bits = floats[(static_cast<uint32_t>(i) + off) % 10];
            sim::poke(slot_addr(i) + off, &bits, 4);
        }
        sim::poke(slot_addr(i) + ChaoRecord::name_raw, "\"\\\x01\x7f\xc3\xa9\xff", 7);
    }
    check_document(s, now += 1000);
}
