#include "net/request_path.h"

#include "host/config.h"

std::string ComposeRequestPath(const SyncConfig& config, const std::string& path) {
    std::string p = path.empty() ? "/" : path;
    if (p[0] != '/') p.insert(p.begin(), '/');
    if (config.base_path.empty()) return p;
    if (p == "/") return config.base_path;
    return config.base_path + p;
}
