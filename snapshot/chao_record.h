// The game's Chao record as the system reads it, the fixed 224-byte image of one slot, the
// identity fingerprints and the Chao object of the snapshot.
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "host/game.h"

struct JsonWriter;

static_assert(std::endian::native == std::endian::little, "game records and images are little-endian");

// Offsets inside the game's 0x800-byte Chao record. This is the one place they are defined;
// code that writes into a record uses these names.
struct ChaoRecord {
    static constexpr uint32_t size = 0x800;
    static constexpr uint32_t name_raw = 0x12;          // 7 bytes, the game's own character codes
    static constexpr uint32_t name_size = 7;
    static constexpr uint32_t stat_fractions = 0x20;    // 8 x u8, stat order
    static constexpr uint32_t stat_grades = 0x28;       // 8 x u8
    static constexpr uint32_t stat_levels = 0x30;       // 8 x u8
    static constexpr uint32_t stat_points = 0x38;       // 8 x u16
    static constexpr uint32_t type = 0x80;              // i8; 0 is a free slot
    static constexpr uint32_t garden = 0x81;            // i8
    static constexpr uint32_t happiness = 0x82;         // i16, then the six life words below
    static constexpr uint32_t in_kindergarten = 0x84;
    static constexpr uint32_t clock_rollovers = 0x86;
    static constexpr uint32_t adult_clock_rollovers = 0x88;
    static constexpr uint32_t lifespan = 0x8A;
    static constexpr uint32_t lifespan2 = 0x8C;
    static constexpr uint32_t reincarnations = 0x8E;
    static constexpr uint32_t chao_id = 0x90;           // 20 identity bytes, `seed` among them
    static constexpr uint32_t chao_id_size = 20;
    static constexpr uint32_t seed = 0x98;              // i32
    static constexpr uint32_t timescale_timer = 0xA4;   // i32
    static constexpr uint32_t power_run = 0xA8;         // f32
    static constexpr uint32_t fly_swim = 0xAC;          // f32
    static constexpr uint32_t alignment = 0xB0;         // f32
    static constexpr uint32_t last_life_alignment = 0xBC;  // f32
    static constexpr uint32_t progress = 0xC0;          // f32
    static constexpr uint32_t eye_type = 0xD1;
    static constexpr uint32_t mouth_type = 0xD2;
    static constexpr uint32_t ball_type = 0xD3;
    static constexpr uint32_t headgear = 0xD5;          // the hat
    static constexpr uint32_t hide_feet = 0xD6;
    static constexpr uint32_t medal = 0xD7;
    static constexpr uint32_t color = 0xD8;
    static constexpr uint32_t monotone_highlights = 0xD9;
    static constexpr uint32_t texture = 0xDA;
    static constexpr uint32_t shiny = 0xDB;
    static constexpr uint32_t egg_color = 0xDC;
    static constexpr uint32_t body_type = 0xDD;         // i8
    static constexpr uint32_t body_type_animal = 0xDE;  // i8
    static constexpr uint32_t doctor_medal = 0x108;     // i16
    static constexpr uint32_t animal_behaviors = 0x118; // u32, low 21 bits used
    static constexpr uint32_t animal_behaviors_mask = 0x1FFFFF;
    static constexpr uint32_t parts = 0x11C;            // 8 x i8: arm ear forehead horn leg tail wing face; -1 none
    static constexpr uint32_t joy = 0x12C;
    static constexpr uint32_t anger = 0x12D;
    static constexpr uint32_t urge_to_cry = 0x12E;
    static constexpr uint32_t fear = 0x12F;
    static constexpr uint32_t conditions = 0x134;       // 11 x i16: sleepiness .. energy
    static constexpr uint32_t curiosity = 0x14A;
    static constexpr uint32_t kindness = 0x14B;
    static constexpr uint32_t crybaby_energetic = 0x14C;
    static constexpr uint32_t naive_normal = 0x14D;
    static constexpr uint32_t solitude = 0x14E;
    static constexpr uint32_t vitality = 0x14F;
    static constexpr uint32_t glutton = 0x150;
    static constexpr uint32_t regain = 0x151;
    static constexpr uint32_t skillful = 0x152;
    static constexpr uint32_t charm = 0x153;
    static constexpr uint32_t chatty = 0x154;
    static constexpr uint32_t carefree = 0x155;
    static constexpr uint32_t fickle = 0x156;
    static constexpr uint32_t favorite_fruit = 0x157;
    static constexpr uint32_t cough = 0x15A;
    static constexpr uint32_t cold = 0x15B;
    static constexpr uint32_t rash = 0x15C;
    static constexpr uint32_t runny_nose = 0x15D;
    static constexpr uint32_t hiccups = 0x15E;
    static constexpr uint32_t stomach_ache = 0x15F;
    static constexpr uint32_t classroom_flags = 0x160; // u32
    static constexpr uint32_t generation_block = 0x438; // 164 bytes, read only through the fingerprints
    static constexpr uint32_t generation_block_size = 164;
    // Everything the image takes apart from the generation block lies below this.
    static constexpr uint32_t head_size = 0x164;
    // The bytes of a record that a scan reads.
    static constexpr uint32_t read_size = generation_block + generation_block_size;
};

