// The reserve file and record validity, against bytes built by hand.
#include <doctest/doctest.h>

#include <cmath>
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
std::string u16(uint16_t v) { return std::string{char(v), char(v >> 8)}; }
std::string f32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return u32(v);
}

std::string record_bytes(int16_t type, int16_t garden, uint16_t size, uint16_t age, float x, float y, float z) {
    return u16(uint16_t(type)) + u16(uint16_t(garden)) + u16(size) + u16(age) + f32(x) + f32(y) + f32(z);
}

// The file written out field by field, as the format is laid down.
std::string hand_file(uint32_t key, const std::string& records, uint32_t count) {
    return std::string("VLANIMAL") + u32(1) + u32(key) + u32(count) + u32(fnv(records)) + records;
}

AnimalRecord rec(int16_t type, int16_t garden, float x = 1.0f, float y = 2.0f, float z = 3.0f) {
    return AnimalRecord{type, garden, 7, 300, x, y, z};
}

}  // namespace

TEST_CASE("the file: header, occupied records in table order, FNV-1a checksum") {
    const uint32_t key = 0x1234ABCD;
    std::vector<AnimalRecord> table(kCapacity, free_record());
    table[5] = rec(0, 1, -5.5f, 0.25f, 99999.0f);
    table[100] = rec(24, 3);
    const std::string records =
        record_bytes(0, 1, 7, 300, -5.5f, 0.25f, 99999.0f) + record_bytes(24, 3, 7, 300, 1.0f, 2.0f, 3.0f);
    const std::string expected = hand_file(key, records, 2);

    std::string out;
    REQUIRE(serialize_table(table.data(), key, out));
    CHECK(out == expected);

    std::vector<AnimalRecord> parsed;
    REQUIRE(parse_reserve_file(expected.data(), expected.size(), key, parsed));
    REQUIRE(parsed.size() == 2);
    CHECK(std::memcmp(&parsed[0], &table[5], 20) == 0);
    CHECK(std::memcmp(&parsed[1], &table[100], 20) == 0);

    // An empty reserve: the bare header with the checksum of nothing.
    std::vector<AnimalRecord> empty(kCapacity, free_record());
    REQUIRE(serialize_table(empty.data(), key, out));
    CHECK(out == std::string("VLANIMAL") + u32(1) + u32(key) + u32(0) + u32(0x811C9DC5));

    // A full reserve is the largest file.
    std::vector<AnimalRecord> full(kCapacity, rec(3, 2));
    REQUIRE(serialize_table(full.data(), key, out));
    CHECK(out.size() == kMaxFileSize);
    CHECK(parse_reserve_file(out.data(), out.size(), key, parsed));
    CHECK(parsed.size() == kCapacity);
}

TEST_CASE("record validity at its edges") {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    CHECK(record_valid(rec(0, 1)));
    CHECK(record_valid(rec(24, 3)));
    CHECK(record_valid(rec(3, 2, 99999.99f, -99999.99f, 0.0f)));
    CHECK(record_valid(free_record()));
    std::vector<AnimalRecord> bad{rec(25, 1), rec(-2, 1), rec(3, 0), rec(3, 4)};
    for (float v : {100000.0f, -100000.0f, nan, inf, -inf})
        for (AnimalRecord r : {rec(3, 2, v, 0, 0), rec(3, 2, 0, v, 0), rec(3, 2, 0, 0, v)}) bad.push_back(r);
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

    // An invalid entry anywhere, free or occupied, and nothing is written.
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
    const std::string one = record_bytes(3, 1, 0, 0, 1, 1, 1);
    const std::string good = hand_file(key, one + one, 2);
    std::vector<AnimalRecord> kept(1, rec(9, 1));
    auto refused = [&](const std::string& bytes) {
        bool ok = parse_reserve_file(bytes.data(), bytes.size(), key, kept);
        return !ok && kept.size() == 1 && kept[0].item_type == 9;
    };
    CHECK(refused(good.substr(0, 23)));
    CHECK(refused(good.substr(0, good.size() - 1)));
    CHECK(refused(good + std::string(1, '\0')));
    CHECK(refused(hand_file(key + 1, one + one, 2)));
    CHECK(refused(hand_file(key, one + one, 3)));
    CHECK(refused(hand_file(key, "", 4097)));
    CHECK(refused(std::string("VLANIMAX") + good.substr(8)));
    CHECK(refused(good.substr(0, 8) + u32(2) + good.substr(12)));
    std::string flipped = good;
    flipped[30] ^= 1;
    CHECK(refused(flipped));
    // Records that are free or invalid have no place in a file, checksum or not.
    CHECK(refused(hand_file(key, record_bytes(-1, -1, 0, 0, 0, 0, 0), 1)));
    CHECK(refused(hand_file(key, record_bytes(25, 1, 0, 0, 0, 0, 0), 1)));
    CHECK(refused(hand_file(key, record_bytes(3, 0, 0, 0, 0, 0, 0), 1)));
    CHECK(refused(hand_file(key, record_bytes(3, 1, 0, 0, 100000.0f, 0, 0), 1)));
    CHECK(refused(std::string(kMaxFileSize + 20, 'V')));
    CHECK(parse_reserve_file(good.data(), good.size(), key, kept));
    CHECK(kept.size() == 2);
}

TEST_CASE("file names: slot and save key of the normalised save path") {
    std::string n = normalize_save_path("C:/Games/SA2/SAVEDATA\\SONIC2B__S07");
    CHECK(n == "c:\\games\\sa2\\savedata\\sonic2b__s07");
    CHECK(save_key_of(n) == fnv(n));
    CHECK(save_key_of("") == 0x811C9DC5u);
    CHECK(reserve_file_name(7, 0x00ABCDEF) == "\\animal-inventory-s07-00abcdef.bin");
}
