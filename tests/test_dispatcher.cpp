// The writeback side: the command reader on exact-size text, then on the simulated game the
// dispatcher straight through the worker's queues, the hatch, rebirth and tree executors with
// their guards and monitors, then the whole road through the reference server.
#include <doctest/doctest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <nlohmann/json.hpp>

#include "host/log.h"
#include "host/mod_state.h"
#include "host/save_slot.h"
#include "net/worker.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "server_fixture.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"
#include "writeback/command_reader.h"
#include "writeback/dispatcher.h"
#include "writeback/json_reader.h"
#include "writeback/lifecycle.h"

using nlohmann::json;
using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

// The text in a heap block of exactly its size, so a read past the end is a sanitizer error.
struct Exact {
    std::unique_ptr<char[]> bytes;
    size_t size;
    explicit Exact(const std::string& s) : bytes(new char[s.size() ? s.size() : 1]), size(s.size()) {
        if (size) memcpy(bytes.get(), s.data(), size);
    }
    const char* begin() const { return bytes.get(); }
    const char* end() const { return bytes.get() + size; }
    std::string_view view() const { return {bytes.get(), size}; }
};

std::vector<WritebackCommand> parse(const std::string& doc, bool expect_doc = true) {
    Exact e(doc);
    std::vector<WritebackCommand> out(3);  // cleared by the reader
    CHECK(parse_commands(e.view(), out) == expect_doc);
    return out;
}

WritebackCommand one(const std::string& object) {
    auto out = parse("{\"commands\":[" + object + "]}");
    REQUIRE(out.size() == 1);
    return out[0];
}

// n restore positions: position i holds i (position 0 holds 5, a type), unless set says otherwise.
std::string fields(int n, std::initializer_list<std::pair<int, const char*>> set = {}) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) {
        std::string v = i == 0 ? "5" : std::to_string(i);
        for (auto& [at, text] : set)
            if (at == i) v = text;
        s += (i ? "," : "") + v;
    }
    return s + "]";
}

std::string restore(int v, const std::string& f) {
    return "{\"id\":9,\"kind\":\"restore\",\"slot\":2,\"v\":" + std::to_string(v) + ",\"f\":" + f + "}";
}

const char* kChaoId = "0a1b2c3d4e5f60718b65c4f8a1b2c3d4e5f60718";

}  // namespace

TEST_CASE("scanner reads values inside its range only") {
    using namespace JsonReader;
    Exact e("{\"id\" :  42 ,\"s\":\"a\\\"b\\n\"}");
    int32_t n = 7;
    CHECK((read_int(find_value(e.begin(), e.end(), "id"), e.end(), n) && n == 42));
    std::string s;
    // An escape makes the next character literal; nothing is translated.
    CHECK((read_string(find_value(e.begin(), e.end(), "s"), e.end(), s) && s == "a\"bn"));
    CHECK_FALSE((find_value(e.begin(), e.end(), "x") || find_value(e.begin(), e.begin() + 4, "id")));
    Exact tail("\"k\": ");
    CHECK(find_value(tail.begin(), tail.end(), "k") == tail.end());

    // 7 stands for "refused, left as it was".
    for (auto [text, want] : {std::pair{"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"3 ,", 3},
                              {"2147483648", 7}, {"-2147483649", 7}, {"12.5", 7}, {"-", 7}, {"3x", 7}, {"", 7}}) {
        Exact g(text);
        n = 7;
        CHECK_MESSAGE((read_int(g.begin(), g.end(), n) == (want != 7) && n == want), text);
    }
    CHECK_FALSE(read_int(nullptr, e.end(), n));
    for (const char* bad : {"\"open", "\"ends in backslash\\", "\"esc at end\\\""}) {
        Exact x(bad);
        CHECK_FALSE(read_string(x.begin(), x.end(), s));
    }

    uint8_t bytes[3];
    CHECK((decode_hex("0aFf10", bytes, 3) && bytes[0] == 0x0a && bytes[1] == 0xff && bytes[2] == 0x10));
    for (std::string_view bad : {"0aff1"sv, "0aff1000"sv, "0aff1g"sv, "0a\0f10"sv}) CHECK_FALSE(decode_hex(bad, bytes, 3));
}

TEST_CASE("documents: no commands array refused, broken objects dropped, deep nesting, every cut inside the text") {
    for (const char* refused : {"", "not json at all", "{\"commands\":{}}", "{\"commands\":"}) parse(refused, false);
    auto out = parse(
        "{\"commands\":[{\"id\":12.5,\"kind\":\"resync\"},{\"id\":\"3\",\"kind\":\"resync\"},"
        "{\"id\":2147483648,\"kind\":\"resync\"},{\"id\":4},{\"id\":5,\"kind\":6},"
        "{\"id\":6,\"kind\":\"resync\"}}, {\"id\":7,\"kind\":\"re\0sync\"},{\"id\":8,\"kind\":\"\xff\xfe\"},"
        "{\"id\":10,\"kind\":\"rename\""s);  // cut off inside the last object
    REQUIRE(out.size() == 3);
    CHECK((out[0].id == 6 && out[0].kind == CommandKind::resync));  // a stray brace is passed over
    CHECK((out[1].kind == CommandKind::unknown && out[2].kind == CommandKind::unknown));
    CHECK(parse("{\"commands\":[" + std::string(200000, '{') + std::string(200000, '[') + "]}").empty());
    auto c = one("{\"id\":1,\"kind\":\"rename\",\"slot\":3,\"slot\":4,\"id\":2}");
    CHECK((c.id == 1 && c.slot == 3));  // the first of repeated keys

    const std::string object = restore(2, fields(105));
    const std::string doc = "{\"commands\":[" + object + ",{\"id\":2,\"kind\":\"spawn_inventory\",\"v\":1,\"item_id\":\"" +
                            std::string(32, 'a') + "\",\"item_kind\":\"fruit\",\"garden\":1,\"item_type\":3,\"size\":2,\"age\":0}]}";
    const size_t first_end = doc.find("},{") + 1, second_end = doc.size() - 2;
    ModLog::set_log_enabled(false);
    for (size_t n = 0; n <= doc.size(); ++n) {
        Exact e(doc.substr(0, n));
        parse_commands(e.view(), out);
        CHECK(out.size() == (n >= first_end) + (n >= second_end));  // only whole objects count
    }
    // A payload cut anywhere before its closing bracket may have lost digits: refused.
    for (size_t n = 0; n <= object.size(); ++n) {
        Exact e(object.substr(0, n));
        WritebackCommand r;
        CHECK(parse_restore_payload(e.begin(), e.end(), r) == (object.substr(0, n).find(']') != std::string::npos));
    }
    ModLog::reset();
}

// Accepted identities and payloads are applied by the dispatcher's tests below; here, what is refused.
TEST_CASE("identity fields and restore payloads; a refused payload fills nothing") {
    WritebackCommand c;
    // Malformed, or empty apart from the seed: no identity to guard with.
    for (std::string id : {"\"" + std::string(16, '0') + "deadbeef" + std::string(16, '0') + "\"",
                           "\"" + std::string(kChaoId).substr(1) + "\"", "\"" + std::string(kChaoId) + "0\"", "null"s}) {
        c = one("{\"id\":1,\"kind\":\"rename\",\"expect_chao_id\":" + id + "}");
        CHECK((!c.has_expect_chao_id && !c.expect_chao_id_ok));
    }
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"rename\",\"name_raw\":\"0102030405060\xc3\"}").has_name);

    sim::reset();  // the reader's refusals are logged through the game
    ModLog::set_log_enabled(false);
    c = one(restore(3, " " + fields(111, {{110, " 2097151 "}})));
    CHECK((c.restore_ok && c.restore_fields[110] == 2097151));
    for (const std::string& doc : {restore(3, fields(112)), restore(3, fields(110)), restore(5, fields(113)),
                                   restore(3, fields(111, {{110, "2097152"}})), restore(4, fields(113, {{111, "2"}})),
                                   restore(2, fields(105, {{3, "2147483648"}})), restore(2, fields(105, {{3, "\"3\""}}))}) {
        c = one(doc);
        CHECK_MESSAGE((!c.restore_ok && c.restore_version == 0 && c.restore_fields[0] == 0 && c.restore_fields[104] == 0),
                      doc.substr(0, 48));
    }
    ModLog::reset();
}

