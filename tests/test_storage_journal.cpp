#include <doctest/doctest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/crypto.h"
#include "platform/files.h"
#include "storage/journal.h"
#include "test_storage_support.h"
#include "test_support.h"

TEST_CASE("SHA-256 gives the standard vectors and refuses input above 1 MiB") {
    CHECK(Sha256Hex("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    CHECK(Sha256Hex(std::string(1000000, 'a')) ==
          "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    CHECK(Sha256Hex(std::string(kMaxHashedFileSize, 'x')).size() == 64);
    CHECK(Sha256Hex(std::string(kMaxHashedFileSize + 1, 'x')).empty());
}

TEST_CASE("record validity: one row per kind of check, the limits at their edges") {
    CHECK(IsTransferValid(sample_record()));
    CHECK_FALSE(IsTransferValid(TransferRecord{}));
    auto bad = [](auto change) {
        TransferRecord r = sample_record();
        change(r);
        return !IsTransferValid(r);
    };
    CHECK(bad([](TransferRecord& r) { r.pos_x = 100000.0f; }));
    CHECK(bad([](TransferRecord& r) { r.pos_z = std::nanf(""); }));
    CHECK(bad([](TransferRecord& r) { r.garden = 0; }));
    CHECK(bad([](TransferRecord& r) { r.garden = 4; }));
    CHECK(bad([](TransferRecord& r) { r.size = 5; }));
    CHECK(bad([](TransferRecord& r) { r.item_type = 24; }));
    CHECK(bad([](TransferRecord& r) { r.target = kTargetAnimalReserve; }));  // a fruit
    CHECK(bad([](TransferRecord& r) { r.kind = 2; }));
    CHECK(bad([](TransferRecord& r) { r.transfer_id = "../../../../evil/0123456789abcdef"; }));
    CHECK(bad([](TransferRecord& r) { r.save_binding.pop_back(); }));
    CHECK(bad([](TransferRecord& r) { r.save_digest = kDigest1; }));  // a digest in state 0
    CHECK(bad([](TransferRecord& r) { r.state = 3; }));               // no digest in state 3
    CHECK(bad([](TransferRecord& r) { r.state = 5; r.save_digest = kDigest1; }));
    TransferRecord animal = sample_record();
    animal.kind = kTransferAnimal;
    animal.target = kTargetAnimalReserve;
    animal.size = -300;  // any size for an animal
    animal.item_type = 20;
    CHECK(IsTransferValid(animal));
    animal.item_type = 21;
    CHECK_FALSE(IsTransferValid(animal));
}

TEST_CASE("state rule: unchanged or one step forward, digests kept") {
    // In order, each over the state the earlier rows left: {to, digest, accepted, state after}.
    const std::tuple<uint32_t, std::string, bool, uint32_t> steps[] = {
        {2, kDigest1, false, 0}, {1, "", false, 0},       {1, "xyz", false, 0},   {0, "", true, 0},
        {1, kDigest1, true, 1},  {1, kDigest1, true, 1},  {1, kDigest2, false, 1}, {2, kDigest2, false, 1},
        {2, "", true, 2},        {1, kDigest1, false, 2}, {3, kDigest1, true, 3},  {4, "", true, 4},
        {5, "", false, 4}};
    TransferRecord r = sample_record();
    for (const auto& [to, digest, ok, state] : steps) {
        CAPTURE(to);
        CHECK(AdvanceTransfer(r, to, digest) == ok);
        CHECK((r.state == state && r.save_digest == (state ? kDigest1 : "")));
    }
}

TEST_CASE("receipt image: layout, round trip and every rejection") {
    TransferRecord r = at_state(sample_record(), 3);
    std::string image = EncodeReceipt(r);
    REQUIRE(image.size() == kReceiptSize);
    // Receipts on disk outlive the build that wrote them: the layout stays put. Little-endian: magic
    // "VLDEPST1", version 2, kind, state, id, binding, type/garden/size/age (16 bits each), x/y/z
    // (floats), digest, target, then the FNV-1a of the 204 bytes before it.
    CHECK(Sha256Hex(image) == "651a5cc559b6f0b0182eb41fbdd72d4d1ca79c10453238f415be9ecd99ef510c");
    CHECK(EncodeReceipt(TransferRecord{}).empty());

    TransferRecord back;
    REQUIRE(DecodeReceipt(image.data(), image.size(), kBindingA, back));
    CHECK(EncodeReceipt(back) == image);

    // A rejection leaves the output record as it was.
    const TransferRecord untouched = sample_record("ffffffffffffffffffffffffffffffff");
    auto rejected = [&](const std::string& bytes, const std::string& binding = kBindingA) {
        TransferRecord out = untouched;
        return !DecodeReceipt(bytes.data(), bytes.size(), binding, out) && out.transfer_id == untouched.transfer_id;
    };
    CHECK(rejected(image, kBindingB));
    CHECK(rejected(image.substr(0, 207)));
    CHECK(rejected(image + '\0'));
    int flips_accepted = 0;
    for (size_t bit = 0; bit < 204 * 8; ++bit) {
        std::string flipped = image;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        flips_accepted += !rejected(flipped);
    }
    CHECK(flips_accepted == 0);

    // Forged with a good checksum: version 1, another magic, and a field the validity rules refuse.
    auto forged = [&](size_t offset, const std::string& bytes) {
        std::string f = image;
        f.replace(offset, bytes.size(), bytes);
        uint32_t h = 0x811C9DC5u;
        for (size_t i = 0; i < 204; ++i) h = (h ^ static_cast<unsigned char>(f[i])) * 0x01000193u;
        std::memcpy(f.data() + 204, &h, 4);
        return f;
    };
    CHECK_FALSE(rejected(forged(0, "VLDEPST1")));  // the forging itself is sound
    CHECK(rejected(forged(8, std::string("\x01\0\0\0", 4))));
    CHECK(rejected(forged(0, "VLDEPST2")));
    CHECK(rejected(forged(20, "..\\..\\..\\evil")));
}

TEST_CASE("WriteReceipt: new receipts only in state 0, then unchanged or one state on") {
    TempDir dir;
    const std::string name = "0123456789abcdef0123456789abcdef.bin", path = dir.str() + "\\" + name;
    TransferRecord r = sample_record();
    CHECK_FALSE(WriteReceipt(path, at_state(r, 1)));
    CHECK(platform::path_kind(path) == platform::PathKind::Missing);
    TransferRecord moved = at_state(r, 3), retargeted = moved, rebound = moved;
    moved.pos_x += 1.0f;
    retargeted.target = kTargetNone;
    rebound.save_binding = kBindingB;  // the stored receipt does not decode under this binding
    // In order: written (or not) over the receipt the earlier rows left.
    const std::pair<TransferRecord, bool> writes[] = {
        {r, true},  {r, true},  {at_state(r, 2), false}, {at_state(r, 1), true}, {at_state(r, 2), true},
        {at_state(r, 2), true}, {at_state(r, 4), false}, {at_state(r, 3, kDigest2), false},
        {at_state(r, 3, ""), false}, {at_state(r, 1), false}, {moved, false}, {retargeted, false}, {rebound, false}};
    for (size_t i = 0; i < std::size(writes); ++i) {
        CAPTURE(i);
        CHECK(WriteReceipt(path, writes[i].first) == writes[i].second);
    }

    // A second holder of the lock keeps the write away.
    platform::LockFile* other = platform::lock_file_open(path + ".lock");
    REQUIRE(other != nullptr);
    CHECK_FALSE(WriteReceipt(path, at_state(r, 3)));
    platform::lock_file_release(other);

    TransferRecord back;
    REQUIRE(ReadReceipt(path, kBindingA, back));
    CHECK(back.state == 2);
    REQUIRE(AdvanceAndWrite(back, path, 3, ""));
    CHECK_FALSE(AdvanceAndWrite(back, path, 2, ""));
    CHECK(back.state == 3);
    REQUIRE(ReadReceipt(path, kBindingA, back));
    CHECK(back.state == 3);

    // Damaged on disk: nothing is written over it.
    dir.write(name, std::string(208, 'x'));
    CHECK_FALSE(WriteReceipt(path, at_state(r, 3)));
    CHECK(dir.read(name) == std::string(208, 'x'));
}

TEST_CASE("transfer reports") {
    TransferRecord r = sample_record();
    CHECK(BuildTransferJson(r, "prepare") ==
          "{\"v\":1,\"phase\":\"prepare\",\"transfer_id\":\"0123456789abcdef0123456789abcdef\",\"save_binding\":\"" +
              kBindingA + "\",\"kind\":\"fruit\",\"item_type\":7,\"garden\":2,\"size\":3,\"age\":-5}");
    // A commit only once applied; no other phase, no invalid record.
    for (const std::string& none : {BuildTransferJson(r, "commit"), BuildTransferJson(at_state(r, 2), "commit"),
                                     BuildTransferJson(r, "abort"), BuildTransferJson(TransferRecord{}, "prepare")})
        CHECK(none.empty());
    r.kind = kTransferAnimal;
    std::string commit = BuildTransferJson(at_state(r, 3), "commit");
    CHECK(commit.find("\"kind\":\"animal\"") != std::string::npos);
    CHECK(commit.substr(commit.size() - 82) == ",\"save_digest\":\"" + kDigest1 + "\"}");
    CHECK_FALSE(BuildTransferJson(at_state(r, 4), "commit").empty());
}

namespace {
// Fault points as letters, upper case before the operation and lower case after it.
std::string g_points;
bool record_point(platform::FileOp op, platform::FaultPhase phase, const char*, void* refuse_move) {
    char letter = "CWFMDL"[static_cast<int>(op)];
    bool before = phase == platform::FaultPhase::Before;
    g_points += before ? letter : static_cast<char>(letter + 32);
    return !(refuse_move && before && op == platform::FileOp::Move);
}
}  // namespace

// Built for Windows too: the same file layer on both systems.
TEST_CASE("file layer: crash-safe atomic writes, whole-file reads, compare-and-replace, moves, folders, listings, locks") {
    TempDir dir;
    const std::string d = dir.str(), path = d + "\\garden";
    std::string out = "kept";
    CHECK_FALSE(ReadWholeFile(path, 10, out));
    CHECK(out == "kept");
    REQUIRE(WriteFileAtomically(path, ""));
    CHECK((ReadWholeFile(path, 10, out) && out.empty()));
    // The .tmp is created, written and flushed before it is moved over; a refused move changes nothing.
    platform::set_file_fault_hook(&record_point, &g_points);
    CHECK_FALSE(WriteFileAtomically(path, "0123456789"));
    CHECK((ReadWholeFile(path, 10, out) && out.empty()));
    platform::set_file_fault_hook(&record_point, nullptr);
    CHECK(WriteFileAtomically(path, "0123456789"));  // over the leftover .tmp
    platform::set_file_fault_hook(nullptr, nullptr);
    CHECK(g_points == "CcWwFfM" "CcWwFfMm");
    CHECK((ReadWholeFile(path, 10, out) && out == "0123456789"));
    CHECK_FALSE(ReadWholeFile(path, 9, out));
    CHECK_FALSE(ReadWholeFile(d, 10, out));
    CHECK(platform::path_kind(path + ".tmp") == platform::PathKind::Missing);
    CHECK_FALSE(ReplaceFileIfUnchanged(path, "something else", "new"));
    CHECK(dir.read("garden") == "0123456789");
    CHECK(ReplaceFileIfUnchanged(path, "0123456789", "new"));
    CHECK(dir.read("garden") == "new");
    CHECK_FALSE(WriteFileAtomically(d + "\\missing\\file", "x"));

    dir.write("a", "A");
    CHECK_FALSE(platform::file_move_new(d + "\\a", path));
    CHECK(dir.read("a") + dir.read("garden") == "Anew");
    CHECK(platform::file_move_replace(d + "\\a", path));
    CHECK(dir.read("garden") == "A");
    CHECK(platform::path_kind(d + "\\a") == platform::PathKind::Missing);
    CHECK(platform::file_move_new(path, d + "\\c"));
    CHECK(dir.read("c") == "A");

    std::vector<platform::FolderEntry> list;
    CHECK(platform::list_bin_files(d, list) == platform::ListResult::Empty);
    CHECK(platform::list_bin_files(d + "\\none", list) == platform::ListResult::Error);
    CHECK(platform::create_folder(d + "\\sub.bin"));
    CHECK(platform::create_folder(d + "\\sub.bin"));  // an existing folder is fine
    for (const char* name : {"r.bin", "r.bin.tmp", "R2.BIN", "long.binary"}) dir.write(name, "1");
    CHECK_FALSE(platform::create_folder(d + "\\r.bin"));  // a file of that name is not
    REQUIRE(platform::list_bin_files(d, list) == platform::ListResult::Ok);
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.name < y.name; });
    REQUIRE(list.size() == 3);
    CHECK(list[0].name == "R2.BIN");
    CHECK((list[1].name == "r.bin" && !list[1].is_folder));
    CHECK((list[2].name == "sub.bin" && list[2].is_folder));
    CHECK(platform::path_kind(d + "\\sub.bin") == platform::PathKind::Folder);
    CHECK(platform::path_kind(d + "\\no\\such") == platform::PathKind::Missing);
#ifdef _WIN32
    CHECK(platform::full_path("c:\\a\\.\\b\\..\\c") == "c:\\a\\c");
#else
    CHECK(platform::full_path("/a/./b//c/../d") == "/a/b/d");
#endif

    // A file being written and a held lock each refuse a second holder until let go.
    platform::WriteFile* w = platform::file_create_write(d + "\\t.tmp");
    REQUIRE(w != nullptr);
    CHECK(platform::file_create_write(d + "\\t.tmp") == nullptr);
    CHECK((platform::file_write(w, "abc", 3) && platform::file_flush(w) && platform::file_close_write(w)));
    CHECK(dir.read("t.tmp") == "abc");
    platform::LockFile* lock = platform::lock_file_open(d + "\\x.lock");
    REQUIRE(lock != nullptr);
    CHECK(platform::lock_file_open(d + "\\x.lock") == nullptr);
#ifdef _WIN32
    // Shared with no other handle, not even one for reading.
    CHECK(CreateFileA((d + "\\x.lock").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) == INVALID_HANDLE_VALUE);
#endif
    platform::lock_file_release(lock);
    lock = platform::lock_file_open(d + "\\x.lock");
    CHECK(lock != nullptr);
    platform::lock_file_release(lock);
}

TEST_CASE("transfer ids are 32 hex characters and differ; receipt names come only from them; delivery ids hash the server's text") {
    std::string a = NewTransferId(), b = NewTransferId();
    CHECK(IsLowerHex(a, 32));
    CHECK(a != b);
    CHECK(ReceiptPath("c:\\s", "0123456789abcdef0123456789abcdef") == "c:\\s\\0123456789abcdef0123456789abcdef.bin");
    for (const auto& [folder, id] : {std::pair<std::string, std::string>{"c:\\s", "..\\..\\windows\\system32\\x0123456"},
                                     {"c:\\s", "0123456789ABCDEF0123456789ABCDEF"},
                                     {"", "0123456789abcdef0123456789abcdef"}})
        CHECK(ReceiptPath(folder, id).empty());
    // The item id enters a name only hashed, whatever the server sent.
    CHECK(DeliveryTransferId(-7, "..\\x\"") == Sha256Hex("withdraw:-7:..\\x\"").substr(0, 32));
}
