// Start-up recovery over a folder of arbitrary files (raw bytes, or receipts built from them so
// every state is reached): each file gets its one right outcome (never begun: set aside unchanged;
// applying and proven: applied; anything else: byte for byte), attention for what is not settled.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "storage/journal.h"
#include "storage/startup.h"

namespace fs = std::filesystem;

namespace {

const std::string kBinding(64, 'a');
const std::string kGardenContent = "garden save file as planned";

const char* const kIds[] = {"00000000000000000000000000000000", "0123456789abcdef0123456789abcdef",
                            "ffffffffffffffffffffffffffffffff", "abcdefabcdefabcdefabcdefabcdef00"};

std::string name_for(uint8_t selector) {
    switch (selector % 10) {
        case 0: case 1: case 2: case 3: return std::string(kIds[selector % 10]) + ".bin";
        case 4: return std::string(kIds[0]) + ".bin.unapplied";
        case 5: return "notes.bin";
        case 6: return std::string("..\\") + kIds[1] + ".bin";
        case 7: return "0123456789ABCDEF0123456789ABCDEF.bin";
        case 8: return std::string(kIds[2]) + ".BIN";
        default: return "folder.bin";  // made a folder
    }
}

std::string receipt_from(const std::string& name, const std::string& c) {
    auto at = [&](size_t i) { return i < c.size() ? static_cast<uint8_t>(c[i]) : uint8_t{0}; };
    TransferRecord r;
    r.transfer_id = name.size() >= 32 ? name.substr(0, 32) : name;
    if (at(8) & 1) r.transfer_id = kIds[at(8) % 4];  // sometimes another transfer's name
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
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        out[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

bool ends_with(const std::string& n, const char* end, bool any_case = false) {
    size_t k = std::strlen(end);
    if (n.size() < k) return false;
    for (size_t i = 0; i < k; ++i) {
        char c = n[n.size() - k + i];
        if ((any_case ? static_cast<char>(tolower(static_cast<unsigned char>(c))) : c) != end[i]) return false;
    }
    return true;
}

bool is_receipt_name(const std::string& name) { return name.size() == 36 && ends_with(name, ".bin") && IsLowerHex(name.substr(0, 32), 32); }

const fs::path& base() {
    static fs::path dir = [] {
        fs::path root = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = root / ("velmora-fuzz-" + std::to_string(getpid()));
        fs::create_directories(d);
        std::ofstream(d / "garden", std::ios::binary) << kGardenContent;
        std::atexit([] { std::error_code ec; fs::remove_all(base(), ec); });
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path dir = base() / "storage";
    fs::remove_all(dir);
    fs::create_directories(dir);

    size_t i = 0;
    while (i + 2 <= size) {
        uint8_t selector = data[i], length = data[i + 1];
        i += 2;
        size_t n = std::min<size_t>(length, size - i);
        std::string content(reinterpret_cast<const char*>(data + i), n);
        i += n;
        std::string name = name_for(selector & 0x7F);
        if (name == "folder.bin") {
            fs::create_directories(dir / name);
            continue;
        }
        if (fs::is_directory(dir / name)) continue;
        if (selector & 0x80) content = receipt_from(name, content);
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    const auto before = files_in(dir);

    reset_storage_state();
    StorageState& s = storage_state();
    s.storage_dir = dir.string();
    s.binding = kBinding;
    s.garden_save_path = (base() / "garden").string();
    if (!RecoverReceipts()) abort();
    const auto after = files_in(dir);

    bool must_attend = false;
    size_t applied = 0;
    for (const auto& [name, content] : before) {
        auto now = after.find(name);
        TransferRecord r;
        bool receipt = is_receipt_name(name) && DecodeReceipt(content.data(), content.size(), kBinding, r) &&
                       r.transfer_id == name.substr(0, 32);
        if (!receipt) {
            if (now == after.end() || now->second != content) abort();  // left byte for byte
            if (ends_with(name, ".bin", true)) must_attend = true;
            continue;
        }
        if (r.state <= kTransferPlanned) {
            if (before.count(name + ".unapplied")) {
                if (now == after.end() || now->second != content) abort();
                must_attend = true;
            } else {
                auto moved = after.find(name + ".unapplied");
                if (now != after.end() || moved == after.end() || moved->second != content) abort();
            }
        } else if (r.state == kTransferApplying) {
            bool proven = r.target == kTargetNone ||
                          (r.target == kTargetGardenSave && r.save_digest == Sha256Hex(kGardenContent));
            TransferRecord expected = r;
            if (proven && !AdvanceTransfer(expected, kTransferApplied, "")) abort();
            if (now == after.end() || now->second != (proven ? EncodeReceipt(expected) : content)) abort();
            if (proven) ++applied;
            else must_attend = true;
        } else {
            if (now == after.end() || now->second != content) abort();
            if (r.state == kTransferApplied) ++applied;
        }
    }
    for (const auto& [name, content] : after) {
        if (!before.count(name) && !ends_with(name, ".unapplied") && !ends_with(name, ".lock"))
            abort();  // recovery made a file it should not have
    }
    if (s.pending.size() != applied || must_attend != s.attention) abort();
    reset_storage_state();
    return 0;
}