// The accepted payloads of each kind are read back by the tool's sample and applied by the
// dispatcher's tests; here, what each kind refuses at the edges of its limits.
TEST_CASE("kind payloads: what each kind refuses at the edges of its limits") {
    auto c = one("{\"id\":1,\"kind\":\"hatch\",\"v\":1,\"expect_generation\":\"8f3a\",\"generation\":\"8f3a\"}");
    CHECK((!c.hatch_ok && !c.expect_generation_ok));
    const std::string id = std::string(",\"expect_chao_id\":\"") + kChaoId + "\"";
    c = one("{\"id\":1,\"kind\":\"reincarnate\",\"slot\":3,\"v\":1,\"garden\":2,\"reincarnations\":32766" + id + "}");
    CHECK((c.reincarnate_ok && c.garden == 2 && c.reincarnations == 32766));
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"reincarnate\",\"v\":1,\"garden\":2,\"reincarnations\":32767" + id + "}").reincarnate_ok);
    c = one("{\"id\":1,\"kind\":\"set_parts\",\"arm\":-1,\"ear\":20,\"forehead\":0,\"horn\":1,\"leg\":2,\"tail\":3,\"wing\":4,"
            "\"face\":21,\"expect_parts_guard\":\"0011\"}");
    CHECK((!c.parts_ok && c.parts[0] == 0 && c.has_expect_parts_guard && !c.expect_parts_guard_ok));

    auto item = [](const char* kind, int type, int size) {
        return one("{\"id\":1,\"kind\":\"spawn_inventory\",\"v\":1,\"item_id\":\"" + std::string(32, 'A') +
                   "\",\"item_kind\":\"" + kind + "\",\"garden\":3,\"item_type\":" + std::to_string(type) +
                   ",\"size\":" + std::to_string(size) + ",\"age\":-32768}").inventory_ok;
    };
    CHECK((item("animal", 20, 0) && item("fruit", 23, 4)));
    CHECK_FALSE((item("fruit", 3, 5) || item("animal", 21, 0) || item("toy", 3, 1)));
    auto tree = [](int slot, const char* action) {
        return one("{\"id\":1,\"kind\":\"tree_control\",\"slot\":" + std::to_string(slot) + ",\"garden\":2,\"action\":\"" +
                   action + "\",\"expect_raw\":\"0203ff0000000000\"}").tree_ok;
    };
    CHECK((tree(6, "remove") && !tree(2, "water") && !tree(4, "prune")));
    CHECK(one("{\"id\":1,\"kind\":\"Rename\",\"slot\":4}").kind == CommandKind::unknown);
}

// ---- the dispatcher on the simulated game

