// config.ini over arbitrary bytes: loading never crashes, every clamped number is in range, an
// error text comes exactly when the file is refused, the BaseUrl names the scheme in use, an
// accepted URL parses again to the same server, and a real file gives the same result.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "host/config.h"

namespace {

auto fields(const SyncConfig& c) {
    return std::tie(c.BaseUrl, c.ServerHost, c.ServerPort, c.UseHttps, c.base_path, c.SyncPath, c.valid, c.error,
                    c.SaveSlot, c.ApiKey, c.ScanIntervalFrames, c.FullResyncSeconds, c.EnableWriteback,
                    c.EnableRestoreOnLaunch, c.DisableNaturalDeath, c.ShowCareWarnings, c.KeepGardenAnimals,
                    c.lifespan_frozen, c.CommandPath, c.CommandPollSeconds, c.DumpPayloads, c.Verbose);
}

auto server(const ParsedBaseUrl& p) { return std::tie(p.url, p.host, p.port, p.https, p.path); }

// LoadConfig's folder, in memory where the machine has it (a disk-backed /tmp would be the
// slowest part of the run).
const std::string kFolder = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                            "/velmora-fuzz-config-" + std::to_string(getpid());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string slot = "SaveSlot must be a whole number from 1 through 99",
                      url = "BaseUrl must be a valid http:// or https:// URL";
    SyncConfig c = ParseConfigText(bytes);
    // The URL shown to the player and the scheme the transport uses agree.
    std::string scheme = c.BaseUrl.substr(0, c.BaseUrl.find("://"));
    for (char& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (c.ScanIntervalFrames < 30 || c.ScanIntervalFrames > 36000 || c.ServerPort < 1 || c.ServerPort > 65535 ||
        c.SaveSlot < 1 || c.SaveSlot > 99 || c.FullResyncSeconds < 30 || c.lifespan_frozen /* never from the file */ ||
        c.valid != c.error.empty() || scheme != (c.UseHttps ? "https" : "http") ||
        (!c.error.empty() && c.error != slot && c.error != url && c.error != slot + "; " + url))
        abort();

    // The whole input as one BaseUrl value, so the URL checks see every byte; what is accepted
    // is already in its final form.
    ParsedBaseUrl p, again;
    if (ParseBaseUrl(bytes, p) &&
        (p.port < 1 || p.port > 65535 || p.host.empty() || (!p.path.empty() && p.path[0] != '/') ||
         p.host.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ \t\r\n/\\") != std::string::npos ||
         std::any_of(p.url.begin(), p.url.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F; }) ||
         !ParseBaseUrl(p.url, again) || server(again) != server(p)))
        abort();

    // Through a real file for some inputs (chosen by their size, so a finding reproduces).
    if (size % 8 == 0) {
        if (mkdir(kFolder.c_str(), 0700) == 0) std::atexit([] { std::filesystem::remove_all(kFolder); });
        std::ofstream(kFolder + "/config.ini", std::ios::binary) << bytes;
        if (fields(LoadConfig(kFolder)) != fields(c)) abort();
    }
    return 0;
}
