#include "korvex/utils/text.hpp"

#include <gtest/gtest.h>

TEST(ToCamelCase, JoinsWordsWithCapitals) {
    EXPECT_EQ(korvex::to_camel_case("person"), "Person");
    EXPECT_EQ(korvex::to_camel_case("order_line"), "OrderLine");
    EXPECT_EQ(korvex::to_camel_case("my-class name"), "MyClassName");
    EXPECT_EQ(korvex::to_camel_case("OrderLine"), "OrderLine");
    EXPECT_EQ(korvex::to_camel_case(""), "");
}
