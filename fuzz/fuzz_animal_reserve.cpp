// The reserve file check over arbitrary bytes: no crash, and whatever it accepts is valid occupied
// records that serialise back to exactly the same file (no byte ignored or silently normalised).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animals/animal_reserve.h"

namespace {

constexpr uint32_t kKey = 0x5EED0001;

void check(const uint8_t* data, size_t size) {
    std::vector<AnimalRecord> records;
    if (!animals::parse_reserve_file(data, size, kKey, records)) {
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
    if (!animals::serialize_table(table.data(), kKey, again)) abort();
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(data, size);
    if (size < animals::kHeaderSize || size > animals::kMaxFileSize) return 0;
    // The same bytes with a header that passes (magic, version, key, count, checksum), so the
    // record checks are explored as well.
    size_t count = (size - animals::kHeaderSize) / sizeof(AnimalRecord);
    std::string fixed(reinterpret_cast<const char*>(data), animals::kHeaderSize + count * sizeof(AnimalRecord));
    uint32_t h = 0x811C9DC5u;
    for (size_t i = animals::kHeaderSize; i < fixed.size(); ++i) h = (h ^ static_cast<uint8_t>(fixed[i])) * 0x01000193u;
    const uint32_t header[4] = {animals::kFileVersion, kKey, static_cast<uint32_t>(count), h};
    std::memcpy(&fixed[0], animals::kMagic, 8);
    for (int f = 0; f < 4; ++f)
        for (int i = 0; i < 4; ++i) fixed[8 + 4 * f + i] = static_cast<char>(header[f] >> (8 * i));
    check(reinterpret_cast<const uint8_t*>(fixed.data()), fixed.size());
    return 0;
}