namespace {

constexpr game_addr kArray = game::addr::chao_slots;
constexpr uint32_t kSize = ChaoRecord::size;
constexpr int32_t kCount = game::kChaoSlotCount;

game_addr slot_addr(int slot) { return kArray + static_cast<uint32_t>(slot) * kSize; }
// Through the simulator's own view, which reaches pages the game could not.
template <class T>
T peek(game_addr a) { T v{}; return sim::peek(a, &v, sizeof v), v; }
template <class T>
void poke(game_addr a, T v) { sim::poke(a, &v, sizeof v); }
Bytes bytes_at(game_addr at, uint32_t n) { Bytes out(n); return sim::peek(at, out.data(), n), out; }
Bytes all_slots() { return bytes_at(kArray, kCount * kSize); }

std::string hex(const uint8_t* b, size_t n) { std::string s(2 * n, '0'); return hex_bytes(b, n, s.data()), s; }
std::string hex_at(game_addr at, uint32_t n) { return hex(bytes_at(at, n).data(), n); }
std::string id_hex(int slot) { return hex_at(slot_addr(slot) + ChaoRecord::chao_id, 20); }
std::string name_hex(int slot) { return hex_at(slot_addr(slot) + ChaoRecord::name_raw, 7); }
std::string guard_hex(int slot) { return hex(parts_guard_of(slot_addr(slot)).data(), 8); }

ChaoImage image_of(int slot) { ChaoImage img; return read_chao_image(slot_addr(slot), slot, img), img; }
std::string chao_id_text(int tag) {
    char buf[41];
    std::snprintf(buf, sizeof buf, "%02x0102030405060710%02x%02x%02x0c0d0e0f10111213", tag, tag, tag + 1, tag + 2);
    return buf;
}

// The acknowledgements queued so far, taken, as "id ok" or "id failed: error" joined by "; ".
std::string answered() {
    std::lock_guard<std::mutex> g(link_worker().lock);
    std::string out;
    for (const AckEntry& a : link_worker().acks)
        out += (out.empty() ? "" : "; ") + std::to_string(a.id) + (a.ok ? " ok" : " failed") +
               (a.error.empty() ? "" : ": " + a.error);
    return link_worker().acks.clear(), out;
}
std::vector<uint32_t>& completed() { return mod_state().completed_command_ids; }

// Slots 0 child, 1 adult with a Skeleton Dog, 2 adult, 3 egg, 4 and 5 twins the game cannot
// tell apart; the rest free.
void build_test_garden() {
    sim::GardenDescription g;
    g.garden = 1;
    const int types[] = {2, 6, 7, 1, 5, 5};
    const int tags[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA4};
    const int behaviours[] = {5, 0x10005, 5, 0x10000, 5, 5};
    for (int i = 0; i < 6; ++i) {
        sim::ChaoSpec c{i, types[i], {}};
        c.set("chao_id", chao_id_text(tags[i])).set("name_raw", "2a2b2c2d2e2f30").set("reincarnations", 1);
        c.set("generation_block", std::string(2 * ChaoRecord::generation_block_size, '5'));
        c.set("animal_behaviors", behaviours[i]).set("classroom_flags", 0x30);
        g.chao.push_back(c);
    }
    std::string error;
    REQUIRE_MESSAGE(sim::build_garden(g, error), error);
}

struct Bench {
    Bench() { sim::reset(), build_test_garden(), sim::place_player(10.0f, 2.0f, -4.0f, 0x4000); }
    void offer(const std::string& commands) {
        std::lock_guard<std::mutex> g(link_worker().lock);
        link_worker().command_documents.push_back(R"({"commands":[)" + commands + "]}");
    }
    void run(int32_t garden = 1) { apply_server_commands(kArray, kSize, kCount, game::addr::trees, garden); }
};

std::string restore_command(int id, int slot, int version, const std::vector<int32_t>& f) {
    return json{{"id", id}, {"kind", "restore"}, {"slot", slot}, {"v", version}, {"f", f}}.dump();
}

// Position i carries i + 1, except a type and a garden that make sense; `id_of` puts that
// slot's identity into positions 105 to 109.
std::vector<int32_t> payload(int count, int id_of = -1) {
    std::vector<int32_t> f(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) f[static_cast<size_t>(i)] = i + 1;
    f[0] = 5, f[1] = 2;
    if (id_of >= 0) sim::peek(slot_addr(id_of) + ChaoRecord::chao_id, &f[105], 20);
    return f;
}

}  // namespace

TEST_CASE("slot commands write exactly their field behind the guards; refusals are answered at once") {
    Bench b;
    const Bytes before = all_slots();
    b.offer(R"({"id":1,"kind":"rename","slot":0,"expect_chao_id":")" + id_hex(0) + R"(","name_raw":"01020304050607"})");
    b.run();
    Bytes after = all_slots();
    std::memcpy(after.data() + ChaoRecord::name_raw, before.data() + ChaoRecord::name_raw, 7);
    CHECK((name_hex(0) == "01020304050607" && after == before));  // nothing but the name changed
    CHECK(answered().empty());  // a success waits for the next accepted upload

    b.offer(R"({"id":2,"kind":"set_parts","slot":1,"expect_parts_guard":")" + guard_hex(1) +
            R"(","arm":3,"ear":-1,"forehead":20,"horn":-1,"leg":0,"tail":-1,"wing":-1,"face":7},)"
            R"({"id":3,"kind":"set_hat","slot":1,"headgear":16,"expect_seed":)" + std::to_string(image_of(1).seed) + "}");
    b.run();
    CHECK((hex_at(slot_addr(1) + ChaoRecord::parts, 8) == "03ff14ff00ffff07" && image_of(1).headgear == 16));
    CHECK(completed() == std::vector<uint32_t>{1, 2, 3});

    const Bytes settled = all_slots();
    const std::string parts = R"(,"arm":1,"ear":1,"forehead":1,"horn":1,"leg":1,"tail":1,"wing":1,"face":1)";
    const std::pair<std::string, std::string> refusals[] = {
        {R"("kind":"set_parts","slot":1,"expect_parts_guard":")" + guard_hex(2) + "\"" + parts,
         "This Chao changed. Sync your garden and choose the style again."},
        {R"("kind":"set_parts","slot":4,"expect_parts_guard":")" + guard_hex(4) + "\"" + parts,
         "These Chao still look identical to the game. Give them different names in SA2, then sync."},
        {R"("kind":"rename","slot":4,"name_raw":"0a0b0c0d0e0f10","expect_chao_id":")" + id_hex(4) + "\"",
         "chao identity is duplicated in this save"},
        {R"("kind":"set_hat","slot":2,"headgear":3,"expect_chao_id":")" + id_hex(2) + "\"",
         "Give this Chao a Skeleton Dog in SA2 before changing hats."},
        {R"("kind":"set_hat","slot":3,"headgear":2,"expect_chao_id":")" + id_hex(3) + "\"",
         "hat payload is invalid or target is an egg"},
        {R"("kind":"set_parts","slot":0)" + parts, "animal parts command carried no expected chao identity"},
        {R"("kind":"rename","slot":9,"name_raw":"0a0b0c0d0e0f10")", "no chao in that slot"},
        {R"("kind":"rename","slot":37,"name_raw":"0a0b0c0d0e0f10")", "slot out of range"},
        {R"("kind":"dance","slot":0)", "unsupported command kind"},
        {json{{"kind", "restore"}, {"slot", 9}, {"v", 2}, {"f", std::vector<int32_t>(105, 0)}}.dump().substr(1),
         "restore would empty the slot"},
        {restore_command(0, 7, 2, payload(105)).substr(1), "restore refused: this slot has started a new life"},
        {R"("kind":"reincarnate","slot":2,"v":1,"garden":1,"reincarnations":1,"expect_chao_id":")" + id_hex(2) + "\"",
         "safe manual rebirth unavailable; enable lifespan protection and remove conflicting lifecycle mods"},
    };
    mod_state().new_life_flags[7] = true;
    std::string want;
    int id = 100;
    for (const auto& [body, reason] : refusals) {
        b.offer("{\"id\":" + std::to_string(++id) + "," + (body.back() == '}' ? body.substr(0, body.size() - 1) : body) + "}");
        want += (want.empty() ? "" : "; ") + std::to_string(id) + " failed: " + reason;
    }
    b.run();
    CHECK(answered() == want);
    CHECK((all_slots() == settled && completed().size() == 3));
}

