#include "snapshot/chao_record.h"

#include <cstring>

#include "snapshot/json_writer.h"

const char* const kStatNames[kStatCount] = {"swim", "fly", "run", "power", "stamina", "luck", "intelligence",
                                            "unknown"};
const char* const kPartNames[kPartCount] = {"arm", "ear", "forehead", "horn", "leg", "tail", "wing", "face"};
const char* const kConditionNames[kConditionCount] = {"sleepiness", "tiredness", "hunger", "mate_desire",
                                                      "boredom",    "lonely",    "tire",   "stress",
                                                      "nourish",    "conditn",   "energy"};

namespace {

const char* const kTypeNames[26] = {
    "Empty",        "Egg",        "Child",       "Good",          "Bad",        "Neutral Normal", "Hero Normal",
    "Dark Normal",  "Neutral Swim", "Hero Swim", "Dark Swim",     "Neutral Fly", "Hero Fly",      "Dark Fly",
    "Neutral Run",  "Hero Run",   "Dark Run",    "Neutral Power", "Hero Power", "Dark Power",     "Neutral Chaos",
    "Hero Chaos",   "Dark Chaos", "Tails",       "Knuckles",      "Amy"};

template <class T>
T take(const uint8_t* head, uint32_t offset) {
    T v;
    memcpy(&v, head + offset, sizeof v);
    return v;
}

void put_be(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

Fingerprint pack(uint32_t a, uint32_t b) {
    Fingerprint f{};
    put_be(f.data(), a);
    put_be(f.data() + 4, b);
    return f;
}

// Both fingerprints in one pass: the four FNV chains are independent, so running them side
// by side lets the processor overlap their multiplications. Same values as
// egg_generation_of and parts_guard_of.
void fingerprints(const uint8_t* r, uint8_t* egg, uint8_t* guard) {
    uint32_t ga = kFnvBasis, gb = kFnvBasisReverse;
    const uint8_t* id = r + ChaoRecord::chao_id;
    constexpr uint32_t kId = ChaoRecord::chao_id_size;
    for (uint32_t i = 0; i < kId; ++i) {
        ga = (ga ^ id[i]) * kFnvPrime;
        gb = (gb ^ id[kId - 1 - i]) * kFnvPrime;
    }
    const uint8_t* g = r + ChaoRecord::generation_block;
    constexpr uint32_t kGen = ChaoRecord::generation_block_size;
    uint32_t ea = kFnvBasis, eb = kFnvBasisReverse;
    for (uint32_t i = 0; i < kGen; ++i) {
        uint32_t forward = g[i], backward = g[kGen - 1 - i];
        ea = (ea ^ forward) * kFnvPrime;
        ga = (ga ^ forward) * kFnvPrime;
        eb = (eb ^ backward) * kFnvPrime;
        gb = (gb ^ backward) * kFnvPrime;
    }
    const uint8_t* name = r + ChaoRecord::name_raw;
    constexpr uint32_t kName = ChaoRecord::name_size;
    for (uint32_t i = 0; i < kName; ++i) {
        ga = (ga ^ name[i]) * kFnvPrime;
        gb = (gb ^ name[kName - 1 - i]) * kFnvPrime;
    }
    const uint8_t* reinc = r + ChaoRecord::reincarnations;
    ga = (ga ^ reinc[0]) * kFnvPrime;
    ga = (ga ^ reinc[1]) * kFnvPrime;
    gb = (gb ^ reinc[1]) * kFnvPrime;
    gb = (gb ^ reinc[0]) * kFnvPrime;
    put_be(egg, ea);
    put_be(egg + 4, eb);
    put_be(guard, ga);
    put_be(guard + 4, gb);
}

void key_hex(JsonWriter& w, const JsonKey& name, const uint8_t* data, size_t size) {
    char buf[40];
    hex_bytes(data, size, buf);
    w.key(name);
    w.write_string(buf, size * 2);
}

// The object's fixed keys, each escaped once per process (one static per use).
#define KEY(literal) ([]() -> const JsonKey& { static const JsonKey k = make_json_key(literal); return k; }())

template <size_t N>
std::array<JsonKey, N> keys_of(const char* const (&names)[N]) {
    std::array<JsonKey, N> out;
    for (size_t i = 0; i < N; ++i) out[i] = make_json_key(names[i]);
    return out;
}

}  // namespace

uint32_t fnv1a(uint32_t h, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

uint32_t fnv1a_reverse(uint32_t h, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = size; i > 0; --i) h = (h ^ p[i - 1]) * kFnvPrime;
    return h;
}

Fingerprint egg_generation_of(game_addr record) {
    if (record == 0) return Fingerprint{};
    const uint8_t* block = game::game_ptr<const uint8_t>(record + ChaoRecord::generation_block);
    return pack(fnv1a(kFnvBasis, block, ChaoRecord::generation_block_size),
                fnv1a_reverse(kFnvBasisReverse, block, ChaoRecord::generation_block_size));
}

Fingerprint parts_guard_of(game_addr record) {
    if (record == 0) return Fingerprint{};
    const uint8_t* r = game::game_ptr<const uint8_t>(record);
    uint32_t a = kFnvBasis;
    a = fnv1a(a, r + ChaoRecord::chao_id, ChaoRecord::chao_id_size);
    a = fnv1a(a, r + ChaoRecord::generation_block, ChaoRecord::generation_block_size);
    a = fnv1a(a, r + ChaoRecord::name_raw, ChaoRecord::name_size);
    a = fnv1a(a, r + ChaoRecord::reincarnations, 2);
    uint32_t b = kFnvBasisReverse;
    b = fnv1a_reverse(b, r + ChaoRecord::chao_id, ChaoRecord::chao_id_size);
    b = fnv1a_reverse(b, r + ChaoRecord::generation_block, ChaoRecord::generation_block_size);
    b = fnv1a_reverse(b, r + ChaoRecord::name_raw, ChaoRecord::name_size);
    b = fnv1a_reverse(b, r + ChaoRecord::reincarnations, 2);
    return pack(a, b);
}

uint32_t image_content_hash(const ChaoImage& image) {
    return fnv1a(kFnvBasis, &image, offsetof(ChaoImage, content_hash));
}

namespace {

void finish_hash(ChaoImage& out, const ChaoImage* previous) {
    constexpr size_t kHashed = offsetof(ChaoImage, content_hash);
    if (previous && previous->slot == out.slot && memcmp(previous, &out, kHashed) == 0)
        out.content_hash = previous->content_hash;
    else
        out.content_hash = image_content_hash(out);
}

void fill_fingerprints(const uint8_t* r, ChaoImage& out, FingerprintMemo* memo) {
    const uint8_t* gen = r + ChaoRecord::generation_block;
    if (memo && memo->valid && memcmp(memo->chao_id, r + ChaoRecord::chao_id, sizeof memo->chao_id) == 0 &&
        memcmp(memo->name_raw, r + ChaoRecord::name_raw, sizeof memo->name_raw) == 0 &&
        memcmp(memo->reincarnations, r + ChaoRecord::reincarnations, 2) == 0 &&
        memcmp(memo->generation_block, gen, sizeof memo->generation_block) == 0) {
        memcpy(out.egg_generation, memo->egg_generation, 8);
        memcpy(out.parts_guard, memo->parts_guard, 8);
        return;
    }
    fingerprints(r, out.egg_generation, out.parts_guard);
    if (!memo) return;
    memcpy(memo->chao_id, r + ChaoRecord::chao_id, sizeof memo->chao_id);
    memcpy(memo->name_raw, r + ChaoRecord::name_raw, sizeof memo->name_raw);
    memcpy(memo->reincarnations, r + ChaoRecord::reincarnations, 2);
    memcpy(memo->generation_block, gen, sizeof memo->generation_block);
    memcpy(memo->egg_generation, out.egg_generation, 8);
    memcpy(memo->parts_guard, out.parts_guard, 8);
    memo->valid = true;
}

}  // namespace

bool read_chao_image(game_addr record, int32_t slot, ChaoImage& out, FingerprintMemo* memo,
                     const ChaoImage* previous) {
    out = ChaoImage{};
    out.slot = slot;
    if (record == 0) return false;
    int8_t type = game::read<int8_t>(record + ChaoRecord::type);
    if (type == 0) {
        finish_hash(out, previous);
        return false;
    }
    // One copy of the part of the record the image takes, then plain field moves.
    uint8_t head[ChaoRecord::head_size];
    memcpy(head, game::game_ptr<const uint8_t>(record), sizeof head);

    out.occupied = 1;
    memcpy(out.name_raw, head + ChaoRecord::name_raw, sizeof out.name_raw);
    out.type = type;
    out.garden = take<int8_t>(head, ChaoRecord::garden);
    memcpy(out.stat_grades, head + ChaoRecord::stat_grades, 8);
    memcpy(out.stat_levels, head + ChaoRecord::stat_levels, 8);
    memcpy(out.stat_points, head + ChaoRecord::stat_points, 16);
    memcpy(out.stat_fractions, head + ChaoRecord::stat_fractions, 8);
    out.happiness = take<int16_t>(head, ChaoRecord::happiness);
    out.in_kindergarten = take<int16_t>(head, ChaoRecord::in_kindergarten);
    out.clock_rollovers = take<int16_t>(head, ChaoRecord::clock_rollovers);
    out.adult_clock_rollovers = take<int16_t>(head, ChaoRecord::adult_clock_rollovers);
    out.lifespan = take<int16_t>(head, ChaoRecord::lifespan);
    out.lifespan2 = take<int16_t>(head, ChaoRecord::lifespan2);
    out.reincarnations = take<int16_t>(head, ChaoRecord::reincarnations);
    memcpy(out.chao_id, head + ChaoRecord::chao_id, sizeof out.chao_id);
    fill_fingerprints(game::game_ptr<const uint8_t>(record), out, memo);
    out.seed = take<int32_t>(head, ChaoRecord::seed);
    out.timescale_timer = take<int32_t>(head, ChaoRecord::timescale_timer);
    out.power_run = take<float>(head, ChaoRecord::power_run);
    out.fly_swim = take<float>(head, ChaoRecord::fly_swim);
    out.alignment = take<float>(head, ChaoRecord::alignment);
    out.last_life_alignment = take<float>(head, ChaoRecord::last_life_alignment);
    out.progress = take<float>(head, ChaoRecord::progress);
    out.color = head[ChaoRecord::color];
    out.monotone_highlights = head[ChaoRecord::monotone_highlights];
    out.texture = head[ChaoRecord::texture];
    out.shiny = head[ChaoRecord::shiny];
    out.egg_color = head[ChaoRecord::egg_color];
    out.eye_type = head[ChaoRecord::eye_type];
    out.mouth_type = head[ChaoRecord::mouth_type];
    out.ball_type = head[ChaoRecord::ball_type];
    out.headgear = head[ChaoRecord::headgear];
    out.medal = head[ChaoRecord::medal];
    out.hide_feet = head[ChaoRecord::hide_feet];
    out.body_type = take<int8_t>(head, ChaoRecord::body_type);
    out.body_type_animal = take<int8_t>(head, ChaoRecord::body_type_animal);
    out.doctor_medal = take<int16_t>(head, ChaoRecord::doctor_medal);
    out.classroom_flags = take<uint32_t>(head, ChaoRecord::classroom_flags);
    memcpy(out.parts, head + ChaoRecord::parts, sizeof out.parts);
    out.animal_behaviors = take<uint32_t>(head, ChaoRecord::animal_behaviors) & ChaoRecord::animal_behaviors_mask;
    memcpy(out.conditions, head + ChaoRecord::conditions, sizeof out.conditions);
    out.joy = head[ChaoRecord::joy];
    out.anger = head[ChaoRecord::anger];
    out.fear = head[ChaoRecord::fear];
    out.urge_to_cry = head[ChaoRecord::urge_to_cry];
    out.kindness = head[ChaoRecord::kindness];
    out.vitality = head[ChaoRecord::vitality];
    out.glutton = head[ChaoRecord::glutton];
    out.skillful = head[ChaoRecord::skillful];
    out.charm = head[ChaoRecord::charm];
    out.chatty = head[ChaoRecord::chatty];
    out.curiosity = head[ChaoRecord::curiosity];
    out.crybaby_energetic = head[ChaoRecord::crybaby_energetic];
    out.naive_normal = head[ChaoRecord::naive_normal];
    out.solitude = head[ChaoRecord::solitude];
    out.regain = head[ChaoRecord::regain];
    out.carefree = head[ChaoRecord::carefree];
    out.fickle = head[ChaoRecord::fickle];
    out.favorite_fruit = head[ChaoRecord::favorite_fruit];
    out.cough = head[ChaoRecord::cough];
    out.cold = head[ChaoRecord::cold];
    out.rash = head[ChaoRecord::rash];
    out.runny_nose = head[ChaoRecord::runny_nose];
    out.hiccups = head[ChaoRecord::hiccups];
    out.stomach_ache = head[ChaoRecord::stomach_ache];
    finish_hash(out, previous);
    return true;
}

const char* chao_type_name(int32_t type) {
    return type >= 0 && type <= 25 ? kTypeNames[type] : "Unknown";
}

void hex_bytes(const uint8_t* data, size_t size, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kHex[data[i] >> 4];
        out[2 * i + 1] = kHex[data[i] & 15];
    }
}

