#include "korvex/connections/common_sql_operators.hpp"

namespace korvex {

OperatorMap common_sql_operators(const std::string& boolean_equal, const std::string& boolean_not_equal) {
    OperatorMap map;
    const std::string equal = "{field_name} " + boolean_equal + " %s";
    const std::string not_equal = "{field_name} " + boolean_not_equal + " %s";
    map[Lookup::EQ] = {[equal](const Value& value) -> std::string {
                           return value.is_boolean() ? equal : "{field_name} = %s";
                       },
                       std::nullopt, nullptr};
    map[Lookup::NEQ] = {[not_equal](const Value& value) -> std::string {
                            return value.is_boolean() ? not_equal : "{field_name} != %s";
                        },
                        std::nullopt, nullptr};
    map[Lookup::GT] = {std::string("{field_name} > %s"), std::nullopt, nullptr};
    map[Lookup::GTE] = {std::string("{field_name} >= %s"), std::nullopt, nullptr};
    map[Lookup::LT] = {std::string("{field_name} < %s"), std::nullopt, nullptr};
    map[Lookup::LTE] = {std::string("{field_name} <= %s"), std::nullopt, nullptr};
    map[Lookup::IN] = {[](const Value& value) -> std::string {
                           const Value elements = in_elements(value);
                           // Nothing is in an empty list; "IN ()" is not valid SQL.
                           if (elements.empty()) return "FALSE";
                           std::string markers;
                           for (std::size_t i = 0; i < elements.size(); ++i) markers += i == 0 ? "%s" : ",%s";
                           return "{field_name} IN (" + markers + ")";
                       },
                       std::nullopt, [](const Value& value) -> ConditionParam { return in_elements(value); }};
    map[Lookup::ISNULL] = {[](const Value& value) -> std::string {
                               return is_truthy(value) ? "{field_name} IS NULL" : "{field_name} IS NOT NULL";
                           },
                           std::nullopt, [](const Value&) -> ConditionParam { return NoValue; }};
    return map;
}

}  // namespace korvex
