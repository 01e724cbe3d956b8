#include "host/care_warnings.h"

#include <cstdio>

#include "host/config.h"
#include "host/game.h"

namespace {

constexpr const char* kLowLife = "LOW LIFE: leave garden; enable lifespan protection!";
constexpr const char* kUnhappy = "UNHAPPY - pet gently; feed fruit in SA2";
constexpr const char* kNeedsAffection = "Needs affection - pet gently; feed fruit in SA2";
constexpr const char* kStatusFrozen = "Lifespan frozen: natural death / rebirth paused.";
constexpr const char* kStatusOff = "Lifespan protection OFF. Do not wait for a cocoon.";
constexpr const char* kOverflow = "More Chao need care - check the companion.";

// Offsets in the game's Chao record.
constexpr uint32_t kType = 0x80;
constexpr uint32_t kGarden = 0x81;
constexpr uint32_t kHappiness = 0x82;
constexpr uint32_t kLifespan = 0x8A;
constexpr uint32_t kLifespan2 = 0x8C;

constexpr int kFirstChaoLine = 3;
constexpr int kOverflowLine = 6;
constexpr int kStatusLine = 7;
constexpr int kShownChao = 3;

bool in_range(int v, int lo, int hi) { return v >= lo && v <= hi; }

// The warning one slot deserves, or null.
const char* warning_for(game_addr record, int32_t garden, bool lifespan_frozen) {
    if (game::read<int8_t>(record + kGarden) != garden) return nullptr;
    int8_t type = game::read<int8_t>(record + kType);
    if (type <= 1) return nullptr;  // free slot or egg
    // Chaos Chao and the character Chao do not age.
    bool ages = !in_range(type, 20, 25);
    if (ages && !lifespan_frozen) {
        int16_t life = game::read<int16_t>(record + kLifespan);
        int16_t life2 = game::read<int16_t>(record + kLifespan2);
        if (in_range(life, 0, 500) || in_range(life2, 0, 500)) return kLowLife;
    }
    int16_t happiness = game::read<int16_t>(record + kHappiness);
    if (!in_range(happiness, -100, 100)) return nullptr;
    if (happiness < 0) return kUnhappy;
    if (happiness <= 50) return kNeedsAffection;
    return nullptr;
}

// Level 90 with the game state 16 or 17.
bool in_garden() {
    uint16_t state = game::read<uint16_t>(game::addr::game_state);
    return game::read<uint16_t>(game::addr::level) == game::kGardenLevel && (state == 16 || state == 17);
}

}  // namespace

void show_care_warnings(const SyncConfig& config, ScreenTextFn screen_text) {
    if (!config.ShowCareWarnings || !screen_text || !in_garden()) return;
    int32_t garden = game::current_garden();
    if (garden < 1 || garden > 3) return;
    int count = 0;
    for (int slot = 0; slot < game::kChaoSlotCount; ++slot) {
        game_addr record = game::addr::chao_slots + static_cast<game_addr>(slot) * game::kChaoRecordSize;
        const char* warning = warning_for(record, garden, config.lifespan_frozen);
        if (!warning) continue;
        if (count < kShownChao) {
            char line[160];
            std::snprintf(line, sizeof line, "Chao slot %d: %s", slot, warning);
            show_screen_line(screen_text, kFirstChaoLine + count, line);
        }
        ++count;
    }
    if (count >= 1) show_screen_line(screen_text, kStatusLine, config.lifespan_frozen ? kStatusFrozen : kStatusOff);
    if (count > kShownChao) show_screen_line(screen_text, kOverflowLine, kOverflow);
}
