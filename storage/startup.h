// Garden storage start-up: which garden save file storage serves, the binding that ties its
// receipts to that file and to the server account, the process-wide lock, and the settling of
// every receipt an interrupted run left behind. Game thread only.
//
// Recovery covers the deposit receipts directly in the storage folder ("<32 hex>.bin"):
//   state 0, 1  never began (see journal.h): moved to its name + ".unapplied";
//   state 2     moved to 3 when the target file provably holds the planned content, else
//               attention (the receipt and the ".before" backup stay for review);
//   state 3     handed to the deposit flow's pending list (it owes the server a commit);
//   state 4     finished.
// Delivery receipts (the "withdrawals" folder) are deliberately NOT set aside here: the
// delivery of a command finds its own receipt when the command comes again, and a receipt in
// state 0 or 1 there makes that repeat refuse ("will not be created twice") instead of
// creating the item a second time. Moving it away would let a repeated command deliver again.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/config.h"
#include "platform/files.h"
#include "storage/journal.h"

constexpr size_t kMaxPendingTransfers = 4096;
constexpr uint64_t kStorageNoticeMs = 7000;
extern const char* const kRecoveryAttentionText;  // "Storage recovery needs attention. ..."

// A transfer that owes the server a commit.
struct PendingTransfer {
    TransferRecord transfer;
    std::string receipt_path;
};

struct StorageNotice {
    bool on = false;
    bool warning = false;
    std::string text;
    uint64_t expiry_ms = 0;
};

struct StorageState {
    bool enabled = false;    // set by the deposit flow's enable step
    bool started = false;
    bool attempted = false;
    bool attention = false;  // new deposits and deliveries are refused while set
    SyncConfig configuration;
    std::string mod_folder;
    std::string main_save_path;    // normalized
    std::string garden_save_path;  // normalized
    std::string binding;           // 64 hex characters
    std::string storage_dir;       // mod folder + "\garden-storage-" + binding
    platform::LockFile* lock = nullptr;  // garden save path + ".storage.lock", held for the run
    std::vector<PendingTransfer> pending;
    StorageNotice notice;
    // The animal reserve's file, for receipts that change it; null (or false) when it cannot be
    // established, and such receipts then cannot be proven applied.
    bool (*reserve_file_path)(std::string& path) = nullptr;
};

StorageState& storage_state();
// Back to the state of a freshly loaded library (releases the lock).
void reset_storage_state();

// Sets the storage notice for kStorageNoticeMs from now; a warning is also logged.
void set_storage_notice(const std::string& text, bool warning);

// Full path (the system's rule, at most 260 characters), "/" -> "\", lower case; empty on failure.
std::string NormalizePath(const std::string& path);
// The text hashed into the binding.
std::string StorageBindingText(const std::string& garden_save_path, const SyncConfig& config);

// Once per run; true when storage is started (with or without attention). False when the
// garden save file, the binding, the lock or the storage folder cannot be had.
bool StartStorage();
// Settles the receipts in the state's storage_dir under its binding (the steps of StartStorage
// after the folder is open). False only when the folder cannot be listed; anything that cannot
// be settled raises attention.
bool RecoverReceipts();
// True when the record's target file holds exactly its planned content (target 0: always).
bool VerifyTargetDigest(const TransferRecord& record);

// The storage folder's delivery receipts.
std::string DeliveryReceiptFolder();

// The Game Boy menu entry "Put" reads "Store" while storage is usable (enable), "Put" again
// otherwise; every frame. True when the label was changed now.
bool SetGameBoyStoreLabel(bool enable);
