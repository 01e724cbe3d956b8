// Start-up recovery over a storage folder of arbitrary files. Each input describes files
// (some raw bytes, some receipts built from the bytes so that every state is reached); after
// recovery every file must have had exactly its one right outcome: a never-begun receipt moved
// to ".unapplied" unchanged, a proven applying one rewritten as applied, anything else left
// byte for byte, and attention raised for whatever could not be settled.
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

bool is_receipt_name(const std::string& name) { return name.size() == 36 && name.compare(32, 4, ".bin") == 0 && IsLowerHex(name.substr(0, 32), 32); }

bool ends_bin(const std::string& n) {
    if (n.size() < 4) return false;
    std::string t = n.substr(n.size() - 4);
    for (char& ch : t) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return t == ".bin";
}

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
            if (ends_bin(name)) must_attend = true;
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
        if (before.count(name)) continue;
        bool companion = name.size() > 10 && name.compare(name.size() - 10, 10, ".unapplied") == 0;
        companion = companion || (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0);
        if (!companion) abort();  // recovery made a file it should not have
    }
    if (s.pending.size() != applied) abort();
    if (must_attend && !s.attention) abort();
    if (!must_attend && s.attention) abort();
    reset_storage_state();
    return 0;
}
