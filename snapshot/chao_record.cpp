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

void key_hex(JsonWriter& w, const char* name, const uint8_t* data, size_t size) {
    char buf[40];
    hex_bytes(data, size, buf);
    w.key(name);
    w.write_string(buf, size * 2);
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

bool read_chao_image(game_addr record, int32_t slot, ChaoImage& out) {
    out = ChaoImage{};
    out.slot = slot;
    if (record == 0) return false;
    int8_t type = game::read<int8_t>(record + ChaoRecord::type);
    if (type == 0) {
        out.content_hash = image_content_hash(out);
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
    Fingerprint gen = egg_generation_of(record);
    Fingerprint guard = parts_guard_of(record);
    memcpy(out.egg_generation, gen.data(), 8);
    memcpy(out.parts_guard, guard.data(), 8);
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
    out.content_hash = image_content_hash(out);
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
    w.key_int("slot", c.slot);
    w.key_int("garden", c.garden);
    w.key_int("type", c.type);
    w.key_string("type_name", chao_type_name(c.type));
    key_hex(w, "name_raw", c.name_raw, sizeof c.name_raw);
    key_hex(w, "chao_id", c.chao_id, sizeof c.chao_id);
    key_hex(w, "parts_guard", c.parts_guard, sizeof c.parts_guard);
    if (c.type == 1 || c.type == 2) key_hex(w, "egg_generation", c.egg_generation, sizeof c.egg_generation);
    w.key_uint("content_hash", c.content_hash);

    w.key_object("stats");
    for (int i = 0; i < kStatCount; ++i) {
        w.key_object(kStatNames[i]);
        w.key_int("grade", c.stat_grades[i]);
        w.key_int("level", c.stat_levels[i]);
        w.key_int("points", static_cast<int16_t>(c.stat_points[i]));
        w.key_int("fraction", c.stat_fractions[i]);
        w.end_object();
    }
    w.end_object();

    w.key_object("life");
    w.key_int("happiness", c.happiness);
    w.key_int("in_kindergarten", c.in_kindergarten);
    w.key_int("clock_rollovers", c.clock_rollovers);
    w.key_int("adult_clock_rollovers", c.adult_clock_rollovers);
    w.key_int("lifespan", c.lifespan);
    w.key_int("lifespan2", c.lifespan2);
    w.key_int("reincarnations", c.reincarnations);
    w.key_int("seed", c.seed);
    w.key_int("timescale_timer", c.timescale_timer);
    w.key_uint("classroom_flags", c.classroom_flags);
    w.end_object();

    w.key_object("evolution");
    w.key_float("power_run", c.power_run);
    w.key_float("fly_swim", c.fly_swim);
    w.key_float("alignment", c.alignment);
    w.key_float("last_life_alignment", c.last_life_alignment);
    w.key_float("progress", c.progress);
    w.end_object();

    w.key_object("appearance");
    w.key_int("color", c.color);
    w.key_int("monotone_highlights", c.monotone_highlights);
    w.key_int("texture", c.texture);
    w.key_int("shiny", c.shiny);
    w.key_int("egg_color", c.egg_color);
    w.key_int("eye_type", c.eye_type);
    w.key_int("mouth_type", c.mouth_type);
    w.key_int("ball_type", c.ball_type);
    w.key_int("headgear", c.headgear);
    w.key_int("medal", c.medal);
    w.key_int("hide_feet", c.hide_feet);
    w.key_int("body_type", c.body_type);
    w.key_int("body_type_animal", c.body_type_animal);
    w.key_int("doctor_medal", c.doctor_medal);
    w.end_object();

    w.key_object("parts");
    for (int i = 0; i < kPartCount; ++i) w.key_int(kPartNames[i], c.parts[i]);
    w.end_object();

    w.key_uint("animal_behaviors", c.animal_behaviors);

    w.key_object("condition");
    for (int i = 0; i < kConditionCount; ++i) w.key_int(kConditionNames[i], c.conditions[i]);
    w.key_int("joy", c.joy);
    w.key_int("anger", c.anger);
    w.key_int("fear", c.fear);
    w.key_int("urge_to_cry", c.urge_to_cry);
    w.end_object();

    w.key_object("personality");
    w.key_int("kindness", c.kindness);
    w.key_int("vitality", c.vitality);
    w.key_int("glutton", c.glutton);
    w.key_int("skillful", c.skillful);
    w.key_int("charm", c.charm);
    w.key_int("chatty", c.chatty);
    w.key_int("curiosity", c.curiosity);
    w.key_int("crybaby_energetic", c.crybaby_energetic);
    w.key_int("naive_normal", c.naive_normal);
    w.key_int("solitude", c.solitude);
    w.key_int("regain", c.regain);
    w.key_int("carefree", c.carefree);
    w.key_int("fickle", c.fickle);
    w.key_int("favorite_fruit", c.favorite_fruit);
    w.end_object();

    w.key_object("illness");
    w.key_int("cough", c.cough);
    w.key_int("cold", c.cold);
    w.key_int("rash", c.rash);
    w.key_int("runny_nose", c.runny_nose);
    w.key_int("hiccups", c.hiccups);
    w.key_int("stomach_ache", c.stomach_ache);
    w.end_object();

    w.end_object();
}
