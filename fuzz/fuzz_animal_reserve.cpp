// The reserve file check over arbitrary bytes, then over the same records under a header that
// passes (to reach the record checks): no crash, a refusal leaves the output alone, and whatever
// it accepts is valid occupied records that serialise back to exactly the same file (too many
// records, or a free, pending or invalid one accepted, would not).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animals/animal_reserve.h"
#include "protect/game_memory.h"

using namespace animals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint32_t kKey = 0x5EED0001;
    std::string file(reinterpret_cast<const char*>(data), size);
    for (int pass = 0; pass < 2 && (pass == 0 || (size >= kHeaderSize && size <= kMaxFileSize)); ++pass) {
        if (pass) {
            file.resize(size - (size - kHeaderSize) % sizeof(AnimalRecord));
            const uint32_t header[4] = {kFileVersion, kKey, uint32_t((file.size() - kHeaderSize) / sizeof(AnimalRecord)),
                                        game_memory::fnv1a32(file.data() + kHeaderSize, file.size() - kHeaderSize)};
            std::memcpy(&file[0], kMagic, 8);
            std::memcpy(&file[8], header, 16);  // little-endian, as the file (x86 only)
        }
        std::vector<AnimalRecord> records;
        if (!parse_reserve_file(file.data(), file.size(), kKey, records)) {
            if (!records.empty()) abort();
            continue;
        }
        records.resize(kCapacity, free_record());
        std::string again;
        if (!serialize_table(records.data(), kKey, again) || again != file) abort();
    }
    return 0;
}
