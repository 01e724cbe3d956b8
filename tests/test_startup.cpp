// Start-up as the player sees it: the log lines and boxes, the active save slot, detach.
#include <doctest/doctest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "host/log.h"
#include "host/mod_state.h"
#include "host/notices.h"
#include "host/save_slot.h"
#include "net/worker.h"
#include "platform/platform.h"
#include "protect/lifespan.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

std::vector<std::string> start(const TempDir& dir, const std::string& config, int32_t helper_version = 8,
                               bool null_path = false, bool null_screen_text = false) {
    sim::reset();
    dir.write("config.ini", config);
    sim::load(null_path ? nullptr : dir.str().c_str(), helper_version, null_screen_text);
    return sim::recording().debug_lines;
}

size_t box_count() { return sim::recording().boxes.size(); }

}  // namespace

TEST_CASE("log lines: one newline, at most 1021 characters of text, nothing when disabled, never mixed") {
    static std::vector<std::string> lines;
    lines.clear();
    ModLog::reset();
    ModLog::set_log_sink([](const char* line) { lines.emplace_back(line); });
    ModLog::log("%s", "");
    ModLog::log("already\n");
    ModLog::log("slot %d of %s", 7, "garden");
    ModLog::log("%s", std::string(5000, 'z').c_str());
    CHECK(lines == std::vector<std::string>{"\n", "already\n", "slot 7 of garden\n", std::string(1021, 'z') + "\n"});
    ModLog::set_log_enabled(false);
    ModLog::log("ERROR: nobody hears this");
    CHECK(lines.size() == 4);
    lines.clear();
    ModLog::set_log_enabled(true);
    auto worker = [](char c) {
        std::string text(600, c);
        for (int i = 0; i < 2000; ++i) ModLog::log("%s", text.c_str());
    };
    std::thread a(worker, 'a'), b(worker, 'b');
    a.join();
    b.join();
    REQUIRE(lines.size() == 4000);
    for (const std::string& line : lines) REQUIRE((line.size() == 601 && line.find_first_not_of(line[0]) == 600));
    ModLog::reset();
}

TEST_CASE("each box at most once per run; the update box opens the download page on Yes") {
    sim::reset();
    sim::queue_box_answer(platform::kAnswerYes);
    for (auto [notice, answer] :
         {std::pair{Notice::UpdateRequired, platform::kAnswerYes}, {Notice::RebirthPaused, platform::kAnswerOk}})
        CHECK((show_notice(notice) == answer && show_notice(notice) == 0));
    const auto& boxes = sim::recording().boxes;
    REQUIRE(boxes.size() == 2);
    CHECK((boxes[0].title == "Velmora update required" && boxes[0].style == 0x10034));
    CHECK((boxes[1].title == "Velmora - rebirth paused" && boxes[1].style == 0x10));
    CHECK(sim::recording().opened == std::vector<std::string>{kDownloadPage});

    sim::reset();  // a new run may show them again; "No" opens nothing
    CHECK((show_notice(Notice::UpdateRequired) == platform::kAnswerNo && sim::recording().opened.empty()));
}

TEST_CASE("a valid configuration: every start-up line in order, then sync enabled; detach stops it") {
    TempDir dir;
    auto lines = start(dir, "BaseUrl=http://127.0.0.1:8787/garden\nSaveSlot=3\nApiKey=secret-key-1234\n");
    const ModState& s = mod_state();
    CHECK(lines == std::vector<std::string>{
                       "[velmora] v0.1.19 starting\n", "[velmora] animal inventory: enabled\n",
                       "[velmora] manual rebirth: safe native behavior available\n",
                       "[velmora] natural lifecycle: lifespan frozen; natural death/reincarnation disabled\n",
                       "[velmora] target http://127.0.0.1:8787/garden/api/v1/sync (save slot 3)\n",
                       "[velmora] scan every 180 frames, full resync every 60s, session " + s.session_id + "\n",
                       "[velmora] Game Boy storage: enabled\n"});
    CHECK((s.session_id.size() == 16 && s.session_id.find_first_not_of("0123456789abcdef") == std::string::npos));
    CHECK((s.sync_enabled && s.mod_path == dir.str() && s.screen_text != nullptr && box_count() == 0));
    CHECK((link_worker().lifespan_frozen.load() && link_worker().rebirth_available.load()));

    for (int i = 0; i < 400; ++i) sim::frame();
    CHECK(mod_state().scan_frame_counter == 400 % 180);
    sim::unload();
    sim::frame();  // no scan counting once sync is off
    CHECK((!mod_state().sync_enabled && mod_state().scan_frame_counter == 400 % 180));
}

