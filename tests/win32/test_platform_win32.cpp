#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "../test_support.h"

TEST_CASE("files: exact bytes round-trip, a missing file or a folder is not opened") {
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7);
    std::string path = dir.str() + "\\data.bin";
    REQUIRE(platform::write_whole_file(path, bytes.data(), bytes.size()));
    REQUIRE(platform::write_whole_file(path, bytes.data(), bytes.size()));  // overwrites, not appends

    platform::File* f = platform::file_open_read(path);
    REQUIRE(f != nullptr);
    std::string back;
    char buf[4096];
    long n;
    while ((n = platform::file_read(f, buf, sizeof buf)) > 0) back.append(buf, static_cast<size_t>(n));
    CHECK(n == 0);
    platform::file_close(f);
    CHECK(back == bytes);

    CHECK(platform::file_open_read(dir.str() + "\\missing.ini") == nullptr);
    CHECK(platform::file_open_read(dir.str()) == nullptr);
    CHECK_FALSE(platform::write_whole_file(dir.str() + "\\no\\such\\folder\\x", "a", 1));
}

TEST_CASE("ticks are milliseconds since start and move forward; calendar time is plausible") {
    uint64_t a = platform::tick_ms();
    Sleep(50);
    uint64_t b = platform::tick_ms();
    // The tick counter may be as coarse as 16 ms, and wine's Sleep can wake a little early.
    CHECK(b >= a + 30);
    CHECK(b < a + 5000);
    CHECK(platform::calendar_seconds() > 1700000000);
}
