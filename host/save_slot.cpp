#include "host/save_slot.h"

#include <cstring>

#include "host/game.h"
#include "host/log.h"
#include "host/mod_state.h"
#include "host/version.h"
#include "net/worker.h"
#include "platform/platform.h"
#include "snapshot/scanner.h"

namespace {

constexpr size_t kMaxSavePath = 260;  // the game's paths are MAX_PATH texts

bool readable_protection(uint32_t protect) {
    if (protect & (game::kPageGuard | game::kPageNoAccess)) return false;
    return (protect & (game::kPageReadOnly | game::kPageReadWrite | game::kPageWriteCopy |
                       game::kPageExecuteRead | game::kPageExecuteReadWrite |
                       game::kPageExecuteWriteCopy)) != 0;
}

// Copies the NUL-terminated text at `address` into `out`, region by region, never touching a
// page the memory query does not call readable. False when unreadable or unterminated.
bool read_game_text(game_addr address, char* out, size_t capacity) {
    size_t n = 0;
    while (n < capacity) {
        game::RegionInfo r{};
        game_addr at = address + static_cast<game_addr>(n);
        if (at < address || !game::query_region(at, r) || r.state != game::kMemCommit ||
            !readable_protection(r.protect))
            return false;
        uint64_t region_end = static_cast<uint64_t>(r.base) + r.size;
        while (n < capacity && static_cast<uint64_t>(at) < region_end) {
            char c = game::read<char>(at);
            out[n++] = c;
            if (c == '\0') return true;
            ++at;
            if (at == 0) return false;
        }
    }
    return false;
}

void clear_session_state(ModState& s) {
    s.intake_served_session.clear();
    s.completed_command_ids.clear();
    s.pending_hatches.clear();
    s.pending_rebirths.clear();
    s.handled_commands.clear();
    s.garden_seen = false;
}

}  // namespace

int32_t active_save_slot(const char* path) {
    if (!path || !*path) return 0;
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    if (std::strlen(name) != 12) return 0;
    char upper[13];
    for (int i = 0; i < 12; ++i) {
        char c = name[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    upper[12] = '\0';
    if (std::strncmp(upper, "SONIC2B__S", 10) != 0) return 0;
    if (upper[10] < '0' || upper[10] > '9' || upper[11] < '0' || upper[11] > '9') return 0;
    int32_t slot = (upper[10] - '0') * 10 + (upper[11] - '0');
    return slot >= 1 && slot <= 99 ? slot : 0;
}

int32_t read_active_save_slot() {
    game::RegionInfo r{};
    if (!game::query_region(game::addr::save_path, r) || r.state != game::kMemCommit ||
        !readable_protection(r.protect))
        return 0;
    game_addr text = game::read<game_addr>(game::addr::save_path);
    if (text == 0) return 0;
    char path[kMaxSavePath + 1];
    if (!read_game_text(text, path, sizeof path)) return 0;
    return active_save_slot(path);
}

bool save_slot_session_step() {
    ModState& s = mod_state();
    const SyncConfig& c = s.config;
    int32_t slot = read_active_save_slot();
    if (slot != 0 && slot == c.SaveSlot) {
        if (!s.session_active) {
            if (s.session_id.empty()) s.session_id = new_session_id();
            garden_scanner().begin_session(s.session_id, kModReleaseVersion, c.FullResyncSeconds);
            clear_session_state(s);
            BeginSession(s.session_id);
            s.session_active = true;
            s.last_hello_ms = platform::tick_ms();
            s.session_wait_logged = false;
            ModLog::log("save slot %d selected; session started", slot);
        }
        s.slot_wait_logged = false;
        return true;
    }
    if (s.session_active) {
        EndSession(s.session_id);
        s.session_id.clear();
        s.session_active = false;
        clear_session_state(s);
    }
    if (s.slot_wait_logged) return false;
    if (slot != 0)
        ModLog::log("save slot %d is loaded; waiting for configured save slot %d", slot, c.SaveSlot);
    else
        ModLog::log("active main-save path is unavailable; waiting for configured save slot %d", c.SaveSlot);
    s.slot_wait_logged = true;
    return false;
}
