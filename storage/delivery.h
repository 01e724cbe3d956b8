// Stored items coming back from the server: a spawn_inventory command delivered into the
// garden the player stands in, the game's memory and its garden save file, exactly once.
#pragma once
#include <cstdint>
#include <string>

#include "writeback/command.h"

struct DeliveryOutcome {
    bool delivered = false;
    std::string reason;  // empty with delivered false: wait for a later poll
};

DeliveryOutcome deliver_stored_item(const WritebackCommand& command, int32_t current_garden);
