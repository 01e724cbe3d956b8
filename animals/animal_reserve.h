// The reserve of garden animals beyond the game's own room.
#pragma once
#include <cstdint>
#include <string>

#include "host/notices.h"

bool install_animal_patch(const std::string& mod_path, int32_t save_slot);
void animal_frame_step(ScreenTextFn screen_text);
