#include "animals/animal_reserve.h"
#include "host/log.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/lifespan.h"
#include "storage/deposit.h"

void run_frame() {
    ModState& s = mod_state();
    SyncConfig& c = s.config;

    run_storage_frame(s.sync_enabled && s.garden_seen && s.session_active, s.session_id);
    animal_frame_step(s.screen_text);

    if (c.lifespan_frozen && !verify_lifespan_protection()) {
        c.lifespan_frozen = false;
        link_worker().lifespan_frozen.store(false);
        if (s.session_active) BeginSession(s.session_id);
        ModLog::log("ERROR: another mod replaced lifespan protection; restart required");
        show_notice(Notice::LifespanProtectionLost);
    }

    if (s.rebirth_hook_active && !verify_rebirth_hook()) {
        s.rebirth_hook_active = false;
        link_worker().rebirth_available.store(false);
        if (s.session_active) BeginSession(s.session_id);
        show_notice(Notice::RebirthPaused);
    }

    if (!s.sync_enabled) return;
    if (++s.scan_frame_counter < static_cast<uint32_t>(c.ScanIntervalFrames)) return;
    s.scan_frame_counter = 0;
    // Scan ticks: the save-slot session and the garden scan come with the sync path.
}
