// The reference sync server for one test: a fresh database in a temporary folder, a free
// loopback port, the fault switches on, and one account key.
#pragma once
#include <string>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/sim.h"
#include "test_support.h"
#include "tools/common/server_process.h"

struct ServerFixture : ServerProcess {
    TempDir dir;
    std::string api_key;

    explicit ServerFixture(bool faults = true, std::vector<std::string> extra = {}) {
        extra_args = std::move(extra);
        script = std::string(VELMORA_SOURCE_DIR) + "/tools/sync-server/server.py";
        db = dir.str() + "/server.sqlite";
        admin_token = "test-operator-token";
        test_faults = faults;
        api_key = add_key("tester");
        start();
    }
    ~ServerFixture() { stop(); }

    // An answer of the operator side as a JSON object; an empty object when it failed.
    nlohmann::json admin_json(const std::string& method, const std::string& path, const std::string& body = "") const {
        const HttpReply r = admin(method, path, body);
        nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
        return r.status == 200 && j.is_object() ? j : nlohmann::json::object();
    }
};

// Frames of the simulated game until `pred` holds; every 30 frames (a scan tick at the
// tests' interval) the worker gets a moment of real time, and `pred` is asked.
template <class Pred>
bool play_frames_until(Pred pred, int max_frames) {
    for (int i = 0; i < max_frames; ++i) {
        sim::frame();
        if (i % 30 == 29) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (pred()) return true;
        }
    }
    return pred();
}