void write_chao_object(JsonWriter& w, const ChaoImage& c) {
    w.begin_object();
    w.key_int(KEY("slot"), c.slot);
    w.key_int(KEY("garden"), c.garden);
    w.key_int(KEY("type"), c.type);
    w.key(KEY("type_name"));
    w.write_string(chao_type_name(c.type));
    key_hex(w, KEY("name_raw"), c.name_raw, sizeof c.name_raw);
    key_hex(w, KEY("chao_id"), c.chao_id, sizeof c.chao_id);
    key_hex(w, KEY("parts_guard"), c.parts_guard, sizeof c.parts_guard);
    if (c.type == 1 || c.type == 2) key_hex(w, KEY("egg_generation"), c.egg_generation, sizeof c.egg_generation);
    w.key_uint(KEY("content_hash"), c.content_hash);

    static const auto stat_keys = keys_of(kStatNames);
    static const auto part_keys = keys_of(kPartNames);
    static const auto condition_keys = keys_of(kConditionNames);
    w.key_object(KEY("stats"));
    for (int i = 0; i < kStatCount; ++i) {
        w.key_object(stat_keys[static_cast<size_t>(i)]);
        w.key_int(KEY("grade"), c.stat_grades[i]);
        w.key_int(KEY("level"), c.stat_levels[i]);
        w.key_int(KEY("points"), static_cast<int16_t>(c.stat_points[i]));
        w.key_int(KEY("fraction"), c.stat_fractions[i]);
        w.end_object();
    }
    w.end_object();

    w.key_object(KEY("life"));
    w.key_int(KEY("happiness"), c.happiness);
    w.key_int(KEY("in_kindergarten"), c.in_kindergarten);
    w.key_int(KEY("clock_rollovers"), c.clock_rollovers);
    w.key_int(KEY("adult_clock_rollovers"), c.adult_clock_rollovers);
    w.key_int(KEY("lifespan"), c.lifespan);
    w.key_int(KEY("lifespan2"), c.lifespan2);
    w.key_int(KEY("reincarnations"), c.reincarnations);
    w.key_int(KEY("seed"), c.seed);
    w.key_int(KEY("timescale_timer"), c.timescale_timer);
    w.key_uint(KEY("classroom_flags"), c.classroom_flags);
    w.end_object();

    w.key_object(KEY("evolution"));
    w.key_float(KEY("power_run"), c.power_run);
    w.key_float(KEY("fly_swim"), c.fly_swim);
    w.key_float(KEY("alignment"), c.alignment);
    w.key_float(KEY("last_life_alignment"), c.last_life_alignment);
    w.key_float(KEY("progress"), c.progress);
    w.end_object();

    w.key_object(KEY("appearance"));
    w.key_int(KEY("color"), c.color);
    w.key_int(KEY("monotone_highlights"), c.monotone_highlights);
    w.key_int(KEY("texture"), c.texture);
    w.key_int(KEY("shiny"), c.shiny);
    w.key_int(KEY("egg_color"), c.egg_color);
    w.key_int(KEY("eye_type"), c.eye_type);
    w.key_int(KEY("mouth_type"), c.mouth_type);
    w.key_int(KEY("ball_type"), c.ball_type);
    w.key_int(KEY("headgear"), c.headgear);
    w.key_int(KEY("medal"), c.medal);
    w.key_int(KEY("hide_feet"), c.hide_feet);
    w.key_int(KEY("body_type"), c.body_type);
    w.key_int(KEY("body_type_animal"), c.body_type_animal);
    w.key_int(KEY("doctor_medal"), c.doctor_medal);
    w.end_object();

    w.key_object(KEY("parts"));
    for (int i = 0; i < kPartCount; ++i) w.key_int(part_keys[static_cast<size_t>(i)], c.parts[i]);
    w.end_object();

    w.key_uint(KEY("animal_behaviors"), c.animal_behaviors);

    w.key_object(KEY("condition"));
    for (int i = 0; i < kConditionCount; ++i) w.key_int(condition_keys[static_cast<size_t>(i)], c.conditions[i]);
    w.key_int(KEY("joy"), c.joy);
    w.key_int(KEY("anger"), c.anger);
    w.key_int(KEY("fear"), c.fear);
    w.key_int(KEY("urge_to_cry"), c.urge_to_cry);
    w.end_object();

    w.key_object(KEY("personality"));
    w.key_int(KEY("kindness"), c.kindness);
    w.key_int(KEY("vitality"), c.vitality);
    w.key_int(KEY("glutton"), c.glutton);
    w.key_int(KEY("skillful"), c.skillful);
    w.key_int(KEY("charm"), c.charm);
    w.key_int(KEY("chatty"), c.chatty);
    w.key_int(KEY("curiosity"), c.curiosity);
    w.key_int(KEY("crybaby_energetic"), c.crybaby_energetic);
    w.key_int(KEY("naive_normal"), c.naive_normal);
    w.key_int(KEY("solitude"), c.solitude);
    w.key_int(KEY("regain"), c.regain);
    w.key_int(KEY("carefree"), c.carefree);
    w.key_int(KEY("fickle"), c.fickle);
    w.key_int(KEY("favorite_fruit"), c.favorite_fruit);
    w.end_object();

    w.key_object(KEY("illness"));
    w.key_int(KEY("cough"), c.cough);
    w.key_int(KEY("cold"), c.cold);
    w.key_int(KEY("rash"), c.rash);
    w.key_int(KEY("runny_nose"), c.runny_nose);
    w.key_int(KEY("hiccups"), c.hiccups);
    w.key_int(KEY("stomach_ache"), c.stomach_ache);
    w.end_object();

    w.end_object();
}
