#pragma once
// The host's value model: every data map, row map, condition value and statement parameter is a
// JSON-shaped value (null, bool, integer, float, text, list, map) that keeps insertion order.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace korvex {

using Value = nlohmann::ordered_json;

// A data map or a row map: a Value holding an object.
using DataMap = Value;

// A statement with %s markers and the ordered values that fill them.
struct Statement {
    std::string text;
    std::vector<Value> params;
    // How many result columns at the end are keys the statement orders or groups by (an
    // ordering across tables, a distinct selection); the reader drops them from the rows.
    std::size_t helper_columns = 0;

    bool operator==(const Statement&) const = default;
};

// Whether a map or list holds a NaN or an infinity at any depth (JSON text has no form for one).
bool holds_non_finite_number(const Value& value);

// Whether a text, or a key or text anywhere in a map or list, is not valid UTF-8.
bool holds_invalid_utf8(const Value& value);

// The JSON text of `value` as the stores write it (with `ensure_ascii`, non-ASCII characters as
// \uXXXX escapes, so that the text is the same whatever the client encoding). Throws UsageError
// for a NaN or an infinity anywhere in it and for text that is not valid UTF-8, which JSON text
// cannot carry as given.
std::string json_text(const Value& value, bool ensure_ascii = true);
// The same, into `text` (its room used again).
void json_text_into(const Value& value, std::string& text, bool ensure_ascii = true);

// JSON text read as Value::parse(text, nullptr, false) reads it: the same value, or a discarded
// one for text that is not JSON. Plain maps and lists of ASCII texts without escapes, integers,
// booleans and nulls (what rows mostly hold) are read without the general parser.
Value parse_json(std::string_view text);

// Printed form of a value as it appears in messages: texts quoted, everything else as JSON.
std::string printed(const Value& value);

// Printed form of a parameter sequence: "(a, b)"; one element keeps its trailing comma "(a,)".
std::string printed_parameters(const std::vector<Value>& params);

}  // namespace korvex
