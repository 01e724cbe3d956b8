// The worker's queue rules and the session texts, without a network: the thread is not
// started, so whatever is queued stays where the rules put it.
#include <doctest/doctest.h>

#include "host/mod_state.h"
#include "net/worker.h"

namespace {

struct Fresh {
    Fresh() { reset_library_state(); }
    ~Fresh() { reset_library_state(); }
};

std::vector<std::string> queued_payloads() {
    LinkWorker& w = link_worker();
    std::lock_guard<std::mutex> g(w.lock);
    std::vector<std::string> out;
    for (const UploadJob& j : w.uploads) out.push_back(j.payload);
    return out;
}

}  // namespace

TEST_CASE("upload queue: a full snapshot supersedes it with its acknowledgements once; sixteen jobs at most") {
    Fresh f;
    LinkWorker& w = link_worker();
    EnqueueUpload("d1", false, {7});
    EnqueueUpload("d2", false, {8});
    EnqueueUpload("d3", false, {7});
    EnqueueUpload("full", true, {3});
    REQUIRE(w.uploads.size() == 1);
    CHECK(w.uploads.front().payload == "full");
    CHECK(w.uploads.front().ack_ids == std::vector<uint32_t>{3, 7, 8});

    // At sixteen a delta displaces the oldest delta...
    for (int i = 0; i < 15; ++i) EnqueueUpload(std::to_string(i), false, {});
    EnqueueUpload("new", false, {});
    auto q = queued_payloads();
    REQUIRE(q.size() == 16);
    CHECK((q[0] == "full" && q[1] == "1" && q.back() == "new"));

    // ...and with only full jobs it is dropped. Only retries putting full jobs back can build
    // such a queue, so it is built directly.
    w.uploads.clear();
    for (int i = 0; i < 16; ++i) w.uploads.push_back(UploadJob{std::to_string(100 + i), "", true, {}});
    EnqueueUpload("late delta", false, {9});
    q = queued_payloads();
    CHECK((q.size() == 16 && q.back() == "115"));
}

TEST_CASE("deposit requests: refused unless running and held, bounded, idempotent by id") {
    Fresh f;
    LinkWorker& w = link_worker();
    CHECK_FALSE(QueueDeposit("a", "{}"));  // not running
    w.running.store(true);
    CHECK_FALSE(QueueDeposit("a", "{}"));  // not held
    w.session_held.store(true);
    CHECK_FALSE(QueueDeposit("a", "{}"));  // no session id
    BeginSession("0123456789abcdef");
    CHECK(QueueDeposit("a", "{}"));
    CHECK(QueueDeposit("a", "{}"));
    CHECK(w.deposit_requests.size() == 1);
    CHECK_FALSE(QueueDeposit("big", std::string(2049, 'x')));
    for (const char* id : {"b", "c", "d"}) CHECK(QueueDeposit(id, std::string(2048, 'x')));
    CHECK_FALSE(QueueDeposit("e", "{}"));
    CHECK(w.deposit_requests.back().session_id == "0123456789abcdef");

    // Ending the session empties its queues and blocks new deposits until the farewell; the
    // acknowledgements stay, or the next session would apply those commands again.
    EnqueueUpload("x", false, {});
    QueueAck(1, true, "");
    EndSession("0123456789abcdef");
    CHECK((w.deposit_requests.empty() && w.uploads.empty() && w.acks.size() == 1));
    CHECK((!w.session_held.load() && w.pending_hello.empty() && w.pending_goodbye == "0123456789abcdef"));
    w.running.store(false);
}

TEST_CASE("response scanners read the first quoted key, leniently and without overflow") {
    for (auto [doc, held] : {std::pair{"{\"held\": true, \"chao\": 12}", true}, {"{\"held\":\"true\"}", false},
                             {"{\"held\":tru", false}, {"{\"held\"", false}, {"{\"x\":{\"held\":\r\n\ttrue}}", true}})
        CHECK_MESSAGE(FindJsonBool(doc, "held") == held, doc);
    for (auto [doc, chao] : {std::pair{std::string("{\"chao\": 12}"), 12}, {"{\"chao\": -7x}", -7}, {"{\"chao\": +x}", 0},
                             {"{\"chao\"}", 0}, {"{\"chao\":99999999999999999999}", INT32_MAX},
                             {"{\"chao\":-99999999999999999999}", INT32_MIN}, {std::string("{\"chao\":\0" "5}", 10), 0}})
        CHECK_MESSAGE(FindJsonInt(doc, "chao") == chao, doc);
}

TEST_CASE("the greeting's capability list follows the flags and settings") {
    Fresh f;
    LinkWorker& w = link_worker();
    w.config = SyncConfig{};
    w.config.EnableWriteback = true;
    w.config.EnableRestoreOnLaunch = false;
    w.config.DisableNaturalDeath = true;
    CHECK(BuildHelloBody(w, "00ff") ==
          "{\"session_id\":\"00ff\",\"writeback\":false,\"mod_version\":\"0.1.13\",\"capabilities\":["
          "\"spawn_fruit\",\"set_parts\",\"set_parts_guard_v1\",\"set_hat_v1\",\"hatch_v1\",\"tree_read_v1\","
          "\"tree_control_v1\",\"restore_v3\",\"restore_v4\"]}");
    w.config.EnableRestoreOnLaunch = true;
    w.lifespan_frozen.store(true);
    w.rebirth_available.store(true);
    w.storage_available.store(true);
    std::string body = BuildHelloBody(w, "00ff");
    CHECK(body.find("\"writeback\":true") != std::string::npos);
    CHECK(body.substr(body.size() - 107) ==
          "\"garden_deposit_v1\",\"garden_withdraw_v1\",\"garden_inventory_read_v1\",\"reincarnate_v1\","
          "\"lifespan_frozen_v1\"]}");
    w.lifespan_frozen.store(false);
    w.config.DisableNaturalDeath = false;
    body = BuildHelloBody(w, "00ff");
    CHECK(body.find("reincarnate_v1") == std::string::npos);
    CHECK(body.find(",\"natural_lifecycle_v1\"]}") != std::string::npos);
}

TEST_CASE("an intake request is honoured once per session; the poll interval is computed in 64 bits") {
    HelloResult r;
    r.session_id = "abc";
    r.answered = r.held = r.intake_required = true;
    std::string last;
    CHECK(ShouldRequestIntake(r, last));
    CHECK(last == "abc");
    CHECK_FALSE(ShouldRequestIntake(r, last));
    r.session_id = "";
    CHECK_FALSE(ShouldRequestIntake(r, last));

    for (auto [seconds, ms] : {std::pair{0, 10000ull}, {-5, 10000ull}, {30, 30000ull}, {INT32_MAX, 2147483647000ull}})
        CHECK_MESSAGE(command_poll_interval_ms(seconds) == ms, seconds);
}
