#include "korvex/value.hpp"

#include <gtest/gtest.h>

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
