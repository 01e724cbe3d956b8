#include <doctest/doctest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "../test_support.h"

// SHA-256 and random bytes on BCrypt are covered by the journal test, built for Windows too.
TEST_CASE("lock files share nothing; a file being written refuses a second writer") {
    TempDir dir;
    const std::string lock = dir.str() + "\\r.bin.lock";
    platform::LockFile* first = platform::lock_file_open(lock);
    REQUIRE(first != nullptr);
    CHECK(platform::lock_file_open(lock) == nullptr);
    HANDLE other = CreateFileA(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(other == INVALID_HANDLE_VALUE);
    platform::lock_file_release(first);
    first = platform::lock_file_open(lock);
    CHECK(first != nullptr);
    platform::lock_file_release(first);

    platform::WriteFile* w = platform::file_create_write(dir.str() + "\\t.tmp");
    REQUIRE(w != nullptr);
    CHECK(platform::file_create_write(dir.str() + "\\t.tmp") == nullptr);
    CHECK((platform::file_write(w, "abc", 3) && platform::file_flush(w) && platform::file_close_write(w)));
    CHECK(dir.read("t.tmp") == "abc");
}

TEST_CASE("moves replace with write-through or refuse an existing name; folders and listings") {
    TempDir dir;
    const std::string d = dir.str();
    dir.write("a", "A");
    dir.write("b", "B");
    CHECK_FALSE(platform::file_move_new(d + "\\a", d + "\\b"));
    CHECK(platform::file_move_replace(d + "\\a", d + "\\b"));
    CHECK(dir.read("b") == "A");
    CHECK(platform::path_kind(d + "\\a") == platform::PathKind::Missing);
    CHECK(platform::path_kind(d + "\\no\\such") == platform::PathKind::Missing);
    CHECK(platform::file_delete(d + "\\b"));

    std::vector<platform::FolderEntry> list;
    CHECK(platform::list_bin_files(d, list) == platform::ListResult::Empty);
    CHECK(platform::list_bin_files(d + "\\none", list) == platform::ListResult::Error);
    CHECK(platform::create_folder(d + "\\w.bin"));
    CHECK(platform::create_folder(d + "\\w.bin"));
    dir.write("r.bin", "12");
    for (const char* name : {"r.bin.tmp", "long.binary"}) dir.write(name, "1");
    CHECK_FALSE(platform::create_folder(d + "\\r.bin"));
    REQUIRE(platform::list_bin_files(d, list) == platform::ListResult::Ok);
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.name < y.name; });
    REQUIRE(list.size() == 2);
    CHECK((list[0].name == "r.bin" && !list[0].is_folder));
    CHECK((list[1].name == "w.bin" && list[1].is_folder));
    uint64_t size = 0;
    CHECK(platform::file_size(d + "\\r.bin", size));
    CHECK(size == 2);
    CHECK(platform::full_path("c:\\a\\.\\b\\..\\c") == "c:\\a\\c");
}

namespace {
int g_points = 0;
bool refuse_moves(platform::FileOp op, platform::FaultPhase phase, const char*, void*) {
    ++g_points;
    return !(op == platform::FileOp::Move && phase == platform::FaultPhase::Before);
}
}  // namespace

TEST_CASE("fault points reach the Windows file layer") {
    TempDir dir;
    dir.write("a", "A");
    platform::set_file_fault_hook(&refuse_moves, nullptr);
    CHECK_FALSE(platform::file_move_replace(dir.str() + "\\a", dir.str() + "\\b"));
    platform::set_file_fault_hook(nullptr, nullptr);
    CHECK(g_points == 1);
    CHECK(dir.read("a") == "A");
}
