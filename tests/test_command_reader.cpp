#include <doctest/doctest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "host/log.h"
#include "sim/sim.h"
#include "writeback/command_reader.h"
#include "writeback/json_reader.h"

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
    const char* v = find_value(e.begin(), e.end(), "id");
    REQUIRE(v);
    int32_t n = 7;
    CHECK(read_int(v, e.end(), n));
    CHECK(n == 42);
    std::string s;
    CHECK(read_string(find_value(e.begin(), e.end(), "s"), e.end(), s));
    CHECK(s == "a\"bn");  // escapes make the next character literal, nothing is translated
    CHECK_FALSE(find_value(e.begin(), e.end(), "x"));
    CHECK_FALSE(find_value(e.begin(), e.begin() + 4, "id"));  // no room for "id" and a colon

    Exact tail("\"k\": ");
    CHECK(find_value(tail.begin(), tail.end(), "k") == tail.end());

    // 7 stands for "refused, left as it was".
    for (auto [text, want] : {std::pair{"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"3 ,", 3}, {"008]", 8},
                              {"2147483648", 7}, {"-2147483649", 7}, {"12.5", 7}, {"\"12\"", 7}, {"+1", 7}, {"null", 7},
                              {"-", 7}, {"3x", 7}, {"1e3", 7}, {"", 7}}) {
        Exact g(text);
        n = 7;
        CAPTURE(text);
        CHECK(read_int(g.begin(), g.end(), n) == (want != 7));
        CHECK(n == want);
    }
    CHECK_FALSE(read_int(nullptr, e.end(), n));

    for (const char* bad : {"\"open", "\"ends in backslash\\", "x\"", "\"esc at end\\\""}) {
        Exact x(bad);
        CHECK_FALSE(read_string(x.begin(), x.end(), s));
    }

    uint8_t bytes[3];
    CHECK(decode_hex("0aFf10", bytes, 3));
    CHECK((bytes[0] == 0x0a && bytes[1] == 0xff && bytes[2] == 0x10));
    for (std::string_view bad : {"0aff1"sv, "0aff1000"sv, "0aff1g"sv, "0a\0f10"sv}) CHECK_FALSE(decode_hex(bad, bytes, 3));
}

TEST_CASE("documents without a commands array are refused, broken objects dropped") {
    for (const char* refused : {"", "not json at all", "{\"commands\":{}}", "{\"commands\":"}) parse(refused, false);
    CHECK(parse("{\"commands\":[]}").empty());

    auto out = parse(
        "{\"commands\":[{\"id\":12.5,\"kind\":\"resync\"},{\"id\":\"3\",\"kind\":\"resync\"},"
        "{\"id\":2147483648,\"kind\":\"resync\"},{\"id\":4},{\"id\":5,\"kind\":6},"
        "{\"id\":6,\"kind\":\"resync\"}}, {\"id\":7,\"kind\":\"re\0sync\"},{\"id\":8,\"kind\":\"\xff\xfe\"},"
        "{\"id\":10,\"kind\":\"rename\""s);  // cut off inside the last object
    REQUIRE(out.size() == 3);
    CHECK((out[0].id == 6 && out[0].kind == CommandKind::resync));  // a stray brace is passed over
    CHECK(out[1].kind == CommandKind::unknown);
    CHECK(out[2].kind == CommandKind::unknown);
}

TEST_CASE("deep nesting and repeated keys") {
    std::string deep = "{\"commands\":[" + std::string(200000, '{') + std::string(200000, '[') + "]}";
    CHECK(parse(deep).empty());

    auto c = one("{\"id\":1,\"kind\":\"rename\",\"slot\":3,\"slot\":4,\"id\":2}");
    CHECK((c.id == 1 && c.slot == 3));
}

