// Deposits and deliveries killed, or with one file operation failed, at every fault point; after
// a restart (the garden reloaded from its save file, storage recovered) every item exists once.
#include <doctest/doctest.h>

#include <cstring>
#include <fstream>

#include "storage/delivery.h"
#include "test_deposit_scene.h"
#include "tests/crash_harness.h"
#include "writeback/command_reader.h"

namespace {

const std::string kItem = "00112233445566778899aabbccddeeff";

// What a restart does: the game loads its garden from the save file, storage starts again.
void restart(const std::string& mod, const SyncConfig& config) {
    std::string error;
    REQUIRE(sim::load_garden_save(sim::read_garden_save(), error));
    REQUIRE(enable_storage(mod, config));
    Scene::set_session("S9");
    run_storage_frame(true, "S9");
}

std::string file_problem(const std::string& file) {
    bool whole = file.size() == sim::kGardenSaveSize && std::memcmp(file.data(), sim::kGardenSaveHeader, 48) == 0;
    return whole && sim::garden_save_sealed(file) ? "" : "the garden save file is damaged";
}

// The case run killed at, and failed at, every fault point; `scene` is made anew for each run.
void run_both_modes(Scene*& scene, crash::Case c) {
    for (crash::Mode mode : {crash::Mode::Kill, crash::Mode::Fail}) {
        CAPTURE(static_cast<int>(mode));
        c.mode = mode;
        c.recover = [&] { restart(scene->mod, scene->config); };
        crash::Report r = crash::run(c);
        for (const auto& f : r.failures) CHECK_MESSAGE(false, f);
        CHECK(r.fault_points > 20);
        delete scene;
        scene = nullptr;
    }
}

std::string answer_of(const DeliveryOutcome& o) { return o.delivered ? "done" : o.reason.empty() ? "wait" : "failed"; }

WritebackCommand delivery_command() {
    std::vector<WritebackCommand> out;
    REQUIRE(parse_commands("{\"commands\":[{\"id\":77,\"kind\":\"spawn_inventory\",\"v\":1,\"item_id\":\"" + kItem +
                               "\",\"item_kind\":\"fruit\",\"garden\":1,\"item_type\":9,\"size\":3,\"age\":0}]}",
                           out));
    return out.at(0);
}

}  // namespace

TEST_CASE("a deposit interrupted anywhere: the item is in the save file or in server storage, once") {
    Scene* scene = nullptr;
    crash::Case c;
    c.setup = [&] {
        delete scene;
        scene = new Scene();
        sim::hold(sim::place_fruit(7, 2));
        sim::write_garden_save();
        Scene::prepare_accepted();
    };
    c.operation = [&] {
        Scene::frame();  // the prepare accepted: saved out
        if (Scene::answer_next(true) != "commit") return false;
        Scene::frame();
        return pending_deposits().empty() && Scene::notice() == "Sent to server storage.";
    };
    c.check = [&](const crash::Outcome& o) -> std::string {
        const std::string file = sim::read_garden_save();
        if (std::string bad = file_problem(file); !bad.empty()) return bad;
        // In server storage: committed, or owed a commit that the flow repeats until accepted.
        int stored = 0;
        for (const auto& entry : std::filesystem::directory_iterator(
                 std::filesystem::path(platform::posix::native_path(storage_state().storage_dir)))) {
            if (entry.path().extension() != ".bin") continue;
            TransferRecord r;
            if (ReadReceipt(entry.path().string(), storage_state().binding, r) && r.state >= kTransferApplied)
                ++stored;
        }
        int in_file = fruit_in_file(file, 7);
        if (in_file + stored != 1)
            return "in the file " + std::to_string(in_file) + ", stored " + std::to_string(stored);
        if (o.succeeded && stored != 1) return "reported sent but not stored";
        return "";
    };
    run_both_modes(scene, c);
}

TEST_CASE("a delivery interrupted anywhere and offered again exists once, or stays with the server") {
    Scene* scene = nullptr;
    const WritebackCommand command = delivery_command();
    std::string outcome_file;
    crash::Case c;
    c.setup = [&] {
        delete scene;
        scene = new Scene();
        outcome_file = scene->dir.str() + "/outcome";
        Scene::frame();
        REQUIRE(storage_state().started);
        sim::use_standin_item_routines();
    };
    c.operation = [&] {
        std::string answer = answer_of(deliver_stored_item(command, 1));
        std::ofstream(outcome_file) << answer;
        return answer == "done";
    };
    c.check = [&](const crash::Outcome& o) -> std::string {
        std::string first;
        if (!o.killed) std::ifstream(outcome_file) >> first;
        if (std::string bad = file_problem(sim::read_garden_save()); !bad.empty()) return bad;
        // A failure acknowledged leaves the item with the server; anything else is offered again.
        std::string final_answer = first;
        if (first != "failed") {
            final_answer = answer_of(deliver_stored_item(command, 1));
            if (first == "done" && final_answer != "done") return "a finished delivery was not confirmed";
        }
        int in_file = fruit_in_file(sim::read_garden_save(), 9);
        int in_game = sim::count_records(storage_game::kKindFruit);
        if (final_answer == "done" && (in_file != 1 || in_game != 1))
            return "delivered, yet in the file " + std::to_string(in_file) + ", in the game " + std::to_string(in_game);
        if (final_answer == "failed" && (in_file != 0 || in_game != 0))
            return "reported failed, yet the item exists";
        if (final_answer == "wait") return "still waiting after a restart";
        return "";
    };
    run_both_modes(scene, c);
}
