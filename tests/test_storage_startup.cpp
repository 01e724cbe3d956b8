#include <doctest/doctest.h>

#include <algorithm>

#include "test_storage_garden.h"

namespace {

const std::string kId0(32, '0'), kId1(32, '1'), kId2(32, '2'), kId3(32, '3'), kId4(32, '4'), kId5(32, '5'), kId6(32, '6');

// The animal reserve's file, two folders above the mod's, holding `content`.
void use_reserve(const Garden& g, const std::string& content) {
    g.dir.write("reserve.bin", content);
    storage_state().reserve_file_path = [](std::string& path) {
        path = storage_state().mod_folder + "\\..\\..\\reserve.bin";
        return true;
    };
}

}  // namespace

TEST_CASE("start-up binds to the garden save file and server, locks it and opens the folder") {
    Garden g;
    REQUIRE(StartStorage());
    const StorageState& s = storage_state();
    CHECK((s.started && !s.attention));
    CHECK(s.binding == g.binding);
    CHECK(s.storage_dir == g.storage);
    CHECK(s.garden_save_path == g.garden_save);
    CHECK(g.garden_save.find('/') == std::string::npos);
    CHECK(platform::path_kind(g.storage) == platform::PathKind::Folder);
    // The lock beside the garden save file is held for the run.
    CHECK(platform::lock_file_open(g.garden_save + ".storage.lock") == nullptr);
    CHECK(StartStorage());
    CHECK(DeliveryReceiptFolder() == g.storage + "\\withdrawals");

    SyncConfig other = g.config;  // another key: another binding and folder
    other.ApiKey = "key-2";
    CHECK(Sha256Hex(StorageBindingText(g.garden_save, other)) != g.binding);
    CHECK(StorageBindingText("g", g.config) == "g\n127.0.0.1:8787http/garden\nkey-1");
}

TEST_CASE("start-up refuses without the right garden save file, lock or folder") {
    Garden g;
    platform::LockFile* other_process = nullptr;
    SUBCASE("the game uses another garden save file") {
        g.set_game_paths(g.dir.str() + "/savedata/SONIC2B__S01", g.dir.str() + "/other/SONIC2B__ALF");
    }
    SUBCASE("no main save path") {
        uint32_t none = 0;
        sim::poke(game::addr::save_path, &none, 4);
    }
    SUBCASE("the garden save path text is unterminated") {
        std::string area(128, 'x');
        sim::poke(game::addr::garden_save_path, area.data(), area.size());
    }
    SUBCASE("another game process holds the lock") {
        other_process = platform::lock_file_open(g.garden_save + ".storage.lock");  // kept to the end
        REQUIRE(other_process != nullptr);
    }
    SUBCASE("the storage folder cannot be made") { g.dir.write("mods/velmora/garden-storage-" + g.binding, "x"); }
    SUBCASE("no mod folder") { storage_state().mod_folder.clear(); }
    CHECK_FALSE(StartStorage());
    CHECK_FALSE(storage_state().started);
    CHECK(storage_state().lock == nullptr);
    platform::lock_file_release(other_process);
}

TEST_CASE("recovery settles every state to its outcome") {
    Garden g;
    const std::string planned = "planned content of the garden save file";
    g.dir.write("savedata/sonic2b__alf", planned);
    g.put(kId0, 0);
    g.put(kId1, 1);
    g.put(kId2, 2, kTargetGardenSave, Sha256Hex(planned));
    g.put(kId3, 2, kTargetNone);
    g.put(kId4, 3);
    g.put(kId5, 4);
    use_reserve(g, "reserve without the animal");  // an applying reserve receipt, proven through its file
    g.put(kId6, 2, kTargetAnimalReserve, Sha256Hex("reserve without the animal"));
    platform::create_folder(g.path("folder.bin"));
    g.write(kId0 + ".bin.tmp", "leftover");
    // An interrupted delivery stays where its repeated command will find it.
    platform::create_folder(g.path("withdrawals"));
    g.put(kId1, 1, kTargetGardenSave, kDigest1, "withdrawals\\" + kId1 + ".bin");

    REQUIRE(StartStorage());
    const StorageState& s = storage_state();
    CHECK_FALSE(s.attention);
    CHECK(log_lines().empty());
    for (const std::string& id : {kId0, kId1}) CHECK((g.exists(id + ".bin.unapplied") && !g.exists(id + ".bin")));
    for (const std::string& id : {kId2, kId3, kId4, kId6}) CHECK(g.state_on_disk(id + ".bin") == 3);
    CHECK(g.state_on_disk(kId5 + ".bin") == 4);
    CHECK(g.state_on_disk("withdrawals\\" + kId1 + ".bin") == 1);
    REQUIRE(s.pending.size() == 4);
    std::vector<std::string> ids;
    for (const auto& p : s.pending) {
        CHECK((p.transfer.state == 3 && p.receipt_path == g.path(p.transfer.transfer_id + ".bin")));
        ids.push_back(p.transfer.transfer_id);
    }
    std::sort(ids.begin(), ids.end());
    CHECK(ids == std::vector<std::string>{kId2, kId3, kId4, kId6});
}

