// Game Boy storage: deposits at the in-garden Game Boy.
#pragma once
#include <string>

#include "host/config.h"

bool enable_storage(const std::string& mod_path, const SyncConfig& config);
void storage_on_control(bool deposits_allowed);
void run_storage_frame(bool deposits_allowed, const std::string& session_id);
