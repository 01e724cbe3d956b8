#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "../test_support.h"

TEST_CASE("files: a rewrite leaves exactly the new bytes, a missing file or a folder is not opened; ticks move on") {
    TempDir dir;
    std::string bytes(70000, '\0'), path = dir.str() + "\\data.bin", back;
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    REQUIRE(platform::write_whole_file(path, "stale bytes, longer than none", 29));
    REQUIRE(platform::write_whole_file(path, bytes.data(), bytes.size()));
    platform::File* f = platform::file_open_read(path);
    REQUIRE(f != nullptr);
    char buf[4096];
    long n;
    while ((n = platform::file_read(f, buf, sizeof buf)) > 0) back.append(buf, static_cast<size_t>(n));
    platform::file_close(f);
    CHECK((n == 0 && back == bytes));
    CHECK((platform::file_open_read(dir.str() + "\\missing.ini") == nullptr && platform::file_open_read(dir.str()) == nullptr));
    CHECK_FALSE(platform::write_whole_file(dir.str() + "\\no\\such\\folder\\x", "a", 1));

    // The tick counter may be as coarse as 16 ms, and wine's Sleep can wake a little early.
    uint64_t a = platform::tick_ms();
    Sleep(50);
    CHECK((platform::tick_ms() >= a + 30 && platform::tick_ms() < a + 5000 && platform::calendar_seconds() > 1700000000));
}
