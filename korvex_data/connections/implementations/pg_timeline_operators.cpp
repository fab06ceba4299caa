// PostgresHistoricalConnection: the look-up operators as PostgreSQL predicates, and conditions on
// a path inside a JSON column or on a part of an object's address or metadata.

#include "korvex/error.hpp"
#include "korvex/connections/absent_columns.hpp"
#include "korvex/connections/common_sql_operators.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/models/versions.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/utils/text.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <algorithm>
#include <stdexcept>

namespace korvex::pg_timeline {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

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
    OperatorMap map = common_sql_operators();
    // A boolean is compared null-safely, as IS TRUE / IS NOT TRUE would; the server takes no
    // parameter after a bare IS.
    map[Lookup::EQ] = {[](const Value& value) -> std::string {
                           return value.is_boolean() ? "{field_name} IS NOT DISTINCT FROM %s" : "{field_name} = %s";
                       },
                       std::nullopt, nullptr};
    map[Lookup::NEQ] = {[](const Value& value) -> std::string {
                            return value.is_boolean() ? "{field_name} IS DISTINCT FROM %s" : "{field_name} != %s";
                        },
                        std::nullopt, nullptr};
    map[Lookup::CONTAINS] = {std::string("{field_name} LIKE %s"), "%{value}%", literal_text};
    map[Lookup::ICONTAINS] = {std::string("UPPER({field_name}) LIKE %s"), "%{value}%", upper_literal_text};
    map[Lookup::STARTSWITH] = {std::string("{field_name} LIKE %s"), "{value}%", literal_text};
    map[Lookup::ISTARTSWITH] = {std::string("UPPER({field_name}) LIKE %s"), "{value}%", upper_literal_text};
    map[Lookup::ENDSWITH] = {std::string("{field_name} LIKE %s"), "%{value}", literal_text};
    map[Lookup::IENDSWITH] = {std::string("UPPER({field_name}) LIKE %s"), "%{value}", upper_literal_text};
    return map;
}

// Numbers compare as numeric whatever their mix of integer and real and however large (an
// integer cast would fail on 0.5 or on 3000000000, a real one would round); a JSON true or
// false reads as a boolean; everything else as the path's text.
std::string cast_type_of(ValueType value_type) {
    switch (value_type) {
        case ValueType::INTEGER:
        case ValueType::FLOAT: return "numeric";
        case ValueType::BOOLEAN: return "boolean";
        default: return "text";
    }
}

// The JSON kind (json_typeof) a path must hold to be compared as a number or a boolean; a
// value of another kind there (a text "true", a text that is no number) matches nothing rather
// than being read as that kind or failing the cast.
const char* json_kind_of(ValueType value_type) {
    switch (value_type) {
        case ValueType::INTEGER:
        case ValueType::FLOAT: return "number";
        case ValueType::BOOLEAN: return "boolean";
        default: return nullptr;
    }
}

// 'a'->>'b' for the path a__b: every step but the last keeps the JSON ("->"), the last yields
// its text ("->>"), which the cast reads; with `as_json` the last keeps the JSON too.
std::string json_path_selection(const std::string& path, bool as_json = false) {
    std::string selection;
    std::size_t start = 0;
    while (true) {
        const auto found = path.find(FIELD_PATH_SEPARATOR, start);
        const bool last = found == std::string::npos;
        selection += last && !as_json ? "->>" : "->";
        selection += quote_sql_literal(std::string_view(path).substr(start, last ? std::string::npos : found - start));
        if (last) return selection;
        start = found + FIELD_PATH_SEPARATOR.size();
    }
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


std::string metadata_column(const std::string& name) {
    return std::string(METADATA_TABLE_ALIAS) + "." + quote_postgres_identifier(name);
}

}  // namespace

std::string model_column(const std::string& name) {
    if (const std::string* stand_in = AbsentColumns::stand_in(name)) return *stand_in;
    return std::string(MODEL_TABLE_ALIAS) + "." + quote_postgres_identifier(name);
}

const OperatorMap sql_operator_map = build_operator_map();

