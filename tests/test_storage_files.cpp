#include <doctest/doctest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

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
