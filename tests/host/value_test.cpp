#include "korvex/error.hpp"
#include "korvex/value.hpp"

#include <gtest/gtest.h>

#include <cmath>

TEST(PrintedParameters, ListsValuesInParentheses) {
    using korvex::Value;
    EXPECT_EQ(korvex::printed_parameters({}), "()");
    EXPECT_EQ(korvex::printed_parameters({Value(1), Value("x")}), "(1, 'x')");
    EXPECT_EQ(korvex::printed_parameters({Value(nullptr)}), "(null,)");
    // Bytes that are not UTF-8 inside a map, in a key or a text, print as U+FFFD.
    Value map = Value::object();
    map["k\x9e"] = "a\xff";
    EXPECT_EQ(korvex::printed_parameters({map}), "({\"k\xEF\xBF\xBD\":\"a\xEF\xBF\xBD\"},)");
}

// json_text writes most maps itself; its bytes are the JSON writer's, with and without
// ensure_ascii, and the writer's refusals stand.
TEST(JsonText, WritesTheJsonWritersBytes) {
    using korvex::Value;
    const std::vector<Value> values = {
        Value::parse(R"({"city":"Town","n":-7,"big":18446744073709551615,"ok":true,"none":null})"),
        Value::parse(R"({"":[],"e":{},"l":[1,[2,{"a":"b"}],"x"],"min":-9223372036854775808})"),
        Value("quote\" back\\ \b\f\n\r\t \x01\x1f\x7f /"),
        Value::parse(R"({"k\u0001\"":"v","é":"\u00e9 ☃ 😀","f":[1.5,-0.0,1e300,2.0]})"),
    };
    for (const auto& value : values) {
        for (const bool ascii : {true, false}) {
            EXPECT_EQ(korvex::json_text(value, ascii), value.dump(-1, ' ', ascii)) << value.dump();
            // Into room that held an earlier text: nothing of it, nor of a begun plain write, stays.
            std::string room(300, 'x');
            korvex::json_text_into(value, room, ascii);
            EXPECT_EQ(room, value.dump(-1, ' ', ascii)) << value.dump();
        }
    }
    EXPECT_THROW(korvex::json_text(Value{{"a", {1, "x", std::nan("")}}}, true), korvex::UsageError);
    EXPECT_THROW(korvex::json_text(Value{{"a", "\xff"}}, true), korvex::UsageError);
}

namespace {

// The value's kinds at every depth (an unsigned and a signed integer compare equal as values).
std::string kinds(const korvex::Value& value) {
    std::string out(1, static_cast<char>('a' + static_cast<int>(value.type())));
    if (value.is_structured()) {
        for (const auto& [key, element] : value.items()) out += key + ":" + kinds(element) + ",";
    }
    return out;
}

}  // namespace

TEST(ParseJson, ReadsEveryTextAsTheGeneralParserDoes) {
    for (const std::string text :
         {R"({"city" : "Town", "n" : 1})", R"({"object_id": "o1", "object_version": "5"})", "{}", "[]", " [ ] ",
          R"([1, -1, 0, -0, true, false, null, "", [[{}]]])", R"({"a": 1, "a": 2, "b": 3})",
          "999999999999999999", "-999999999999999999", "12345678901234567890", "-12345678901234567890", "1.5",
          "1e3", "01", "-", "1 2", R"("a\"b")", R"("\u00e9")", "\"\xc3\xa9\"", "\"\xff\"", "\"a\tb\"", "tru",
          "truex", "[1,]", R"({"a":1,})", R"({"a" 1})", "{\"a\":", "", " null ", "\xef\xbb\xbf{}",
          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"}) {
        const korvex::Value expected = korvex::Value::parse(text, nullptr, false);
        const korvex::Value read = korvex::parse_json(text);
        EXPECT_EQ(read.is_discarded(), expected.is_discarded()) << text;
        if (!expected.is_discarded()) {
            EXPECT_EQ(read, expected) << text;
            EXPECT_EQ(kinds(read), kinds(expected)) << text;
        }
    }
}
