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
        }
    }
    EXPECT_THROW(korvex::json_text(Value{{"a", {1, "x", std::nan("")}}}, true), korvex::UsageError);
    EXPECT_THROW(korvex::json_text(Value{{"a", "\xff"}}, true), korvex::UsageError);
}
