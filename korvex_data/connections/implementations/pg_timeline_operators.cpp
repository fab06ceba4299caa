// PostgresHistoricalConnection: the look-up operators as PostgreSQL predicates, and the column a
// condition compares with a number that has a fraction.

#include "korvex/error.hpp"
#include "korvex/connections/common_sql_operators.hpp"
#include "korvex/utils/text.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_dialect.hpp"

#include <algorithm>

namespace korvex::pg_timeline {
namespace {


// LIKE's own characters in a value that is matched literally: the server's default escape
// character is the backslash.
std::string escape_like(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '%' || c == '_') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

ConditionParam literal_text(const Value& value) { return Value(escape_like(text_form(value))); }

ConditionParam upper_literal_text(const Value& value) { return Value(escape_like(unicode_upper(text_form(value)))); }

OperatorMap build_operator_map() {
    // A boolean is compared null-safely, as IS TRUE / IS NOT TRUE would; the server takes no
    // parameter after a bare IS.
    OperatorMap map = common_sql_operators("IS NOT DISTINCT FROM", "IS DISTINCT FROM");
    map[Lookup::CONTAINS] = {std::string("{field_name} LIKE %s"), "%{value}%", literal_text};
    map[Lookup::ICONTAINS] = {std::string("UPPER({field_name}) LIKE %s"), "%{value}%", upper_literal_text};
    map[Lookup::STARTSWITH] = {std::string("{field_name} LIKE %s"), "{value}%", literal_text};
    map[Lookup::ISTARTSWITH] = {std::string("UPPER({field_name}) LIKE %s"), "{value}%", upper_literal_text};
    map[Lookup::ENDSWITH] = {std::string("{field_name} LIKE %s"), "%{value}", literal_text};
    map[Lookup::IENDSWITH] = {std::string("UPPER({field_name}) LIKE %s"), "%{value}", upper_literal_text};
    return map;
}

// A number with a fraction, alone or in the JSON list of an IN.
bool holds_fraction(const Value& value) {
    if (value.is_number_float()) return true;
    if (!value.is_string()) return false;
    const Value decoded = Value::parse(value.get_ref<const std::string&>(), nullptr, false);
    return decoded.is_array() &&
           std::any_of(decoded.begin(), decoded.end(), [](const Value& element) { return element.is_number_float(); });
}

bool is_integer_type(const std::string& data_type) {
    return data_type == "bigint" || data_type == "integer" || data_type == "smallint";
}

}  // namespace

const OperatorMap sql_operator_map = build_operator_map();

std::string PostgresHistoricalConnection::_resolve_nested_field_name(const std::string& field_name,
                                                                     const std::string& nested_fields,
                                                                     ValueType value_type, bool is_internal_table,
                                                                     bool use_internal_meta_tables) {
    return resolve_nested_field(postgres_dialect(), field_name, nested_fields, value_type, is_internal_table,
                                use_internal_meta_tables, ReadScope{});
}

std::string PostgresHistoricalConnection::_filter_column(const std::string& field, const Value& value,
                                                         const std::string& prefix, const ReadScope& scope) {
    std::string column = SqlHistoricalStore::_filter_column(field, value, prefix, scope);
    if (!holds_fraction(value)) return column;
    // A column this table lacks stands in as a NULL of another table's type; an integer NULL
    // would fail to read a number with a fraction as its parameter.
    if (const std::string* stand_in = prefix.empty() ? nullptr : scope.stand_in(field)) {
        const bool integer = stand_in->starts_with("NULL::") && is_integer_type(stand_in->substr(6));
        return integer ? "CAST(" + column + " AS numeric)" : column;
    }
    if (scope.table == nullptr) return column;
    const auto description = described_table(*scope.table);
    const auto found = description->find(field);
    if (found == description->end() || !is_integer_type(found->second)) return column;
    return "CAST(" + column + " AS numeric)";
}

}  // namespace korvex::pg_timeline
