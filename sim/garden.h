// A garden for the simulated game: a small description (Chao slots, tree plots, the player's
// context) written into the simulator's memory at the game's own addresses, the same
// description as a text file, and the game's garden save file.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/game.h"

namespace sim {

// One Chao slot: its type and any named record fields, each value kept as text and checked
// when the garden is built. Field names are the snapshot's keys: "name_raw", "lifespan",
// "alignment", "swim.level", "arm", ..., plus "raw.<offset>" for bytes at any record offset.
// Byte fields take hexadecimal text; numbers may be decimal or 0x hexadecimal, floats also
// "nan", "inf" and "-inf".
struct ChaoSpec {
    int32_t slot = 0;
    int32_t type = 2;  // 0 free, 1 egg, 2 child, 3 to 25 adults; any byte value is accepted
    std::vector<std::pair<std::string, std::string>> fields;

    ChaoSpec& set(const std::string& field, const std::string& value);
    ChaoSpec& set(const std::string& field, int64_t value);
    ChaoSpec& set_float(const std::string& field, float value);
    ChaoSpec& set_bytes(const std::string& field, const std::vector<uint8_t>& bytes);
};

// One tree plot (index 0 to 20: garden index / 7 + 1, slot index % 7), its 8 game bytes.
struct TreeSpec {
    int32_t index = 0;
    uint8_t kind = 0, state = 0, growth = 0, water = 0;
    int8_t fruit_growth[3] = {0, 0, 0};
    uint8_t rotation = 0;
};

struct GardenDescription {
    // The player: in garden 1 to 3 (level 90, playing, a character present), or 0 outside.
    int32_t garden = 0;
    int32_t character = 0;
    int32_t rings = 0;
    int32_t emblems = 0;  // 0 to 255
    int32_t lobby_unlocks = 0;
    std::vector<ChaoSpec> chao;   // slots not listed are free and zero
    std::vector<TreeSpec> trees;  // plots not listed are zero
};

// Checks the whole description, then clears all 37 slots and 21 plots and writes it. On a
// refusal nothing is written and `error` says why.
bool build_garden(const GardenDescription& garden, std::string& error);
// Writes one slot's record (zeroed first) without touching the rest.
bool write_chao(const ChaoSpec& chao, std::string& error);
void write_tree(const TreeSpec& tree);
// The player's context only.
void write_garden_context(const GardenDescription& garden);

// The text form, one statement per line, '#' starts a comment:
//   garden N | character N | rings N | emblems N | lobby_unlocks N
//   chao SLOT TYPE [field=value ...]      TYPE: a number, or a type name such as egg,
//                                          child, hero-fly, neutral-chaos, amy, empty
//   tree INDEX [kind=N] [state=N] [growth=N] [water=N] [fruit=A,B,C] [rotation=N] [raw=HEX16]
bool parse_garden_description(const std::string& text, GardenDescription& out, std::string& error);
std::string format_garden_description(const GardenDescription& garden);
// Reads, parses and builds a description file.
bool load_garden_file(const std::string& path, std::string& error);

// The project's own sample garden: every kind of Chao, free slots, extreme and zero values,
// lifespans near their end, and trees in every state.
GardenDescription sample_garden();

// The game's garden save file: 65,536 bytes beginning with its header text; its data block
// at file offset 0x3040 mirrors game memory from 0x019F6460 (0xCA6C bytes).
constexpr uint32_t kGardenSaveSize = 65536;
constexpr uint32_t kGardenSaveBlockOffset = 0x3040;
constexpr uint32_t kGardenSaveBlockSize = 0xCA6C;
extern const char kGardenSaveHeader[49];
// The file as the game would write it from the simulator's memory now.
std::string garden_save_image();
// Puts a save file's block into memory; refuses a file of the wrong size or header.
bool load_garden_save(const std::string& bytes, std::string& error);

}  // namespace sim
