#include "storage/journal.h"

#include <cmath>
#include <cstring>

#include "platform/crypto.h"
#include "platform/files.h"

const char kReceiptMagic[8] = {'V', 'L', 'D', 'E', 'P', 'S', 'T', '1'};

namespace {

constexpr size_t kOffMagic = 0, kOffVersion = 8, kOffKind = 12, kOffState = 16, kOffId = 20,
                 kOffBinding = 52, kOffItem = 116, kOffPos = 124, kOffDigest = 136, kOffTarget = 200,
                 kOffChecksum = 204;
constexpr size_t kItemBytes = 20;  // item_type, garden, size, age, pos_x, pos_y, pos_z
static_assert(kOffChecksum + 4 == kReceiptSize, "the receipt is 208 bytes");
static_assert(kOffItem + kItemBytes == kOffDigest, "item data runs up to the digest");
static_assert(kOffDigest + 64 == kOffTarget, "the digest field is 64 bytes");
static_assert(sizeof(float) == 4, "receipt positions are IEEE-754 singles");

uint32_t fnv1a32(const unsigned char* p, size_t n) {
    uint32_t h = 0x811C9DC5u;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x01000193u;
    }
    return h;
}

void put_u32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_i16(unsigned char* p, int16_t v) {
    uint16_t u = static_cast<uint16_t>(v);
    p[0] = static_cast<unsigned char>(u);
    p[1] = static_cast<unsigned char>(u >> 8);
}
void put_f32(unsigned char* p, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    put_u32(p, u);
}
uint32_t get_u32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
int16_t get_i16(const unsigned char* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}
float get_f32(const unsigned char* p) {
    uint32_t u = get_u32(p);
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

bool position_ok(float v) { return std::isfinite(v) && std::fabs(v) < 100000.0f; }

std::string hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out(n * 2, '0');
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 0xF];
    }
    return out;
}

}  // namespace

