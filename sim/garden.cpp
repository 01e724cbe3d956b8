#include "sim/garden.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/sim.h"
#include "snapshot/chao_record.h"

namespace sim {
namespace {

enum class Width { B1, B2, B4, F32, Bytes };

struct Field {
    std::string name;
    uint32_t offset;
    Width width;
    uint32_t size;  // for Bytes: the most that may be written
};

const std::vector<Field>& fields() {
    static const std::vector<Field> table = [] {
        using R = ChaoRecord;
        std::vector<Field> t = {
            {"name_raw", R::name_raw, Width::Bytes, R::name_size},
            {"chao_id", R::chao_id, Width::Bytes, R::chao_id_size},
            {"generation_block", R::generation_block, Width::Bytes, R::generation_block_size},
            {"garden", R::garden, Width::B1, 1},
            {"happiness", R::happiness, Width::B2, 2},
            {"in_kindergarten", R::in_kindergarten, Width::B2, 2},
            {"clock_rollovers", R::clock_rollovers, Width::B2, 2},
            {"adult_clock_rollovers", R::adult_clock_rollovers, Width::B2, 2},
            {"lifespan", R::lifespan, Width::B2, 2},
            {"lifespan2", R::lifespan2, Width::B2, 2},
            {"reincarnations", R::reincarnations, Width::B2, 2},
            {"seed", R::seed, Width::B4, 4},
            {"timescale_timer", R::timescale_timer, Width::B4, 4},
            {"classroom_flags", R::classroom_flags, Width::B4, 4},
            {"power_run", R::power_run, Width::F32, 4},
            {"fly_swim", R::fly_swim, Width::F32, 4},
            {"alignment", R::alignment, Width::F32, 4},
            {"last_life_alignment", R::last_life_alignment, Width::F32, 4},
            {"progress", R::progress, Width::F32, 4},
            {"color", R::color, Width::B1, 1},
            {"monotone_highlights", R::monotone_highlights, Width::B1, 1},
            {"texture", R::texture, Width::B1, 1},
            {"shiny", R::shiny, Width::B1, 1},
            {"egg_color", R::egg_color, Width::B1, 1},
            {"eye_type", R::eye_type, Width::B1, 1},
            {"mouth_type", R::mouth_type, Width::B1, 1},
            {"ball_type", R::ball_type, Width::B1, 1},
            {"headgear", R::headgear, Width::B1, 1},
            {"medal", R::medal, Width::B1, 1},
            {"hide_feet", R::hide_feet, Width::B1, 1},
            {"body_type", R::body_type, Width::B1, 1},
            {"body_type_animal", R::body_type_animal, Width::B1, 1},
            {"doctor_medal", R::doctor_medal, Width::B2, 2},
            {"animal_behaviors", R::animal_behaviors, Width::B4, 4},
            {"joy", R::joy, Width::B1, 1},
            {"anger", R::anger, Width::B1, 1},
            {"urge_to_cry", R::urge_to_cry, Width::B1, 1},
            {"fear", R::fear, Width::B1, 1},
            {"curiosity", R::curiosity, Width::B1, 1},
            {"kindness", R::kindness, Width::B1, 1},
            {"crybaby_energetic", R::crybaby_energetic, Width::B1, 1},
            {"naive_normal", R::naive_normal, Width::B1, 1},
            {"solitude", R::solitude, Width::B1, 1},
            {"vitality", R::vitality, Width::B1, 1},
            {"glutton", R::glutton, Width::B1, 1},
            {"regain", R::regain, Width::B1, 1},
            {"skillful", R::skillful, Width::B1, 1},
            {"charm", R::charm, Width::B1, 1},
            {"chatty", R::chatty, Width::B1, 1},
            {"carefree", R::carefree, Width::B1, 1},
            {"fickle", R::fickle, Width::B1, 1},
            {"favorite_fruit", R::favorite_fruit, Width::B1, 1},
            {"cough", R::cough, Width::B1, 1},
            {"cold", R::cold, Width::B1, 1},
            {"rash", R::rash, Width::B1, 1},
            {"runny_nose", R::runny_nose, Width::B1, 1},
            {"hiccups", R::hiccups, Width::B1, 1},
            {"stomach_ache", R::stomach_ache, Width::B1, 1},
        };
        for (uint32_t i = 0; i < kStatCount; ++i) {
            std::string s = kStatNames[i];
            t.push_back({s + ".grade", R::stat_grades + i, Width::B1, 1});
            t.push_back({s + ".level", R::stat_levels + i, Width::B1, 1});
            t.push_back({s + ".points", R::stat_points + 2 * i, Width::B2, 2});
            t.push_back({s + ".fraction", R::stat_fractions + i, Width::B1, 1});
        }
        for (uint32_t i = 0; i < kPartCount; ++i) t.push_back({kPartNames[i], R::parts + i, Width::B1, 1});
        for (uint32_t i = 0; i < kConditionCount; ++i)
            t.push_back({kConditionNames[i], R::conditions + 2 * i, Width::B2, 2});
        return t;
    }();
    return table;
}

const Field* find_field(const std::string& name) {
    for (const Field& f : fields())
        if (f.name == name) return &f;
    return nullptr;
}

bool parse_int(const std::string& text, int64_t lo, int64_t hi, int64_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parse_float(const std::string& text, float& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    float v = strtof(text.c_str(), &end);
    if (!end || *end != '\0') return false;
    out = v;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

std::string hex_text(const uint8_t* data, size_t size) {
    std::string s(size * 2, '0');
    hex_bytes(data, size, s.data());
    return s;
}

// A record being put together before anything is written to the game.
struct PendingRecord {
    uint8_t bytes[ChaoRecord::size];
};

void put(uint8_t* rec, uint32_t offset, const void* data, size_t size) { memcpy(rec + offset, data, size); }

// Identity bytes that differ from slot to slot, so a garden built without them still has
// distinct Chao.
void default_identity(int32_t slot, uint8_t* rec) {
    uint32_t h = fnv1a(kFnvBasis, &slot, sizeof slot);
    for (uint32_t i = 0; i < ChaoRecord::chao_id_size; ++i) {
        h = (h ^ i) * kFnvPrime;
        rec[ChaoRecord::chao_id + i] = static_cast<uint8_t>(h >> 8);
    }
    for (uint32_t i = 0; i < ChaoRecord::generation_block_size; ++i) {
        h = (h ^ (i + 0x55)) * kFnvPrime;
        rec[ChaoRecord::generation_block + i] = static_cast<uint8_t>(h >> 16);
    }
}

bool apply_field(uint8_t* rec, const std::string& name, const std::string& value, std::string& error) {
    auto refuse = [&](const char* why) {
        error = "field " + name + "=" + value + ": " + why;
        return false;
    };
    if (name.rfind("raw.", 0) == 0) {
        int64_t offset = 0;
        std::vector<uint8_t> bytes;
        if (!parse_int(name.substr(4), 0, ChaoRecord::size - 1, offset)) return refuse("offset is not 0 to 0x7ff");
        if (!parse_hex(value, bytes)) return refuse("not hexadecimal bytes");
        if (static_cast<uint64_t>(offset) + bytes.size() > ChaoRecord::size) return refuse("past the record's end");
        put(rec, static_cast<uint32_t>(offset), bytes.data(), bytes.size());
        return true;
    }
    const Field* f = find_field(name);
    if (!f) return refuse("no such field");
    int64_t v = 0;
    switch (f->width) {
        case Width::B1:
            if (!parse_int(value, -128, 255, v)) return refuse("not a number from -128 to 255");
            rec[f->offset] = static_cast<uint8_t>(v);
            return true;
        case Width::B2: {
            if (!parse_int(value, -32768, 65535, v)) return refuse("not a number from -32768 to 65535");
            uint16_t w = static_cast<uint16_t>(v);
            put(rec, f->offset, &w, 2);
            return true;
        }
        case Width::B4: {
            if (!parse_int(value, INT32_MIN, UINT32_MAX, v)) return refuse("not a 32-bit number");
            uint32_t w = static_cast<uint32_t>(v);
            put(rec, f->offset, &w, 4);
            return true;
        }
        case Width::F32: {
            float x = 0;
            if (!parse_float(value, x)) return refuse("not a number");
            put(rec, f->offset, &x, 4);
            return true;
        }
        case Width::Bytes: {
            std::vector<uint8_t> bytes;
            if (!parse_hex(value, bytes)) return refuse("not hexadecimal bytes");
            if (bytes.size() > f->size) return refuse("too many bytes");
            memset(rec + f->offset, 0, f->size);
            put(rec, f->offset, bytes.data(), bytes.size());
            return true;
        }
    }
    return refuse("no such field");
}

bool compose(const ChaoSpec& c, PendingRecord& out, std::string& error) {
    if (c.slot < 0 || c.slot >= game::kChaoSlotCount) {
        error = "slot " + std::to_string(c.slot) + " is not 0 to 36";
        return false;
    }
    if (c.type < -128 || c.type > 255) {
        error = "slot " + std::to_string(c.slot) + ": type " + std::to_string(c.type) + " is not a byte";
        return false;
    }
    memset(out.bytes, 0, sizeof out.bytes);
    if (c.type != 0) {
        out.bytes[ChaoRecord::type] = static_cast<uint8_t>(c.type);
        out.bytes[ChaoRecord::garden] = 1;
        memset(out.bytes + ChaoRecord::parts, 0xFF, kPartCount);
        default_identity(c.slot, out.bytes);
    }
    for (const auto& [name, value] : c.fields) {
        if (!apply_field(out.bytes, name, value, error)) {
            error = "slot " + std::to_string(c.slot) + ": " + error;
            return false;
        }
    }
    return true;
}

void tree_bytes(const TreeSpec& t, uint8_t* raw) {
    raw[0] = t.kind;
    raw[1] = t.state;
    raw[2] = t.growth;
    raw[3] = t.water;
    for (int i = 0; i < 3; ++i) raw[4 + i] = static_cast<uint8_t>(t.fruit_growth[i]);
    raw[7] = t.rotation;
}

std::string lower_dashed(const char* name) {
    std::string s;
    for (const char* p = name; *p; ++p) s += *p == ' ' ? '-' : static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return s;
}

bool parse_type(const std::string& word, int32_t& type) {
    int64_t v = 0;
    if (parse_int(word, -128, 255, v)) {
        type = static_cast<int32_t>(v);
        return true;
    }
    std::string w;
    for (char ch : word) w += ch == '_' ? '-' : static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    for (int32_t t = 0; t <= 25; ++t) {
        if (lower_dashed(chao_type_name(t)) == w) {
            type = t;
            return true;
        }
    }
    return false;
}

bool parse_tree(const std::vector<std::string>& words, TreeSpec& t, std::string& error) {
    int64_t v = 0;
    if (words.size() < 2 || !parse_int(words[1], 0, game::kTreeCount - 1, v)) {
        error = "tree index is not 0 to 20";
        return false;
    }
    t = TreeSpec{};
    t.index = static_cast<int32_t>(v);
    for (size_t i = 2; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        std::string key = words[i].substr(0, eq), value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
        auto byte = [&](uint8_t& out) {
            if (!parse_int(value, -128, 255, v)) return false;
            out = static_cast<uint8_t>(v);
            return true;
        };
        bool ok = false;
        if (key == "kind") ok = byte(t.kind);
        else if (key == "state") ok = byte(t.state);
        else if (key == "growth") ok = byte(t.growth);
        else if (key == "water") ok = byte(t.water);
        else if (key == "rotation") ok = byte(t.rotation);
        else if (key == "fruit") {
            std::vector<std::string> parts;
            std::stringstream ss(value);
            std::string part;
            while (std::getline(ss, part, ',')) parts.push_back(part);
            ok = parts.size() == 3;
            for (int k = 0; ok && k < 3; ++k) {
                uint8_t b = 0;
                value = parts[static_cast<size_t>(k)];
                ok = byte(b);
                t.fruit_growth[k] = static_cast<int8_t>(b);
            }
        } else if (key == "raw") {
            std::vector<uint8_t> bytes;
            ok = parse_hex(value, bytes) && bytes.size() == 8;
            if (ok) {
                t.kind = bytes[0];
                t.state = bytes[1];
                t.growth = bytes[2];
                t.water = bytes[3];
                for (int k = 0; k < 3; ++k) t.fruit_growth[k] = static_cast<int8_t>(bytes[4 + static_cast<size_t>(k)]);
                t.rotation = bytes[7];
            }
        }
        if (!ok) {
            error = "tree " + std::to_string(t.index) + ": cannot use '" + words[i] + "'";
            return false;
        }
    }
    return true;
}

}  // namespace

const char kGardenSaveHeader[49] = "SONIC ADVENTURE 2 BATTLE        CHAO GARDEN DATA";

ChaoSpec& ChaoSpec::set(const std::string& field, const std::string& value) {
    fields.emplace_back(field, value);
    return *this;
}

ChaoSpec& ChaoSpec::set(const std::string& field, int64_t value) { return set(field, std::to_string(value)); }

ChaoSpec& ChaoSpec::set_float(const std::string& field, float value) {
    char buf[64];
    if (std::isnan(value)) snprintf(buf, sizeof buf, "nan");
    else if (std::isinf(value)) snprintf(buf, sizeof buf, value > 0 ? "inf" : "-inf");
    else snprintf(buf, sizeof buf, "%.9g", static_cast<double>(value));
    return set(field, std::string(buf));
}

ChaoSpec& ChaoSpec::set_bytes(const std::string& field, const std::vector<uint8_t>& bytes) {
    return set(field, hex_text(bytes.data(), bytes.size()));
}

bool write_chao(const ChaoSpec& c, std::string& error) {
    PendingRecord rec;
    if (!compose(c, rec, error)) return false;
    poke(game::addr::chao_slots + static_cast<uint32_t>(c.slot) * ChaoRecord::size, rec.bytes, sizeof rec.bytes);
    return true;
}

void write_tree(const TreeSpec& t) {
    if (t.index < 0 || t.index >= game::kTreeCount) return;
    uint8_t raw[8];
    tree_bytes(t, raw);
    poke(game::addr::trees + static_cast<uint32_t>(t.index) * game::kTreeRecordSize, raw, sizeof raw);
}

void write_garden_context(const GardenDescription& g) {
    bool in_garden = g.garden >= 1 && g.garden <= 3;
    uint16_t level = in_garden ? game::kGardenLevel : 0;
    uint16_t state = in_garden ? 16 : 0;
    poke(game::addr::level, &level, 2);
    poke(game::addr::game_state, &state, 2);
    world().garden = g.garden;
    uint32_t character_data = 0;
    peek(game::addr::character_data, &character_data, 4);
    if (in_garden && character_data == 0) {
        character_data = alloc(0x100);
        poke(game::addr::character_data, &character_data, 4);
    }
    poke(game::addr::active_character, &g.character, 4);
    poke(game::addr::rings, &g.rings, 4);
    uint8_t emblems = static_cast<uint8_t>(g.emblems);
    poke(game::addr::emblems, &emblems, 1);
    poke(game::addr::lobby_unlocks, &g.lobby_unlocks, 4);
}

bool build_garden(const GardenDescription& g, std::string& error) {
    std::vector<PendingRecord> records(game::kChaoSlotCount);
    std::vector<bool> seen(game::kChaoSlotCount, false);
    for (PendingRecord& r : records) memset(r.bytes, 0, sizeof r.bytes);
    for (const ChaoSpec& c : g.chao) {
        if (!compose(c, records[static_cast<size_t>(c.slot < 0 ? 0 : c.slot % game::kChaoSlotCount)], error))
            return false;
        if (seen[static_cast<size_t>(c.slot)]) {
            error = "slot " + std::to_string(c.slot) + " is described twice";
            return false;
        }
        seen[static_cast<size_t>(c.slot)] = true;
    }
    uint8_t plots[game::kTreeCount][8] = {};
    std::vector<bool> tree_seen(game::kTreeCount, false);
    for (const TreeSpec& t : g.trees) {
        if (t.index < 0 || t.index >= game::kTreeCount) {
            error = "tree index " + std::to_string(t.index) + " is not 0 to 20";
            return false;
        }
        if (tree_seen[static_cast<size_t>(t.index)]) {
            error = "tree " + std::to_string(t.index) + " is described twice";
            return false;
        }
        tree_seen[static_cast<size_t>(t.index)] = true;
        tree_bytes(t, plots[t.index]);
    }
    if (g.emblems < 0 || g.emblems > 255) {
        error = "emblems " + std::to_string(g.emblems) + " is not 0 to 255";
        return false;
    }
    for (int i = 0; i < game::kChaoSlotCount; ++i)
        poke(game::addr::chao_slots + static_cast<uint32_t>(i) * ChaoRecord::size, records[static_cast<size_t>(i)].bytes,
             ChaoRecord::size);
    poke(game::addr::trees, plots, sizeof plots);
    write_garden_context(g);
    return true;
}

bool parse_garden_description(const std::string& text, GardenDescription& out, std::string& error) {
    GardenDescription g;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words_in(line);
        std::vector<std::string> words;
        for (std::string w; words_in >> w;) words.push_back(w);
        if (words.empty()) continue;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        const std::string& what = words[0];
        int64_t v = 0;
        if (what == "garden" || what == "character" || what == "rings" || what == "emblems" ||
            what == "lobby_unlocks") {
            if (words.size() != 2 || !parse_int(words[1], INT32_MIN, INT32_MAX, v))
                return fail(what + " takes one 32-bit number");
            int32_t n = static_cast<int32_t>(v);
            if (what == "garden") g.garden = n;
            else if (what == "character") g.character = n;
            else if (what == "rings") g.rings = n;
            else if (what == "emblems") {
                if (n < 0 || n > 255) return fail("emblems is 0 to 255");
                g.emblems = n;
            } else g.lobby_unlocks = n;
        } else if (what == "chao") {
            ChaoSpec c;
            if (words.size() < 3 || !parse_int(words[1], 0, game::kChaoSlotCount - 1, v))
                return fail("chao takes a slot 0 to 36 and a type");
            c.slot = static_cast<int32_t>(v);
            if (!parse_type(words[2], c.type)) return fail("unknown Chao type '" + words[2] + "'");
            for (size_t i = 3; i < words.size(); ++i) {
                size_t eq = words[i].find('=');
                if (eq == std::string::npos || eq == 0) return fail("'" + words[i] + "' is not field=value");
                c.set(words[i].substr(0, eq), words[i].substr(eq + 1));
            }
            PendingRecord check;
            if (!compose(c, check, error)) return fail(error);
            for (const ChaoSpec& other : g.chao)
                if (other.slot == c.slot) return fail("slot " + std::to_string(c.slot) + " is described twice");
            g.chao.push_back(std::move(c));
        } else if (what == "tree") {
            TreeSpec t;
            if (!parse_tree(words, t, error)) return fail(error);
            for (const TreeSpec& other : g.trees)
                if (other.index == t.index) return fail("tree " + std::to_string(t.index) + " is described twice");
            g.trees.push_back(t);
        } else {
            return fail("unknown statement '" + what + "'");
        }
    }
    out = std::move(g);
    return true;
}

std::string format_garden_description(const GardenDescription& g) {
    std::string s;
    s += "garden " + std::to_string(g.garden) + "\n";
    s += "character " + std::to_string(g.character) + "\n";
    s += "rings " + std::to_string(g.rings) + "\n";
    s += "emblems " + std::to_string(g.emblems) + "\n";
    s += "lobby_unlocks " + std::to_string(g.lobby_unlocks) + "\n";
    for (const ChaoSpec& c : g.chao) {
        s += "chao " + std::to_string(c.slot) + " ";
        s += c.type >= 0 && c.type <= 25 ? lower_dashed(chao_type_name(c.type)) : std::to_string(c.type);
        for (const auto& [name, value] : c.fields) s += " " + name + "=" + value;
        s += "\n";
    }
    for (const TreeSpec& t : g.trees) {
        s += "tree " + std::to_string(t.index) + " kind=" + std::to_string(t.kind) + " state=" +
             std::to_string(t.state) + " growth=" + std::to_string(t.growth) + " water=" + std::to_string(t.water) +
             " fruit=" + std::to_string(t.fruit_growth[0]) + "," + std::to_string(t.fruit_growth[1]) + "," +
             std::to_string(t.fruit_growth[2]) + " rotation=" + std::to_string(t.rotation) + "\n";
    }
    return s;
}

bool load_garden_file(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > (1u << 20)) {
        error = path + " is larger than 1 MiB";
        return false;
    }
    GardenDescription g;
    if (!parse_garden_description(text, g, error)) {
        error = path + ": " + error;
        return false;
    }
    return build_garden(g, error);
}

std::string garden_save_image() {
    std::string file(kGardenSaveSize, '\0');
    memcpy(file.data(), kGardenSaveHeader, 48);
    peek(game::addr::garden_save_block, file.data() + kGardenSaveBlockOffset, kGardenSaveBlockSize);
    return file;
}

bool load_garden_save(const std::string& bytes, std::string& error) {
    if (bytes.size() != kGardenSaveSize) {
        error = "a garden save file is 65536 bytes, this one " + std::to_string(bytes.size());
        return false;
    }
    if (memcmp(bytes.data(), kGardenSaveHeader, 48) != 0) {
        error = "not a garden save file (its header text differs)";
        return false;
    }
    poke(game::addr::garden_save_block, bytes.data() + kGardenSaveBlockOffset, kGardenSaveBlockSize);
    return true;
}

GardenDescription sample_garden() {
    GardenDescription g;
    g.garden = 1;
    g.character = 0;
    g.rings = 1234;
    g.emblems = 180;
    g.lobby_unlocks = 0x1F;

    // Slots 27 and 36 are free; the others hold two eggs, two children, every adult kind and
    // a few Chao at the edges of their values.
    std::vector<ChaoSpec> slots(game::kChaoSlotCount);
    for (int i = 0; i < game::kChaoSlotCount; ++i) slots[static_cast<size_t>(i)].slot = i;
    auto varied = [](ChaoSpec& c, int n) {
        for (int s = 0; s < kStatCount; ++s) {
            std::string stat = kStatNames[s];
            c.set(stat + ".grade", (n + s) % 6);
            c.set(stat + ".level", (n * 7 + s * 13) % 100);
            c.set(stat + ".points", (n * 311 + s * 97) % 3000);
            c.set(stat + ".fraction", (n * 17 + s * 29) % 100);
        }
        c.set("happiness", 100 - n * 6);
        c.set("clock_rollovers", n * 3);
        c.set("adult_clock_rollovers", n);
        c.set("lifespan", 2400 + n * 40);
        c.set("lifespan2", 2400 + n * 40);
        c.set("reincarnations", n % 4);
        c.set("timescale_timer", n * 1000);
        c.set_float("power_run", static_cast<float>(n % 5 - 2) * 0.5f);
        c.set_float("fly_swim", static_cast<float>(n % 7 - 3) * 0.25f);
        c.set_float("alignment", static_cast<float>(n % 3 - 1));
        c.set_float("progress", static_cast<float>(n % 5) * 0.25f);
        c.set("color", n % 14);
        c.set("eye_type", n % 8);
        c.set("mouth_type", n % 10);
        c.set("headgear", n % 5 == 0 ? n : 0);
        c.set("animal_behaviors", (1 << (n % 21)) | 1);
        c.set("kindness", (n * 37) % 256);
        c.set("curiosity", (n * 53) % 256);
        c.set("favorite_fruit", n % 8);
        c.set("hunger", n * 100);
        c.set("classroom_flags", n * 0x101);
    };

    slots[0].type = 1;
    slots[0].set("egg_color", 3).set("shiny", 1);
    slots[1].type = 1;  // an egg with every value zero
    slots[2].type = 2;
    varied(slots[2], 2);
    slots[3].type = 2;
    varied(slots[3], 3);
    slots[3].set("lifespan", 1).set("lifespan2", 1);  // a child at the end of its life
    for (int t = 3; t <= 25; ++t) {
        ChaoSpec& c = slots[static_cast<size_t>(t + 1)];
        c.type = t;
        varied(c, t + 1);
        if (t == 12 || t == 15) c.set("arm", 3).set("ear", 7).set("tail", 12).set("wing", 2).set("face", 0);
    }
    slots[27].type = 0;

    ChaoSpec& top = slots[28];  // everything at its largest, and floats at the writable bound
    top.type = 21;
    for (int s = 0; s < kStatCount; ++s) {
        std::string stat = kStatNames[s];
        top.set(stat + ".grade", 255).set(stat + ".level", 255).set(stat + ".points", 65535).set(stat + ".fraction", 255);
    }
    for (const char* f : {"happiness", "in_kindergarten", "clock_rollovers", "adult_clock_rollovers", "lifespan",
                          "lifespan2", "reincarnations", "doctor_medal"})
        top.set(f, 32767);
    for (int k = 0; k < kConditionCount; ++k) top.set(kConditionNames[k], k % 2 ? -32768 : 32767);
    top.set("seed", -2147483647 - 1).set("timescale_timer", 2147483647).set("classroom_flags", 0xFFFFFFFFu);
    top.set("animal_behaviors", 0xFFFFFFFFu);
    top.set_float("power_run", 3.0e38f).set_float("fly_swim", -3.0e38f).set_float("alignment", 1.0f);
    top.set_float("last_life_alignment", -1.0f).set_float("progress", 1.0f);
    for (const char* f : {"color", "monotone_highlights", "texture", "shiny", "egg_color", "eye_type", "mouth_type",
                          "ball_type", "headgear", "medal", "hide_feet", "joy", "anger", "fear", "urge_to_cry",
                          "kindness", "vitality", "glutton", "skillful", "charm", "chatty", "curiosity",
                          "crybaby_energetic", "naive_normal", "solitude", "regain", "carefree", "fickle",
                          "favorite_fruit", "cough", "cold", "rash", "runny_nose", "hiccups", "stomach_ache"})
        top.set(f, 255);
    top.set("body_type", -128).set("body_type_animal", 127);
    for (int k = 0; k < kPartCount; ++k) top.set(kPartNames[k], 127);

    slots[29].type = 5;  // an adult with every value zero, parts included
    for (int k = 0; k < kPartCount; ++k) slots[29].set(kPartNames[k], 0);
    slots[30].type = 7;  // at the end of its life, many lives behind it
    varied(slots[30], 30);
    slots[30].set("lifespan", 1).set("lifespan2", 0).set("reincarnations", 9);
    slots[31].type = 6;
    varied(slots[31], 31);
    slots[31].set("lifespan", 0).set("lifespan2", 0).set("garden", 2);
    for (int i = 32; i <= 35; ++i) {
        ChaoSpec& c = slots[static_cast<size_t>(i)];
        c.type = 17 + (i - 32);
        varied(c, i);
        c.set("garden", i < 34 ? 2 : 3);
        c.set_float("alignment", i % 2 ? -0.5f : 0.75f);
    }
    slots[36].type = 0;

    // Names hand out the byte values in order, occupied slots first and then the stale names
    // left in the free records, so that the garden uses every byte of the name encoding.
    uint8_t next = 1;
    for (int pass = 0; pass < 2; ++pass) {
        for (ChaoSpec& c : slots) {
            if ((c.type != 0) != (pass == 0)) continue;
            std::vector<uint8_t> name(7);
            for (uint8_t& b : name) b = next++;
            c.fields.insert(c.fields.begin(), {"name_raw", hex_text(name.data(), name.size())});
        }
    }
    g.chao = std::move(slots);

    // Trees: empty plots, the garden's own trees, and planted trees of every kind in every
    // state, watered and dry, with fruit at the edges of its range.
    for (int i = 0; i < game::kTreeCount; ++i) {
        TreeSpec t;
        t.index = i;
        int slot = i % 7, garden = i / 7;
        if (slot < 3) {
            if (slot != 2 || garden == 0) {
                t.kind = static_cast<uint8_t>(10 + slot);
                t.state = 3;
                t.growth = 255;
                t.water = static_cast<uint8_t>(garden * 100);
                t.fruit_growth[0] = 100;
                t.fruit_growth[1] = 50;
                t.fruit_growth[2] = 0;
                t.rotation = static_cast<uint8_t>(i * 12);
            }
        } else {
            int n = garden * 4 + (slot - 3);  // 0 .. 11
            t.kind = static_cast<uint8_t>(n % 7 + 1);
            t.state = static_cast<uint8_t>(n % 4);
            t.growth = static_cast<uint8_t>(t.state == 3 ? 255 : t.state * 80);
            t.water = static_cast<uint8_t>(n % 2 ? 255 : 0);
            if (t.state == 3) {
                t.fruit_growth[0] = -1;
                t.fruit_growth[1] = 0;
                t.fruit_growth[2] = 127;
            }
            t.rotation = static_cast<uint8_t>(255 - n);
        }
        if (i == 20) {  // every byte at its largest
            t.kind = t.state = t.growth = t.water = t.rotation = 255;
            t.fruit_growth[0] = t.fruit_growth[1] = t.fruit_growth[2] = -128;
        }
        g.trees.push_back(t);
    }
    return g;
}

}  // namespace sim
