// The garden save file read and rewritten over arbitrary bytes and record choices: a refusal leaves
// the output alone; a rewrite changes only the chosen record and the block's checksum (valid after).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/gameboy.h"
#include "sim/sim.h"
#include "storage/deposit.h"

using namespace storage_game;

namespace {

bool well_formed(const std::string& f) {
    return f.size() == kGardenSaveFileSize && std::memcmp(f.data(), kGardenSaveHeader, 48) == 0 && sim::garden_save_sealed(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static bool ready = [] {
        sim::reset();
        set_storage_scratch(sim::alloc(kStorageScratchSize), kStorageScratchSize);
        return true;
    }();
    // Input: a mode byte, a record choice (4 bytes, little-endian), the record's 20 new bytes, then the
    // file. Mode bit 0 builds a well-formed file around the rest (sealed unless bit 2), bit 1 picks any
    // address near the block.
    uint8_t head[25] = {};
    const size_t at_file = std::min(size, sizeof head);
    std::memcpy(head, data, at_file);
    const uint8_t mode = head[0], *bytes = head + 5;
    uint32_t choice;
    std::memcpy(&choice, head + 1, 4);
    std::string file(reinterpret_cast<const char*>(data + at_file), size - at_file);
    if (mode & 1) {
        std::string rest = file;
        file.assign(kGardenSaveFileSize, '\0');
        std::memcpy(file.data(), kGardenSaveHeader, 48);
        std::memcpy(file.data() + kGardenBlockOffset, rest.data(), std::min<size_t>(rest.size(), kGardenBlockSize));
        if (!(mode & 4)) sim::seal_garden_save(file);
    }
    uint32_t kind = (choice >> 31) ? kKindAnimal : kKindFruit;
    game_addr record = (mode & 2) ? game::addr::garden_save_block - 64 + (choice % (kGardenBlockSize + 128))
                                     : record_table(kind) + (choice % record_count(kind)) * kItemRecordSize;
    bool in_table = false;
    for (uint32_t k : {kKindFruit, kKindAnimal})
        in_table = in_table || (record >= record_table(k) && (record - record_table(k)) % kItemRecordSize == 0 &&
                                (record - record_table(k)) / kItemRecordSize < record_count(k));

    const std::string untouched = "untouched";
    std::string out = untouched, why;
    bool ok = garden_save_with_record(file, record, bytes, out, why);
    if (ok != (well_formed(file) && in_table)) abort();  // refused exactly the files and places not as expected
    if (!ok) {
        if (out != untouched || why.empty()) abort();
    } else {
        if (out.size() != file.size() || !well_formed(out)) abort();
        const size_t at = kGardenBlockOffset + (record - game::addr::garden_save_block);
        if (std::memcmp(out.data() + at, bytes, kItemRecordSize) != 0) abort();
        for (size_t i = 0; i < out.size(); ++i)
            if (out[i] != file[i] && (i < at || i >= at + kItemRecordSize) &&
                (i < kGardenBlockOffset || i >= kGardenBlockOffset + 4))
                abort();
        if (!garden_save_has_record(out, record >= record_table(kKindAnimal) ? kKindAnimal : kKindFruit, bytes))
            abort();
    }
    // A record is only ever found in a file the game would load.
    if (garden_save_has_record(file, kind, bytes) && !well_formed(file)) abort();
    return 0;
}
