#include <doctest/doctest.h>

#include <tuple>

#include "host/config.h"
#include "test_support.h"

namespace {

SyncConfig load(const std::string& text) {
    TempDir dir;
    dir.write("config.ini", text);
    return LoadConfig(dir.str());
}

}  // namespace

TEST_CASE("a missing file, a folder in its place and the shipped file all give the defaults") {
    TempDir dir;
    auto check = [](const SyncConfig& c) {
        CHECK((c.valid && c.error.empty() && c.base_path.empty()));
        CHECK((c.UseHttps && c.Verbose && c.EnableWriteback && c.EnableRestoreOnLaunch && c.DisableNaturalDeath &&
               c.ShowCareWarnings && c.KeepGardenAnimals && !c.DumpPayloads));
        CHECK(std::vector<int32_t>{c.ServerPort, c.SaveSlot, c.ScanIntervalFrames, c.FullResyncSeconds,
                                   c.CommandPollSeconds} == std::vector<int32_t>{443, 1, 180, 60, 10});
        CHECK((c.SyncPath == "/api/v1/sync" && c.CommandPath == "/api/v1/commands"));
        CHECK((c.BaseUrl == SyncConfig{}.BaseUrl && c.ServerHost == SyncConfig{}.ServerHost));
    };
    check(LoadConfig(dir.str()));
    std::filesystem::create_directory(dir.path / "config.ini");
    check(LoadConfig(dir.str()));

    std::ifstream shipped(std::filesystem::path(VELMORA_SOURCE_DIR) / "dist-template" / "config.ini");
    std::string text((std::istreambuf_iterator<char>(shipped)), {});
    REQUIRE(text.find("BaseUrl=") != std::string::npos);
    check(load(text));
}

TEST_CASE("BaseUrl: case, port, path and brackets; legacy server keys apply only without it") {
    // Blanks left behind by the trailing slashes go as well.
    for (auto [line, host, port, https, path, url] : {
             std::tuple{"BaseUrl=HTTPS://Garden.Example.COM:8443/garden/", "garden.example.com", 8443, true, "/garden",
                        "HTTPS://Garden.Example.COM:8443/garden"},
             {"BaseUrl=http://[fe80::1]:8080", "fe80::1", 8080, false, "", "http://[fe80::1]:8080"},
             {"BaseUrl=http://example.org/garden /", "example.org", 80, false, "/garden", "http://example.org/garden"},
             {"ServerHost=10.0.0.5", "10.0.0.5", 8787, false, "", "http://10.0.0.5:8787"},
             {"ServerHost=::1\nServerPort=99999\nUseHttps=yes", "::1", 8787, true, "", "https://[::1]:8787"},
             {"ServerHost=10.0.0.5\nServerPort=1234\nBaseUrl=https://a.example/x\nUseHttps=no", "a.example", 443, true,
              "/x", "https://a.example/x"}}) {
        SyncConfig c = load(std::string(line) + "\n");
        CHECK_MESSAGE((c.valid && c.ServerHost == host && c.ServerPort == port && c.UseHttps == https &&
                       c.base_path == path && c.BaseUrl == url),
                      line, " gives ", c.ServerHost, " ", c.ServerPort, " ", c.UseHttps, " ", c.base_path, " ", c.BaseUrl);
    }

    // A refused URL leaves the server as it was.
    for (const char* bad : {"http://fe80::1:8080", "http://user@host", "http://host/?a", "http://host#x", "ftp://host",
                            "http://host:0", "http://host:65536", "http://[]", "http://", "http://ho st", "http://host:8a",
                            "http://host/a\rSaveSlot=2", "http://host/a\x7f"}) {
        SyncConfig c = load(std::string("BaseUrl=") + bad + "\n");
        CHECK_MESSAGE((!c.valid && c.error == "BaseUrl must be a valid http:// or https:// URL" &&
                       c.ServerHost == SyncConfig{}.ServerHost), bad);
    }
}