bool IsLowerHex(const std::string& text, size_t length) {
    if (text.size() != length) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string NewTransferId() {
    unsigned char bytes[16];
    if (!platform::random_bytes(bytes, sizeof bytes)) return "";
    return hex(bytes, sizeof bytes);
}

std::string Sha256Hex(const void* data, size_t size) {
    if (size > kMaxHashedFileSize) return "";
    uint8_t digest[platform::kSha256Size];
    static const unsigned char nothing = 0;
    if (!platform::sha256(size ? data : &nothing, size, digest)) return "";
    return hex(digest, sizeof digest);
}

std::string Sha256Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

bool IsTransferValid(const TransferRecord& r) {
    if (!IsLowerHex(r.transfer_id, 32) || !IsLowerHex(r.save_binding, 64)) return false;
    if (r.kind != kTransferFruit && r.kind != kTransferAnimal) return false;
    if (r.target > kTargetAnimalReserve) return false;
    if (r.target == kTargetAnimalReserve && r.kind != kTransferAnimal) return false;
    int max_type = r.kind == kTransferAnimal ? 20 : 23;
    if (r.item_type < 0 || r.item_type > max_type) return false;
    if (r.garden < 1 || r.garden > 3) return false;
    if (r.kind == kTransferFruit && (r.size < 1 || r.size > 4)) return false;
    if (!position_ok(r.pos_x) || !position_ok(r.pos_y) || !position_ok(r.pos_z)) return false;
    if (r.state > kTransferCommitted) return false;
    if (r.state == kTransferPrepared) return r.save_digest.empty();
    return IsLowerHex(r.save_digest, 64);
}

bool AdvanceTransfer(TransferRecord& record, uint32_t new_state, const std::string& digest) {
    if (!IsTransferValid(record)) return false;
    if (new_state == record.state) return digest.empty() || digest == record.save_digest;
    if (new_state != record.state + 1) return false;
    TransferRecord next = record;
    next.state = new_state;
    if (new_state == kTransferPlanned) {
        next.save_digest = digest;
    } else if (!digest.empty() && digest != record.save_digest) {
        return false;
    }
    if (!IsTransferValid(next)) return false;
    record = next;
    return true;
}

std::string EncodeReceipt(const TransferRecord& r) {
    if (!IsTransferValid(r)) return "";
    std::string image(kReceiptSize, '\0');
    auto* p = reinterpret_cast<unsigned char*>(image.data());
    std::memcpy(p + kOffMagic, kReceiptMagic, 8);
    put_u32(p + kOffVersion, kReceiptVersion);
    put_u32(p + kOffKind, r.kind);
    put_u32(p + kOffState, r.state);
    std::memcpy(p + kOffId, r.transfer_id.data(), 32);
    std::memcpy(p + kOffBinding, r.save_binding.data(), 64);
    put_i16(p + kOffItem + 0, r.item_type);
    put_i16(p + kOffItem + 2, r.garden);
    put_i16(p + kOffItem + 4, r.size);
    put_i16(p + kOffItem + 6, r.age);
    put_f32(p + kOffPos + 0, r.pos_x);
    put_f32(p + kOffPos + 4, r.pos_y);
    put_f32(p + kOffPos + 8, r.pos_z);
    if (!r.save_digest.empty()) std::memcpy(p + kOffDigest, r.save_digest.data(), 64);
    put_u32(p + kOffTarget, r.target);
    put_u32(p + kOffChecksum, fnv1a32(p, kOffChecksum));
    return image;
}

bool DecodeReceipt(const void* data, size_t size, const std::string& expected_binding, TransferRecord& out) {
    if (!data || size != kReceiptSize) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    if (std::memcmp(p + kOffMagic, kReceiptMagic, 8) != 0) return false;
    if (get_u32(p + kOffVersion) != kReceiptVersion) return false;
    if (get_u32(p + kOffChecksum) != fnv1a32(p, kOffChecksum)) return false;
    TransferRecord r;
    r.kind = get_u32(p + kOffKind);
    r.state = get_u32(p + kOffState);
    r.transfer_id.assign(reinterpret_cast<const char*>(p + kOffId), 32);
    r.save_binding.assign(reinterpret_cast<const char*>(p + kOffBinding), 64);
    r.item_type = get_i16(p + kOffItem + 0);
    r.garden = get_i16(p + kOffItem + 2);
    r.size = get_i16(p + kOffItem + 4);
    r.age = get_i16(p + kOffItem + 6);
    r.pos_x = get_f32(p + kOffPos + 0);
    r.pos_y = get_f32(p + kOffPos + 4);
    r.pos_z = get_f32(p + kOffPos + 8);
    static const unsigned char zeros[64] = {};
    if (std::memcmp(p + kOffDigest, zeros, 64) != 0)
        r.save_digest.assign(reinterpret_cast<const char*>(p + kOffDigest), 64);
    r.target = get_u32(p + kOffTarget);
    if (!IsTransferValid(r) || r.save_binding != expected_binding) return false;
    out = r;
    return true;
}

bool ReadWholeFile(const std::string& path, size_t max_size, std::string& out) {
    platform::File* file = platform::file_open_read(path);
    if (!file) return false;
    std::string bytes;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        long n = platform::file_read(file, buffer, sizeof buffer);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > max_size) {  // larger than allowed
            ok = false;
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    platform::file_close(file);
    if (!ok) return false;
    out.swap(bytes);
    return true;
}

bool ReadReceipt(const std::string& path, const std::string& expected_binding, TransferRecord& out) {
    std::string image;
    if (!ReadWholeFile(path, kReceiptSize, image)) return false;
    return DecodeReceipt(image.data(), image.size(), expected_binding, out);
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    return platform::write_file_atomically(path, bytes);
}

bool WriteReceipt(const std::string& path, const TransferRecord& record) {
    const std::string image = EncodeReceipt(record);
    if (image.empty()) return false;
    platform::LockFile* lock = platform::lock_file_open(path + ".lock");
    if (!lock) return false;
    bool ok = false;
    switch (platform::path_kind(path)) {
        case platform::PathKind::Missing:
            ok = record.state == kTransferPrepared;
            break;
        case platform::PathKind::File: {
            TransferRecord stored;
            std::string stored_image;
            ok = ReadReceipt(path, record.save_binding, stored) && stored.transfer_id == record.transfer_id &&
                 stored.kind == record.kind && stored.target == record.target;
            if (ok) {
                stored_image = EncodeReceipt(stored);
                ok = std::memcmp(stored_image.data() + kOffItem, image.data() + kOffItem, kItemBytes) == 0;
            }
            // Unchanged or one state forward, and nothing else different.
            ok = ok && AdvanceTransfer(stored, record.state, record.save_digest) && EncodeReceipt(stored) == image;
            break;
        }
        default:
            ok = false;
    }
    ok = ok && WriteFileAtomically(path, image);
    platform::lock_file_release(lock);
    return ok;
}

bool AdvanceAndWrite(TransferRecord& record, const std::string& path, uint32_t new_state,
                     const std::string& digest) {
    TransferRecord next = record;
    if (!AdvanceTransfer(next, new_state, digest) || !WriteReceipt(path, next)) return false;
    record = next;
    return true;
}

bool ReplaceFileIfUnchanged(const std::string& path, const std::string& expected, const std::string& bytes) {
    std::string current;
    if (!ReadWholeFile(path, kMaxHashedFileSize, current) || current != expected) return false;
    if (!WriteFileAtomically(path, bytes)) return false;
    std::string after;
    return ReadWholeFile(path, kMaxHashedFileSize, after) && after == bytes;
}

std::string BuildTransferJson(const TransferRecord& r, const std::string& phase) {
    if (!IsTransferValid(r)) return "";
    bool commit = phase == "commit";
    if (!commit && phase != "prepare") return "";
    if (commit && r.state != kTransferApplied && r.state != kTransferCommitted) return "";
    std::string text = "{\"v\":1,\"phase\":\"" + phase + "\",\"transfer_id\":\"" + r.transfer_id +
                       "\",\"save_binding\":\"" + r.save_binding + "\",\"kind\":\"" +
                       (r.kind == kTransferAnimal ? "animal" : "fruit") +
                       "\",\"item_type\":" + std::to_string(r.item_type) + ",\"garden\":" + std::to_string(r.garden) +
                       ",\"size\":" + std::to_string(r.size) + ",\"age\":" + std::to_string(r.age);
    if (commit) text += ",\"save_digest\":\"" + r.save_digest + "\"";
    return text + "}";
}

std::string ReceiptPath(const std::string& folder, const std::string& transfer_id) {
    if (folder.empty() || !IsLowerHex(transfer_id, 32)) return "";
    return folder + "\\" + transfer_id + ".bin";
}

std::string DeliveryTransferId(int32_t command_id, const std::string& item_id) {
    std::string digest = Sha256Hex("withdraw:" + std::to_string(command_id) + ":" + item_id);
    return digest.empty() ? "" : digest.substr(0, 32);
}
