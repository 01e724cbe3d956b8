#include "storage/deposit.h"

// Storage is not built yet: it never becomes available and never touches an item.
bool enable_storage(const std::string&, const SyncConfig&) { return false; }
void storage_on_control(bool) {}
void run_storage_frame(bool, const std::string&) {}
