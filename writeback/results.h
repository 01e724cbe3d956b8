// Outcomes of the game-side command executors.
#pragma once
#include <cstdint>
#include <string>

// A slot command's outcome: ok, or the reason sent back to the server.
struct CommandResult {
    int32_t id = 0;
    bool ok = false;
    std::string message;
};

// A hatch or rebirth step.
enum StepStatus : int32_t {
    kStepCannotActNow = 0,  // wrong garden, object not found or busy: wait, no acknowledgement
    kStepStarted = 1,       // the game action was started now
    kStepRunning = 2,       // hatch: already running; rebirth: eligible, still the old life
    kStepDone = 3,          // the action is already done
    kStepRefused = 4,       // refused; `message` says why
};

struct StepResult {
    int32_t id = 0;
    int32_t status = kStepCannotActNow;
    std::string message;
};
