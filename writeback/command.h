// One parsed server command.
#pragma once
#include <cstdint>

struct WritebackCommand {
    uint32_t id = 0;
};
