// A simulated garden with storage enabled: the player at the Game Boy, the main save and the
// garden save file in <tmp>/savedata, the mod folder in <tmp>/mods/velmora, and the worker's
// deposit queues driven by hand (no thread: the test takes requests and hands back results).
#pragma once
#include <doctest/doctest.h>

#include <cstring>

#include "host/log.h"
#include "net/worker.h"
#include "platform/posix/posix_control.h"
#include "sim/garden.h"
#include "sim/gameboy.h"
#include "sim/sim.h"
#include "storage/delivery.h"
#include "storage/deposit.h"
#include "storage/startup.h"
#include "test_support.h"

// The hold input: F8 reads as down while this is set (the key handler is put in place here).
inline bool& f8_down() {
    static bool down = false;
    platform::posix::set_key_state_handler([](int key) { return key == 0x77 && down; });
    return down;
}

struct Scene {
    TempDir dir;
    std::string mod = dir.str() + "/mods/velmora";
    SyncConfig config;

    // `started`: one frame run, so storage has started; the game's item routines the stand-ins.
    explicit Scene(bool started = false) {
        sim::reset();
        ModLog::set_log_sink([](const char*) {});  // the mod's lines stay out of the test output
        ModLog::set_log_enabled(true);
        f8_down() = false;
        std::filesystem::create_directories(dir.path / "savedata");
        std::filesystem::create_directories(mod);
        sim::setup_gameboy(1);
        sim::set_save_folder(dir.str() + "/savedata", 1);
        sim::write_garden_save();
        config.ApiKey = "key-1";
        REQUIRE(enable_storage(mod, config));
        set_session("S1");
        if (!started) return;
        frame();
        REQUIRE(storage_state().started);
        sim::use_standin_item_routines();
    }
    ~Scene() {
        set_session("");
        link_worker().running.store(false);
        platform::posix::set_key_state_handler(nullptr);
        set_delivery_routines(nullptr, nullptr, nullptr);
        set_reserve_serialize_without(nullptr);
        reset_storage_state();  // the save file's lock let go
        ModLog::set_log_sink(nullptr);
    }

    // The session the game and the worker share; a new one drops whatever was queued.
    static void set_session(const std::string& id) {
        mod_state().session_id = id;
        LinkWorker& w = link_worker();
        std::lock_guard<std::mutex> g(w.lock);
        if (w.current_session_id != id) clear_session_queues(w);
        w.current_session_id = id;
        w.running.store(true);
        w.session_held.store(!id.empty());
    }

    // One input poll and one frame, as the loader runs them.
    static void frame() {
        storage_on_control(true);
        run_storage_frame(true, mod_state().session_id);
        sim::advance_ms(17);
    }

    // The one request queued now, answered: "<phase> <session>" ("<n> requests" when not one).
    static std::string answer_next(bool ok, int32_t status = 200) {
        LinkWorker& w = link_worker();
        std::lock_guard<std::mutex> g(w.lock);
        const size_t n = w.deposit_requests.size();
        const DepositRequest r = n == 1 ? w.deposit_requests.front() : DepositRequest{};
        w.deposit_requests.clear();
        if (n != 1) return std::to_string(n) + " requests";
        w.deposit_results.push_back(DepositResult{r.request_id, r.session_id, ok, status});
        return (r.body.find("\"phase\":\"commit\"") != std::string::npos ? "commit " : "prepare ") + r.session_id;
    }

    static std::string notice() { return storage_state().notice.on ? storage_state().notice.text : ""; }

    // Holds F8 until the deposit starts; the frames it took.
    static int hold_until_started(int limit = 100) {
        f8_down() = true;
        for (int i = 1; i <= limit; ++i) {
            frame();
            if (!pending_deposits().empty()) return i;
        }
        return -1;
    }
    // Holds F8 until the deposit starts and its prepare is accepted (the answer not yet read).
    static void prepare_accepted() {
        REQUIRE(hold_until_started() == 45);
        CHECK(notice() == "Preparing storage. Keep holding the item here...");
        frame();
        REQUIRE(answer_next(true) == "prepare S1");
    }
};

// How many records of `type` the garden save file holds for `kind` (-1: not a garden save file).
inline int records_in_file(const std::string& file, int16_t type, uint32_t kind = storage_game::kKindFruit) {
    if (file.size() != sim::kGardenSaveSize) return -1;
    const size_t table = sim::kGardenSaveBlockOffset + (storage_game::record_table(kind) - game::addr::garden_save_block);
    int n = 0;
    for (uint32_t i = 0; i < storage_game::record_count(kind); ++i) n += std::memcmp(file.data() + table + 20 * i, &type, 2) == 0;
    return n;
}

// While it lives, the file layer's moves are watched: with no `fail_suffix` the one taking a
// planned receipt to applying is refused, else the moves onto a path ending in `fail_suffix`.
struct MoveWatch {
    std::string fail_suffix;
    explicit MoveWatch(std::string suffix = "") : fail_suffix(std::move(suffix)) { platform::set_file_fault_hook(&hook, this); }
    ~MoveWatch() { platform::set_file_fault_hook(nullptr, nullptr); }
    static bool hook(platform::FileOp op, platform::FaultPhase phase, const char* at, void* context) {
        const std::string& suffix = static_cast<MoveWatch*>(context)->fail_suffix;
        const std::string path = at;
        TransferRecord r;
        if (op != platform::FileOp::Move || phase != platform::FaultPhase::Before) return true;
        if (path.ends_with(".bin") && ReadReceipt(path, storage_state().binding, r) && r.state == kTransferPlanned)
            return !suffix.empty();
        return suffix.empty() || !path.ends_with(suffix);
    }
};
