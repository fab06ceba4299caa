#include "korvex/value.hpp"

#include <gtest/gtest.h>

TEST(PrintedParameters, ListsValuesInParentheses) {
    using korvex::Value;
    EXPECT_EQ(korvex::printed_parameters({}), "()");
    EXPECT_EQ(korvex::printed_parameters({Value(1), Value("x")}), "(1, 'x')");
    EXPECT_EQ(korvex::printed_parameters({Value(nullptr)}), "(null,)");
}