TEST_CASE("SaveSlot from 1 through 99, both errors in order; numbers read like atoi and clamped; flag words only") {
    for (const char* bad : {"0", "100", "3a", "", "99999999999999999999"}) {
        SyncConfig c = load(std::string("SaveSlot=") + bad + "\n");
        CHECK_MESSAGE((!c.valid && c.SaveSlot == 1), bad);
    }
    CHECK(load("SaveSlot=07\n").SaveSlot == 7);
    SyncConfig c = load("SaveSlot=x\nBaseUrl=nope\n");
    CHECK(c.error == "SaveSlot must be a whole number from 1 through 99; BaseUrl must be a valid http:// or https:// URL");

    // Any word but a flag word keeps the earlier value.
    using F = int32_t SyncConfig::*;
    for (auto [text, field, want] : {std::tuple{"ScanIntervalFrames=5", F{&SyncConfig::ScanIntervalFrames}, 30},
                                     {"FullResyncSeconds=5", &SyncConfig::FullResyncSeconds, 30},
                                     {"CommandPollSeconds=12abc", &SyncConfig::CommandPollSeconds, 12},
                                     {"ScanIntervalFrames=100000", &SyncConfig::ScanIntervalFrames, 36000},
                                     {"FullResyncSeconds=999999999999", &SyncConfig::FullResyncSeconds, INT32_MAX},
                                     {"CommandPollSeconds=-99999999999", &SyncConfig::CommandPollSeconds, INT32_MIN},
                                     {"ScanIntervalFrames=abc", &SyncConfig::ScanIntervalFrames, 30}})
        CHECK_MESSAGE(load(std::string(text) + "\n").*field == want, text);
    for (auto [text, field, want] : {std::tuple{"Verbose=Yes", &SyncConfig::Verbose, true},
                                     {"Verbose=0\nVerbose=on", &SyncConfig::Verbose, false},
                                     {"KeepGardenAnimals=False\nKeepGardenAnimals=1", &SyncConfig::KeepGardenAnimals, true}})
        CHECK_MESSAGE(load(std::string(text) + "\n").*field == want, text);
}

TEST_CASE("the file as a player edits it: sections, spaces, comments, CRLF, BOM, UTF-16, repeats, case, NULs, long lines") {
    SyncConfig c = load("\xEF\xBB\xBF" "SaveSlot = 4\r\n; SaveSlot=9\r\n# SaveSlot=9\r\n[anything]\r\n"
                        "  \tApiKey\t=  abc def  \r\nsaveslot=50\r\nno equals sign here\r\nSyncPath=/a\r\nSyncPath=/b=c\r\n");
    CHECK((c.valid && c.SaveSlot == 4 && c.ApiKey == "abc def" && c.SyncPath == "/b=c"));

    // Notepad's "Unicode" (UTF-16 with a byte-order mark) reads like the plain file.
    std::string utf16 = "\xFF\xFE";
    for (char ch : std::string("SaveSlot=12\r\nApiKey=k\xE9y\r\n")) utf16 += ch, utf16 += '\0';
    c = load(utf16);
    CHECK((c.SaveSlot == 12 && c.ApiKey == "k\xC3\xA9y"));
    // The key is shown only by its last four characters.
    CHECK((MaskApiKey("abcdefghijkl") == "********ijkl" && MaskApiKey("abcdefg") == "*******" && MaskApiKey("").empty()));

    // A NUL ends the line's text, as it would for any C string.
    c = load(std::string("SaveSlot=5\0junk=1\nApiKey=a\0b\n", 26));
    CHECK((c.SaveSlot == 5 && c.ApiKey == "a"));
    // A line longer than 1023 characters arrives in pieces, each read as a line.
    CHECK(load(std::string(1023, 'x') + "SaveSlot=9\n").SaveSlot == 9);
    c = load(std::string(1024 * 1024, 'A') + "\nSaveSlot=3\n");
    CHECK((c.SaveSlot == 3 && c.valid));
}
