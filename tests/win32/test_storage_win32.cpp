#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "platform/files.h"
#include "../test_support.h"

// The file layer itself, SHA-256 and random bytes on BCrypt are covered by the journal test,
// built for Windows too; here only what Windows alone can show.
TEST_CASE("a held lock file is shared with no other handle, not even for reading") {
    TempDir dir;
    const std::string lock = dir.str() + "\\r.bin.lock";
    platform::LockFile* first = platform::lock_file_open(lock);
    REQUIRE(first != nullptr);
    HANDLE other = CreateFileA(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(other == INVALID_HANDLE_VALUE);
    platform::lock_file_release(first);
    other = CreateFileA(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(other != INVALID_HANDLE_VALUE);
    CloseHandle(other);
}
