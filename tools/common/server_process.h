// The reference sync server as a child process on a loopback port, and a tiny HTTP client
// for its operator interface. Used by the demo and by the tests; independent of the mod's
// own transport, which is what they exercise.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct HttpReply {
    int status = 0;  // 0 when no answer came
    std::string body;
};

HttpReply raw_http(int port, const std::string& method, const std::string& path, const std::string& body = "",
                   const std::string& extra_headers = "");

struct ServerProcess {
    std::string script;  // tools/sync-server/server.py
    std::string db;
    std::string admin_token = "operator-token";
    bool test_faults = false;
    bool quiet = true;  // no request log on standard error
    std::vector<std::string> extra_args;  // further options of server.py
    int port = 0;        // 0: the server picks a free one, read back from its first line
    pid_t pid = -1;

    // Starts the server; false when it did not announce its port.
    bool start();
    void stop();
    bool restart() {
        stop();
        return start();
    }
    // A new account key, made with the server's own command on the same database.
    std::string add_key(const std::string& name) const;
    HttpReply admin(const std::string& method, const std::string& path, const std::string& body = "") const;
    std::string base_url() const;
};
