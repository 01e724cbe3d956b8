// The animal reserve's file check over arbitrary bytes: it must never crash, and whatever it
// accepts must be valid occupied records that serialise back to exactly the same file (no
// byte of a reserve file is ignored or silently normalised).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animals/animal_reserve.h"

namespace {

constexpr uint32_t kKey = 0x5EED0001;

void check(const uint8_t* data, size_t size, uint32_t key) {
    std::vector<AnimalRecord> records;
    if (!animals::parse_reserve_file(data, size, key, records)) {
        if (!records.empty()) abort();  // a refusal leaves the output alone
        return;
    }
    if (records.size() > animals::kCapacity) abort();
    std::vector<AnimalRecord> table(animals::kCapacity, animals::free_record());
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].item_type < 0 || !animals::record_valid(records[i])) abort();
        table[i] = records[i];
    }
    std::string again;
    if (!animals::serialize_table(table.data(), key, again)) abort();
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(data, size, kKey);
    if (size < animals::kHeaderSize || size > animals::kMaxFileSize) return 0;

    // Past the header checks: the same bytes with the magic, version, key, a count that fits
    // and a correct checksum, so the record checks are explored as well.
    std::string fixed(reinterpret_cast<const char*>(data), size);
    size_t count = (size - animals::kHeaderSize) / sizeof(AnimalRecord);
    fixed.resize(animals::kHeaderSize + count * sizeof(AnimalRecord));
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) fixed[at + i] = static_cast<char>(v >> (8 * i));
    };
    std::memcpy(&fixed[0], animals::kMagic, 8);
    put(8, animals::kFileVersion);
    put(12, kKey);
    put(16, static_cast<uint32_t>(count));
    uint32_t h = 0x811C9DC5u;
    for (size_t i = animals::kHeaderSize; i < fixed.size(); ++i) h = (h ^ static_cast<uint8_t>(fixed[i])) * 0x01000193u;
    put(20, h);
    check(reinterpret_cast<const uint8_t*>(fixed.data()), fixed.size(), kKey);
    return 0;
}