std::pair<std::string, ConditionParam> PostgresHistoricalConnection::_nested_filter_statement(
    const std::string& field_name, const std::string& nested_fields, const SqlOperatorTemplate& sql_operator_template,
    const Value& value, std::optional<ValueType>, bool is_internal_table, bool use_internal_meta_tables) {
    // The markers LATEST and ALL mean a version only on the address's version; anywhere else they
    // are ordinary texts (a JSON path may well store "ALL"). The condition builder refuses them
    // with any operator but EQ.
    if (field_name == ADDRESS_FIELD && nested_fields == "object_version") {
        const std::optional<Versions> marker = as_version_marker(value);
        if (marker == Versions::ALL) {
            return {"", std::monostate{}};  // every version: no restriction
        }
        if (marker == Versions::LATEST) {
            // The latest version is the one no other version names as its prior version.
            if (use_internal_meta_tables) {
                const std::string next_version = std::string(METADATA_TABLE_ALIAS) + ".\"next_version\"";
                return {"(" + next_version + " IS NULL OR " + next_version + " = '')", NoValue};
            }
            return {"(cast(_metadata::json->'next_version' as text) IS NULL OR trim('\"' FROM "
                    "cast(_metadata::json->'next_version' as text)) = '')",
                    NoValue};
        }
    }
    ConditionParam param = sql_operator_template.build_value(value);
    const std::string expression = _resolve_nested_field_name(field_name, nested_fields, compared_kind(param),
                                                               is_internal_table, use_internal_meta_tables);
    if (expression.empty()) {
        return {"", std::monostate{}};
    }
    return {sql_operator_template.build_statement(expression, value, "", COLUMN_SEPARATOR), std::move(param)};
}

std::string PostgresHistoricalConnection::_resolve_nested_field_name(const std::string& field_name,
                                                                     const std::string& nested_fields,
                                                                     ValueType value_type, bool is_internal_table,
                                                                     bool use_internal_meta_tables) {
    std::string column;
    std::string path = nested_fields;
    if (is_internal_table) {
        column = postgres_column_name(field_name);
    } else if (field_name == ADDRESS_FIELD && nested_fields == "object_id") {
        return use_internal_meta_tables ? model_column(PRIMARY_PARTITION_KEY) : PRIMARY_PARTITION_KEY;
    } else if (field_name == ADDRESS_FIELD && use_internal_meta_tables && nested_fields == "object_version") {
        return model_column(SECONDARY_PARTITION_KEY);
    } else if (field_name == ADDRESS_FIELD && !use_internal_meta_tables) {
        return "";  // without the meta tables no other part of the address can be filtered
    } else if (field_name == METADATA_FIELD && use_internal_meta_tables) {
        const auto split = nested_fields.find(FIELD_PATH_SEPARATOR);
        if (split == std::string::npos) {
            return metadata_column(nested_fields);  // a metadata column, no JSON path
        }
        column = metadata_column(nested_fields.substr(0, split));
        path = nested_fields.substr(split + FIELD_PATH_SEPARATOR.size());
    } else {
        column = model_column(field_name);
    }

    // The last step is read with ->>, which yields the text itself (a JSON string without its
    // quotes, escapes resolved), so no quote needs trimming: a value that itself begins or ends
    // with a double quote still compares as it is.
    const std::string cast =
        "cast(" + column + "::json" + json_path_selection(path) + " as " + cast_type_of(value_type) + ")";
    const char* kind = json_kind_of(value_type);
    if (kind == nullptr) return cast;
    return "CASE WHEN json_typeof(" + column + "::json" + json_path_selection(path, true) + ") = '" + kind + "' THEN " +
           cast + " END";
}

std::string PostgresHistoricalConnection::_filter_column(const std::string& field, const Value& value,
                                                         const std::string& prefix) {
    std::string column = SqlHistoryConnectionMixin::_filter_column(field, value, prefix);
    if (!holds_fraction(value)) return column;
    // A column this table lacks stands in as a NULL of another table's type; an integer NULL
    // would fail to read a number with a fraction as its parameter.
    if (const std::string* stand_in = prefix.empty() ? nullptr : AbsentColumns::stand_in(field)) {
        const bool integer = stand_in->starts_with("NULL::") && is_integer_type(stand_in->substr(6));
        return integer ? "CAST(" + column + " AS numeric)" : column;
    }
    if (!filtered_table_) return column;
    const auto description = described_table(*filtered_table_);
    const auto found = description->find(field);
    if (found == description->end() || !is_integer_type(found->second)) return column;
    return "CAST(" + column + " AS numeric)";
}

std::string PostgresHistoricalConnection::_order_by_expression(const std::string& field_name, bool is_internal_table,
                                                               bool use_internal_meta_tables) {
    const auto split = field_name.find(FIELD_PATH_SEPARATOR);
    if (split == std::string::npos) {
        // Beside the metadata a bare name is the object's own column (the caller has turned a
        // name only the metadata has into _metadata__name).
        return use_internal_meta_tables && !is_internal_table ? model_column(field_name)
                                                               : postgres_column_name(field_name);
    }
    return _resolve_nested_field_name(field_name.substr(0, split),
                                      field_name.substr(split + FIELD_PATH_SEPARATOR.size()), ValueType::TEXT,
                                      is_internal_table, use_internal_meta_tables);
}

}  // namespace korvex::pg_timeline
