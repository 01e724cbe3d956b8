// The reference sync server for one test: a fresh database in a temporary folder, a free
// loopback port, the fault switches on, and one account key.
#pragma once
#include <string>

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
};
