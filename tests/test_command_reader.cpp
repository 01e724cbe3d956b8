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
    int32_t n = 7;
    CHECK((read_int(find_value(e.begin(), e.end(), "id"), e.end(), n) && n == 42));
    std::string s;
    CHECK((read_string(find_value(e.begin(), e.end(), "s"), e.end(), s) && s == "a\"bn"));  // escapes: the next character, literal
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
    out = parse(doc);
    CHECK((out.size() == 2 && out[0].restore_ok && out[1].inventory_ok));
}

TEST_CASE("identity fields and restore payloads; a refused payload fills nothing") {
    auto c = one(std::string("{\"id\":1,\"kind\":\"rename\",\"slot\":0,\"expect_seed\":-5,\"expect_chao_id\":\"") +
                 kChaoId + "\",\"name_raw\":\"01020304050607\"}");
    CHECK((c.has_expect_seed && c.expect_seed == -5 && c.has_expect_chao_id && c.expect_chao_id_ok && c.has_name));
    CHECK((c.expect_chao_id[0] == 0x0a && c.expect_chao_id[19] == 0x18 && c.name_raw[6] == 7));
    // Malformed, or empty apart from the seed: no identity to guard with.
    for (std::string id : {"\"" + std::string(16, '0') + "deadbeef" + std::string(16, '0') + "\"",
                           "\"" + std::string(kChaoId).substr(1) + "\"", "\"" + std::string(kChaoId) + "0\"", "null"s}) {
        c = one("{\"id\":1,\"kind\":\"rename\",\"expect_chao_id\":" + id + "}");
        CHECK((!c.has_expect_chao_id && !c.expect_chao_id_ok));
    }
    CHECK_FALSE(one("{\"id\":1,\"kind\":\"rename\",\"name_raw\":\"0102030405060\xc3\"}").has_name);

    sim::reset();  // the reader's refusals are logged through the game
    ModLog::set_log_enabled(false);
    c = one(restore(2, fields(105)));
    CHECK((c.restore_ok && c.restore_version == 2 && c.restore_fields[0] == 5 && c.restore_fields[104] == 104));
    c = one(restore(3, fields(111, {{110, "2097151"}})));
    CHECK((c.restore_ok && c.restore_fields[110] == 2097151));
    c = one(restore(4, " " + fields(113, {{111, " 1 "}})));
    CHECK((c.restore_ok && c.restore_version == 4 && c.restore_fields[111] == 1 && c.restore_fields[112] == 112));
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
