#pragma once
// How one look-up operator renders to an SQL predicate and its parameter.

#include "korvex/value.hpp"

#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace korvex {

// Marks a predicate that takes no parameter (IS NULL, the latest-version test).
struct NoValueType {
    bool operator==(const NoValueType&) const = default;
};
inline constexpr NoValueType NoValue{};

// The parameter part of a predicate: none (no condition), NoValue, or one value (for IN, the
// decoded sequence, each element of which fills one marker).
using ConditionParam = std::variant<std::monostate, NoValueType, Value>;

// Run-time kinds of a condition value, as the statement builders tell them apart.
enum class ValueType { NONE, BOOLEAN, INTEGER, FLOAT, TEXT, LIST, MAP, VERSIONS };
ValueType type_of(const Value& value);

struct SqlOperatorTemplate {
    // A format text with {field_name} and %s, or an operation of the value giving one.
    std::variant<std::string, std::function<std::string(const Value&)>> template_;
    // Wrapped around the value to make the parameter: "%{value}%".
    std::optional<std::string> value_template;
    // Applied to the value before value_template; empty means the value itself.
    std::function<ConditionParam(const Value&)> value_modifier;

    // The predicate: the template with `prefix` + `expression` in place of {field_name}.
    std::string build_statement(const std::string& expression, const Value& value, const std::string& prefix,
                                const std::string& column_separator) const;
    // The parameter for `value`.
    ConditionParam build_value(const Value& value) const;
};

}  // namespace korvex