constexpr int kStatCount = 8;
constexpr int kPartCount = 8;
constexpr int kConditionCount = 11;
extern const char* const kStatNames[kStatCount];       // swim fly run power stamina luck intelligence unknown
extern const char* const kPartNames[kPartCount];       // arm ear forehead horn leg tail wing face
extern const char* const kConditionNames[kConditionCount];  // sleepiness .. energy

// One slot as the system sees it. The layout is binding: content_hash covers its bytes, so
// every member sits at a fixed offset, nothing is left to the compiler's padding, and the
// filler members are always zero.
struct ChaoImage {
    int32_t slot = -1;
    uint8_t occupied = 0;
    uint8_t name_raw[7] = {};
    int32_t type = 0;
    int32_t garden = 0;
    uint8_t stat_grades[8] = {};
    uint8_t stat_levels[8] = {};
    uint16_t stat_points[8] = {};
    uint8_t stat_fractions[8] = {};
    int16_t happiness = 0;
    int16_t in_kindergarten = 0;
    int16_t clock_rollovers = 0;
    int16_t adult_clock_rollovers = 0;
    int16_t lifespan = 0;
    int16_t lifespan2 = 0;
    int16_t reincarnations = 0;
    uint8_t chao_id[20] = {};
    uint8_t egg_generation[8] = {};
    uint8_t parts_guard[8] = {};
    uint8_t zero_6e[2] = {};
    int32_t seed = 0;
    int32_t timescale_timer = 0;
    float power_run = 0;
    float fly_swim = 0;
    float alignment = 0;
    float last_life_alignment = 0;
    float progress = 0;
    uint8_t color = 0;
    uint8_t monotone_highlights = 0;
    uint8_t texture = 0;
    uint8_t shiny = 0;
    uint8_t egg_color = 0;
    uint8_t eye_type = 0;
    uint8_t mouth_type = 0;
    uint8_t ball_type = 0;
    uint8_t headgear = 0;
    uint8_t medal = 0;
    uint8_t hide_feet = 0;
    int8_t body_type = 0;
    int8_t body_type_animal = 0;
    uint8_t zero_99 = 0;
    int16_t doctor_medal = 0;
    uint32_t classroom_flags = 0;
    int8_t parts[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    uint32_t animal_behaviors = 0;
    int16_t conditions[11] = {};
    uint8_t joy = 0;
    uint8_t anger = 0;
    uint8_t fear = 0;
    uint8_t urge_to_cry = 0;
    uint8_t kindness = 0;
    uint8_t vitality = 0;
    uint8_t glutton = 0;
    uint8_t skillful = 0;
    uint8_t charm = 0;
    uint8_t chatty = 0;
    uint8_t curiosity = 0;
    uint8_t crybaby_energetic = 0;
    uint8_t naive_normal = 0;
    uint8_t solitude = 0;
    uint8_t regain = 0;
    uint8_t carefree = 0;
    uint8_t fickle = 0;
    uint8_t favorite_fruit = 0;
    uint8_t cough = 0;
    uint8_t cold = 0;
    uint8_t rash = 0;
    uint8_t runny_nose = 0;
    uint8_t hiccups = 0;
    uint8_t stomach_ache = 0;
    uint8_t zero_da[2] = {};
    uint32_t content_hash = 0;
};

static_assert(sizeof(ChaoImage) == 224, "ChaoImage is 224 bytes");
static_assert(alignof(ChaoImage) == 4);
static_assert(offsetof(ChaoImage, occupied) == 0x04 && offsetof(ChaoImage, name_raw) == 0x05);
static_assert(offsetof(ChaoImage, type) == 0x0C && offsetof(ChaoImage, garden) == 0x10);
static_assert(offsetof(ChaoImage, stat_grades) == 0x14 && offsetof(ChaoImage, stat_levels) == 0x1C);
static_assert(offsetof(ChaoImage, stat_points) == 0x24 && offsetof(ChaoImage, stat_fractions) == 0x34);
static_assert(offsetof(ChaoImage, happiness) == 0x3C && offsetof(ChaoImage, reincarnations) == 0x48);
static_assert(offsetof(ChaoImage, chao_id) == 0x4A && offsetof(ChaoImage, egg_generation) == 0x5E);
static_assert(offsetof(ChaoImage, parts_guard) == 0x66 && offsetof(ChaoImage, seed) == 0x70);
static_assert(offsetof(ChaoImage, timescale_timer) == 0x74 && offsetof(ChaoImage, power_run) == 0x78);
static_assert(offsetof(ChaoImage, progress) == 0x88 && offsetof(ChaoImage, color) == 0x8C);
static_assert(offsetof(ChaoImage, eye_type) == 0x91 && offsetof(ChaoImage, body_type_animal) == 0x98);
static_assert(offsetof(ChaoImage, doctor_medal) == 0x9A && offsetof(ChaoImage, classroom_flags) == 0x9C);
static_assert(offsetof(ChaoImage, parts) == 0xA0 && offsetof(ChaoImage, animal_behaviors) == 0xA8);
static_assert(offsetof(ChaoImage, conditions) == 0xAC && offsetof(ChaoImage, joy) == 0xC2);
static_assert(offsetof(ChaoImage, fear) == 0xC4 && offsetof(ChaoImage, urge_to_cry) == 0xC5);
static_assert(offsetof(ChaoImage, kindness) == 0xC6 && offsetof(ChaoImage, favorite_fruit) == 0xD3);
static_assert(offsetof(ChaoImage, cough) == 0xD4 && offsetof(ChaoImage, stomach_ache) == 0xD9);
static_assert(offsetof(ChaoImage, content_hash) == 0xDC);

using Fingerprint = std::array<uint8_t, 8>;

constexpr uint32_t kFnvBasis = 0x811C9DC5u;
constexpr uint32_t kFnvBasisReverse = 0x1F2BE47Cu;
constexpr uint32_t kFnvPrime = 0x01000193u;

// FNV-1a-32 continued from `h` over the bytes in order, or (`fnv1a_reverse`) from the last
// byte down to the first.
uint32_t fnv1a(uint32_t h, const void* data, size_t size);
uint32_t fnv1a_reverse(uint32_t h, const void* data, size_t size);

// What one slot's fingerprints were last computed from, so that a scan computes them again
// only when the identity bytes change (they rarely do; the rest of a record often does).
struct FingerprintMemo {
    bool valid = false;
    uint8_t chao_id[20];
    uint8_t name_raw[7];
    uint8_t reincarnations[2];
    uint8_t generation_block[164];
    uint8_t egg_generation[8];
    uint8_t parts_guard[8];
};

// Reads the record at `record` (0 for none) into `out`. True when the slot is occupied; the
// image is filled in every case. The caller makes sure the record's bytes are readable.
// `memo` (may be null) carries the slot's fingerprints from scan to scan; `previous` (may be
// null) is the slot's last image, whose hash is reused when the new image's bytes are the
// same. Neither changes the result.
bool read_chao_image(game_addr record, int32_t slot, ChaoImage& out, FingerprintMemo* memo = nullptr,
                     const ChaoImage* previous = nullptr);
// All zero for a null record.
Fingerprint egg_generation_of(game_addr record);
Fingerprint parts_guard_of(game_addr record);
// FNV-1a over image bytes 0x00 to 0xDB.
uint32_t image_content_hash(const ChaoImage& image);

// "Empty", "Egg", ..., "Amy"; "Unknown" outside 0 to 25.
const char* chao_type_name(int32_t type);
// Lower-case hexadecimal, two digits per byte, into `out` (2 x size characters, no terminator).
void hex_bytes(const uint8_t* data, size_t size, char* out);

// Appends the Chao object of one image (an array element: it takes its own comma).
void write_chao_object(JsonWriter& w, const ChaoImage& image);