TEST_CASE("restore writes every position of versions 2, 3 and 4 into its field") {
    Bench b;
    const Bytes tail = bytes_at(slot_addr(3) + ChaoRecord::head_size, 0x800 - ChaoRecord::head_size);
    b.offer(restore_command(1, 3, 2, payload(105)));  // over the egg
    b.run();
    const ChaoImage m = image_of(3);
    const int got[] = {
        m.type, m.garden, m.stat_grades[0], m.stat_grades[7], m.stat_levels[0], m.stat_levels[7], m.stat_points[0],
        m.stat_points[7], m.stat_fractions[0], m.stat_fractions[7], m.happiness, m.in_kindergarten, m.clock_rollovers,
        m.adult_clock_rollovers, m.lifespan, m.lifespan2, m.reincarnations, m.seed, m.timescale_timer, m.color,
        m.monotone_highlights, m.texture, m.shiny, m.egg_color, m.eye_type, m.mouth_type, m.ball_type, m.headgear,
        m.medal, m.hide_feet, m.body_type, m.body_type_animal, m.doctor_medal, m.parts[0], m.parts[7],
        m.conditions[0], m.conditions[10], m.joy, m.anger, m.fear, m.urge_to_cry, m.kindness, m.vitality, m.glutton,
        m.skillful, m.charm, m.chatty, m.curiosity, m.favorite_fruit, m.cough, m.cold, m.rash, m.runny_nose,
        m.hiccups, m.stomach_ache, m.crybaby_energetic, m.naive_normal, m.solitude, m.regain, m.carefree, m.fickle};
    const int want[] = {5,  2,  3,  10, 11, 18, 19, 26, 27, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 49, 50,
                        51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 70, 71, 81, 82, 83, 84, 85, 86,
                        87, 88, 89, 90, 91, 92, 93, 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105};
    static_assert(std::size(got) == std::size(want));
    for (size_t i = 0; i < std::size(got); ++i) CHECK_MESSAGE(got[i] == want[i], "entry " << i);
    CHECK((m.power_run == static_cast<float>(44 / 1000.0) && m.progress == static_cast<float>(48 / 1000.0)));
    // Version 2 carries only the seed of the identity, no behaviours, and no name here.
    CHECK((id_hex(3).substr(0, 16) == chao_id_text(0xA3).substr(0, 16) && m.animal_behaviors == 0x10000u));
    CHECK(name_hex(3) == "2a2b2c2d2e2f30");
    CHECK(bytes_at(slot_addr(3) + ChaoRecord::head_size, 0x800 - ChaoRecord::head_size) == tail);

    // The same Chao in the same life (reincarnations 1) keeps what it has learnt; another
    // Chao, or one in a later life, takes the payload's bits.
    auto life = [](int count, int id_of, int32_t reincarnations) {
        std::vector<int32_t> f = payload(count, id_of);
        f[40] = reincarnations;
        f[110] = 0x100002;
        if (count == 113) f[111] = 1, f[112] = 0x400;
        return f;
    };
    json named = json::parse(restore_command(5, 4, 4, life(113, 4, 2)));
    named["name_raw"] = "11121314151617";
    b.offer(restore_command(2, 2, 3, life(111, 2, 1)) + "," + restore_command(3, 0, 3, life(111, 2, 1)) + "," +
            restore_command(4, 1, 4, life(113, 1, 1)) + "," + named.dump());
    b.run();
    CHECK((answered().empty() && completed() == std::vector<uint32_t>{1, 2, 3, 4, 5}));
    CHECK((image_of(2).animal_behaviors == 0x100007u && image_of(1).animal_behaviors == 0x110007u));
    CHECK((image_of(0).animal_behaviors == 0x100002u && id_hex(0) == id_hex(2)));  // the identity comes from the payload
    CHECK((image_of(1).classroom_flags == 0x430u && image_of(4).classroom_flags == 0x400u));
    CHECK((image_of(4).animal_behaviors == 0x100002u && name_hex(4) == "11121314151617"));
}

TEST_CASE("a command offered again, in a second document or after a lost acknowledgement, is applied once") {
    Bench b;
    const std::string commands = R"({"id":7,"kind":"spawn_fruit","garden":1,"fruit_type":4,"count":3},)"
                                 R"({"id":8,"kind":"rename","slot":0,"name_raw":"01020304050607"},)"
                                 R"({"id":9,"kind":"rename","slot":0,"name_raw":"0a0a0a0a0a0a0a","expect_chao_id":")" +
                                 id_hex(4) + "\"}";
    // The worker keeps two documents, each the server's whole unacknowledged list.
    b.offer(commands);
    b.offer(commands);
    b.run();
    REQUIRE(sim::created_fruit().size() == 3);
    const sim::CreatedFruit& f = sim::created_fruit()[2];
    CHECK((f.type == 4 && f.rotation == 0x4000 && f.position.x == 15.0f && f.position.y == 3.5f && f.position.z == -4.0f));
    const std::string answers = "7 ok; 9 failed: a different chao now occupies that slot";
    CHECK((answered() == answers && completed() == std::vector<uint32_t>{8}));

    // The player renames the Chao in the game, the answers are lost and the server offers all
    // three again: nothing is applied again, every answer goes out again.
    std::string error;
    sim::ChaoSpec renamed;
    renamed.set("chao_id", chao_id_text(0xA0)).set("name_raw", "33333333333333");
    REQUIRE(sim::write_chao(renamed, error));
    const Bytes before = all_slots();
    completed().clear();  // the upload carried id 8
    b.offer(commands);
    b.run();
    CHECK((sim::created_fruit().size() == 3 && all_slots() == before));
    CHECK((answered() == answers && completed() == std::vector<uint32_t>{8}));

    // A new session starts with nothing handled.
    sim::set_save_path("C:\\SAVEDATA\\SONIC2B__S01");
    REQUIRE(save_slot_session_step());
    CHECK(mod_state().handled_commands.empty());
}

