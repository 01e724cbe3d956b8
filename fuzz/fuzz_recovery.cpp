// Start-up recovery over a folder of arbitrary files (raw bytes, or receipts built from them so
// every state is reached): each file gets its one right outcome (never begun: set aside unchanged;
// applying and proven: applied; anything else: byte for byte), attention for what is not settled.
// Input: records of {name selector (top bit: build a receipt), length, bytes}.
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "storage/journal.h"
#include "storage/startup.h"

namespace fs = std::filesystem;

namespace {

const std::string kBinding(64, 'a'), kGardenContent = "garden save file as planned";
const std::string kIds[] = {"00000000000000000000000000000000", "0123456789abcdef0123456789abcdef",
                            "ffffffffffffffffffffffffffffffff", "abcdefabcdefabcdefabcdefabcdef00"};
// Receipt names, a set-aside name and names this system never writes; the last is made a folder.
const std::string kNames[] = {kIds[0] + ".bin", kIds[1] + ".bin", kIds[2] + ".bin", kIds[3] + ".bin",
                              kIds[0] + ".bin.unapplied", "notes.bin", "..\\" + kIds[1] + ".bin",
                              "0123456789ABCDEF0123456789ABCDEF.bin", kIds[2] + ".BIN", "folder.bin"};
// In memory where there is /dev/shm, one folder per process, removed at exit.
const fs::path kBase = (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                       ("velmora-fuzz-" + std::to_string(getpid()));

std::string receipt_from(const std::string& name, const std::string& c) {
    auto at = [&](size_t i) { return i < c.size() ? static_cast<uint8_t>(c[i]) : uint8_t{0}; };
    TransferRecord r;
    r.transfer_id = at(8) & 1 ? kIds[at(8) % 4] : name.substr(0, 32);  // sometimes another transfer's name
    r.save_binding = (at(7) & 1) ? std::string(64, 'b') : kBinding;
    r.state = at(0) % 5;
    r.kind = at(1) & 1;
    r.target = at(2) % 3;
    r.item_type = static_cast<int16_t>(at(3) % 24);
    r.garden = static_cast<int16_t>(1 + at(4) % 3);
    r.size = static_cast<int16_t>(1 + at(5) % 4);
    if (r.state > 0) r.save_digest = at(6) % 2 ? Sha256Hex(kGardenContent) : std::string(64, '1');
    std::string image = EncodeReceipt(r);
    return image.empty() ? c : image;
}

std::map<std::string, std::string> files_in(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            out[e.path().filename()] = std::string(std::istreambuf_iterator<char>(std::ifstream(e.path()).rdbuf()), {});
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool made = [] {
        fs::create_directories(kBase);
        std::ofstream(kBase / "garden") << kGardenContent;
        return !std::atexit([] { fs::remove_all(kBase); });
    }();
    const fs::path dir = kBase / "storage";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (size_t i = 0; made && i + 2 <= size;) {
        const std::string& name = kNames[(data[i] & 0x7F) % 10];
        std::string content(reinterpret_cast<const char*>(data + i + 2), std::min<size_t>(data[i + 1], size - i - 2));
        if (&name == &kNames[9]) fs::create_directories(dir / name);
        if (!fs::is_directory(dir / name)) std::ofstream(dir / name) << (data[i] & 0x80 ? receipt_from(name, content) : content);
        i += 2 + content.size();
    }
    const auto before = files_in(dir);

    reset_storage_state();
    StorageState& s = storage_state();
    s.storage_dir = dir.string();
    s.binding = kBinding;
    s.garden_save_path = (kBase / "garden").string();
    if (!RecoverReceipts()) abort();
    const auto after = files_in(dir);

    bool must_attend = false;
    size_t applied = 0;
    for (const auto& [name, content] : before) {
        auto now = after.find(name);
        bool kept = now != after.end() && now->second == content;
        TransferRecord r;
        bool receipt = name.size() == 36 && name.ends_with(".bin") && IsLowerHex(name.substr(0, 32), 32) &&
                       DecodeReceipt(content.data(), content.size(), kBinding, r) && r.transfer_id == name.substr(0, 32);
        if (!receipt) {
            if (!kept) abort();  // left byte for byte
            must_attend |= name.size() >= 4 && strcasecmp(name.c_str() + name.size() - 4, ".bin") == 0;
        } else if (r.state <= kTransferPlanned) {
            bool taken = before.count(name + ".unapplied") > 0;
            auto moved = after.find(name + ".unapplied");
            if (taken ? !kept : now != after.end() || moved == after.end() || moved->second != content) abort();
            must_attend |= taken;
        } else if (r.state == kTransferApplying) {
            bool proven = r.target == kTargetNone ||
                          (r.target == kTargetGardenSave && r.save_digest == Sha256Hex(kGardenContent));
            TransferRecord expected = r;
            if (proven && !AdvanceTransfer(expected, kTransferApplied, "")) abort();
            if (now == after.end() || now->second != (proven ? EncodeReceipt(expected) : content)) abort();
            applied += proven;
            must_attend |= !proven;
        } else {
            if (!kept) abort();
            applied += r.state == kTransferApplied;
        }
    }
    for (const auto& entry : after)  // recovery made no file it should not have
        if (!before.count(entry.first) && !entry.first.ends_with(".unapplied") && !entry.first.ends_with(".lock"))
            abort();
    if (s.pending.size() != applied || must_attend != s.attention) abort();
    reset_storage_state();
    return 0;
}