TEST_CASE("recovery raises attention for what it cannot settle, and changes nothing of it") {
    Garden g;
    std::string kept;  // the file that must be left exactly as it was
    SUBCASE("the set-aside name is taken") {
        g.put(kId1, 1);
        g.write(kId1 + ".bin.unapplied", "older");
        kept = kId1 + ".bin";
    }
    SUBCASE("applying, but the garden save file does not hold the planned content") {
        g.dir.write("savedata/sonic2b__alf", "the old content");
        g.put(kId2, 2);
        kept = kId2 + ".bin";
    }
    SUBCASE("applying to the animal reserve, whose file is not known") {
        g.put(kId2, 2, kTargetAnimalReserve);
        kept = kId2 + ".bin";
    }
    SUBCASE("applying to the animal reserve, whose file does not hold the planned content") {
        use_reserve(g, "reserve still with the animal");
        g.put(kId2, 2, kTargetAnimalReserve);
        kept = kId2 + ".bin";
    }
    SUBCASE("a receipt of another binding") {
        platform::create_folder(g.storage);
        TransferRecord r = at_state(sample_record(kId1), 1);
        r.save_binding = kBindingB;
        REQUIRE(WriteFileAtomically(g.path(kId1 + ".bin"), EncodeReceipt(r)));
        kept = kId1 + ".bin";
    }
    SUBCASE("a damaged receipt") {
        g.put(kId1, 1);
        g.write(kId1 + ".bin", std::string(208, '\0'));
        kept = kId1 + ".bin";
    }
    SUBCASE("a receipt under another transfer's name") {
        g.put(kId1, 0, kTargetGardenSave, kDigest1, kId2 + ".bin");
        kept = kId2 + ".bin";
    }
    SUBCASE("names this system never writes") {
        // A literal "..\..\<id>.bin" in the folder; the same path read the Windows way
        // names a valid receipt two folders up, which must not be touched.
        g.put(kId1, 0, kTargetGardenSave, kDigest1, "..\\..\\" + kId1 + ".bin");
        g.write("..\\..\\" + kId1 + ".bin", g.dir.read("mods/" + kId1 + ".bin"));
        REQUIRE(g.dir.read("mods/" + kId1 + ".bin").size() == kReceiptSize);
        g.put(kId0, 0, kTargetGardenSave, kDigest1, "ABCDEF0123456789ABCDEF0123456789.bin");
        kept = "ABCDEF0123456789ABCDEF0123456789.bin";
    }
    SUBCASE("the pending list is full") {
        g.put(kId4, 3);
        storage_state().pending.resize(kMaxPendingTransfers);
        kept = kId4 + ".bin";
    }
    std::string before = g.read(kept);
    REQUIRE(StartStorage());
    const StorageState& s = storage_state();
    CHECK((s.started && s.attention && s.notice.on && s.notice.warning));
    CHECK(s.notice.text == "Storage recovery needs attention. Items and receipts retained.");
    CHECK(s.notice.expiry_ms == sim::now_ms() + 7000);
    // One line, not one per receipt.
    CHECK(log_lines() == std::vector<std::string>{"garden storage: Storage recovery needs attention. Items and "
                                                  "receipts retained.\n"});
    CHECK(g.read(kept) == before);
    // Nothing escaped the storage folder.
    CHECK_FALSE(std::filesystem::exists(g.dir.path / "mods" / (kId1 + ".bin.unapplied")));
    CHECK((s.pending.empty() || s.pending.size() == kMaxPendingTransfers));
}
