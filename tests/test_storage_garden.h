// A simulated game whose garden storage can be started: its saves in <tmp>/savedata, the mod
// folder in <tmp>/mods/velmora, log lines captured.
#pragma once
#include <doctest/doctest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/log.h"
#include "platform/files.h"
#include "sim/sim.h"
#include "storage/startup.h"
#include "test_storage_support.h"
#include "test_support.h"

inline std::vector<std::string>& log_lines() {
    static std::vector<std::string> lines;
    return lines;
}
inline void capture(const char* line) { log_lines().push_back(line); }

struct Garden {
    TempDir dir;
    std::string mod, garden_save, binding, storage;
    SyncConfig config;

    Garden() {
        sim::reset();
        reset_storage_state();
        log_lines().clear();
        ModLog::set_log_sink(&capture);
        std::filesystem::create_directories(dir.path / "savedata");
        std::filesystem::create_directories(dir.path / "mods" / "velmora");
        mod = dir.str() + "\\mods\\velmora";
        set_game_paths(dir.str() + "/savedata/SONIC2B__S01", dir.str() + "\\savedata\\SONIC2B__ALF");
        config.ServerHost = "127.0.0.1";
        config.ServerPort = 8787;
        config.UseHttps = false;
        config.base_path = "/garden";
        config.ApiKey = "key-1";
        restart();
        garden_save = NormalizePath(dir.str() + "/savedata/sonic2b__alf");
        binding = Sha256Hex(StorageBindingText(garden_save, config));
        storage = mod + "\\garden-storage-" + binding;
    }
    ~Garden() {
        reset_storage_state();
        ModLog::set_log_sink(nullptr);
    }
    void set_game_paths(const std::string& main, const std::string& garden) {
        game_addr text = sim::alloc(4096);
        sim::poke(text, main.c_str(), main.size() + 1);
        sim::poke(game::addr::save_path, &text, 4);
        char area[128] = {};
        garden.copy(area, 127);
        sim::poke(game::addr::garden_save_path, area, sizeof area);
    }
    // What a new run of the game sees: nothing of storage but its configuration.
    void restart() const {
        reset_storage_state();
        StorageState& s = storage_state();
        s.enabled = true;
        s.mod_folder = mod;
        s.configuration = config;
    }
    std::string path(const std::string& name) const { return storage + "\\" + name; }
    // Raw bytes in the storage folder, under a name taken literally.
    void write(const std::string& name, const std::string& content) const {
        dir.write("mods/velmora/garden-storage-" + binding + "/" + name, content);
    }
    std::string read(const std::string& name) const { return dir.read("mods/velmora/garden-storage-" + binding + "/" + name); }
    // A receipt of this garden's binding, written straight to disk (an animal's, for the reserve).
    TransferRecord put(const std::string& id, uint32_t state, uint32_t target = kTargetGardenSave,
                       const std::string& digest = kDigest1, const std::string& name = "") const {
        platform::create_folder(storage);
        TransferRecord r = sample_record(id);
        r.save_binding = binding;
        r.target = target;
        if (target == kTargetAnimalReserve) r.kind = kTransferAnimal;
        r = at_state(r, state, digest);
        std::string image = EncodeReceipt(r);
        REQUIRE(image.size() == kReceiptSize);
        REQUIRE(WriteFileAtomically(path(name.empty() ? id + ".bin" : name), image));
        return r;
    }
    uint32_t state_on_disk(const std::string& name) const {
        TransferRecord r;
        return ReadReceipt(path(name), binding, r) ? r.state : 99u;
    }
    bool exists(const std::string& name) const { return platform::path_kind(path(name)) == platform::PathKind::File; }
};
