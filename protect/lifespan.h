// Chao lifespan protection and the manual-rebirth hook in the game's code.
#pragma once

bool install_lifespan_protection();
bool install_rebirth_hook();
// True while the installed code is still ours.
bool verify_lifespan_protection();
bool verify_rebirth_hook();
