// config.ini over arbitrary bytes: loading never crashes, every clamped number is in range, an
// error text comes exactly when the file is refused, the BaseUrl names the scheme in use, an
// accepted URL parses again to the same server, and a real file gives the same result.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "host/config.h"

namespace {

const std::string kSlotError = "SaveSlot must be a whole number from 1 through 99";
const std::string kUrlError = "BaseUrl must be a valid http:// or https:// URL";

auto fields(const SyncConfig& c) {
    return std::tie(c.BaseUrl, c.ServerHost, c.ServerPort, c.UseHttps, c.base_path, c.SyncPath, c.valid, c.error,
                    c.SaveSlot, c.ApiKey, c.ScanIntervalFrames, c.FullResyncSeconds, c.EnableWriteback,
                    c.EnableRestoreOnLaunch, c.DisableNaturalDeath, c.ShowCareWarnings, c.KeepGardenAnimals,
                    c.lifespan_frozen, c.CommandPath, c.CommandPollSeconds, c.DumpPayloads, c.Verbose);
}

void check_url(const std::string& text) {
    ParsedBaseUrl p;
    if (!ParseBaseUrl(text, p)) return;
    if (p.port < 1 || p.port > 65535 || p.host.empty()) abort();
    if (p.host.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ \t\r\n/\\") != std::string::npos) abort();
    if (!p.path.empty() && p.path[0] != '/') abort();
    for (char ch : p.url)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) abort();
    // What was accepted is already in its final form.
    ParsedBaseUrl again;
    if (!ParseBaseUrl(p.url, again)) abort();
    if (std::tie(again.url, again.host, again.port, again.https, again.path) != std::tie(p.url, p.host, p.port, p.https, p.path))
        abort();
}

void check_config(const SyncConfig& c) {
    if (c.ScanIntervalFrames < 30 || c.ScanIntervalFrames > 36000 || c.ServerPort < 1 || c.ServerPort > 65535 ||
        c.SaveSlot < 1 || c.SaveSlot > 99 || c.FullResyncSeconds < 30)
        abort();
    if (c.lifespan_frozen) abort();  // never read from the file
    if (c.valid != c.error.empty()) abort();
    if (!c.error.empty() && c.error != kSlotError && c.error != kUrlError && c.error != kSlotError + "; " + kUrlError)
        abort();
    // The URL shown to the player and the scheme the transport uses agree.
    std::string scheme = c.BaseUrl.substr(0, c.BaseUrl.find("://"));
    for (char& ch : scheme) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    if (scheme != (c.UseHttps ? "https" : "http")) abort();
}

// LoadConfig of the bytes in this process's folder, in memory where the machine has it (a
// disk-backed /tmp would be the slowest part of the run).
const std::string kFolder = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                            "/velmora-fuzz-config-" + std::to_string(getpid());

SyncConfig load_through_file(const std::string& bytes) {
    if (mkdir(kFolder.c_str(), 0700) == 0) std::atexit([] { std::filesystem::remove_all(kFolder); });
    std::ofstream(kFolder + "/config.ini", std::ios::binary) << bytes;
    return LoadConfig(kFolder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    SyncConfig c = ParseConfigText(bytes);
    check_config(c);
    check_url(bytes);  // the whole input as one BaseUrl value, so the URL checks see every byte
    // Through a real file for some inputs (chosen by their size, so a finding reproduces).
    if (size % 8 == 0 && fields(load_through_file(bytes)) != fields(c)) abort();
    return 0;
}
