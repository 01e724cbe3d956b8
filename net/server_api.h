// What the system sends the sync server and what it relies on in return, in one place.
#pragma once
#include <cstdint>

namespace server_api {

// Paths below the configured base path. The snapshot and command paths come from config.ini.
constexpr const char* kHelloPath = "/api/v1/session/hello";
constexpr const char* kGoodbyePath = "/api/v1/session/goodbye";
constexpr const char* kDepositPath = "/api/v1/inventory/deposit";
constexpr const char* kAckPathFormat = "%s/%d/ack";  // command path, command id

constexpr const char* kUserAgent = "velmora/0.1.13";
constexpr const char* kContentTypeHeader = "Content-Type: application/json";
constexpr const char* kKeyHeader = "X-Velmora-Key";
constexpr const char* kSaveSlotHeader = "X-Velmora-Save-Slot";
constexpr const char* kSessionHeader = "X-Velmora-Session";

// Response fields read from the greeting and deposit answers.
constexpr const char* kFieldHeld = "held";
constexpr const char* kFieldAvailable = "available";
constexpr const char* kFieldIntakeRequired = "intake_required";
constexpr const char* kFieldUpdateRequired = "update_required";
constexpr const char* kFieldChao = "chao";
constexpr const char* kFieldOk = "ok";

constexpr int32_t kStatusGardenHeldElsewhere = 409;
constexpr int32_t kStatusNoStorage = 404;

inline bool is_accepted(int32_t status) { return status >= 200 && status <= 299; }
// 0 means no status was obtained (server unreachable).
inline bool is_transient(int32_t status) {
    return status == 0 || status == 408 || status == 429 || (status >= 500 && status <= 599);
}
inline bool is_permanent_refusal(int32_t status) { return !is_accepted(status) && !is_transient(status); }

}  // namespace server_api
