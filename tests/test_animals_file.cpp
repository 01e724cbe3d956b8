// The reserve file and record validity, against bytes built by hand.
#include <doctest/doctest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "animals/animal_reserve.h"

using namespace animals;

namespace {

uint32_t fnv(const std::string& bytes) {
    uint32_t h = 2166136261u;
    for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
    return h;
}

std::string u32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string u16(int v) { return std::string{char(v), char(v >> 8)}; }
std::string f32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return u32(v);
}

std::string record_bytes(int type, int garden, float x = 1, float y = 2, float z = 3, int size = 7, int age = 300) {
    return u16(type) + u16(garden) + u16(size) + u16(age) + f32(x) + f32(y) + f32(z);
}

// The file written out field by field.
std::string hand_file(uint32_t key, const std::string& records, uint32_t count) {
    return std::string("VLANIMAL") + u32(1) + u32(key) + u32(count) + u32(fnv(records)) + records;
}

AnimalRecord rec(int16_t type, int16_t garden, float x = 1.0f, float y = 2.0f, float z = 3.0f) {
    return AnimalRecord{type, garden, 7, 300, x, y, z};
}

}  // namespace

TEST_CASE("the file: header, occupied records in table order, FNV-1a checksum; empty and full") {
    const uint32_t key = 0x1234ABCD;
    std::vector<AnimalRecord> table(kCapacity, free_record());
    table[5] = rec(0, 1, -5.5f, 0.25f, 99999.0f);
    table[100] = rec(24, 3);
    const std::string expected = hand_file(key, record_bytes(0, 1, -5.5f, 0.25f, 99999.0f) + record_bytes(24, 3), 2);
    std::string out;
    REQUIRE(serialize_table(table.data(), key, out));
    CHECK(out == expected);
    std::vector<AnimalRecord> parsed;
    REQUIRE(parse_reserve_file(expected.data(), expected.size(), key, parsed));
    REQUIRE(parsed.size() == 2);
    CHECK(std::memcmp(&parsed[0], &table[5], 20) == 0);
    CHECK(std::memcmp(&parsed[1], &table[100], 20) == 0);

    std::vector<AnimalRecord> empty(kCapacity, free_record());
    REQUIRE(serialize_table(empty.data(), key, out));
    CHECK(out == hand_file(key, "", 0));
    std::vector<AnimalRecord> full(kCapacity, rec(3, 2));
    REQUIRE(serialize_table(full.data(), key, out));
    CHECK(out.size() == kMaxFileSize);
    CHECK(parse_reserve_file(out.data(), out.size(), key, parsed));
    CHECK(parsed.size() == kCapacity);
}

TEST_CASE("record validity at its edges; an invalid entry anywhere and nothing is written") {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (const AnimalRecord& r : {rec(0, 1), rec(24, 3), rec(3, 2, 99999.99f, -99999.99f, 0.0f), free_record()})
        CHECK(record_valid(r));
    std::vector<AnimalRecord> bad{rec(25, 1), rec(-2, 1), rec(3, 0), rec(3, 4)};
    for (float v : {100000.0f, -100000.0f, nan, inf, -inf})
        bad.insert(bad.end(), {rec(3, 2, v, 0, 0), rec(3, 2, 0, v, 0), rec(3, 2, 0, 0, v)});
    // A free record only in its exact form; the allocation hook leaves the garden set until
    // the game fills the record in.
    AnimalRecord in_garden = free_record(), aged = free_record(), moved = free_record();
    in_garden.garden = 1;
    aged.age = 1;
    moved.z = 0.5f;
    bad.insert(bad.end(), {in_garden, aged, moved});
    for (const AnimalRecord& r : bad) {
        INFO(r.item_type << " " << r.garden << " " << r.age << " " << r.x << " " << r.y << " " << r.z);
        CHECK_FALSE(record_valid(r));
    }

    std::vector<AnimalRecord> table(kCapacity, free_record());
    table[4095] = rec(3, 2, 100000.0f);
    std::string out = "x";
    CHECK_FALSE(serialize_table(table.data(), 1, out));
    CHECK(out.empty());
    table[4095] = free_record();
    table[4095].size = 1;
    CHECK_FALSE(serialize_table(table.data(), 1, out));
    // An entry handed to the game and not filled in yet is no animal, and blocks no save.
    table[4095] = in_garden;
    REQUIRE(serialize_table(table.data(), 1, out));
    CHECK(out.size() == kHeaderSize);
}

TEST_CASE("a file that is short, overlong, wrongly keyed or corrupt is refused whole") {
    const uint32_t key = 77;
    const std::string one = record_bytes(3, 1, 1, 1, 1, 0, 0);
    const std::string good = hand_file(key, one + one, 2);
    std::string flipped = good;
    flipped[30] ^= 1;
    const std::string refused[] = {
        good.substr(0, 23), good.substr(0, good.size() - 1), good + std::string(1, '\0'),
        hand_file(key + 1, one + one, 2), hand_file(key, one + one, 3), hand_file(key, "", 4097),
        "VLANIMAX" + good.substr(8), good.substr(0, 8) + u32(2) + good.substr(12), flipped,
        // Records that are free or invalid have no place in a file, checksum or not.
        hand_file(key, record_bytes(-1, -1, 0, 0, 0, 0, 0), 1), hand_file(key, record_bytes(25, 1), 1),
        hand_file(key, record_bytes(3, 0), 1), hand_file(key, record_bytes(3, 1, 100000.0f), 1),
        std::string(kMaxFileSize + 20, 'V'),
    };
    std::vector<AnimalRecord> kept(1, rec(9, 1));
    for (size_t i = 0; i < std::size(refused); ++i) {
        CAPTURE(i);
        CHECK_FALSE(parse_reserve_file(refused[i].data(), refused[i].size(), key, kept));
        CHECK((kept.size() == 1 && kept[0].item_type == 9));
    }
    CHECK(parse_reserve_file(good.data(), good.size(), key, kept));
    CHECK(kept.size() == 2);
}

TEST_CASE("file names: slot and save key of the normalised save path") {
    std::string n = normalize_save_path("C:/Games/SA2/SAVEDATA\\SONIC2B__S07");
    CHECK(n == "c:\\games\\sa2\\savedata\\sonic2b__s07");
    CHECK(save_key_of(n) == fnv(n));
    CHECK(reserve_file_name(7, 0x00ABCDEF) == "\\animal-inventory-s07-00abcdef.bin");
}
