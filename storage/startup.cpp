#include "storage/startup.h"

#include "host/game.h"
#include "host/log.h"
#include "platform/platform.h"
#include "protect/game_memory.h"

#include <cstring>
#include <unordered_set>

const char* const kRecoveryAttentionText = "Storage recovery needs attention. Items and receipts retained.";

namespace {

constexpr game_addr kGardenSavePathArea = 0x0136604C;
constexpr uint32_t kGardenSavePathSize = 128;
constexpr uint32_t kMaxMainSavePath = 1024;

// Committed, neither no-access nor guarded, over the whole range.
bool memory_readable(game_addr address, uint32_t length) {
    uint64_t p = address;
    const uint64_t end = static_cast<uint64_t>(address) + length;
    if (end > (1ull << 32)) return false;
    while (p < end) {
        game::RegionInfo info{};
        if (!game::query_region(static_cast<game_addr>(p), info)) return false;
        if (info.state != game::kMemCommit) return false;
        if ((info.protect & game::kPageGuard) || (info.protect & 0xFF) == game::kPageNoAccess || info.protect == 0)
            return false;
        uint64_t region_end = static_cast<uint64_t>(info.base) + info.size;
        if (region_end <= p) return false;
        p = region_end;
    }
    return true;
}

// A terminated text in game memory, read only where readable; false without a terminator.
bool read_game_text(game_addr address, uint32_t max_length, std::string& out) {
    out.clear();
    for (uint32_t i = 0; i < max_length; ++i) {
        if (!memory_readable(address + i, 1)) return false;
        char c = game::read<char>(address + i);
        if (c == '\0') return true;
        out += c;
    }
    return false;
}

bool is_receipt_name(const std::string& name, std::string& transfer_id) {
    if (name.size() != 36 || name.compare(32, 4, ".bin") != 0) return false;
    transfer_id = name.substr(0, 32);
    return IsLowerHex(transfer_id, 32);
}

}  // namespace

StorageState& storage_state() {
    static StorageState state;
    return state;
}

// The menu object last relabelled "Store"; 0 when none.
game_addr g_label_object = 0;

void reset_storage_state() {
    g_label_object = 0;
    StorageState& s = storage_state();
    platform::lock_file_release(s.lock);
    s = StorageState{};
}

void set_storage_notice(const std::string& text, bool warning) {
    StorageNotice& n = storage_state().notice;
    n.on = true;
    n.warning = warning;
    n.text = text;
    n.expiry_ms = platform::tick_ms() + kStorageNoticeMs;
    if (warning) ModLog::log("garden storage: %s", text.c_str());
}

