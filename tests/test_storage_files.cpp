#include <doctest/doctest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "test_support.h"

TEST_CASE("lock files: one holder at a time, also across processes, free again after release or death") {
    TempDir dir;
    const std::string path = dir.str() + "\\x.lock";
    platform::LockFile* a = platform::lock_file_open(path);
    REQUIRE(a != nullptr);
    CHECK(platform::lock_file_open(path) == nullptr);
    platform::lock_file_release(a);

    // Another process holds it until it is killed.
    int ready[2], status = 0;
    REQUIRE(pipe(ready) == 0);
    pid_t pid = fork();
    if (pid == 0) {
        char c = platform::lock_file_open(path) ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    REQUIRE(read(ready[0], &c, 1) == 1);
    CHECK(c == 'y');
    CHECK(platform::lock_file_open(path) == nullptr);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    platform::LockFile* b = platform::lock_file_open(path);
    CHECK(b != nullptr);
    platform::lock_file_release(b);
    close(ready[0]);
    close(ready[1]);
}

TEST_CASE("moves, deletes, folders and listings") {
    TempDir dir;
    const std::string d = dir.str();
    dir.write("a", "A");
    dir.write("b", "B");
    CHECK_FALSE(platform::file_move_new(d + "\\a", d + "\\b"));
    CHECK(dir.read("a") + dir.read("b") == "AB");
    CHECK(platform::file_move_replace(d + "\\a", d + "\\b"));
    CHECK(dir.read("b") == "A");
    CHECK(platform::path_kind(d + "\\a") == platform::PathKind::Missing);
    CHECK(platform::file_move_new(d + "\\b", d + "\\c"));
    CHECK(platform::file_delete(d + "\\c"));
    CHECK_FALSE(platform::file_delete(d + "\\c"));

    std::vector<platform::FolderEntry> list;
    CHECK(platform::list_bin_files(d, list) == platform::ListResult::Empty);
    CHECK(platform::list_bin_files(d + "\\none", list) == platform::ListResult::Error);
    CHECK(platform::create_folder(d + "\\sub.bin"));
    CHECK(platform::create_folder(d + "\\sub.bin"));  // an existing folder is fine
    for (const char* name : {"r.bin", "r.bin.tmp", "R2.BIN"}) dir.write(name, "1");
    CHECK_FALSE(platform::create_folder(d + "\\r.bin"));  // a file of that name is not
    REQUIRE(platform::list_bin_files(d, list) == platform::ListResult::Ok);
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.name < y.name; });
    REQUIRE(list.size() == 3);
    CHECK(list[0].name == "R2.BIN");
    CHECK((list[1].name == "r.bin" && !list[1].is_folder));
    CHECK((list[2].name == "sub.bin" && list[2].is_folder));
    CHECK(platform::path_kind(d + "\\sub.bin") == platform::PathKind::Folder);
    CHECK(platform::path_kind(d + "\\r.bin\\x") == platform::PathKind::Missing);
    uint64_t size = 0;
    CHECK(platform::file_size(d + "\\r.bin.tmp", size));
    CHECK(size == 1);
    CHECK_FALSE(platform::file_size(d + "\\sub.bin", size));
    CHECK(platform::full_path("/a/./b//c/../d") == "/a/b/d");
}
