// Care warnings: while the player is in a Chao garden, the Chao of that garden that need
// attention are listed on screen, drawn anew every frame. No server needed.
#pragma once

#include "host/notices.h"

struct SyncConfig;

// One frame of warnings, from the configuration's ShowCareWarnings and lifespan_frozen and
// the game's memory as it is now. Lines 3 to 5: up to three Chao; 6: more need care;
// 7: the lifespan status.
void show_care_warnings(const SyncConfig& config, ScreenTextFn screen_text);
