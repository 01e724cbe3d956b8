#include "tools/common/server_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

extern char** environ;

HttpReply raw_http(int port, const std::string& method, const std::string& path, const std::string& body,
                   const std::string& extra_headers) {
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
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string all;
    char buf[8192];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) all.append(buf, static_cast<size_t>(n));
    close(fd);
    if (all.compare(0, 5, "HTTP/") != 0) return reply;
    reply.status = std::atoi(all.c_str() + all.find(' ') + 1);
    size_t head_end = all.find("\r\n\r\n");
    if (head_end != std::string::npos) reply.body = all.substr(head_end + 4);
    return reply;
}

bool ServerProcess::start() {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<std::string> args = {"python3", "-u", script, "--host", "127.0.0.1", "--port",
                                     std::to_string(port), "--db", db, "--admin-token", admin_token};
    if (test_faults) args.push_back("--test-faults");
    if (quiet) args.push_back("--quiet");
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid, "python3", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        pid = -1;
        return false;
    }
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    size_t colon = line.rfind(':');
    int announced = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
    if (announced <= 0) {
        stop();
        return false;
    }
    port = announced;
    return true;
}

void ServerProcess::stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
}

std::string ServerProcess::add_key(const std::string& name) const {
    std::string cmd = "python3 '" + script + "' --db '" + db + "' --add-key '" + name + "'";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    size_t sp = out.find_last_of(" \n\t");
    return sp == std::string::npos ? out : out.substr(sp + 1);
}

HttpReply ServerProcess::admin(const std::string& method, const std::string& path, const std::string& body) const {
    return raw_http(port, method, path, body, "X-Velmora-Admin: " + admin_token + "\r\n");
}

std::string ServerProcess::base_url() const { return "http://127.0.0.1:" + std::to_string(port); }
