// The storage journal: one TransferRecord per item moved between the game and server storage,
// kept on disk as a fixed 208-byte receipt that is written before anything irreversible
// happens and moved forward one state at a time, so that after a crash the receipt tells how
// far the transfer got. Also the small crash-safe file and hashing helpers the storage flows
// share. All calls come from the game thread.
//
// How a flow must use the states (start-up recovery relies on it):
//   0 prepared  receipt written; nothing local has changed.
//   1 planned   the digest of the target file's planned content is recorded; STILL nothing
//               local has changed. Recovery sets a planned receipt aside as never begun, so a
//               flow must not touch game memory or the target file while its receipt says 1.
//   2 applying  written with BeginLocalChange() BEFORE the first change to game memory or to
//               the target file. From here on only the target file's digest tells whether the
//               change is complete; recovery never sets such a receipt aside.
//   3 applied   the change is complete (the target file holds the planned content).
//   4 committed the server confirmed; finished.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum TransferState : uint32_t {
    kTransferPrepared = 0,
    kTransferPlanned = 1,
    kTransferApplying = 2,
    kTransferApplied = 3,
    kTransferCommitted = 4,
};

enum TransferKind : uint32_t { kTransferFruit = 0, kTransferAnimal = 1 };
enum TransferTarget : uint32_t { kTargetNone = 0, kTargetGardenSave = 1, kTargetAnimalReserve = 2 };

struct TransferRecord {
    std::string transfer_id;   // 32 lower-case hex characters
    std::string save_binding;  // 64 lower-case hex characters
    uint32_t kind = kTransferFruit;
    uint32_t target = kTargetNone;
    int16_t item_type = -1;
    int16_t garden = -1;
    int16_t size = 0;
    int16_t age = 0;
    float pos_x = 0.0f, pos_y = 0.0f, pos_z = 0.0f;
    uint32_t state = kTransferPrepared;
    std::string save_digest;  // empty in state 0, else 64 lower-case hex characters
};

constexpr size_t kReceiptSize = 208;
constexpr size_t kMaxHashedFileSize = 1048576;
extern const char kReceiptMagic[8];  // "VLDEPST1", no terminator
constexpr uint32_t kReceiptVersion = 2;

// True when `text` is exactly `length` characters of "0123456789abcdef". File names are built
// only from text that passed this test.
bool IsLowerHex(const std::string& text, size_t length);

// 16 random bytes as 32 hex characters; empty when the generator failed.
std::string NewTransferId();
// SHA-256 as 64 hex characters; empty above kMaxHashedFileSize bytes or when hashing failed.
std::string Sha256Hex(const void* data, size_t size);
std::string Sha256Hex(const std::string& bytes);

bool IsTransferValid(const TransferRecord& record);
// The state rule: the same state (with an empty or equal digest) changes nothing; otherwise
// only state + 1, storing the digest when moving to 1 and requiring it empty or equal after.
// The record changes only on success.
bool AdvanceTransfer(TransferRecord& record, uint32_t new_state, const std::string& digest);

// The receipt image; empty when the record is not valid.
std::string EncodeReceipt(const TransferRecord& record);
// Accepts exactly a 208-byte image with magic, version 2, matching checksum, a valid record
// and the expected binding; `out` is set only on success.
bool DecodeReceipt(const void* data, size_t size, const std::string& expected_binding, TransferRecord& out);
bool ReadReceipt(const std::string& path, const std::string& expected_binding, TransferRecord& out);

// Writes the record's receipt at `path` under its ".lock": a new file only in state 0, an
// existing one only unchanged or moved forward one state of the same transfer. On failure the
// previous receipt is intact (a ".tmp" may be left).
bool WriteReceipt(const std::string& path, const TransferRecord& record);

// AdvanceTransfer on a copy, then WriteReceipt of it; the record takes the new state only when
// both succeeded, so a caller never holds a state the disk does not have.
bool AdvanceAndWrite(TransferRecord& record, const std::string& path, uint32_t new_state,
                     const std::string& digest);
// Planned -> applying, on disk. Call it before the first change to game memory or the target
// file; when it fails, change nothing.
inline bool BeginLocalChange(TransferRecord& record, const std::string& path) {
    return AdvanceAndWrite(record, path, kTransferApplying, "");
}

// The server's report: phase "prepare" (any valid record) or "commit" (state 3 or 4, with the
// digest); empty text when not allowed.
std::string BuildTransferJson(const TransferRecord& record, const std::string& phase);

// Whole file of at most `max_size` bytes (an empty file is fine); false when it cannot be
// opened, is larger, or reading failed.
bool ReadWholeFile(const std::string& path, size_t max_size, std::string& out);
// path + ".tmp" written, flushed, closed, moved over path with replace and write-through.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);
// Replaces the file only when it holds `expected`, and succeeds only when it then holds `bytes`.
bool ReplaceFileIfUnchanged(const std::string& path, const std::string& expected, const std::string& bytes);

// Receipt file of a transfer in `folder`: folder + "\" + id + ".bin"; empty unless the id is
// 32 hex characters.
std::string ReceiptPath(const std::string& folder, const std::string& transfer_id);
// The transfer id of a stored-item delivery: the first 32 characters of the SHA-256 of
// "withdraw:" + command id + ":" + item id. Server text only ever enters a name hashed.
std::string DeliveryTransferId(int32_t command_id, const std::string& item_id);
