#include "korvex/connections/common_sql_operators.hpp"

namespace korvex {

OperatorMap common_sql_operators() {
    OperatorMap map;
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
