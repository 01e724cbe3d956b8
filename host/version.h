#pragma once

// The release the player installed: the start-up log line and every snapshot document.
constexpr const char* kModReleaseVersion = "0.1.19";
// The version the server's compatibility checks know us by: the user agent and the greeting.
// Servers may key on either text, so the two stay apart.
constexpr const char* kServerProtocolVersion = "0.1.13";
