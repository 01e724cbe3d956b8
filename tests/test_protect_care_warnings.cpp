#include <doctest/doctest.h>

#include <map>
#include <string>

#include "host/care_warnings.h"
#include "host/config.h"
#include "host/game.h"
#include "sim/sim.h"

namespace {

std::map<int, std::string> g_lines;  // line -> text of this frame

void capture(int32_t position, const char* text) { g_lines[position - 0x10000] = text; }

struct Chao {
    int8_t type = 5;
    int8_t garden = 1;
    int16_t happiness = 80;
    int16_t lifespan = 3000;
    int16_t lifespan2 = 3000;
};

void put(int slot, const Chao& c) {
    game_addr r = game::addr::chao_slots + static_cast<game_addr>(slot) * game::kChaoRecordSize;
    sim::poke(r + 0x80, &c.type, 1);
    sim::poke(r + 0x81, &c.garden, 1);
    sim::poke(r + 0x82, &c.happiness, 2);
    sim::poke(r + 0x8A, &c.lifespan, 2);
    sim::poke(r + 0x8C, &c.lifespan2, 2);
}

void enter_garden(int garden, uint16_t state = 16) {
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
const char* const kOff = "Lifespan protection OFF. Do not wait for a cocoon.";
const char* const kFrozen = "Lifespan frozen: natural death / rebirth paused.";

}  // namespace

TEST_CASE("care warnings: the thresholds of life and happiness, protection off") {
    sim::reset();
    enter_garden(1);
    SyncConfig c;
    c.lifespan_frozen = false;
    struct Case {
        Chao chao;
        const char* warning;
    };
    auto chao = [](int16_t life, int16_t life2, int16_t happiness, int8_t type = 5) {
        Chao x;
        x.lifespan = life;
        x.lifespan2 = life2;
        x.happiness = happiness;
        x.type = type;
        return x;
    };
    const Case cases[] = {
        {chao(-1, 600, 80), nullptr},    {chao(800, 300, 80), kLow},      {chao(800, -1, 80), nullptr},
        {chao(500, 3000, 80), kLow},     {chao(0, 3000, 80), kLow},       {chao(3000, 3000, 51), nullptr},
        {chao(3000, 3000, 50), kAffection}, {chao(3000, 3000, 0), kAffection}, {chao(3000, 3000, -1), kUnhappy},
        {chao(3000, 3000, -100), kUnhappy}, {chao(3000, 3000, -101), nullptr}, {chao(3000, 3000, 101), nullptr},
        // Chaos and character Chao do not age, but can be unhappy; eggs and free slots never show.
        {chao(10, 10, 80, 20), nullptr}, {chao(10, 10, -5, 25), kUnhappy}, {chao(10, 10, -5, 26), kLow},
        {chao(10, 10, -5, 1), nullptr},  {chao(10, 10, -5, 0), nullptr},
    };
    for (const Case& k : cases) {
        INFO("type " << int(k.chao.type) << " life " << k.chao.lifespan << "/" << k.chao.lifespan2 << " happiness "
                     << k.chao.happiness);
        put(4, k.chao);
        auto lines = frame(c);
        if (!k.warning) {
            CHECK(lines.empty());
            continue;
        }
        CHECK(lines.size() == 2);
        CHECK(lines[3] == slot_line(4, k.warning));
        CHECK(lines[7] == kOff);
    }
}

TEST_CASE("care warnings: the current garden only, three lines, overflow, protection on") {
    sim::reset();
    enter_garden(2, 17);
    SyncConfig c;
    c.lifespan_frozen = true;
    Chao needy;
    needy.garden = 2;
    needy.lifespan = 100;  // low, but aging is frozen
    needy.happiness = -20;
    Chao elsewhere = needy;
    elsewhere.garden = 3;
    put(0, elsewhere);
    put(2, needy);
    put(5, needy);
    put(9, needy);
    auto lines = frame(c);
    CHECK(lines.size() == 4);
    CHECK(lines[3] == slot_line(2, kUnhappy));
    CHECK(lines[4] == slot_line(5, kUnhappy));
    CHECK(lines[5] == slot_line(9, kUnhappy));
    CHECK(lines[7] == kFrozen);
    CHECK(lines.count(6) == 0);

    put(36, needy);
    lines = frame(c);
    CHECK(lines.size() == 5);
    CHECK(lines[5] == slot_line(9, kUnhappy));
    CHECK(lines[6] == "More Chao need care - check the companion.");

    // Nothing outside a garden, with the setting off, or without a screen-text function.
    c.ShowCareWarnings = false;
    CHECK(frame(c).empty());
    c.ShowCareWarnings = true;
    CHECK(frame(c, nullptr).empty());
    sim::world().garden = 4;
    CHECK(frame(c).empty());
    sim::world().garden = 2;
    const uint16_t menu_state = 5;
    sim::poke(game::addr::game_state, &menu_state, 2);
    CHECK(frame(c).empty());
}
