#pragma once
#include <string>

struct SyncConfig;

// The request path for `path` below the configured base path: "" becomes "/", a missing
// leading "/" is added, and "/" alone under a base path is the base path itself.
std::string ComposeRequestPath(const SyncConfig& config, const std::string& path);
