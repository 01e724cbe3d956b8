// The sync worker: the one background thread, which does all network traffic.
#pragma once
#include <atomic>
#include <string>

#include "host/config.h"

struct LinkWorker {
    std::atomic<bool> running{false};
    // Capabilities announced in the session greeting; written by the game thread.
    std::atomic<bool> lifespan_frozen{false};
    std::atomic<bool> rebirth_available{false};
    std::atomic<bool> storage_available{false};
    std::atomic<bool> session_held{false};
};

LinkWorker& link_worker();

// Game-thread operations; each returns at once.
void StartWorker(const SyncConfig& config);
void StopWorker();
void BeginSession(const std::string& session_id);
void EndSession(const std::string& session_id);
