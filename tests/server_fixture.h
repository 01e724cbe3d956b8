// The reference sync server as a child process on a free loopback port, with a fresh
// database, an account key and the operator token; plus a tiny HTTP client for the
// operator interface (independent of the mod's own transport under test).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

extern char** environ;

struct HttpReply {
    int status = 0;
    std::string body;
};

inline HttpReply raw_http(int port, const std::string& method, const std::string& path,
                          const std::string& body = "", const std::string& extra_headers = "") {
    HttpReply reply;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return reply;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return reply;
    }
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                          "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n" + extra_headers + "\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string all;
    char buf[8192];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (all.compare(0, 5, "HTTP/") != 0) return reply;
    reply.status = std::atoi(all.c_str() + all.find(' ') + 1);
    size_t head_end = all.find("\r\n\r\n");
    if (head_end != std::string::npos) reply.body = all.substr(head_end + 4);
    return reply;
}

struct ServerFixture {
    TempDir dir;
    std::string db;
    std::string script = std::string(VELMORA_SOURCE_DIR) + "/tools/sync-server/server.py";
    std::string admin_token = "test-operator-token";
    std::string api_key;
    int port = 0;
    pid_t pid = -1;

    explicit ServerFixture(bool faults = true) {
        db = dir.str() + "/server.sqlite";
        api_key = run_capture({"python3", script, "--db", db, "--add-key", "tester"});
        while (!api_key.empty() && (api_key.back() == '\n' || api_key.back() == '\r')) api_key.pop_back();
        if (size_t sp = api_key.rfind(' '); sp != std::string::npos) api_key = api_key.substr(sp + 1);
        start(faults);
    }
    ~ServerFixture() { stop(); }

    std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port); }

    std::string add_key(const std::string& name) {
        std::string k = run_capture({"python3", script, "--db", db, "--add-key", name});
        while (!k.empty() && (k.back() == '\n' || k.back() == '\r')) k.pop_back();
        if (size_t sp = k.rfind(' '); sp != std::string::npos) k = k.substr(sp + 1);
        return k;
    }

    HttpReply admin(const std::string& method, const std::string& path, const std::string& body = "") const {
        return raw_http(port, method, path, body, "X-Velmora-Admin: " + admin_token + "\r\n");
    }

    void start(bool faults) {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::vector<std::string> args = {"python3", "-u", script, "--host", "127.0.0.1", "--port",
                                         std::to_string(port), "--db", db, "--admin-token", admin_token};
        if (faults) args.push_back("--test-faults");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawnp(&pid, "python3", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        // The first line names the port.
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        size_t colon = line.rfind(':');
        if (colon != std::string::npos) port = std::atoi(line.c_str() + colon + 1);
    }

    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }

    // The same database and port, a new process: what a server restart looks like.
    void restart(bool faults = true) {
        stop();
        start(faults);
    }

    static std::string run_capture(std::vector<std::string> args) {
        std::string cmd;
        for (auto& a : args) cmd += "'" + a + "' ";
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return out;
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
        return out;
    }
};
