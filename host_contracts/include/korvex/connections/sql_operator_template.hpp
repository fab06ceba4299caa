#pragma once
// How one look-up operator renders to an SQL predicate and its parameter. A store builds one
// template per operator once and only reads it afterwards, so templates may be shared freely.

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

// Run-time kinds of a condition value, as the statement builders tell them apart. VERSIONS is
// never a run-time kind: a caller passes it to say that a value is a version marker.
enum class ValueType { NONE, BOOLEAN, INTEGER, FLOAT, TEXT, LIST, MAP, VERSIONS };
ValueType type_of(const Value& value);

// The text a value stands for inside a predicate parameter: a text as it is, anything else in
// its printed JSON form (12 -> "12", true -> "true").
std::string text_form(const Value& value);
// `param` with every value that is neither NULL nor a text (a list's items one by one) in its
// text form: a parameter compared with a text form travels as text, so that 9 finds "9".
ConditionParam as_text_param(ConditionParam param);

// Whether a condition value counts as true (IS NULL with it tests for NULL): true, non-zero
// numbers and non-empty texts, lists and maps.
bool is_truthy(const Value& value);

// The elements an IN condition tests against: its value is the JSON text of a list (a list
// itself is taken as it is). Throws UsageError for anything else.
Value in_elements(const Value& value);

// The kind a JSON path is read as for a predicate: that of the parameter it is compared with, so
// that the LIKE family (whose parameter is always a text) compares the text form of a number,
// and IN compares by the kind its elements share (numbers are one kind; text when they are of
// several kinds). A predicate without a parameter (IS NULL) reads the text form.
ValueType compared_kind(const ConditionParam& param);

struct SqlOperatorTemplate {
    using TemplateOperation = std::function<std::string(const Value&)>;
    using ValueModifier = std::function<ConditionParam(const Value&)>;

    // A format text with {field_name} and %s, or an operation of the value giving one.
    std::variant<std::string, TemplateOperation> template_;
    // Wrapped around the (modified) value's text form to make the parameter: "%{value}%".
    std::optional<std::string> value_template;
    // Applied to the value first; empty means the value itself.
    ValueModifier value_modifier;

    // The predicate: the template with `prefix` + `expression` in place of every {field_name}.
    // The expression arrives finished (a column the caller quoted, or a cast over a JSON path)
    // and is written unchanged; `column_separator` is the store's identifier quote, which the
    // caller used for it.
    std::string build_statement(const std::string& expression, const Value& value, const std::string& prefix,
                                const std::string& column_separator) const;
    // The parameter for `value`: the modifier's result, wrapped by value_template when it is a
    // value; NoValue passes through unwrapped.
    ConditionParam build_value(const Value& value) const;
};

}  // namespace korvex
