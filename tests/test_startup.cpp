#include <doctest/doctest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/lifespan.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

std::vector<std::string> start(const TempDir& dir, const std::string& config, int32_t helper_version = 8,
                               bool null_path = false, bool null_screen_text = false) {
    sim::reset();
    if (!config.empty()) dir.write("config.ini", config);
    sim::load(null_path ? nullptr : dir.str().c_str(), helper_version, null_screen_text);
    return sim::recording().debug_lines;
}

std::vector<std::string> box_titles() {
    std::vector<std::string> titles;
    for (const auto& b : sim::recording().boxes) titles.push_back(b.title);
    return titles;
}

}  // namespace

TEST_CASE("a valid configuration: every start-up line in order, then sync enabled") {
    TempDir dir;
    auto lines = start(dir, "BaseUrl=http://127.0.0.1:8787/garden\nSaveSlot=3\nApiKey=secret-key-1234\n");
    const ModState& s = mod_state();
    REQUIRE(lines.size() == 7);
    CHECK(lines[0] == "[velmora] v0.1.19 starting\n");
    CHECK(lines[1] == "[velmora] animal inventory: enabled\n");
    CHECK(lines[2] == "[velmora] manual rebirth: safe native behavior available\n");
    CHECK(lines[3] == "[velmora] natural lifecycle: lifespan frozen; natural death/reincarnation disabled\n");
    CHECK(lines[4] == "[velmora] target http://127.0.0.1:8787/garden/api/v1/sync (save slot 3)\n");
    CHECK(lines[5] == "[velmora] scan every 180 frames, full resync every 60s, session " + s.session_id + "\n");
    CHECK(lines[6] == "[velmora] Game Boy storage: enabled\n");
    CHECK((s.session_id.size() == 16 && s.session_id.find_first_not_of("0123456789abcdef") == std::string::npos));
    CHECK((s.sync_enabled && s.mod_path == dir.str() && s.screen_text != nullptr));
    CHECK(box_titles().empty());
    CHECK((link_worker().lifespan_frozen.load() && link_worker().rebirth_available.load()));
    for (const auto& line : lines) CHECK(line.find("secret-key") == std::string::npos);  // no key in the log, ever
}

TEST_CASE("an empty API key warns; an invalid configuration stops before the worker") {
    TempDir dir;
    auto lines = start(dir, "SaveSlot=0\n");
    CHECK((!mod_state().sync_enabled && mod_state().session_id.empty()));
    REQUIRE(lines.size() == 4);  // no animal line: the reserve needs a valid configuration
    CHECK(lines[1] == "[velmora] manual rebirth: safe native behavior available\n");
    CHECK(lines[3] ==
          "[velmora] ERROR: invalid config.ini (SaveSlot must be a whole number from 1 through 99) -- sync is "
          "disabled\n");
    CHECK(box_titles().empty());
    CHECK(mod_state().config.lifespan_frozen);

    lines = start(dir, "SaveSlot=2\nApiKey=\n");
    CHECK(std::count(lines.begin(), lines.end(),
                     "[velmora] WARNING: no ApiKey set in config.ini -- the server will reject uploads\n") == 1);
}

TEST_CASE("Verbose off: not a single line, but the boxes still appear") {
    TempDir dir;
    sim::reset();
    dir.write("config.ini", "Verbose=false\nSaveSlot=abc\n");
    const uint8_t foreign = 0x90;  // another mod's change to the ageing routine: a box
    sim::poke(lifespan::kSite3 + 7, &foreign, 1);
    sim::load(dir.str().c_str());
    CHECK(sim::recording().debug_lines.empty());
    CHECK(box_titles().size() == 1);
}

TEST_CASE("lifespan protection off: the explicit line, no box; helper version 7 or a null word 17: no screen text; a null path is \".\"") {
    TempDir dir;
    auto lines = start(dir, "DisableNaturalDeath=false\nKeepGardenAnimals=no\nApiKey=abcdefgh\n");
    CHECK(lines[2] == "[velmora] natural lifecycle: original death/reincarnation explicitly enabled in config\n");
    CHECK(box_titles().empty());
    CHECK_FALSE(link_worker().lifespan_frozen.load());
    start(dir, "ApiKey=abcdefgh\n", 7);
    CHECK((mod_state().screen_text == nullptr));
    start(dir, "ApiKey=abcdefgh\n", 8, false, true);
    CHECK((mod_state().screen_text == nullptr));
    start(dir, "", 8, true);
    CHECK(mod_state().mod_path == ".");
}

TEST_CASE("deposits are allowed only with sync, a seen garden and a session; detach stops sync") {
    TempDir dir;
    start(dir, "ApiKey=abcdefgh\n");
    for (int i = 0; i < 400; ++i) sim::frame();
    CHECK(mod_state().scan_frame_counter == 400 % 180);
    sim::unload();
    CHECK_FALSE(mod_state().sync_enabled);
    sim::frame();  // no scan counting once sync is off
    CHECK(mod_state().scan_frame_counter == 400 % 180);
}
