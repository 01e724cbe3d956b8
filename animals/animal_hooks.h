// The mod's entry routines that the patched animal calls reach, as game addresses. Inside the
// game they are the machine code of animals/animal_hooks_i686.S; the simulator places
// stand-ins in a module of its own and runs what that code does.
#pragma once
#include <cstdint>

#include "host/game.h"

enum class AnimalHook { Discard, Allocate, Load, Store };

// The hook each of the five call sites is patched to call.
constexpr AnimalHook kSiteHook[5] = {AnimalHook::Discard, AnimalHook::Allocate, AnimalHook::Allocate,
                                     AnimalHook::Load, AnimalHook::Store};

game_addr animal_hook_address(AnimalHook hook);
