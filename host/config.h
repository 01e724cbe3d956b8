// config.ini, read once at start-up into SyncConfig. Loading never fails: problems show up
// as valid = false and an error text, and everything else falls back to defaults.
#pragma once
#include <cstdint>
#include <string>

struct SyncConfig {
    std::string BaseUrl = "https://sync.velmora.example";
    std::string ServerHost = "sync.velmora.example";
    int32_t ServerPort = 443;
    bool UseHttps = true;
    std::string base_path;
    std::string SyncPath = "/api/v1/sync";
    bool valid = true;
    std::string error;
    int32_t SaveSlot = 1;
    std::string ApiKey;
    int32_t ScanIntervalFrames = 180;
    int32_t FullResyncSeconds = 60;
    bool EnableWriteback = true;
    bool EnableRestoreOnLaunch = true;
    bool DisableNaturalDeath = true;
    bool ShowCareWarnings = true;
    bool KeepGardenAnimals = true;
    bool lifespan_frozen = false;
    std::string CommandPath = "/api/v1/commands";
    int32_t CommandPollSeconds = 10;
    bool DumpPayloads = false;
    bool Verbose = true;
};

// Reads folder + "\config.ini".
SyncConfig LoadConfig(const std::string& folder);
// The same from the bytes of a config.ini file already in memory; no file is touched.
SyncConfig ParseConfigText(const std::string& bytes);

// The pieces of BaseUrl, when it is a valid http:// or https:// URL.
struct ParsedBaseUrl {
    std::string url;   // trimmed, trailing slashes removed, case kept
    std::string host;  // lower case, without brackets
    int32_t port = 0;
    bool https = false;
    std::string path;  // "" or "/..."
};
bool ParseBaseUrl(const std::string& text, ParsedBaseUrl& out);

// Every character but the last four replaced by "*"; for showing a key to a person.
std::string MaskApiKey(const std::string& key);
