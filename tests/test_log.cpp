#include <doctest/doctest.h>

#include <string>
#include <thread>
#include <vector>

#include "host/log.h"
#include "host/notices.h"
#include "platform/platform.h"
#include "sim/sim.h"

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

    // Two threads logging at once.
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
    for (const std::string& line : lines) {
        REQUIRE(line.size() == 601);
        CHECK(line.find_first_not_of(line[0]) == 600);
    }
    ModLog::reset();
}

TEST_CASE("each box at most once per run; the update box opens the download page on Yes") {
    sim::reset();
    sim::queue_box_answer(platform::kAnswerYes);
    CHECK(show_notice(Notice::UpdateRequired) == platform::kAnswerYes);
    CHECK(show_notice(Notice::UpdateRequired) == 0);
    CHECK(show_notice(Notice::RebirthPaused) == platform::kAnswerOk);
    CHECK(show_notice(Notice::RebirthPaused) == 0);
    const auto& boxes = sim::recording().boxes;
    REQUIRE(boxes.size() == 2);
    CHECK((boxes[0].title == "Velmora update required" && boxes[0].style == 0x10034));
    CHECK((boxes[1].title == "Velmora - rebirth paused" && boxes[1].style == 0x10));
    CHECK(sim::recording().opened == std::vector<std::string>{kDownloadPage});

    sim::reset();  // a new run may show them again; "No" opens nothing
    CHECK(show_notice(Notice::UpdateRequired) == platform::kAnswerNo);
    CHECK(sim::recording().opened.empty());
}