TEST_CASE("fruit waits for its garden and the player and stops where the game refuses; trees wait while loaded") {
    Bench b;
    game::write<uint32_t>(game::addr::character_data, 0);
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3},)"
            R"({"id":2,"kind":"spawn_fruit","garden":1,"fruit_type":24},)"
            R"({"id":3,"kind":"spawn_fruit","garden":1,"fruit_type":3,"count":4})");
    b.run(1);  // wrong garden
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3})");
    b.run(2);  // no player
    CHECK((sim::created_fruit().empty() &&
           answered() == "2 failed: invalid fruit spawn payload; 3 failed: invalid fruit spawn payload"));

    sim::place_player(0.0f, 0.0f, 0.0f, 0);
    sim::set_fruit_limit(2);
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3},)"
            R"({"id":4,"kind":"spawn_fruit","garden":2,"fruit_type":5,"count":3})");
    b.run(2);
    CHECK(answered() == "1 ok; 4 failed: the game refused to create the fruit");
    CHECK(sim::created_fruit().size() == 2);  // id 1's, then one of id 4's, which stays

    // Code that is not the supported fruit routine is never called.
    poke<uint8_t>(game::addr::create_fruit + 0x10, peek<uint8_t>(game::addr::create_fruit + 0x10) ^ 0xFF);
    sim::set_fruit_limit(-1);
    b.offer(R"({"id":5,"kind":"spawn_fruit","garden":2,"fruit_type":3})");
    b.run(2);
    CHECK((answered() == "5 failed: fruit creation unavailable: the game's fruit routine differs" &&
           sim::created_fruit().size() == 2));

    // A garden's trees are left alone while it is loaded.
    sim::write_tree(sim::TreeSpec{3, 2, 1, 40, 0});  // garden 1, slot 3
    const std::string water = R"({"id":6,"kind":"tree_control","garden":1,"slot":3,"action":"water","expect_raw":")" +
                              hex_at(game::addr::trees + 3 * 8, 8) + "\"}";
    b.offer(water);
    b.run(1);
    CHECK((hex_at(game::addr::trees + 3 * 8 + 3, 1) == "00" && answered().empty()));
    b.offer(water);
    b.run(2);
    CHECK((completed() == std::vector<uint32_t>{6} && hex_at(game::addr::trees + 3 * 8 + 3, 1) == "ff"));
}

TEST_CASE("memory that cannot be read or written is refused untouched") {
    Bench b;
    sim::set_protection(slot_addr(0) & ~0xFFFu, 0x1000, game::kPageReadOnly);  // a write there would fault
    sim::unmap(slot_addr(21) & ~0xFFFu, 0x1000);  // slots 20 and 21 cannot be read
    const Bytes slot0 = bytes_at(slot_addr(0), ChaoRecord::size);
    b.offer(R"({"id":1,"kind":"rename","slot":0,"name_raw":"01020304050607"},)" + restore_command(2, 0, 2, payload(105)) +
            R"(,{"id":3,"kind":"rename","slot":2,"name_raw":"01020304050607","expect_chao_id":")" + id_hex(2) + "\"}" +
            R"(,{"id":4,"kind":"rename","slot":2,"name_raw":"01020304050607"})");
    b.run();
    CHECK(answered() == "1 failed: chao array not available; 2 failed: chao array not available; "
                          "3 failed: chao array not available");
    CHECK((bytes_at(slot_addr(0), ChaoRecord::size) == slot0 && completed() == std::vector<uint32_t>{4}));
}

// ---- the hatch, rebirth and tree executors

namespace {

using Change = std::function<void(WritebackCommand&)>;

void fresh() {
    sim::reset();
    ModLog::set_log_sink(ModLog::game_sink);
    garden_scanner().full_requested = false;
}

void put_chao(int slot, int type, int lives = 0, int garden = 1) {
    std::string error;
    sim::ChaoSpec chao{slot, type, {}};
    REQUIRE_MESSAGE(sim::write_chao(chao.set("reincarnations", lives).set("garden", garden), error), error);
}

WritebackCommand hatch_cmd(int id, int slot, int garden = 0) {
    WritebackCommand c;
    c.id = id, c.kind = CommandKind::hatch, c.slot = slot, c.garden = garden;
    c.hatch_ok = c.has_expect_generation = true;
    c.expect_generation = egg_generation_of(slot_addr(slot));
    return c;
}

WritebackCommand rebirth_cmd(int id, int slot, int lives, int garden) {
    WritebackCommand c;
    c.id = id, c.kind = CommandKind::reincarnate, c.slot = slot, c.garden = garden, c.reincarnations = lives;
    c.reincarnate_ok = c.has_expect_chao_id = true;
    sim::peek(slot_addr(slot) + ChaoRecord::chao_id, c.expect_chao_id.data(), 20);
    return c;
}

StepResult hatch_now(const WritebackCommand& c, int garden = 1) { return start_native_hatch(kArray, kSize, kCount, garden, c); }
StepResult rebirth_now(const WritebackCommand& c, int garden) {
    return start_guarded_rebirth(peek<game_addr>(game::addr::task_list), kArray, kSize, kCount, garden, c);
}

// How many egg tasks of `record` have been told to hatch (action 6).
int hatching_tasks(game_addr record) {
    int n = 0;
    for (const sim::SimTask& t : sim::task_model().tasks)
        if (t.data && peek<game_addr>(t.data + sim::kDataRecordOffset) == record) n += peek<uint16_t>(t.data) == 6;
    return n;
}

}  // namespace

