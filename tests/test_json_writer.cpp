#include <doctest/doctest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>

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

TEST_CASE("commas: first member none, every later sibling exactly one") {
    JsonWriter w;
    w.begin_object();
    w.key_object("empty");
    w.end_object();
    w.key_array("none");
    w.end_array();
    w.key_array("list");
    w.begin_object();
    w.key_int("a", 1);
    w.end_object();
    w.begin_object();
    w.key_uint("h", 4294967295u);
    w.key_int64("t", -9000000000LL);
    w.end_object();
    w.end_array();
    w.key_array("slots");
    w.write_int(0);
    w.write_int(-1);
    w.write_int(36);
    w.end_array();
    w.key_int("n", 255);
    w.key_bool("b", false);
    w.key_float("f", 0.5f);
    w.key_string("s", "x");
    w.end_object();
    CHECK(w.take_text() ==
          "{\"empty\":{},\"none\":[],\"list\":[{\"a\":1},{\"h\":4294967295,\"t\":-9000000000}],"
          "\"slots\":[0,-1,36],\"n\":255,\"b\":false,\"f\":0.5000,\"s\":\"x\"}");
    CHECK(w.text.empty());
}

TEST_CASE("escapes: control bytes, quotes, backslash, high bytes, keys alike") {
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
    JsonWriter w;
    w.begin_object();
    w.key_string("k\"", "v");
    w.end_object();
    CHECK(w.text == "{\"k\\\"\":\"v\"}");
}

TEST_CASE("floats: four decimals, null beyond the bound, a point in every locale") {
    using limits = std::numeric_limits<float>;
    for (auto [v, want] : {std::pair{1.0f, "1.0000"}, {-1.5f, "-1.5000"}, {-2.0f, "-2.0000"}, {0.0f, "0.0000"},
                           {limits::quiet_NaN(), "null"}, {limits::infinity(), "null"}, {-limits::infinity(), "null"},
                           {3.2e38f, "null"}, {from_bits(0x7F61B1E7), "null"}}) {
        CAPTURE(v);
        CHECK(float_text(v) == want);
    }
    // The bounds themselves and huge values are written in full as numbers.
    std::string bound = float_text(from_bits(0x7F61B1E6));
    CHECK(bound.size() == 39 + 5);
    CHECK(bound.substr(bound.size() - 5) == ".0000");
    CHECK(float_text(from_bits(0xFF61B1E6))[0] == '-');
    CHECK(float_text(1e26f).find("e") == std::string::npos);

    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") || setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        CHECK(float_text(2.25f) == "2.2500");
        setlocale(LC_NUMERIC, "C");
    }
}
