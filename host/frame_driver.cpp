#include "animals/animal_reserve.h"
#include "host/care_warnings.h"
#include "host/log.h"
#include "host/save_slot.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "platform/platform.h"
#include "protect/lifespan.h"
#include "snapshot/scanner.h"
#include "storage/deposit.h"
#include "storage/items_listing.h"
#include "writeback/dispatcher.h"
#include "writeback/lifecycle.h"

namespace {

constexpr uint64_t kHelloRepeatMs = 30000;

void dump_payload(const ModState& s, const std::string& payload) {
    // A file that cannot be written is skipped: the upload matters, the dump does not.
    platform::write_whole_file(s.mod_path + "\\velmora-last.json", payload.data(), payload.size());
}

void upload_scan(ModState& s, bool in_garden) {
    GardenScanner& scanner = garden_scanner();
    GardenContext context = read_garden_context();
    if (in_garden) {
        s.garden_seen = true;
    } else {
        if (!s.garden_seen) return;
        context.active_garden = 0;
    }
    feed_scanner(scanner, context, list_garden_items());
    if (s.config.EnableWriteback && in_garden) {
        run_hatch_monitor(game::addr::chao_slots, game::kChaoRecordSize, game::kChaoSlotCount);
        run_rebirth_monitor(game::addr::chao_slots, game::kChaoRecordSize, game::kChaoSlotCount);
        apply_server_commands(game::addr::chao_slots, game::kChaoRecordSize, game::kChaoSlotCount, game::addr::trees,
                              context.active_garden);
    }
    ScanResult r = scan_garden(scanner, platform::tick_ms());
    if (!r.produced) return;
    ModLog::log("%s upload: %d chao sent, %d occupied, %d slots changed, %d trees changed, %u bytes",
                r.full ? "full" : "delta", r.chao_sent, r.occupied, r.slots_changed, r.trees_changed,
                static_cast<unsigned>(r.payload.size()));
    if (s.config.DumpPayloads) dump_payload(s, r.payload);
    EnqueueUpload(std::move(r.payload), r.full, s.completed_command_ids);
    s.completed_command_ids.clear();
}

void scan_tick(ModState& s) {
    bool in_garden = read_garden_context().in_garden;
    if (!s.session_active && !in_garden) return;  // sessions begin only in the garden
    if (!save_slot_session_step()) return;

    HelloResult hello = GetHelloResult();
    if (hello.update_required) {
        if (!s.update_notice_shown) {
            s.update_notice_shown = true;
            ModLog::log("session blocked: this Velmora version is outside the server's supported release line");
            show_notice(Notice::UpdateRequired);
        }
        return;
    }
    if (hello.answered && hello.held) {
        if (ShouldRequestIntake(hello, s.intake_served_session)) {
            garden_scanner().request_full();
            ModLog::log("session: server requested a full intake upload");
        }
        s.session_wait_logged = false;
        upload_scan(s, in_garden);
        return;
    }
    if (!hello.reason.empty() && !s.session_wait_logged) {
        ModLog::log("session is waiting: %s", hello.reason.c_str());
        s.session_wait_logged = true;
    }
    uint64_t now = platform::tick_ms();
    if (now - s.last_hello_ms >= kHelloRepeatMs) {
        BeginSession(s.session_id);
        s.last_hello_ms = now;
        s.session_wait_logged = false;
    }
}

}  // namespace

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

    show_care_warnings(c, s.screen_text);

    if (s.rebirth_hook_active && !verify_rebirth_hook()) {
        s.rebirth_hook_active = false;
        link_worker().rebirth_available.store(false);
        if (s.session_active) BeginSession(s.session_id);
        show_notice(Notice::RebirthPaused);
    }

    if (!s.sync_enabled) return;
    if (++s.scan_frame_counter < static_cast<uint32_t>(c.ScanIntervalFrames)) return;
    s.scan_frame_counter = 0;
    scan_tick(s);
}