TEST_CASE("hatch and rebirth guards: the first failing check gives its reason, the slot's state the status") {
    fresh();
    put_chao(4, 1), put_chao(2, 7, 4, 2);
    const WritebackCommand hatch = hatch_cmd(1, 4), rebirth = rebirth_cmd(3, 2, 4, 2);
    const char* const invalid = "invalid guarded rebirth request";
    const std::tuple<const WritebackCommand&, Change, const char*> cases[] = {
        {hatch, [](WritebackCommand& c) { c.hatch_ok = false; }, "hatch payload is incomplete or invalid"},
        {hatch, [](WritebackCommand& c) { c.slot = 37; }, "slot out of range"},
        {hatch, [](WritebackCommand& c) { c.expect_generation[7] ^= 1; }, "a different egg generation now occupies that slot"},
        {hatch, [](WritebackCommand& c) { c.expect_chao_id_ok = false; }, "command carried a malformed chao id"},
        {hatch, [](WritebackCommand& c) { c.has_expect_chao_id = true; }, "a different chao now occupies that slot"},
        {rebirth, [](WritebackCommand& c) { c.reincarnations = 32767; }, invalid},
        {rebirth, [](WritebackCommand& c) { c.reincarnations = -1; }, invalid},
        {rebirth, [](WritebackCommand& c) { c.garden = 0; }, invalid},
        {rebirth, [](WritebackCommand& c) { c.has_expect_chao_id = false; }, invalid},
        {rebirth, [](WritebackCommand& c) { c.expect_chao_id[19] ^= 1; }, "the Chao identity changed; no rebirth performed"},
    };
    for (const auto& [base, change, reason] : cases) {
        WritebackCommand c = base;
        change(c);
        const StepResult r = c.kind == CommandKind::hatch ? check_hatch_guard(kArray, kSize, kCount, c)
                                                          : check_rebirth_guard(kArray, kSize, kCount, c);
        CHECK_MESSAGE((r.status == kStepRefused && r.message == reason), c.id << " " << r.message);
    }
    CHECK(check_hatch_guard(0, kSize, kCount, hatch).message == "chao array not available");
    CHECK((check_rebirth_guard(0, kSize, kCount, rebirth).message == invalid &&
           check_rebirth_guard(kArray, 0x4DB, kCount, rebirth).message == invalid));

    WritebackCommand guarded = hatch;
    guarded.has_expect_chao_id = guarded.has_expect_seed = true;
    sim::peek(slot_addr(4) + ChaoRecord::chao_id, guarded.expect_chao_id.data(), 20);
    guarded.expect_seed = peek<int32_t>(slot_addr(4) + ChaoRecord::seed);
    game_addr record = 0;
    StepResult r = check_hatch_guard(kArray, kSize, kCount, guarded, &record);
    CHECK((r.status == kStepRunning && r.id == 1 && record == slot_addr(4)));
    for (auto [type, status] : {std::pair{2, kStepDone}, {5, kStepRefused}, {0, kStepRefused}}) {
        poke<int8_t>(slot_addr(4) + ChaoRecord::type, static_cast<int8_t>(type));
        r = check_hatch_guard(kArray, kSize, kCount, guarded);
        CHECK((r.status == status &&
               (status != kStepRefused || r.message == "the guarded slot is neither the egg nor its newly hatched child")));
    }
    struct Life { int type, lives, garden, status; };
    for (const Life& l : {Life{5, 4, 2, kStepRunning}, {19, 4, 2, kStepRunning}, {1, 5, 2, kStepDone},
                          {20, 4, 2, kStepRefused}, {7, 4, 1, kStepRefused}, {7, 5, 2, kStepRefused}}) {
        put_chao(2, l.type, l.lives, l.garden);
        r = check_rebirth_guard(kArray, kSize, kCount, rebirth);
        CHECK((r.status == l.status &&
               (l.status != kStepRefused || r.message == "the life, adult type or garden changed; refresh before requesting rebirth")));
    }
}

TEST_CASE("a hatch waits for its garden (0: any but none), the monitor completes it, a repeat is done untouched") {
    fresh();
    put_chao(3, 1);
    const sim::SimTask egg = sim::add_egg_task(slot_addr(3));
    const WritebackCommand c = hatch_cmd(21, 3, 0);
    CHECK((hatch_now(c, 0).status == kStepCannotActNow && hatch_now(hatch_cmd(22, 3, 1), 2).status == kStepCannotActNow));
    CHECK((peek<uint16_t>(egg.data) == 0 && hatch_now(c, 2).status == kStepStarted && hatch_now(c, 2).status == kStepRunning));
    mod_state().pending_hatches.push_back(c);
    for (int i = 0; i < 20 && !mod_state().pending_hatches.empty(); ++i) sim::frame(), run_hatch_monitor(kArray, kSize, kCount);
    CHECK((completed() == std::vector<uint32_t>{21} && garden_scanner().full_requested && answered().empty()));

    // The same command again, with a stale egg task still on the record: done, nothing written.
    const sim::SimTask stale = sim::add_egg_task(slot_addr(3));
    CHECK((hatch_now(c, 2).status == kStepDone && peek<uint16_t>(stale.data) == 0));
}

