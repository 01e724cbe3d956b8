#include <cstdio>

#include "animals/animal_reserve.h"
#include "host/log.h"
#include "host/mod_state.h"
#include "host/version.h"
#include "net/request_path.h"
#include "net/worker.h"
#include "protect/lifespan.h"
#include "snapshot/scanner.h"
#include "storage/deposit.h"

ModState& mod_state() {
    static ModState state;
    return state;
}

void Init(const char* path, const HelperWord* helpers) {
    ModState& s = mod_state();
    if (helpers) {
        int32_t version = static_cast<int32_t>(static_cast<uint32_t>(helpers[0]));
        if (version >= kHelperScreenTextVersion)
            s.screen_text = reinterpret_cast<ScreenTextFn>(helpers[kHelperScreenTextWord]);
    }
    s.mod_path = path ? path : ".";
    ModLog::set_log_sink(&ModLog::game_sink);
    s.config = LoadConfig(s.mod_path);
    SyncConfig& c = s.config;
    ModLog::set_log_enabled(c.Verbose);
    ModLog::log("v%s starting", kModReleaseVersion);

    if (c.KeepGardenAnimals && c.valid) {
        bool ok = install_animal_patch(s.mod_path, c.SaveSlot);
        ModLog::log("animal inventory: %s", ok ? "enabled" : "incompatible native code; disabled");
        if (!ok) show_notice(Notice::AnimalInventoryUnavailable);
    }

    c.lifespan_frozen = c.DisableNaturalDeath ? install_lifespan_protection() : false;

    s.rebirth_hook_active = install_rebirth_hook();
    link_worker().rebirth_available.exchange(s.rebirth_hook_active);
    ModLog::log("manual rebirth: %s",
                s.rebirth_hook_active ? "safe native behavior available" : "unavailable; no rebirth commands accepted");

    if (c.lifespan_frozen)
        ModLog::log("natural lifecycle: %s", "lifespan frozen; natural death/reincarnation disabled");
    else if (c.DisableNaturalDeath)
        ModLog::log("natural lifecycle: %s", "ERROR: protection patch could not be verified");
    else
        ModLog::log("natural lifecycle: %s", "original death/reincarnation explicitly enabled in config");
    if (c.DisableNaturalDeath && !c.lifespan_frozen) show_notice(Notice::LifespanProtectionUnavailable);

    if (!c.valid) {
        ModLog::log("ERROR: invalid config.ini (%s) -- sync is disabled", c.error.c_str());
        return;
    }

    s.session_id = new_session_id();
    ModLog::log("target %s://%s:%d%s (save slot %d)", c.UseHttps ? "https" : "http", c.ServerHost.c_str(),
                c.ServerPort, ComposeRequestPath(c, c.SyncPath).c_str(), c.SaveSlot);
    ModLog::log("scan every %d frames, full resync every %ds, session %s", c.ScanIntervalFrames,
                c.FullResyncSeconds, s.session_id.c_str());
    if (c.ApiKey.empty()) ModLog::log("WARNING: no ApiKey set in config.ini -- the server will reject uploads");

    s.intake_served_session.clear();
    s.garden_seen = false;
    s.session_active = false;
    s.slot_wait_logged = false;
    s.session_wait_logged = false;
    s.last_hello_ms = 0;
    s.completed_command_ids.clear();
    s.pending_hatches.clear();
    s.pending_rebirths.clear();

    StartWorker(c);

    bool storage = enable_storage(s.mod_path, c);
    link_worker().storage_available.exchange(storage);
    ModLog::log("Game Boy storage: %s", storage ? "enabled" : "unavailable; no items will be removed");

    s.sync_enabled = true;
}

void OnControl() {
    const ModState& s = mod_state();
    storage_on_control(s.sync_enabled && s.garden_seen && s.session_active);
}

void OnFrame() { run_frame(); }

void on_process_detach() {
    ModState& s = mod_state();
    s.sync_enabled = false;
    if (s.session_active) EndSession(s.session_id);
    StopWorker();
}

void reset_library_state() {
    mod_state() = ModState{};
    ModLog::reset();
    reset_notices();
    lifespan::reset();
    animals::reset();
    LinkWorker& w = link_worker();
    StopWorker();
    {
        std::lock_guard<std::mutex> g(w.lock);
        clear_session_queues(w);
        w.acks.clear();
        w.pending_hello.clear();
        w.pending_goodbye.clear();
        w.unconfirmed_goodbye.clear();
        w.current_session_id.clear();
        w.hello_result = HelloResult{};
    }
    w.lifespan_frozen.store(false);
    w.rebirth_available.store(false);
    w.storage_available.store(false);
    w.session_held.store(false);
}
