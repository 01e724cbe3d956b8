// The sync worker against the real reference server: retries, refusals, sessions, a stalled
// server and stopping, with the server's fault switches.
#include <doctest/doctest.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/log.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "server_fixture.h"

namespace {

std::mutex g_lines_lock;
std::vector<std::string> g_lines;

bool has_line(const std::string& text) {
    std::lock_guard<std::mutex> g(g_lines_lock);
    for (const auto& l : g_lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

template <class Pred>
bool eventually(Pred pred, int ms = 8000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// A worker started against the fixture's server, logging into g_lines, greeted as `session`.
struct Running {
    Running(ServerFixture& s, const std::string& session, uint32_t divisor = 50) {
        reset_library_state();
        {
            std::lock_guard<std::mutex> g(g_lines_lock);
            g_lines.clear();
        }
        ModLog::set_log_sink([](const char* line) {
            std::lock_guard<std::mutex> g(g_lines_lock);
            g_lines.push_back(line);
        });
        SetWorkerTimeDivisor(divisor);
        SyncConfig c;
        ParsedBaseUrl u;
        REQUIRE(ParseBaseUrl(s.base_url(), u));
        c.BaseUrl = u.url;
        c.ServerHost = u.host;
        c.ServerPort = u.port;
        c.UseHttps = false;
        c.ApiKey = s.api_key;
        StartWorker(c);
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

uint32_t queue_resync(const ServerFixture& s) {
    HttpReply r = s.admin("POST", "/admin/gardens/tester/1/commands", R"({"kind":"resync"})");
    REQUIRE(r.status == 200);
    return nlohmann::json::parse(r.body)["id"].get<uint32_t>();
}
nlohmann::json command_state(const ServerFixture& s, uint32_t id) {
    HttpReply r = s.admin("GET", "/admin/commands/" + std::to_string(id));
    REQUIRE(r.status == 200);
    return nlohmann::json::parse(r.body);
}
size_t upload_count(const ServerFixture& s) {
    HttpReply r = s.admin("GET", "/admin/gardens/tester/1/uploads");
    return r.status == 200 ? nlohmann::json::parse(r.body)["uploads"].size() : 0;
}

const char* kFull =
    R"({"schema":1,"session_id":"1111222233334444","mod_version":"0.1.19","full":true,"occupied_slots":[],"chao":[]})";

}  // namespace

TEST_CASE("a greeting is held; a second game on the same garden gets 409 and the reason") {
    ServerFixture server;
    {
        Running run(server, "1111222233334444");
        HelloResult r = GetHelloResult();
        CHECK((r.answered && r.held && link_worker().session_held.load()));
        CHECK(has_line("session: hello ok -- aging paused, server holds 0 chao (nothing to restore)"));
    }
    // The first session was never ended, so the garden is still held by it.
    Running second(server, "aaaabbbbccccdddd");
    HelloResult r = GetHelloResult();
    CHECK((r.answered && !r.held));
    CHECK(r.reason == "another session already holds this garden");
    CHECK(has_line("session: hello failed (another session already holds this garden, status 409)"));
}

TEST_CASE("transient failures are retried with doubling back-off and accepted once; 400 is dropped") {
    ServerFixture server;
    Running run(server, "1111222233334444");
    server.admin("POST", "/admin/faults", R"({"statuses":[500,503],"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {5});
    REQUIRE(eventually([&] { return upload_count(server) == 1; }));
    CHECK(has_line("upload: transient failure (status 500); retrying full snapshot in 1000ms"));
    CHECK(has_line("upload: transient failure (status 503); retrying full snapshot in 2000ms"));
    // Accepted once: the acknowledgement for command 5 went out after it (the server answers
    // 404 for an unknown command, which is not retried).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK(upload_count(server) == 1);
    CHECK(link_worker().acks.empty());

    server.admin("POST", "/admin/faults", R"({"statuses":[400],"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {});
    REQUIRE(eventually([&] { return has_line("upload: full snapshot rejected (status 400)"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK(upload_count(server) == 1);
}

TEST_CASE("while the server stalls, every game-thread operation returns at once; stop ends the thread") {
    ServerFixture server;
    Running run(server, "1111222233334444", 1);
    server.admin("POST", "/admin/faults", R"({"delay_seconds":10,"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the worker is now waiting

    // A loaded machine (or a sanitizer build) preempts a thread now and then for a few ms; a
    // wait on the stalled call would be seconds. So a few slow batches are allowed.
    double worst_us = 0;
    int slow = 0;
    for (int i = 0; i < 200; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        EnqueueUpload("{\"delta\":1}", false, {1});
        QueueAck(9, false, "x");
        std::string doc;
        TakeCommandDocument(doc);
        GetHelloResult();
        QueueDeposit("ab", "{}");
        DepositResult dr;
        TakeDepositResult(dr);
        double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        worst_us = std::max(worst_us, us);
        if (us >= 2000) ++slow;
    }
    MESSAGE("worst game-thread operation batch while stalled: " << worst_us << " us, " << slow << " of 200 over 2 ms");
    CHECK(slow <= 10);
    CHECK(worst_us < 100000);

    // Stopping during the stall: the thread ends when the stalled call returns; no new call starts.
    server.admin("POST", "/admin/faults", "{}");
    StopWorker();
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
    CHECK(WaitWorkerExit(3000));
    CHECK(std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(900));
    CHECK(has_line("session: goodbye sent (status 200) -- aging resumes"));
}

TEST_CASE("a worker still inside a stalled call is never handed a new configuration") {
    ServerFixture server;
    Running run(server, "1111222233334444", 1);
    server.admin("POST", "/admin/faults", R"({"delay_seconds":3,"match":"/api/v1/sync"})");
    EnqueueUpload(kFull, true, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the upload is in flight
    StopWorker();
    SyncConfig other;
    other.SyncPath = "/elsewhere";
    StartWorker(other);
    CHECK(has_line("upload: the previous sync worker has not stopped yet -- worker not started"));
    CHECK(link_worker().config.SyncPath == "/api/v1/sync");
    CHECK_FALSE(link_worker().running.load());
    CHECK(WaitWorkerExit(8000));
}

TEST_CASE("acknowledgements, deposits and farewells reach the server as written, once, through transient failures") {
    ServerFixture server;
    Running run(server, "5555666677778888");
    const uint32_t id = queue_resync(server);
    server.admin("POST", "/admin/faults", R"({"statuses":[500,503],"match":"/api/v1/commands"})");
    QueueAck(id, false, "bad \"name\"\n");
    REQUIRE(eventually([&] { return command_state(server, id).value("acknowledged", false); }));
    CHECK(command_state(server, id)["ok"] == false);
    CHECK(command_state(server, id)["error"] == "bad \"name\"");
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
    CHECK(has_line("session: earlier goodbye sent again (status 200)"));
    CHECK(GetHelloResult().held);
}