TEST_CASE("every cut of a document stays inside the text") {
    const std::string doc = "{\"commands\":[" + restore(2, fields(105)) +
                            ",{\"id\":2,\"kind\":\"spawn_inventory\",\"v\":1,\"item_id\":\"" + std::string(32, 'a') +
                            "\",\"item_kind\":\"fruit\",\"garden\":1,\"item_type\":3,\"size\":2,\"age\":0}]}";
    const size_t first_end = doc.find("},{") + 1, second_end = doc.size() - 2;
    ModLog::set_log_enabled(false);
    for (size_t n = 0; n <= doc.size(); ++n) {
        Exact e(doc.substr(0, n));
        std::vector<WritebackCommand> out;
        parse_commands(e.view(), out);
        CHECK(out.size() == (n >= first_end) + (n >= second_end));  // only whole objects count
    }
    // A payload cut anywhere before its closing bracket may have lost digits: refused.
    const std::string object = restore(2, fields(105));
    for (size_t n = 0; n <= object.size(); ++n) {
        Exact e(object.substr(0, n));
        WritebackCommand c;
        CHECK(parse_restore_payload(e.begin(), e.end(), c) == (object.substr(0, n).find(']') != std::string::npos));
    }
    ModLog::reset();
    auto out = parse(doc);
    REQUIRE(out.size() == 2);
    CHECK((out[0].restore_ok && out[1].inventory_ok));
}

TEST_CASE("identity fields") {
    auto c = one(std::string("{\"id\":1,\"kind\":\"rename\",\"slot\":0,\"expect_seed\":-5,\"expect_chao_id\":\"") +
                 kChaoId + "\",\"name_raw\":\"01020304050607\"}");
    CHECK((c.has_expect_seed && c.expect_seed == -5 && c.has_expect_chao_id && c.expect_chao_id_ok && c.has_name));
    CHECK((c.expect_chao_id[0] == 0x0a && c.expect_chao_id[19] == 0x18 && c.name_raw[6] == 7));
    for (std::string id : {std::string(40, '0'), std::string(16, '0') + "deadbeef" + std::string(16, '0'),
                           std::string(kChaoId).substr(1), std::string(kChaoId) + "0", std::string("null")}) {
        std::string value = id == "null" ? id : "\"" + id + "\"";
        c = one("{\"id\":1,\"kind\":\"rename\",\"expect_chao_id\":" + value + "}");
        CHECK((!c.has_expect_chao_id && !c.expect_chao_id_ok));
    }
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"rename\",\"name_raw\":\"0102030405060\xc3\"}").has_name);
}

TEST_CASE("restore payload versions and field counts; a refused payload fills nothing") {
    sim::reset();  // the reader's refusals are logged through the game
    ModLog::set_log_enabled(false);
    auto c = one(restore(2, fields(105)));
    CHECK((c.restore_ok && c.restore_version == 2 && c.restore_fields[0] == 5 && c.restore_fields[104] == 104));
    c = one(restore(3, fields(111, {{110, "2097151"}})));
    CHECK((c.restore_ok && c.restore_fields[110] == 2097151));
    c = one(restore(4, " " + fields(113, {{111, " 1 "}})));
    CHECK((c.restore_ok && c.restore_version == 4 && c.restore_fields[111] == 1 && c.restore_fields[112] == 112));
    for (const std::string& doc :
         {restore(3, fields(112)), restore(3, fields(110)), restore(5, fields(113)), "{\"id\":9,\"kind\":\"restore\",\"f\":[1]}"s,
          restore(3, fields(111, {{110, "2097152"}})), restore(4, fields(113, {{111, "2"}})), restore(2, "{}"),
          restore(2, fields(105, {{3, "2147483648"}})), restore(2, fields(105, {{3, "1.5"}})),
          restore(2, fields(105, {{3, "\"3\""}}))}) {
        CAPTURE(doc.substr(0, 48));
        c = one(doc);
        CHECK((!c.restore_ok && c.restore_version == 0 && c.restore_fields[0] == 0 && c.restore_fields[104] == 0));
    }
    ModLog::reset();
}