TEST_CASE("other configurations: invalid, no key, Verbose off, lifespan protection off, old helper, null path") {
    TempDir dir;
    auto lines = start(dir, "SaveSlot=0\n");
    CHECK((!mod_state().sync_enabled && mod_state().session_id.empty()));
    REQUIRE(lines.size() == 4);  // no animal line: the reserve needs a valid configuration
    CHECK(lines[3] ==
          "[velmora] ERROR: invalid config.ini (SaveSlot must be a whole number from 1 through 99) -- sync is "
          "disabled\n");
    CHECK((box_count() == 0 && mod_state().config.lifespan_frozen));

    lines = start(dir, "SaveSlot=2\nApiKey=\n");
    CHECK(std::count(lines.begin(), lines.end(),
                     "[velmora] WARNING: no ApiKey set in config.ini -- the server will reject uploads\n") == 1);

    sim::reset();
    dir.write("config.ini", "Verbose=false\nSaveSlot=abc\n");
    const uint8_t foreign = 0x90;  // another mod's change to the ageing routine: a box
    sim::poke(lifespan::kSite3 + 7, &foreign, 1);
    sim::load(dir.str().c_str());
    CHECK((sim::recording().debug_lines.empty() && box_count() == 1));

    // Lifespan protection off: the explicit line, no box; helper version 7 or a null word 17:
    // no screen text; a null path is ".".
    lines = start(dir, "DisableNaturalDeath=false\nKeepGardenAnimals=no\nApiKey=abcdefgh\n");
    CHECK(lines[2] == "[velmora] natural lifecycle: original death/reincarnation explicitly enabled in config\n");
    CHECK((box_count() == 0 && !link_worker().lifespan_frozen.load()));
    start(dir, "ApiKey=abcdefgh\n", 7);
    CHECK((mod_state().screen_text == nullptr));
    start(dir, "ApiKey=abcdefgh\n", 8, true, true);
    CHECK((mod_state().screen_text == nullptr && mod_state().mod_path == "."));
}

TEST_CASE("the active save slot: only a main-save name, read only where memory holds a terminated text") {
    for (auto [path, slot] : {std::pair{"C:\\Games\\SA2\\SAVEDATA\\SONIC2B__S01", 1}, {"a\\b/sonic2b__s99", 99}, {"", 0},
                              {"SONIC2B__S1", 0}, {"SONIC2B__S123", 0}, {"SONIC2B__S0A", 0}, {"SONIC2B__S00", 0},
                              {"SONIC2B__S01.bak", 0}, {"SONIC2B_XS01", 0}, {"C:\\SONIC2B__S01\\", 0}})
        CHECK_MESSAGE(active_save_slot(path) == slot, path);
    CHECK(active_save_slot(nullptr) == 0);

    sim::reset();
    auto at = [](game_addr text) { return game::write<game_addr>(game::addr::save_path, text), read_active_save_slot(); };
    CHECK((at(0) == 0 && at(0x7FFF0000u) == 0));  // no text; memory that is not there
    game_addr page = sim::alloc(0x1000);
    sim::poke(page, "SONIC2B__S04", 13);
    CHECK(at(page) == 4);
    sim::set_protection(page, 0x1000, game::kPageNoAccess);
    CHECK(at(page) == 0);
    // A text running to the end of its memory unterminated is refused; a terminated one there is found.
    game_addr end = sim::alloc(0x1000);
    const std::string fill(0x1000, 'A');
    sim::poke(end, fill.data(), fill.size());
    CHECK(at(end + 0x1000 - 12) == 0);
    sim::poke(end + 0x1000 - 13, "SONIC2B__S05", 13);
    CHECK(at(end + 0x1000 - 13) == 5);
}
