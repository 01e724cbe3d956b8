#include "storage/items_listing.h"

#include <map>
#include <tuple>

#include "protect/game_memory.h"
#include "storage/deposit.h"
#include "storage/startup.h"

using game_memory::is_readable;

std::string list_garden_items() {
    const StorageState& s = storage_state();
    if (!s.enabled || !s.started || !storage_context_valid() || !game_memory::verify_storage_code()) return "";
    if (game::read<uint16_t>(game::addr::level) != game::kGardenLevel ||
        game::read<uint16_t>(game::addr::game_state) != 16)
        return "";
    int32_t garden = game::current_garden();
    if (garden < 1 || garden > 3) return "";

    std::map<std::tuple<int32_t, int32_t, int32_t>, int32_t> counts;
    for (uint32_t category : {storage_game::kKindAnimal, storage_game::kKindFruit}) {
        const bool animal = category == storage_game::kKindAnimal;
        const game_addr table = storage_game::slot_table(category);
        const game_addr routine = animal ? storage_game::kAnimalRoutine : storage_game::kFruitRoutine;
        if (!is_readable(table, storage_game::kSlotTableSize)) return "";
        for (uint32_t i = 0; i < 40; ++i) {
            const game_addr slot = table + i * storage_game::kSlotEntrySize;
            const game_addr object = game::read<uint32_t>(slot + 0x3C);
            if (!object) continue;
            if (!is_readable(object, 0x50)) return "";
            if (game::read<uint32_t>(object + 0x10) != routine) continue;
            const game_addr data = game::read<uint32_t>(object + 0x34);
            if (game::read<int16_t>(slot) != static_cast<int16_t>(category) || game::read<uint32_t>(object + 0x3C) != slot ||
                !data || !is_readable(data, 0x30))
                return "";
            int32_t type = animal ? game::read<uint8_t>(data + 3) : game::read<int32_t>(data + 8);
            int32_t size = animal ? 0 : game::read<int32_t>(data + 0x10);
            if (type < 0 || type > (animal ? 20 : 23) || (!animal && (size < 1 || size > 4))) continue;
            ++counts[{static_cast<int32_t>(category), type, size}];
        }
    }
    std::string text = "{\"v\":1,\"garden\":" + std::to_string(garden) + ",\"items\":[";
    bool first = true;
    for (const auto& [key, quantity] : counts) {
        if (!first) text += ",";
        first = false;
        text += std::string("{\"kind\":\"") + (std::get<0>(key) == 2 ? "animal" : "fruit") +
                "\",\"item_type\":" + std::to_string(std::get<1>(key)) + ",\"size\":" + std::to_string(std::get<2>(key)) +
                ",\"quantity\":" + std::to_string(quantity) + "}";
    }
    return text + "]}";
}
