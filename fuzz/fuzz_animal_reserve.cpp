// The reserve file check over arbitrary bytes: no crash, and whatever it accepts is valid occupied
// records that serialise back to exactly the same file (no byte ignored or silently normalised).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animals/animal_reserve.h"
#include "protect/game_memory.h"

using namespace animals;

static constexpr uint32_t kKey = 0x5EED0001;

static void check(const std::string& file) {
    std::vector<AnimalRecord> records;
    if (!parse_reserve_file(file.data(), file.size(), kKey, records)) {
        if (!records.empty()) abort();  // a refusal leaves the output alone
        return;
    }
    // Too many records, or a free, pending or invalid one accepted, would not serialise back the same.
    std::vector<AnimalRecord> table = records;
    table.resize(kCapacity, free_record());
    std::string again;
    if (!serialize_table(table.data(), kKey, again) || again != file) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size);
    check(file);
    if (size < kHeaderSize || size > kMaxFileSize) return 0;
    // The same records under a header that passes, so the record checks are explored as well.
    file.resize(size - (size - kHeaderSize) % sizeof(AnimalRecord));
    const uint32_t count = static_cast<uint32_t>((file.size() - kHeaderSize) / sizeof(AnimalRecord));
    const uint32_t header[4] = {kFileVersion, kKey, count,
                                game_memory::fnv1a32(file.data() + kHeaderSize, file.size() - kHeaderSize)};
    std::memcpy(&file[0], kMagic, 8);
    std::memcpy(&file[8], header, 16);  // little-endian, as the file (x86 only)
    check(file);
    return 0;
}
