// The run state shared by the entry points, the frame driver and the writeback code.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/config.h"
#include "host/notices.h"
#include "writeback/command.h"

// What the dispatcher did with one command id in this session, so that a command offered
// again (a second copy of the document, or a lost acknowledgement) is answered again and
// never applied twice.
struct HandledCommand {
    bool ok = false;
    bool awaits_snapshot = false;  // completed: acknowledged once the next upload is accepted
    std::string reason;            // the refusal sent back
    uint64_t serial = 0;           // order of handling; the oldest entry goes first when full
    uint64_t answered_in = 0;      // dispatcher run that last queued its answer
    bool repeat_logged = false;
};

struct ModState {
    std::string mod_path;
    ScreenTextFn screen_text = nullptr;
    SyncConfig config;
    bool sync_enabled = false;
    bool rebirth_hook_active = false;
    bool session_active = false;
    bool garden_seen = false;
    bool slot_wait_logged = false;
    bool session_wait_logged = false;
    bool update_notice_shown = false;
    uint32_t scan_frame_counter = 0;
    uint64_t last_hello_ms = 0;
    std::string session_id;
    std::string intake_served_session;
    std::vector<uint32_t> completed_command_ids;
    std::vector<WritebackCommand> pending_hatches;
    std::vector<WritebackCommand> pending_rebirths;
    std::unordered_map<int32_t, HandledCommand> handled_commands;  // cleared with the session
    uint64_t handled_serial = 0;
    uint64_t dispatch_runs = 0;
    // One per Chao slot: a guarded rebirth of that slot has started; kept for the process.
    std::array<bool, 37> new_life_flags{};
};

ModState& mod_state();

// The loader's helper table: pointer-sized words, word 0 holding the signed 32-bit version
// in its low half, word 17 the on-screen text function from version 8 on.
using HelperWord = uintptr_t;
constexpr int kHelperScreenTextWord = 17;
constexpr int32_t kHelperScreenTextVersion = 8;

// What the loader reads before calling anything: version 16, then nine zero words.
struct ModInfo {
    int32_t version;
    uint32_t words[9];
};

#if defined(_WIN32) && defined(VELMORA_DLL)
#define VELMORA_EXPORT __declspec(dllexport)
#else
#define VELMORA_EXPORT
#endif

extern "C" {
VELMORA_EXPORT void Init(const char* path, const HelperWord* helpers);
VELMORA_EXPORT void OnFrame();
VELMORA_EXPORT void OnControl();
}

// The library entry point's process-detach branch.
void on_process_detach();
// Back to the state of a freshly loaded library (the simulator loads us many times).
void reset_library_state();

// The frame driver, the body of OnFrame.
void run_frame();
