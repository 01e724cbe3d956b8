#include "tests/i386/stand_ins.h"

#include <cstring>

#include "tests/i386/game_pages.h"

StandInCall velmora_stand_in_calls[STAND_IN_COUNT] = {};
uint32_t velmora_stand_in_sequence = 0;
extern "C" const uint32_t velmora_stand_in_code[STAND_IN_COUNT][2];  // (begin, end) of each body

namespace stand_ins {

game_addr address_of(int which) {
    static constexpr game_addr kAddresses[STAND_IN_COUNT] = {
        game::addr::debug_print,       game::addr::current_garden,     game::addr::alloc_item_record,
        game::addr::release_held_item, game::addr::garden_save_check,  game::addr::garden_save_store,
        game::addr::create_fruit,      game::addr::create_animal,      game::addr::create_item_object,
        game::addr::set_chao_routine,  game::addr::discard_item,       game::addr::load_items,
        game::addr::store_items,       game::addr::guarded_lifecycle,
    };
    return kAddresses[which];
}

game_addr body_address(int which, game_addr area) {
    return area ? area + 0x100 * static_cast<game_addr>(which) : address_of(which);
}

bool place(game_addr area) {
    reset();
    for (int i = 0; i < STAND_IN_COUNT; ++i) {
        uint32_t begin = velmora_stand_in_code[i][0], size = velmora_stand_in_code[i][1] - begin;
        if ((area && size > 0x100) ||
            !game_pages::place_code(body_address(i, area), reinterpret_cast<const void*>(uintptr_t{begin}), size))
            return false;
    }
    return true;
}

void reset() {
    std::memset(velmora_stand_in_calls, 0, sizeof velmora_stand_in_calls);
    velmora_stand_in_sequence = 0;
}

}  // namespace stand_ins
