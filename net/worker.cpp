#include "net/worker.h"

// The network side is not built yet: nothing is started and nothing is sent.

LinkWorker& link_worker() {
    static LinkWorker worker;
    return worker;
}

void StartWorker(const SyncConfig& config) { link_worker().lifespan_frozen.store(config.lifespan_frozen); }

void StopWorker() { link_worker().running.store(false); }

void BeginSession(const std::string&) {}

void EndSession(const std::string&) { link_worker().session_held.store(false); }
