#include "protect/lifespan.h"

// Nothing is patched yet, so nothing is installed and nothing can be found replaced.
bool install_lifespan_protection() { return false; }
bool install_rebirth_hook() { return false; }
bool verify_lifespan_protection() { return true; }
bool verify_rebirth_hook() { return true; }