TEST_CASE("the egg task: found by a bounded walk that follows no garbage, the only one on the record, idle") {
    fresh();
    put_chao(0, 1), put_chao(1, 1);
    const game_addr record = slot_addr(0);
    int32_t want = kStepCannotActNow;
    std::string why;
    SUBCASE("tasks that do not count: another routine, another slot's egg, an egg without data") {
        poke<game_addr>(sim::add_task(0x00401234, 0x200).data + sim::kDataRecordOffset, record);
        sim::add_egg_task(slot_addr(1));
        sim::add_task(sim::kEggTaskRoutine, 0);
    }
    SUBCASE("the egg busy with some other action") { poke<uint8_t>(sim::add_egg_task(record).data, 3); }
    SUBCASE("two egg tasks on the record") {
        sim::add_egg_task(record), sim::add_egg_task(record);
        want = kStepRefused, why = "more than one live egg task maps to that slot";
    }
    SUBCASE("egg data that cannot be written") {
        sim::set_protection(sim::add_egg_task(record).data, 0x1000, game::kPageReadOnly);
    }
    SUBCASE("a head in unmapped memory") { poke<game_addr>(game::addr::task_list, 0x0BAD0000); }
    SUBCASE("a task running into the gap behind its page") {
        poke<game_addr>(game::addr::task_list, sim::add_task(0x00401234, 0).task + 0xFF0);
    }
    SUBCASE("an egg task whose data cannot be read, beside the real one") {
        sim::add_egg_task(record), sim::unmap(sim::add_egg_task(record).data, 0x1000);
    }
    SUBCASE("the egg past 512 tasks") {
        for (int i = 0; i < 512; ++i) sim::add_task(0x00401234, 0);
        sim::add_egg_task(record);
    }
    SUBCASE("a ring to the head, or a loop back to a later task") {
        sim::task_model().ring = true;
        sim::add_task(0x00401234, 0);
        const sim::SimTask b = sim::add_task(0x00401234, 0);
        const sim::SimTask egg = sim::add_egg_task(record);
        SUBCASE("ring") {}
        SUBCASE("loop") { poke<game_addr>(egg.task + sim::kTaskNextOffset, b.task); }
        want = kStepStarted;  // one egg task, not a duplicate of itself
    }
    const StepResult r = hatch_now(hatch_cmd(9, 0));
    CHECK((r.status == want && r.message == why && hatching_tasks(record) == (want == kStepStarted)));
}

TEST_CASE("a guarded rebirth needs the intact hook and one free Chao task, then the game carries it out") {
    fresh();
    put_chao(2, 7, 4, 2);
    const WritebackCommand c = rebirth_cmd(31, 2, 4, 2);
    const char* unavailable =
        "safe manual rebirth unavailable; enable lifespan protection and remove conflicting lifecycle mods";
    CHECK(rebirth_now(c, 2).message == unavailable);  // never installed
    REQUIRE((install_lifespan_protection() && install_rebirth_hook()));
    CHECK(rebirth_now(c, 2).status == kStepCannotActNow);  // no live Chao task yet
    const sim::SimTask chao = sim::add_chao_task(slot_addr(2));
    const sim::SimTask twin = sim::add_chao_task(slot_addr(2));
    CHECK(rebirth_now(c, 2).message == "duplicate live Chao tasks");
    sim::remove_task(twin.task);
    const uint8_t code = peek<uint8_t>(lifespan::kHelperRoutine + 9);
    poke<uint8_t>(lifespan::kHelperRoutine + 9, code ^ 0x40);  // another mod changed the rebirth code
    CHECK(rebirth_now(c, 2).message == unavailable);
    poke<uint8_t>(lifespan::kHelperRoutine + 9, code);
    CHECK(rebirth_now(c, 1).status == kStepCannotActNow);  // another garden
    CHECK(start_guarded_rebirth(0, kArray, kSize, kCount, 2, c).status == kStepCannotActNow);

    // Each step in turn leaves the Chao not to be reborn now: not in its normal mode, busy, held or
    // referred to by a player, or a player object that cannot be read.
    const std::function<void()> waits[] = {
        [&] { poke<uint16_t>(chao.data + sim::kChaoModeOffset, 0); },
        [&] { poke<uint16_t>(chao.data + sim::kChaoModeOffset, 1), poke<uint32_t>(chao.data + sim::kChaoBusyOffset, 1); },
        [&] { poke<uint32_t>(chao.data + sim::kChaoBusyOffset, 0), sim::set_player_object(5, chao.task, 0); },
        [&] { sim::set_player_object(5, 0, chao.task); },
        [&] { poke<game_addr>(game::addr::player_objects + 4 * 5, 0x0BAD0000); }};
    for (size_t i = 0; i < std::size(waits); ++i) {
        waits[i]();
        CHECK_MESSAGE(rebirth_now(c, 2).status == kStepCannotActNow, i);
    }
    sim::set_player_object(5, 0x1234, 0);  // holds something else

    CHECK(rebirth_now(c, 2).status == kStepStarted);
    REQUIRE(sim::task_model().routine_calls.size() == 1);
    CHECK((sim::task_model().routine_calls[0].task == chao.task &&
           sim::task_model().routine_calls[0].routine == manual_rebirth_address()));
    CHECK(rebirth_now(c, 2).status == kStepCannotActNow);  // busy with the routine now
    mod_state().pending_rebirths.push_back(c);
    for (int i = 0; i < 10 && !mod_state().pending_rebirths.empty(); ++i) sim::frame(), run_rebirth_monitor(kArray, kSize, kCount);
    CHECK((peek<int16_t>(slot_addr(2) + ChaoRecord::reincarnations) == 5 && peek<int8_t>(slot_addr(2) + ChaoRecord::type) == 1));
    CHECK((sim::task_model().rebirths == 1 && completed() == std::vector<uint32_t>{31} && answered().empty()));
    CHECK(rebirth_now(c, 2).status == kStepDone);  // a repeat does nothing
}

TEST_CASE("monitors acknowledge and drop what changed, and keep the rest in order") {
    fresh();
    put_chao(0, 1), put_chao(1, 1), put_chao(2, 1), put_chao(3, 7, 4, 2);
    auto& s = mod_state();
    s.pending_hatches = {hatch_cmd(1, 0), hatch_cmd(2, 1), hatch_cmd(3, 2)};
    put_chao(1, 9);                                                   // no longer egg or child
    poke<uint8_t>(slot_addr(2) + ChaoRecord::generation_block, 0x5A);  // another egg
    run_hatch_monitor(kArray, kSize, kCount);
    CHECK((s.pending_hatches.size() == 1 && s.pending_hatches[0].id == 1));

    s.pending_rebirths = {rebirth_cmd(4, 3, 4, 2), rebirth_cmd(5, 3, 4, 2)};
    s.pending_rebirths[1].expect_chao_id[0] ^= 1;
    run_rebirth_monitor(kArray, kSize, kCount);
    CHECK((s.pending_rebirths.size() == 1 && s.pending_rebirths[0].id == 4));
    CHECK(answered() == "2 failed: the guarded slot is neither the egg nor its newly hatched child; "
                        "3 failed: a different egg generation now occupies that slot; "
                        "5 failed: the Chao identity changed; no rebirth performed");
    CHECK(completed().empty());
}

