#include <doctest/doctest.h>

#include <map>
#include <string>

#include "host/care_warnings.h"
#include "host/config.h"
#include "host/game.h"
#include "sim/sim.h"

namespace {

std::map<int, std::string> g_lines;  // line -> text, this frame
void capture(int32_t position, const char* text) { g_lines[position - 0x10000] = text; }

struct Chao {
    int16_t lifespan, lifespan2, happiness;
    int8_t type = 5, garden = 1;
};

void put(int slot, const Chao& c) {
    game_addr r = game::addr::chao_slots + static_cast<game_addr>(slot) * game::kChaoRecordSize;
    sim::poke(r + 0x80, &c.type, 1);
    sim::poke(r + 0x81, &c.garden, 1);
    sim::poke(r + 0x82, &c.happiness, 2);
    sim::poke(r + 0x8A, &c.lifespan, 2);
    sim::poke(r + 0x8C, &c.lifespan2, 2);
}

void enter_garden(int garden, uint16_t state) {
    const uint16_t level = 90;
    sim::poke(game::addr::level, &level, 2);
    sim::poke(game::addr::game_state, &state, 2);
    sim::world().garden = garden;
}

std::map<int, std::string> frame(const SyncConfig& c, ScreenTextFn fn = &capture) {
    g_lines.clear();
    show_care_warnings(c, fn);
    return g_lines;
}

std::string slot_line(int slot, const char* warning) { return "Chao slot " + std::to_string(slot) + ": " + warning; }

const char* const kLow = "LOW LIFE: leave garden; enable lifespan protection!";
const char* const kUnhappy = "UNHAPPY - pet gently; feed fruit in SA2";
const char* const kAffection = "Needs affection - pet gently; feed fruit in SA2";

}  // namespace

TEST_CASE("care warnings: the thresholds of life and happiness with protection off") {
    sim::reset();
    enter_garden(1, 16);
    SyncConfig c;
    c.lifespan_frozen = false;
    const std::pair<Chao, const char*> cases[] = {
        {{-1, 600, 80}, nullptr},       {{800, 300, 80}, kLow},          {{800, -1, 80}, nullptr},
        {{500, 3000, 80}, kLow},        {{3000, 3000, 51}, nullptr},     {{3000, 3000, 50}, kAffection},
        {{3000, 3000, 0}, kAffection},  {{3000, 3000, -1}, kUnhappy},    {{3000, 3000, -101}, nullptr},
        // Chaos and character Chao do not age but can be unhappy; eggs never show.
        {{10, 10, 80, 20}, nullptr},    {{10, 10, -5, 25}, kUnhappy},    {{10, 10, -5, 26}, kLow},
        {{10, 10, -5, 1}, nullptr},
    };
    for (const auto& [chao, warning] : cases) {
        INFO("type " << int(chao.type) << " life " << chao.lifespan << "/" << chao.lifespan2 << " happiness "
                     << chao.happiness);
        put(4, chao);
        auto lines = frame(c);
        if (!warning) {
            CHECK(lines.empty());
            continue;
        }
        CHECK(lines == std::map<int, std::string>{{3, slot_line(4, warning)},
                                                  {7, "Lifespan protection OFF. Do not wait for a cocoon."}});
    }
}

TEST_CASE("care warnings: the current garden only, three lines, overflow, protection on") {
    sim::reset();
    enter_garden(2, 17);
    SyncConfig c;
    c.lifespan_frozen = true;
    const Chao needy{100, 100, -20, 5, 2};  // low life too, but ageing is frozen
    Chao elsewhere = needy;
    elsewhere.garden = 3;
    put(0, elsewhere);
    for (int slot : {2, 5, 9}) put(slot, needy);
    auto lines = frame(c);
    CHECK(lines == std::map<int, std::string>{{3, slot_line(2, kUnhappy)},
                                              {4, slot_line(5, kUnhappy)},
                                              {5, slot_line(9, kUnhappy)},
                                              {7, "Lifespan frozen: natural death / rebirth paused."}});
    put(36, needy);
    lines = frame(c);
    CHECK(lines.size() == 5);
    CHECK(lines[6] == "More Chao need care - check the companion.");

    // Nothing with the setting off, without a screen-text function, outside a garden.
    c.ShowCareWarnings = false;
    CHECK(frame(c).empty());
    c.ShowCareWarnings = true;
    CHECK(frame(c, nullptr).empty());
    sim::world().garden = 4;
    CHECK(frame(c).empty());
    enter_garden(2, 5);
    CHECK(frame(c).empty());
}
