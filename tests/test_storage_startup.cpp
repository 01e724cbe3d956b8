// Garden storage start-up and recovery in a simulated game (its saves in <tmp>/savedata, the
// mod folder in <tmp>/mods/velmora), and storage writes killed or failed at every file operation.
#include <doctest/doctest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "host/log.h"
#include "platform/files.h"
#include "sim/gameboy.h"
#include "sim/sim.h"
#include "storage/startup.h"
#include "test_storage_support.h"
#include "test_support.h"
#include "tests/crash_harness.h"

namespace {

const std::string kId0(32, '0'), kId1(32, '1'), kId2(32, '2'), kId3(32, '3'), kId6(32, '6');

std::vector<std::string> g_log;
void capture(const char* line) { g_log.push_back(line); }

struct Garden {
    TempDir dir;
    std::string mod = dir.str() + "\\mods\\velmora", garden_save, binding, storage;
    SyncConfig config;

    Garden() {
        sim::reset();
        g_log.clear();
        ModLog::set_log_sink(&capture);
        std::filesystem::create_directories(dir.path / "savedata");
        std::filesystem::create_directories(dir.path / "mods" / "velmora");
        sim::set_save_folder(dir.str() + "/savedata");  // the game's paths to SONIC2B__S01 and SONIC2B__ALF
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
    // What a new run of the game sees: nothing of storage but its configuration.
    void restart() const {
        reset_storage_state();
        StorageState& s = storage_state();
        s.enabled = true;
        s.mod_folder = mod;
        s.configuration = config;
    }
    std::string path(const std::string& name) const { return storage + "\\" + name; }
    // The storage folder, or a name in it taken literally, below the temporary folder.
    std::string literal(const std::string& name = "") const {
        return "mods/velmora/garden-storage-" + binding + (name.empty() ? "" : "/" + name);
    }
    // A receipt of this garden's binding, written straight to disk (an animal's, for the reserve).
    void put(const std::string& id, uint32_t state, uint32_t target = kTargetGardenSave,
             const std::string& digest = kDigest1, const std::string& name = "") const {
        platform::create_folder(storage);
        TransferRecord r = sample_record(id);
        r.save_binding = binding;
        r.target = target;
        if (target == kTargetAnimalReserve) r.kind = kTransferAnimal;
        REQUIRE(WriteFileAtomically(path(name.empty() ? id + ".bin" : name), EncodeReceipt(at_state(r, state, digest))));
    }
    uint32_t state_on_disk(const std::string& name) const {  // 99: missing or damaged
        TransferRecord r;
        return ReadReceipt(path(name), binding, r) ? r.state : 99u;
    }
    bool exists(const std::string& name) const { return platform::path_kind(path(name)) == platform::PathKind::File; }
};

// The animal reserve's file, two folders above the mod's, holding `content`.
void use_reserve(const Garden& g, const std::string& content) {
    g.dir.write("reserve.bin", content);
    storage_state().reserve_file_path = [](std::string& path) {
        path = storage_state().mod_folder + "\\..\\..\\reserve.bin";
        return true;
    };
}

}  // namespace

TEST_CASE("start-up binds to the garden save file and server, locks it against other processes and opens the folder") {
    Garden g;
    REQUIRE(StartStorage());
    const StorageState& s = storage_state();
    CHECK((s.started && !s.attention && s.storage_dir == g.storage && s.garden_save_path == g.garden_save));
    CHECK(platform::path_kind(g.storage) == platform::PathKind::Folder);
    CHECK(StartStorage());
    CHECK(DeliveryReceiptFolder() == g.storage + "\\withdrawals");
    // The binding names the folder: the same text, or the receipts already written are lost.
    CHECK(StorageBindingText("g", g.config) == "g\n127.0.0.1:8787http/garden\nkey-1");

    // The lock beside the garden save file is held for the run against another process.
    pid_t child = fork();
    if (child == 0) _exit(platform::lock_file_open(g.garden_save + ".storage.lock") == nullptr ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    CHECK((WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

TEST_CASE("start-up refuses without the right garden save file, lock or folder") {
    Garden g;
    platform::LockFile* other_process = nullptr;
    SUBCASE("the game uses another garden save file") {
        sim::set_save_folder(g.dir.str() + "/other");
        sim::set_save_path((g.dir.str() + "/savedata/SONIC2B__S01").c_str());
    }
    SUBCASE("no main save path") { sim::set_save_path(nullptr); }
    SUBCASE("the garden save path text is unterminated") {
        sim::poke(game::addr::garden_save_path, std::string(128, 'x').data(), 128);
    }
    SUBCASE("another game process holds the lock") {
        other_process = platform::lock_file_open(g.garden_save + ".storage.lock");  // kept to the end
        REQUIRE(other_process != nullptr);
    }
    SUBCASE("the storage folder cannot be made") { g.dir.write(g.literal(), "x"); }
    SUBCASE("no mod folder") { storage_state().mod_folder.clear(); }
    CHECK_FALSE(StartStorage());
    CHECK((!storage_state().started && storage_state().lock == nullptr));
    platform::lock_file_release(other_process);
}

// Applying to the garden save file, applied and committed receipts: the deposit crash case below.
TEST_CASE("recovery sets never-begun receipts aside, applies proven ones without a file or to the reserve, skips the rest") {
    Garden g;
    g.put(kId1, 1);  // state 0 is left to the crash case
    g.put(kId3, 2, kTargetNone);
    use_reserve(g, "reserve without the animal");  // an applying reserve receipt, proven through its file
    g.put(kId6, 2, kTargetAnimalReserve, Sha256Hex("reserve without the animal"));
    platform::create_folder(g.path("folder.bin"));
    g.dir.write(g.literal(kId1 + ".bin.tmp"), "leftover");

    REQUIRE(StartStorage());
    const StorageState& s = storage_state();
    CHECK_FALSE(s.attention);
    CHECK(g_log.empty());
    CHECK((g.exists(kId1 + ".bin.unapplied") && !g.exists(kId1 + ".bin")));
    for (const std::string& id : {kId3, kId6}) CHECK(g.state_on_disk(id + ".bin") == 3);
    std::set<std::string> ids;
    for (const auto& p : s.pending) {
        CHECK((p.transfer.state == 3 && p.receipt_path == g.path(p.transfer.transfer_id + ".bin")));
        ids.insert(p.transfer.transfer_id);
    }
    CHECK((s.pending.size() == 2 && ids == std::set<std::string>{kId3, kId6}));
}

TEST_CASE("recovery raises attention for what it cannot settle, and changes nothing of it") {
    Garden g;
    std::string kept = kId2 + ".bin";  // the file that must be left exactly as it was
    SUBCASE("the set-aside name is taken") {
        g.put(kId1, 1);
        g.dir.write(g.literal(kId1 + ".bin.unapplied"), "older");
        kept = kId1 + ".bin";
    }
    SUBCASE("applying, but the garden save file does not hold the planned content") {
        g.dir.write("savedata/sonic2b__alf", "the old content");
        g.put(kId2, 2);
    }
    SUBCASE("applying to the animal reserve, whose file is not known") { g.put(kId2, 2, kTargetAnimalReserve); }
    SUBCASE("applying to the animal reserve, whose file does not hold the planned content") {
        use_reserve(g, "reserve still with the animal");
        g.put(kId2, 2, kTargetAnimalReserve);
    }
    SUBCASE("a receipt of another binding") {
        platform::create_folder(g.storage);  // sample_record's binding is not this garden's
        REQUIRE(WriteFileAtomically(g.path(kept), EncodeReceipt(at_state(sample_record(kId2), 1))));
    }
    SUBCASE("a damaged receipt") {
        g.put(kId2, 1);
        g.dir.write(g.literal(kept), std::string(208, '\0'));
    }
    SUBCASE("a receipt under another transfer's name") { g.put(kId1, 0, kTargetGardenSave, kDigest1, kept); }
    SUBCASE("names this system never writes") {
        // A literal "..\..\<id>.bin" in the folder; the same path read the Windows way
        // names a valid receipt two folders up, which must not be touched.
        g.put(kId1, 0, kTargetGardenSave, kDigest1, "..\\..\\" + kId1 + ".bin");
        g.dir.write(g.literal("..\\..\\" + kId1 + ".bin"), g.dir.read("mods/" + kId1 + ".bin"));
        REQUIRE(g.dir.read("mods/" + kId1 + ".bin").size() == kReceiptSize);
        kept = "ABCDEF0123456789ABCDEF0123456789.bin";
        g.put(kId0, 0, kTargetGardenSave, kDigest1, kept);
    }
    SUBCASE("the pending list is full") {
        g.put(kId2, 3);
        storage_state().pending.resize(kMaxPendingTransfers);
    }
    std::string before = g.dir.read(g.literal(kept));
    REQUIRE(StartStorage());
    const StorageState& s = storage_state();
    CHECK((s.started && s.attention && s.notice.on && s.notice.warning && s.notice.expiry_ms == sim::now_ms() + 7000));
    CHECK(s.notice.text == "Storage recovery needs attention. Items and receipts retained.");
    // One line, not one per receipt.
    CHECK(g_log == std::vector<std::string>{"garden storage: Storage recovery needs attention. Items and "
                                            "receipts retained.\n"});
    CHECK(g.dir.read(g.literal(kept)) == before);
    // Nothing escaped the storage folder.
    CHECK_FALSE(std::filesystem::exists(g.dir.path / "mods" / (kId1 + ".bin.unapplied")));
    CHECK((s.pending.empty() || s.pending.size() == kMaxPendingTransfers));
}

namespace {
const std::string kId = "abcdefabcdefabcdefabcdefabcdef00";

// One deposit of an item with a save record to its commit, in the order the flows follow; with
// `early`, the save file is changed while the receipt still says planned.
bool deposit(const Garden& g, const std::string& old_save, const std::string& new_save, bool early) {
    const std::string path = g.path(kId + ".bin");
    TransferRecord r = sample_record(kId);
    r.save_binding = g.binding;
    return WriteReceipt(path, r) && AdvanceAndWrite(r, path, kTransferPlanned, Sha256Hex(new_save)) &&
           WriteFileAtomically(path + ".before", old_save) &&
           (!early || ReplaceFileIfUnchanged(g.garden_save, old_save, new_save)) && BeginLocalChange(r, path) &&
           (early || ReplaceFileIfUnchanged(g.garden_save, old_save, new_save)) &&
           AdvanceAndWrite(r, path, kTransferApplied, "") && AdvanceAndWrite(r, path, kTransferCommitted, "");
}
}  // namespace

TEST_CASE("a deposit killed or failed at any file operation is recovered without losing or doubling the item") {
    Garden g;
    const std::string old_save(70000, 'o');  // more than one read of 64 KiB
    std::string new_save = old_save;
    new_save[0x3040] = 'x';
    bool early = false;
    crash::Case c;
    c.setup = [&] {
        g.restart();
        std::filesystem::remove_all(g.dir.path / g.literal());
        platform::create_folder(g.storage);
        g.dir.write("savedata/sonic2b__alf", old_save);
    };
    c.operation = [&] { return deposit(g, old_save, new_save, early); };
    c.recover = [&] {
        g.restart();
        REQUIRE(StartStorage());
    };
    c.check = [&](const crash::Outcome& o) -> std::string {
        std::string save;
        if (!ReadWholeFile(g.garden_save, kMaxHashedFileSize, save) || (save != old_save && save != new_save))
            return "garden save file damaged";
        const StorageState& s = storage_state();
        bool receipt = g.exists(kId + ".bin"), set_aside = g.exists(kId + ".bin.unapplied");
        uint32_t state = g.state_on_disk(kId + ".bin");
        if (receipt && state == 99u) return "damaged receipt";
        if (receipt && set_aside) return "receipt both kept and set aside";
        if (receipt && state < 2) return "a receipt never begun was not set aside";
        if (o.succeeded && !(state == 4 && save == new_save)) return "reported success without the change";
        // Out of the save file: the server is owed its commit, or has it. Still in it: set aside, or kept with attention.
        if (save == new_save && (state < 3 || state == 99u)) return "item left the save file but the transfer was dropped";
        if (save != new_save && state >= 3 && state <= 4) return "transfer claimed with the item still in the save";
        if (s.pending.size() != (state == 3 ? 1u : 0u)) return "not pending exactly while the commit is owed";
        return s.attention == (state == 2) ? "" : "attention without cause, or none for an unproven change";
    };
    for (crash::Mode mode : {crash::Mode::Kill, crash::Mode::Fail}) {
        c.mode = mode;
        crash::Report r = crash::run(c);
        for (const auto& f : r.failures) CHECK_MESSAGE(false, f);
        CHECK(r.fault_points > 40);
    }

    // The check is sound: a save file changed while the receipt says "planned" looks never begun, and the item vanishes.
    early = true;
    c.mode = crash::Mode::Kill;
    crash::Report wrong = crash::run(c);
    REQUIRE_FALSE(wrong.failures.empty());
    CHECK(wrong.failures[0].find("dropped") != std::string::npos);
}
