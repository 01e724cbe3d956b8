// config.ini over arbitrary bytes: loading never crashes, and whatever the file says the result
// is a usable configuration: every clamped number in its range, an error text exactly when the
// configuration is refused and only the known messages in it, a BaseUrl naming the scheme in
// use, and an accepted URL that parses again to the same server. The same bytes read from a
// real file give the same result.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/config.h"

namespace {

const std::string kSlotError = "SaveSlot must be a whole number from 1 through 99";
const std::string kUrlError = "BaseUrl must be a valid http:// or https:// URL";

bool same(const SyncConfig& a, const SyncConfig& b) {
    return a.BaseUrl == b.BaseUrl && a.ServerHost == b.ServerHost && a.ServerPort == b.ServerPort &&
           a.UseHttps == b.UseHttps && a.base_path == b.base_path && a.SyncPath == b.SyncPath &&
           a.valid == b.valid && a.error == b.error && a.SaveSlot == b.SaveSlot && a.ApiKey == b.ApiKey &&
           a.ScanIntervalFrames == b.ScanIntervalFrames && a.FullResyncSeconds == b.FullResyncSeconds &&
           a.EnableWriteback == b.EnableWriteback && a.EnableRestoreOnLaunch == b.EnableRestoreOnLaunch &&
           a.DisableNaturalDeath == b.DisableNaturalDeath && a.ShowCareWarnings == b.ShowCareWarnings &&
           a.KeepGardenAnimals == b.KeepGardenAnimals && a.lifespan_frozen == b.lifespan_frozen &&
           a.CommandPath == b.CommandPath && a.CommandPollSeconds == b.CommandPollSeconds &&
           a.DumpPayloads == b.DumpPayloads && a.Verbose == b.Verbose;
}

bool lower_case(const std::string& s) {
    for (char c : s)
        if (c >= 'A' && c <= 'Z') return false;
    return true;
}

void check_url(const std::string& text) {
    ParsedBaseUrl p;
    if (!ParseBaseUrl(text, p)) return;
    if (p.port < 1 || p.port > 65535) abort();
    if (p.host.empty() || !lower_case(p.host) || p.host.find_first_of(" \t\r\n/\\") != std::string::npos) abort();
    if (!p.path.empty() && p.path[0] != '/') abort();
    for (char ch : p.url)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) abort();
    // What was accepted is already in its final form.
    ParsedBaseUrl again;
    if (!ParseBaseUrl(p.url, again)) abort();
    if (again.url != p.url || again.host != p.host || again.port != p.port || again.https != p.https ||
        again.path != p.path)
        abort();
}

void check_config(const SyncConfig& c) {
    if (c.ScanIntervalFrames < 30 || c.ScanIntervalFrames > 36000) abort();
    if (c.ServerPort < 1 || c.ServerPort > 65535) abort();
    if (c.SaveSlot < 1 || c.SaveSlot > 99) abort();
    if (c.FullResyncSeconds < 30) abort();
    if (c.lifespan_frozen) abort();  // never read from the file
    if (c.valid != c.error.empty()) abort();
    if (!c.error.empty() && c.error != kSlotError && c.error != kUrlError && c.error != kSlotError + "; " + kUrlError)
        abort();
    // The URL shown to the player and the scheme the transport uses agree.
    std::string scheme = c.BaseUrl.substr(0, c.BaseUrl.find("://"));
    for (char& ch : scheme) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    if (scheme != (c.UseHttps ? "https" : "http")) abort();
}

// LoadConfig of the bytes written to a fresh folder, which is removed again at once. In memory
// where the machine has it: writes to a disk-backed /tmp would be the slowest part of the run.
SyncConfig load_through_file(const uint8_t* data, size_t size) {
    char shm[] = "/dev/shm/velmora-fuzz-config-XXXXXX";
    char tmp[] = "/tmp/velmora-fuzz-config-XXXXXX";
    const char* made = mkdtemp(shm);
    if (!made) made = mkdtemp(tmp);
    if (!made) abort();
    const std::string folder = made;
    const std::string path = folder + "/config.ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && std::fwrite(data, 1, size, f) != size) abort();
    std::fclose(f);
    SyncConfig c = LoadConfig(folder);
    std::remove(path.c_str());
    rmdir(folder.c_str());
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    SyncConfig c = ParseConfigText(bytes);
    check_config(c);

    // The whole input as one BaseUrl value, so the URL checks see every byte.
    check_url(bytes);

    // Through a real file for some inputs (chosen by their size, so a finding reproduces).
    if (size % 8 == 0 && !same(load_through_file(data, size), c)) abort();
    return 0;
}
