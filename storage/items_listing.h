// The garden's loose fruit and animals, counted by kind, type and size, as the listing text
// the snapshot carries while garden storage is ready. Game thread, scan frames.
#pragma once
#include <string>

// The listing document, or an empty text when storage is not ready or memory is not consistent.
std::string list_garden_items();