std::string NormalizePath(const std::string& path) {
    if (path.empty()) return "";
    std::string full = platform::full_path(path);
    if (full.empty() || full.size() >= 260) return "";
    for (char& c : full) {
        if (c == '/') c = '\\';
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return full;
}

std::string StorageBindingText(const std::string& garden_save_path, const SyncConfig& config) {
    return garden_save_path + "\n" + config.ServerHost + ":" + std::to_string(config.ServerPort) +
           (config.UseHttps ? "https" : "http") + config.base_path + "\n" + config.ApiKey;
}

std::string DeliveryReceiptFolder() {
    const StorageState& s = storage_state();
    return s.storage_dir.empty() ? "" : s.storage_dir + "\\withdrawals";
}

bool VerifyTargetDigest(const TransferRecord& record) {
    std::string path;
    switch (record.target) {
        case kTargetNone:
            return true;
        case kTargetGardenSave:
            path = storage_state().garden_save_path;
            break;
        case kTargetAnimalReserve: {
            auto source = storage_state().reserve_file_path;
            if (!source || !source(path)) return false;
            break;
        }
        default:
            return false;
    }
    if (path.empty() || !IsLowerHex(record.save_digest, 64)) return false;
    std::string content;
    if (!ReadWholeFile(path, kMaxHashedFileSize, content)) return false;
    return Sha256Hex(content) == record.save_digest;
}

bool RecoverReceipts() {
    StorageState& s = storage_state();
    std::vector<platform::FolderEntry> entries;
    platform::ListResult listed = platform::list_bin_files(s.storage_dir, entries);
    if (listed == platform::ListResult::Error) return false;
    for (const auto& entry : entries) {
        if (entry.is_folder) continue;
        // Only names this system writes: anything else is never opened or moved by name.
        std::string id;
        TransferRecord record;
        if (!is_receipt_name(entry.name, id)) {
            s.attention = true;
            continue;
        }
        const std::string path = ReceiptPath(s.storage_dir, id);
        if (!ReadReceipt(path, s.binding, record) || record.transfer_id != id) {
            s.attention = true;
            continue;
        }
        if (record.state == kTransferCommitted) continue;
        if (record.state <= kTransferPlanned) {
            if (!platform::file_move_new(path, path + ".unapplied")) s.attention = true;
            continue;
        }
        if (record.state == kTransferApplying) {
            if (!VerifyTargetDigest(record) || !AdvanceAndWrite(record, path, kTransferApplied, "")) {
                s.attention = true;
                continue;
            }
        }
        if (s.pending.size() >= kMaxPendingTransfers) {
            s.attention = true;
            break;
        }
        s.pending.push_back(PendingTransfer{record, path});
    }
    return true;
}

bool StartStorage() {
    StorageState& s = storage_state();
    if (s.started) return true;
    if (s.mod_folder.empty()) return false;

    if (!memory_readable(game::addr::save_path, 4)) return false;
    std::string main_raw;
    if (!read_game_text(game::read<game_addr>(game::addr::save_path), kMaxMainSavePath, main_raw)) return false;
    std::string main_path = NormalizePath(main_raw);
    if (main_path.empty()) return false;
    size_t slash = main_path.rfind('\\');
    std::string garden_path = (slash == std::string::npos ? std::string() : main_path.substr(0, slash + 1)) +
                              "sonic2b__alf";

    // The game must really be using that file.
    std::string game_garden_raw;
    if (!memory_readable(kGardenSavePathArea, kGardenSavePathSize) ||
        !read_game_text(kGardenSavePathArea, kGardenSavePathSize, game_garden_raw) ||
        NormalizePath(game_garden_raw) != garden_path)
        return false;

    std::string binding = Sha256Hex(StorageBindingText(garden_path, s.configuration));
    if (!IsLowerHex(binding, 64)) return false;

    platform::LockFile* lock = platform::lock_file_open(garden_path + ".storage.lock");
    if (!lock) return false;
    std::string dir = s.mod_folder + "\\garden-storage-" + binding;
    if (!platform::create_folder(dir)) {
        platform::lock_file_release(lock);
        return false;
    }
    s.main_save_path = main_path;
    s.garden_save_path = garden_path;
    s.binding = binding;
    s.storage_dir = dir;
    s.lock = lock;
    if (!RecoverReceipts()) {
        platform::lock_file_release(s.lock);
        s.lock = nullptr;
        return false;
    }
    s.started = true;
    if (s.attention) set_storage_notice(kRecoveryAttentionText, true);
    return true;
}

namespace {

constexpr game_addr kMenuObjectPointer = 0x01A559D4;
constexpr game_addr kTaskRoots = 0x01A5A254;
constexpr uint32_t kMenuObjectSize = 816;
constexpr uint32_t kMaxTaskNodes = 4096;

// The open Game Boy menu task's state block, or 0; `found` tells whether the task was found.
game_addr find_menu_state_block(bool& found) {
    found = false;
    std::vector<game_addr> stack;
    std::unordered_set<game_addr> seen;
    for (int i = 7; i >= 0; --i) {
        uint32_t root = 0;
        if (game_memory::read_u32(kTaskRoots + 4u * static_cast<uint32_t>(i), root) && root) stack.push_back(root);
    }
    while (!stack.empty() && seen.size() < kMaxTaskNodes) {
        game_addr node = stack.back();
        stack.pop_back();
        if (!seen.insert(node).second) continue;
        if (!game_memory::is_readable(node, 80)) continue;
        if (game::read<uint32_t>(node + 40) == 0x007951A0 && game::read<uint32_t>(node + 24) == 0x00795550) {
            game_addr block = game::read<uint32_t>(node + 64);
            if (block && block % 4 == 0 && game_memory::is_writable(block, 20) && game::read<uint8_t>(block) == 0) {
                found = true;
                return block;
            }
        }
        // Depth first: the link at +4 is visited before the one at +12.
        uint32_t next = game::read<uint32_t>(node + 12), child = game::read<uint32_t>(node + 4);
        if (next) stack.push_back(next);
        if (child) stack.push_back(child);
    }
    return 0;
}

bool slot_holds(game_addr slot, const char* text) {
    uint8_t want[8] = {0x07};
    std::memcpy(want + 1, text, std::strlen(text));
    return std::memcmp(game::game_ptr<const uint8_t>(slot), want, 8) == 0;
}

void slot_write(game_addr slot, const char* text) {
    uint8_t bytes[8] = {0x07};
    std::memcpy(bytes + 1, text, std::strlen(text));
    std::memcpy(game::game_ptr<uint8_t>(slot), bytes, 8);
}

}  // namespace

bool SetGameBoyStoreLabel(bool enable) {
    StorageState& s = storage_state();
    if (!s.enabled) return false;
    if (!game_memory::matches_fingerprint(0x00795364, 12, 0x29E030F8) ||
        !game_memory::matches_fingerprint(0x00795390, 58, 0x1D06AF6A))
        return false;
    uint32_t object = 0;
    if (!game_memory::read_u32(kMenuObjectPointer, object)) return false;
    if (g_label_object && g_label_object != object) g_label_object = 0;
    if (!enable && !g_label_object) return false;
    if (!game_memory::is_writable(object, kMenuObjectSize)) return false;
    static const uint8_t kRelease[8] = {0x07, 'R', 'e', 'l', 'e', 'a', 's', 'e'};
    if (game::read<uint32_t>(object + 48) != 0x20030000 || game::read<uint32_t>(object + 52) != 0x28030000 ||
        std::memcmp(game::game_ptr<const uint8_t>(object + 808), kRelease, 8) != 0)
        return false;
    if (enable && g_label_object == object) return false;
    bool found = false;
    game_addr block = find_menu_state_block(found);
    if (enable && !found) return false;
    const game_addr slot = object + 800;
    bool replaced = false;
    if (enable && slot_holds(slot, "Put")) {
        slot_write(slot, "Store");
        g_label_object = object;
        replaced = true;
    } else if (!enable && slot_holds(slot, "Store")) {
        slot_write(slot, "Put");
        g_label_object = 0;
        replaced = true;
    } else if (!enable) {
        g_label_object = 0;
    }
    if (replaced && found) {
        // The open menu redraws its entries when its state leaves 12.
        auto* word = reinterpret_cast<uint32_t*>(game::game_ptr<uint8_t>(block + 12));
        uint32_t expected = 12;
        __atomic_compare_exchange_n(word, &expected, 0xFFFFFFFFu, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    return replaced;
}
