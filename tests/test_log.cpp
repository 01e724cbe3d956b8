#include <doctest/doctest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/log.h"
#include "host/notices.h"
#include "platform/platform.h"
#include "sim/sim.h"

namespace {

std::vector<std::string> g_lines;
void capture(const char* line) { g_lines.emplace_back(line); }

}  // namespace

TEST_CASE("log lines: one newline, at most 1021 characters of text, nothing when disabled") {
    ModLog::reset();
    g_lines.clear();
    ModLog::set_log_sink(&capture);
    ModLog::log("%s", "");
    ModLog::log("already\n");
    ModLog::log("slot %d of %s", 7, "garden");
    ModLog::log("%s", std::string(5000, 'z').c_str());
    REQUIRE(g_lines.size() == 4);
    CHECK(g_lines[0] == "\n");
    CHECK(g_lines[1] == "already\n");
    CHECK(g_lines[2] == "slot 7 of garden\n");
    CHECK(g_lines[3] == std::string(1021, 'z') + "\n");

    ModLog::set_log_enabled(false);
    ModLog::log("ERROR: nobody hears this");
    CHECK(g_lines.size() == 4);
    ModLog::reset();
}

TEST_CASE("two threads logging at once never mix their lines") {
    ModLog::reset();
    g_lines.clear();
    ModLog::set_log_sink(&capture);
    auto worker = [](char c) {
        std::string text(600, c);
        for (int i = 0; i < 2000; ++i) ModLog::log("%s", text.c_str());
    };
    std::thread a(worker, 'a'), b(worker, 'b');
    a.join();
    b.join();
    REQUIRE(g_lines.size() == 4000);
    for (const std::string& line : g_lines) {
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
    CHECK(boxes[0].title == "Velmora update required");
    CHECK(boxes[0].style == 0x10034);
    CHECK(boxes[1].title == "Velmora - rebirth paused");
    CHECK(boxes[1].style == 0x10);
    REQUIRE(sim::recording().opened.size() == 1);
    CHECK(sim::recording().opened[0] == kDownloadPage);

    sim::reset();  // a new run may show them again; "No" opens nothing
    CHECK(show_notice(Notice::UpdateRequired) == platform::kAnswerNo);
    CHECK(sim::recording().opened.empty());
}
