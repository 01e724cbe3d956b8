#include "animals/animal_reserve.h"

// The game's animal code is not hooked yet: the game's own animal rules apply.
bool install_animal_patch(const std::string&, int32_t) { return false; }
void animal_frame_step(ScreenTextFn) {}