namespace {

std::array<uint8_t, 8> tree_at(int garden, int slot) {
    std::array<uint8_t, 8> raw{};
    return sim::peek(game::addr::trees + static_cast<uint32_t>((garden - 1) * 7 + slot) * 8, raw.data(), 8), raw;
}

// The tree command's outcome, "ok" or its refusal, on a table of records of `size` bytes.
std::string tree(int garden, int slot, int32_t action, const std::array<uint8_t, 8>& raw, int kind = 0,
                 uint32_t size = 8) {
    WritebackCommand c;
    c.id = 40, c.kind = CommandKind::tree_control, c.garden = garden, c.slot = slot;
    c.tree_action = action, c.expect_raw = raw, c.tree_kind = kind;
    c.has_expect_raw = c.tree_ok = true;
    CommandResult r = apply_tree_command(game::addr::trees, size, c);
    return r.ok ? "ok" : r.message;
}

}  // namespace

TEST_CASE("tree control: each action, already applied, changed since issued, and bad payloads") {
    fresh();
    sim::write_tree(sim::TreeSpec{11, 2, 1, 0x40, 0x10});  // garden 2, slot 4
    const auto raw = tree_at(2, 4);
    CHECK((tree(2, 4, kTreeWater, raw) == "ok" && tree_at(2, 4)[3] == 0xFF));
    CHECK(tree(2, 4, kTreeWater, raw) == "ok");  // already watered
    CHECK(tree(2, 4, kTreeMature, raw) == "tree changed since the command was issued");
    CHECK((tree(2, 4, kTreeMature, tree_at(2, 4)) == "ok" && tree_at(2, 4)[1] == 3 && tree_at(2, 4)[2] == 0xFF));
    CHECK((tree(2, 4, kTreeChangeKind, tree_at(2, 4), 5) == "ok" && tree_at(2, 4)[0] == 5));
    const auto planted = tree_at(2, 4);
    CHECK((tree(2, 4, kTreeRemove, planted) == "ok" && tree_at(2, 4) == std::array<uint8_t, 8>{}));
    CHECK(tree(2, 4, kTreeChangeKind, tree_at(2, 4), 3) == "tree slot does not contain a player-planted tree");

    CHECK(tree(1, 3, kTreeWater, planted, 0, 7) == "tree array not available");
    for (auto [garden, slot] : {std::pair{1, 2}, {1, 7}, {0, 4}, {4, 4}})
        CHECK(tree(garden, slot, kTreeWater, planted) == "tree garden or slot out of range");

    // A tree table that cannot be written is refused and left as it is.
    sim::write_tree(sim::TreeSpec{3, 1, 0, 0, 0});  // garden 1, slot 3
    const auto before = tree_at(1, 3);
    sim::set_protection(game::addr::trees, 8, game::kPageReadOnly);
    CHECK((tree(1, 3, kTreeWater, before) == "tree array not available" && tree_at(1, 3) == before));
}

// ---- through the reference server

namespace {

struct Game {
    TempDir folder;
    explicit Game(ServerFixture& s) {
        sim::reset(), build_test_garden(), sim::place_player(-20.0f, 5.0f, 8.0f, 0x2000);
        sim::set_save_path("C:\\Games\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01");
        folder.write("config.ini", "BaseUrl=" + s.base_url() + "\nApiKey=" + s.api_key +
                                       "\nScanIntervalFrames=30\nFullResyncSeconds=3600\nCommandPollSeconds=1\n");
        sim::load(folder.str().c_str());
    }
    ~Game() { sim::unload(); }
};

// Acknowledged as done.
bool acknowledged(const ServerFixture& s, int id) {
    json j = s.admin_json("GET", "/admin/commands/" + std::to_string(id));
    j = j.value("command", j);
    return j.is_object() && j.value("acknowledged", false) && j.value("ok", false);
}

int queue_command(const ServerFixture& s, const json& command) {
    HttpReply r = s.admin("POST", "/admin/gardens/tester/1/commands", command.dump());
    REQUIRE_MESSAGE(r.status == 200, r.body);
    return json::parse(r.body)["id"].get<int>();
}

json merged_chao(const ServerFixture& s, int slot) {
    const json j = s.admin_json("GET", "/admin/gardens/tester/1");
    for (const json& c : j.value("garden", j).value("chao", json::array()))
        if (c["slot"] == slot) return c;
    return json::object();
}

}  // namespace

TEST_CASE("through the server: a success acknowledged with the upload that shows it; nothing applied outside the garden") {
    ServerFixture server;
    Game game(server);
    REQUIRE(play_frames_until([&] { return merged_chao(server, 0).contains("slot"); }, 6000));
    const int rename = queue_command(server, {{"kind", "rename"}, {"slot", 0}, {"expect_chao_id", id_hex(0)},
                                              {"name_raw", "05060708090a0b"}});
    // The moment it is acknowledged, the merged garden already shows its effect.
    REQUIRE(play_frames_until([&] { return acknowledged(server, rename); }, 6000));
    CHECK(merged_chao(server, 0)["name_raw"] == "05060708090a0b");

    // Outside the garden the session keeps uploading but applies nothing until the player is back.
    sim::leave_garden();
    const int later = queue_command(server, {{"kind", "rename"}, {"slot", 1}, {"name_raw", "0c0c0c0c0c0c0c"}});
    play_frames_until([] { return false; }, 600);
    CHECK((!acknowledged(server, later) && name_hex(1) == "2a2b2c2d2e2f30"));
    sim::enter_garden(1);
    REQUIRE(play_frames_until([&] { return acknowledged(server, later); }, 6000));
    CHECK(name_hex(1) == "0c0c0c0c0c0c0c");
}
