// Placeholder until the transport lands: every call reports that no status was obtained.
#include "net/http_transport.h"

bool SendRequest(const SyncConfig&, const std::string&, const char*, const std::string&,
                 const std::string&, std::string* response, int32_t& status, const std::string&) {
    status = 0;
    if (response) response->clear();
    return false;
}
