// Stored items coming back from the server: a spawn_inventory command delivered into the
// garden the player stands in, the game's memory and its garden save file, exactly once.
#pragma once
#include <cstdint>
#include <string>

#include "host/game.h"
#include "writeback/command.h"

struct DeliveryOutcome {
    bool delivered = false;
    std::string reason;  // empty with delivered false: wait for a later poll
};

DeliveryOutcome deliver_stored_item(const WritebackCommand& command, int32_t current_garden);

// The allocator and the two creators the delivery calls; null keeps the game's own. For a
// simulated game whose item routines are stood in for.
void set_delivery_routines(game_addr (*alloc)(uint32_t kind),
                           game_addr (*fruit)(int32_t, game_addr, int32_t, game_addr, game_addr),
                           game_addr (*animal)(uint8_t, game_addr, int32_t, game_addr, game_addr));
