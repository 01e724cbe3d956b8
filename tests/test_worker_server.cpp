// The sync worker: its queue rules and texts with the thread not started, then against the
// real reference server with its fault switches: retries, refusals, sessions, stalls, stopping.
#include <doctest/doctest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "host/config.h"
#include "host/log.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "server_fixture.h"

namespace {

// The log goes to the simulated game's debug print, as in the game.
bool has_line(const std::string& text) {
    return std::ranges::any_of(sim::debug_lines(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

template <class Pred>
bool eventually(Pred pred) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8); !pred();)
        if (std::chrono::steady_clock::now() > end) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

// A worker started against the fixture's server, greeted as `session`.
struct Running {
    Running(ServerFixture& s, const std::string& session, uint32_t divisor = 50) {
        reset_library_state();
        sim::reset();
        ModLog::set_log_sink(ModLog::game_sink);
        SetWorkerTimeDivisor(divisor);
        StartWorker(ParseConfigText("BaseUrl=" + s.base_url() + "\nApiKey=" + s.api_key + "\n"));
        greet(session);
    }
    ~Running() {
        StopWorker();
        CHECK(WaitWorkerExit(5000));
        SetWorkerTimeDivisor(1);
        reset_library_state();
    }
    static void greet(const std::string& id) {
        BeginSession(id);
        REQUIRE(eventually([&] { return GetHelloResult().session_id == id; }));
    }
};

size_t upload_count(const ServerFixture& s) {
    return s.admin_json("GET", "/admin/gardens/tester/1/uploads").value("uploads", nlohmann::json::array()).size();
}

const char* kFull =
    R"({"schema":1,"session_id":"1111222233334444","mod_version":"0.1.19","full":true,"occupied_slots":[],"chao":[]})";

}  // namespace

TEST_CASE("upload queue: a full snapshot supersedes it with its acknowledgements once; sixteen jobs at most") {
    reset_library_state();  // each case starts from a fresh library, as after a load
    LinkWorker& w = link_worker();
    for (auto [payload, full, ack] : {std::tuple{"d1", false, 7u}, {"d2", false, 8u}, {"d3", false, 7u}, {"full", true, 3u}})
        EnqueueUpload(payload, full, {ack});
    REQUIRE(w.uploads.size() == 1);
    CHECK((w.uploads.front().payload == "full" && w.uploads.front().ack_ids == std::vector<uint32_t>{3, 7, 8}));

    // At sixteen a delta displaces the oldest delta...
    for (int i = 0; i < 15; ++i) EnqueueUpload(std::to_string(i), false, {});
    EnqueueUpload("new", false, {});
    REQUIRE(w.uploads.size() == 16);
    CHECK((w.uploads[0].payload == "full" && w.uploads[1].payload == "1" && w.uploads.back().payload == "new"));

    // ...and with only full jobs it is dropped. Only retries putting full jobs back can build
    // such a queue, so it is built directly.
    w.uploads.clear();
    for (int i = 0; i < 16; ++i) w.uploads.push_back(UploadJob{std::to_string(100 + i), "", true, {}});
    EnqueueUpload("late delta", false, {9});
    CHECK((w.uploads.size() == 16 && w.uploads.back().payload == "115"));
}

TEST_CASE("deposit requests: refused unless running and held, bounded, idempotent by id") {
    reset_library_state();  // each case starts from a fresh library, as after a load
    LinkWorker& w = link_worker();
    CHECK_FALSE(QueueDeposit("a", "{}"));  // not running
    w.running.store(true);
    CHECK_FALSE(QueueDeposit("a", "{}"));  // not held
    w.session_held.store(true);
    CHECK_FALSE(QueueDeposit("a", "{}"));  // no session id
    BeginSession("0123456789abcdef");
    CHECK((QueueDeposit("a", "{}") && QueueDeposit("a", "{}") && w.deposit_requests.size() == 1));
    CHECK_FALSE(QueueDeposit("big", std::string(2049, 'x')));
    for (const char* id : {"b", "c", "d"}) CHECK(QueueDeposit(id, std::string(2048, 'x')));
    CHECK((!QueueDeposit("e", "{}") && w.deposit_requests.back().session_id == "0123456789abcdef"));

    // Ending the session empties its queues and blocks new deposits until the farewell; the
    // acknowledgements stay, or the next session would apply those commands again.
    EnqueueUpload("x", false, {});
    QueueAck(1, true, "");
    EndSession("0123456789abcdef");
    CHECK((w.deposit_requests.empty() && w.uploads.empty() && w.acks.size() == 1));
    CHECK((!w.session_held.load() && w.pending_hello.empty() && w.pending_goodbye == "0123456789abcdef"));
}

TEST_CASE("the greeting's capability list follows the flags and settings; intake once per session") {
    reset_library_state();  // each case starts from a fresh library, as after a load
    LinkWorker& w = link_worker();
    w.config = SyncConfig{};  // writeback and frozen lifespan on: what the shipped file says
    w.config.EnableRestoreOnLaunch = false;
    CHECK(BuildHelloBody(w, "00ff") ==
          "{\"session_id\":\"00ff\",\"writeback\":false,\"mod_version\":\"0.1.13\",\"capabilities\":["
          "\"spawn_fruit\",\"set_parts\",\"set_parts_guard_v1\",\"set_hat_v1\",\"hatch_v1\",\"tree_read_v1\","
          "\"tree_control_v1\",\"restore_v3\",\"restore_v4\"]}");
    w.config.EnableRestoreOnLaunch = true;
    w.lifespan_frozen.store(true);
    w.rebirth_available.store(true);
    w.storage_available.store(true);
    std::string body = BuildHelloBody(w, "00ff");
    CHECK((body.find("\"writeback\":true") != std::string::npos &&
           body.ends_with("\"restore_v4\",\"garden_deposit_v1\",\"garden_withdraw_v1\",\"garden_inventory_read_v1\","
                          "\"reincarnate_v1\",\"lifespan_frozen_v1\"]}")));
    w.lifespan_frozen.store(false);
    w.config.DisableNaturalDeath = false;
    body = BuildHelloBody(w, "00ff");
    CHECK((body.find("reincarnate_v1") == std::string::npos && body.ends_with(",\"natural_lifecycle_v1\"]}")));

    HelloResult r;
    r.session_id = "abc";
    r.answered = r.held = r.intake_required = true;
    std::string last;
    CHECK((ShouldRequestIntake(r, last) && last == "abc" && !ShouldRequestIntake(r, last)));
    r.session_id = "";
    CHECK_FALSE(ShouldRequestIntake(r, last));
    // The poll interval is computed in 64 bits.
    for (auto [seconds, ms] : {std::pair{0, 10000ull}, {-5, 10000ull}, {30, 30000ull}, {INT32_MAX, 2147483647000ull}})
        CHECK_MESSAGE(command_poll_interval_ms(seconds) == ms, seconds);
}

TEST_CASE("a greeting is held; uploads retried with doubling back-off, accepted once, dropped on 400; a second game gets 409") {
    ServerFixture server;
    Running run(server, "1111222233334444");
    CHECK((GetHelloResult().answered && GetHelloResult().held && link_worker().session_held.load()));
    CHECK(has_line("session: hello ok -- aging paused, server holds 0 chao (nothing to restore)"));
    server.admin("POST", "/admin/faults", R"({"statuses":[500,503],"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {5});
    REQUIRE(eventually([&] { return upload_count(server) == 1; }));
    CHECK(has_line("upload: transient failure (status 500); retrying full snapshot in 1000ms"));
    CHECK(has_line("upload: transient failure (status 503); retrying full snapshot in 2000ms"));
    // Accepted once: the acknowledgement for command 5 went out after it (the server answers
    // 404 for an unknown command, which is not retried).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK((upload_count(server) == 1 && link_worker().acks.empty()));

    server.admin("POST", "/admin/faults", R"({"statuses":[400],"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {});
    REQUIRE(eventually([&] { return has_line("upload: full snapshot rejected (status 400)"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK(upload_count(server) == 1);

    // The first session was never ended, so the garden is still held by it.
    Running::greet("aaaabbbbccccdddd");
    CHECK((!GetHelloResult().held && has_line("session: hello failed (another session already holds this garden, status 409)")));
}

TEST_CASE("while the server stalls, game-thread operations return at once and no new configuration is taken") {
    ServerFixture server;
    Running run(server, "1111222233334444", 1);
    server.admin("POST", "/admin/faults", R"({"delay_seconds":10,"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the worker is now waiting

    // A wait on the stalled call would take seconds; 1400 operations without one take a few
    // milliseconds, however loaded the machine or slow the sanitizer build.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        EnqueueUpload("{\"delta\":1}", false, {1});
        QueueAck(9, false, "x");
        std::string doc;
        TakeCommandDocument(doc);
        GetHelloResult();
        QueueDeposit("ab", "{}");
        DepositResult dr;
        TakeDepositResult(dr);
    }
    CHECK(std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(2000));

    // Stopped inside the stalled call, the thread still reads its configuration: a restart
    // must not replace it. Once the call returns, the thread ends; no new call starts.
    StopWorker();
    SyncConfig other;
    other.SyncPath = "/elsewhere";
    StartWorker(other);
    CHECK(has_line("upload: the previous sync worker has not stopped yet -- worker not started"));
    CHECK((link_worker().config.SyncPath == "/api/v1/sync" && !link_worker().running.load()));
    server.admin("POST", "/admin/faults", "{}");
    CHECK(WaitWorkerExit(15000));
}

TEST_CASE("stop during a long back-off ends the wait at once and the farewell still goes out") {
    ServerFixture server;
    Running run(server, "1111222233334444", 1);
    server.admin("POST", "/admin/faults", R"({"statuses":[503],"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {});
    REQUIRE(eventually([&] { return has_line("retrying full snapshot in 1000ms"); }));
    EndSession("1111222233334444");
    StopWorker();
    auto t0 = std::chrono::steady_clock::now();
    CHECK((WaitWorkerExit(3000) && std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(900)));
    CHECK(has_line("session: goodbye sent (status 200) -- aging resumes"));
}

TEST_CASE("acknowledgements, deposits and farewells reach the server as written, once, through transient failures") {
    ServerFixture server;
    Running run(server, "5555666677778888");
    HttpReply queued = server.admin("POST", "/admin/gardens/tester/1/commands", R"({"kind":"resync"})");
    REQUIRE(queued.status == 200);
    const uint32_t id = nlohmann::json::parse(queued.body)["id"].get<uint32_t>();
    server.admin("POST", "/admin/faults", R"({"statuses":[500,503],"match":"/api/v1/commands"})");
    QueueAck(id, false, "bad \"name\"\n");
    nlohmann::json state;
    REQUIRE(eventually([&] {
        state = server.admin_json("GET", "/admin/commands/" + std::to_string(id));
        return state.value("acknowledged", false);
    }));
    CHECK((state["ok"] == false && state["error"] == "bad \"name\""));
    CHECK(link_worker().acks.empty());

    // A deposit the server does not understand is answered, not ok.
    CHECK(QueueDeposit("0011", "{\"phase\":\"nonsense\"}"));
    DepositResult r;
    REQUIRE(eventually([&] { return TakeDepositResult(r); }));
    CHECK((r.request_id == "0011" && !r.ok && r.status >= 400));

    // A farewell answered 503 is sent again, so the next session is not refused.
    server.admin("POST", "/admin/faults", R"({"statuses":[503],"match":"/api/v1/session/goodbye"})");
    EndSession("5555666677778888");
    REQUIRE(eventually([] { return has_line("session: goodbye sent (status 200)"); }));
    CHECK(has_line("session: goodbye failed (status 503); retrying"));
    Running::greet("ddddeeeeffff0000");
    CHECK(GetHelloResult().held);

    // One that never got through is sent again before the next greeting.
    server.admin("POST", "/admin/faults", R"({"drop":"close","drop_count":3,"match":"/api/v1/session/goodbye"})");
    EndSession("ddddeeeeffff0000");
    REQUIRE(eventually([] { return has_line("session: goodbye sent (status 0)"); }));
    Running::greet("3434343434343434");
    CHECK((has_line("session: earlier goodbye sent again (status 200)") && GetHelloResult().held));
}