TEST_CASE("kind payloads") {
    const std::string gen = "\"expect_generation\":\"8f3a21c07b44e9d1\",\"generation\":\"8F3A21C07B44E9D1\"";
    auto c = one("{\"id\":1,\"kind\":\"hatch\",\"slot\":2,\"v\":1," + gen + "}");
    CHECK((c.hatch_ok && c.has_expect_generation && c.garden == 0 && c.hatch_version == 1));
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"hatch\",\"v\":1,\"garden\":4," + gen + "}").hatch_ok);
    c = one("{\"id\":1,\"kind\":\"hatch\",\"v\":1,\"expect_generation\":\"8f3a\",\"generation\":\"8f3a\"}");
    CHECK((!c.hatch_ok && !c.expect_generation_ok));

    const std::string id = std::string(",\"expect_chao_id\":\"") + kChaoId + "\"";
    c = one("{\"id\":1,\"kind\":\"reincarnate\",\"slot\":3,\"v\":1,\"garden\":2,\"reincarnations\":32766" + id + "}");
    CHECK((c.reincarnate_ok && c.garden == 2 && c.reincarnations == 32766));
    c = one("{\"id\":1,\"kind\":\"reincarnate\",\"v\":1,\"garden\":2,\"reincarnations\":32767" + id + "}");
    CHECK((!c.reincarnate_ok && c.reincarnations == 32767));
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"reincarnate\",\"v\":1,\"garden\":2,\"reincarnations\":0}").reincarnate_ok);

    const std::string parts = "\"arm\":-1,\"ear\":20,\"forehead\":0,\"horn\":1,\"leg\":2,\"tail\":3,\"wing\":4";
    c = one("{\"id\":1,\"kind\":\"set_parts\"," + parts + ",\"face\":5,\"expect_parts_guard\":\"00112233445566FF\"}");
    CHECK((c.parts_ok && c.parts[0] == -1 && c.parts[7] == 5 && c.has_expect_parts_guard && c.expect_parts_guard_ok));
    c = one("{\"id\":1,\"kind\":\"set_parts\"," + parts + ",\"face\":21,\"expect_parts_guard\":\"0011\"}");
    CHECK((!c.parts_ok && c.parts[0] == 0 && c.has_expect_parts_guard && !c.expect_parts_guard_ok));

    c = one("{\"id\":1,\"kind\":\"spawn_fruit\",\"garden\":1,\"fruit_type\":23}");
    CHECK((c.fruit_ok && c.count == 1));
    // The count and type limits are checked at the dispatcher.
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"spawn_fruit\",\"garden\":0,\"fruit_type\":3}").fruit_ok);

    auto item = [](const char* kind, int type, int size) {
        return one("{\"id\":1,\"kind\":\"spawn_inventory\",\"v\":1,\"item_id\":\"" + std::string(32, 'A') +
                   "\",\"item_kind\":\"" + kind + "\",\"garden\":3,\"item_type\":" + std::to_string(type) +
                   ",\"size\":" + std::to_string(size) + ",\"age\":-32768}");
    };
    c = item("fruit", 23, 4);
    CHECK((c.inventory_ok && !c.item_is_animal && c.item_id == std::string(32, 'A') && c.age == -32768));
    CHECK((item("animal", 20, 0).inventory_ok && item("animal", 20, 0).item_is_animal));
    for (auto [kind, type, size] : {std::tuple{"fruit", 3, 0}, {"fruit", 3, 5}, {"animal", 21, 0}, {"animal", 3, 32768},
                                    {"toy", 3, 1}})
        CHECK_FALSE(item(kind, type, size).inventory_ok);

    auto tree = [](int slot, const char* action, const char* extra) {
        return one("{\"id\":1,\"kind\":\"tree_control\",\"slot\":" + std::to_string(slot) +
                   ",\"garden\":2,\"action\":\"" + action + "\",\"expect_raw\":\"0203ff0000000000\"" + extra + "}");
    };
    c = tree(4, "change_kind", ",\"tree_kind\":7");
    CHECK((c.tree_ok && c.tree_action == 3 && c.tree_kind == 7 && c.has_expect_raw && c.garden == 2));
    CHECK((tree(3, "water", "").tree_ok && tree(6, "remove", "").tree_ok));
    CHECK_FALSE((tree(2, "water", "").tree_ok || tree(4, "prune", "").tree_ok ||
                 tree(4, "change_kind", ",\"tree_kind\":8").tree_ok));

    c = one("{\"id\":1,\"kind\":\"Rename\",\"slot\":4}");
    CHECK((c.kind == CommandKind::unknown && c.slot == 4));
}
