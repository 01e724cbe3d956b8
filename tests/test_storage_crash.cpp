#include <doctest/doctest.h>

#include <string>

#include "tests/crash_harness.h"
#include "test_storage_garden.h"

namespace {
void report(const crash::Report& r) {
    for (const auto& f : r.failures) CHECK_MESSAGE(false, f);
}
const std::string kId = "abcdefabcdefabcdefabcdefabcdef00";
}  // namespace

TEST_CASE("an atomic write interrupted or failed anywhere leaves the old or the new content") {
    TempDir dir;
    const std::string path = dir.str() + "\\garden";
    const std::string old_content(5000, 'o'), new_content(70000, 'n');
    for (crash::Mode mode : {crash::Mode::Kill, crash::Mode::Fail}) {
        for (bool existed : {true, false}) {
            crash::Case c;
            c.mode = mode;
            c.setup = [&] {
                std::filesystem::remove(dir.path / "garden");
                if (existed) dir.write("garden", old_content);
            };
            c.operation = [&] { return WriteFileAtomically(path, new_content); };
            c.check = [&](const crash::Outcome& o) -> std::string {
                std::string now;
                bool present = ReadWholeFile(path, kMaxHashedFileSize, now);
                if (o.succeeded && (!present || now != new_content)) return "reported success without the new content";
                if (present && now != new_content && !(existed && now == old_content)) return "damaged content";
                if (!present && existed) return "the old file is gone";
                // The next write after a crash completes (a leftover .tmp does not stand in its way).
                if (!WriteFileAtomically(path, new_content)) return "the write after it failed";
                return "";
            };
            crash::Report r = crash::run(c);
            report(r);
            CHECK(r.fault_points == 8);  // create, write, flush, move; before and after each
        }
    }
}

TEST_CASE("a receipt write interrupted anywhere leaves the previous receipt or the new one") {
    Garden g;
    platform::create_folder(g.storage);
    const std::string path = g.path(kId + ".bin");
    TransferRecord base = sample_record(kId);
    base.save_binding = g.binding;
    for (uint32_t from : {99u, 0u, 1u, 2u, 3u}) {  // 99: no receipt yet
        uint32_t to = from == 99u ? 0u : from + 1;
        crash::Case c;
        c.setup = [&] {
            platform::file_delete(path);
            if (from != 99u) g.put(kId, from);
        };
        c.operation = [&] { return WriteReceipt(path, at_state(base, to)); };
        c.check = [&](const crash::Outcome& o) -> std::string {
            TransferRecord r;
            bool present = platform::path_kind(path) != platform::PathKind::Missing;
            if (present && !ReadReceipt(path, g.binding, r)) return "damaged receipt";
            if (!present && from != 99u) return "the receipt is gone";
            if (present && r.state != to && r.state != from) return "unexpected state";
            if (o.succeeded && (!present || r.state != to)) return "reported success without the new state";
            // The lock and any leftover .tmp of the killed run do not block the next write.
            if (!WriteReceipt(path, at_state(base, to))) return "the write after it failed";
            return "";
        };
        crash::Report r = crash::run(c);
        report(r);
        CHECK(r.fault_points == 10);
    }
}

namespace {
// One deposit of an item with a save record, in the order the flows must follow.
bool deposit(const Garden& g, const std::string& old_save, const std::string& new_save, bool change_while_planned) {
    const std::string path = g.path(kId + ".bin");
    TransferRecord r = sample_record(kId);
    r.save_binding = g.binding;
    if (!WriteReceipt(path, r)) return false;
    if (!AdvanceAndWrite(r, path, kTransferPlanned, Sha256Hex(new_save))) return false;
    if (!WriteFileAtomically(path + ".before", old_save)) return false;
    if (change_while_planned && !ReplaceFileIfUnchanged(g.garden_save, old_save, new_save)) return false;
    if (!BeginLocalChange(r, path)) return false;
    if (!change_while_planned && !ReplaceFileIfUnchanged(g.garden_save, old_save, new_save)) return false;
    return AdvanceAndWrite(r, path, kTransferApplied, "");
}

crash::Case deposit_case(Garden& g, const std::string& old_save, const std::string& new_save, bool wrong_order) {
    crash::Case c;
    c.setup = [&g, old_save] {
        g.restart();
        std::filesystem::remove_all(g.dir.path / "mods/velmora" / ("garden-storage-" + g.binding));
        platform::create_folder(g.storage);
        g.dir.write("savedata/sonic2b__alf", old_save);
    };
    c.operation = [&g, old_save, new_save, wrong_order] { return deposit(g, old_save, new_save, wrong_order); };
    c.recover = [&g] {
        g.restart();
        REQUIRE(StartStorage());
    };
    c.check = [&g, old_save, new_save](const crash::Outcome& o) -> std::string {
        std::string save;
        if (!ReadWholeFile(g.garden_save, kMaxHashedFileSize, save)) return "garden save file unreadable";
        if (save != old_save && save != new_save) return "garden save file damaged";
        const StorageState& s = storage_state();
        bool receipt = g.exists(kId + ".bin"), set_aside = g.exists(kId + ".bin.unapplied");
        uint32_t state = receipt ? g.state_on_disk(kId + ".bin") : 99u;
        if (o.succeeded && !(state == 3 && save == new_save)) return "reported success without the change";
        // Out of the save file: the server is still owed its commit. Still in it: set aside, or kept with attention.
        if (save == new_save && !(state == 3 && s.pending.size() == 1))
            return "item left the save file but the transfer was dropped";
        if (save != new_save && receipt && (state == 3 || (state == 2 && !s.attention)))
            return "transfer claimed with the item still in the save";
        if (receipt && set_aside) return "receipt both kept and set aside";
        return "";
    };
    return c;
}
}  // namespace

TEST_CASE("a deposit killed at any file operation is recovered without losing or doubling the item") {
    Garden g;
    const std::string old_save(65536, 'o');
    std::string new_save = old_save;
    new_save[0x3040] = 'x';
    crash::Report r = crash::run(deposit_case(g, old_save, new_save, false));
    report(r);
    CHECK(r.fault_points > 40);
    CHECK(r.runs == r.fault_points + 1);

    // Changing the save file while the receipt still says "planned" looks like "never began": the item vanishes.
    crash::Report wrong = crash::run(deposit_case(g, old_save, new_save, true));
    REQUIRE_FALSE(wrong.failures.empty());
    CHECK(wrong.failures[0].find("dropped") != std::string::npos);
}
