#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/connections/sql_quoting.hpp"

#include <gtest/gtest.h>

using namespace korvex;

TEST(SqlOperatorTemplate, StatementPutsPrefixAndExpressionInEveryPlaceholder) {
    const SqlOperatorTemplate between{std::string("{field_name} > %s AND {field_name} < 9"), std::nullopt, nullptr};
    EXPECT_EQ(between.build_statement("\"n\"", 1, "t1.", "\""), R"(t1."n" > %s AND t1."n" < 9)");
    // An expression that itself reads like the placeholder is not expanded again.
    EXPECT_EQ(between.build_statement("{field_name}", 1, "", "\""), "{field_name} > %s AND {field_name} < 9");
}

TEST(SqlOperatorTemplate, OperationTemplatesSeeTheValue) {
    const SqlOperatorTemplate sign{[](const Value& v) -> std::string { return v > 0 ? "{field_name} > 0" : "{field_name} <= 0"; },
                                   std::nullopt, nullptr};
    EXPECT_EQ(sign.build_statement("x", 5, "", ""), "x > 0");
    EXPECT_EQ(sign.build_statement("x", -5, "", ""), "x <= 0");
}

TEST(SqlOperatorTemplate, ValueIsModifiedThenWrapped) {
    const SqlOperatorTemplate plain{std::string("{field_name} = %s"), std::nullopt, nullptr};
    EXPECT_EQ(plain.build_value(Value::parse("[1]")), ConditionParam(Value::parse("[1]")));

    const SqlOperatorTemplate wrapped{std::string("{field_name} LIKE %s"), "%{value}%",
                                      [](const Value& v) -> ConditionParam { return Value(text_form(v) + "!"); }};
    EXPECT_EQ(wrapped.build_value(12), ConditionParam(Value("%12!%")));

    const SqlOperatorTemplate none{std::string("{field_name} IS NULL"), "%{value}%",
                                   [](const Value&) -> ConditionParam { return NoValue; }};
    EXPECT_EQ(none.build_value("x"), ConditionParam(NoValue));
}

TEST(ValueType, RunTimeKinds) {
    EXPECT_EQ(type_of(nullptr), ValueType::NONE);
    EXPECT_EQ(type_of(true), ValueType::BOOLEAN);
    EXPECT_EQ(type_of(1), ValueType::INTEGER);
    EXPECT_EQ(type_of(std::uint64_t{1}), ValueType::INTEGER);
    EXPECT_EQ(type_of(1.0), ValueType::FLOAT);
    EXPECT_EQ(type_of("LATEST"), ValueType::TEXT);
    EXPECT_EQ(type_of(Value::array()), ValueType::LIST);
    EXPECT_EQ(type_of(Value::object()), ValueType::MAP);
}

TEST(SqlQuoting, QuotesAreDoubledAndPercentSignsCannotPoseAsMarkers) {
    EXPECT_EQ(quote_sql_identifier("person"), "\"person\"");
    EXPECT_EQ(quote_sql_identifier("a\"b%s"), "\"a\"\"b%%s\"");
    EXPECT_EQ(quote_sql_literal("it's 5%"), "'it''s 5%%'");
}

TEST(SqlQuoting, ColumnNamesAreBareOnlyWhenThatIsSafe) {
    EXPECT_EQ(sql_column_name("created_at"), "created_at");
    EXPECT_EQ(sql_column_name("_metadata"), "_metadata");
    EXPECT_EQ(sql_column_name("createdAt"), "\"createdAt\"");
    EXPECT_EQ(sql_column_name("order"), "\"order\"");
    EXPECT_EQ(sql_column_name("1st"), "\"1st\"");
    EXPECT_EQ(sql_column_name("a, b"), "\"a, b\"");
}
