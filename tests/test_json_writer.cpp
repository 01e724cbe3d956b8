// The JSON writer on each C runtime: commas, escapes, prepared keys and the float text.
#include <doctest/doctest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "snapshot/json_writer.h"

namespace {

std::string float_text(float v) {
    std::string s;
    append_json_float(s, v);
    return s;
}

float from_bits(uint32_t bits) {
    float f;
    memcpy(&f, &bits, 4);
    return f;
}

}  // namespace

// The snapshot tests pin whole documents; these are the shapes they do not reach.
TEST_CASE("commas: first member none, every later sibling exactly one") {
    JsonWriter w;
    w.begin_object();
    w.key_array("list");
    w.begin_object();
    w.end_object();
    w.begin_object();
    w.key_uint("h", 4294967295u);
    w.key_int64("t", -9000000000LL);
    w.end_object();
    w.end_array();
    w.key("o");  // a value opened after a bare key takes no comma
    w.begin_object();
    w.end_object();
    w.key_string("k\"", "x");
    w.end_object();
    CHECK(w.take_text() == R"({"list":[{},{"h":4294967295,"t":-9000000000}],"o":{},"k\"":"x"})");
}

TEST_CASE("escapes: control bytes, quotes, backslash, high bytes; prepared and staged keys alike") {
    const std::pair<std::string, const char*> cases[] = {
        {"\t\"\\\x01", "\"\\t\\\"\\\\\\u0001\""},
        {"\xC3\xA9/\xFF\x7F\x08\x1F\n\r", "\"\\u00c3\\u00a9/\\u00ff\\u007f\\u0008\\u001f\\n\\r\""},
        {"", "\"\""},
        {std::string("ab\0cd", 5), "\"ab\""}};  // a zero byte ends the string
    for (const auto& [in, want] : cases) {
        JsonWriter sized, terminated;
        sized.write_string(in.data(), in.size());
        terminated.write_string(in.c_str());
        CHECK(sized.text == want);
        CHECK(terminated.text == want);
    }
    const std::string long_name(70, 'k');
    for (const char* name : {"plain", "k\"\x01\xe9", "", long_name.c_str()}) {
        JsonWriter quoted;
        quoted.write_string(name);
        const std::string& q = quoted.text;
        auto write = [](const auto& key) {
            JsonWriter w;
            w.begin_object();
            w.key_int(key, -7);
            w.key_float(key, 0.5f);
            w.key_object(key);
            return w.text;
        };
        CAPTURE(name);
        CHECK(write(make_json_key(name)) == "{" + q + ":-7," + q + ":0.5000," + q + ":{");
        CHECK(write(name) == write(make_json_key(name)));
    }
}

TEST_CASE("floats: \"%.4f\" without printf, null beyond the bound, a point in every locale") {
    char mine[64], theirs[64];
    auto agree = [&](float v) {
        snprintf(theirs, sizeof theirs, "%.4f", static_cast<double>(v));
        return std::string(mine, format_json_float(v, mine)) == theirs && float_text(v) == theirs;
    };
    std::mt19937 rng(1234);
    int bad = 0;
    for (int i = 0; i < 200000; ++i) {
        float v = from_bits(rng());
        if (!std::isnan(v) && std::fabs(v) <= 3.0e38f && !agree(v)) ++bad;
        if (!agree(static_cast<float>(static_cast<int32_t>(rng())) / 65536.0f)) ++bad;  // typical game values
    }
    CHECK(bad == 0);
    // Ties, signs, and the bounds themselves (numbers in full).
    for (float v : {0.03125f, -0.03125f, 0.09375f, 2.5f, -1.5f, -0.0f, -0.00001f, 999999999.0f, 1e9f, 123456.78f,
                    from_bits(0x7F61B1E6), from_bits(0xFF61B1E6)})
        CHECK_MESSAGE(agree(v), v);
    using limits = std::numeric_limits<float>;
    for (float v : {limits::quiet_NaN(), limits::infinity(), -limits::infinity(), 3.2e38f, from_bits(0x7F61B1E7),
                    from_bits(0xFF61B1E7)})
        CHECK(float_text(v) == "null");
    // Checked apart from printf, which writes the large ones on both sides.
    std::string bound = float_text(from_bits(0x7F61B1E6));
    CHECK((bound.size() == 39 + 5 && bound.substr(39) == ".0000"));

    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") || setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        CHECK(float_text(2.25f) == "2.2500");
        CHECK(float_text(1e26f).find(',') == std::string::npos);
        setlocale(LC_NUMERIC, "C");
    }
}
