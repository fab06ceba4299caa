// SqliteHistoricalConnection: the look-up operators as SQLite predicates, and conditions on a
// path inside a JSON column or on a part of an object's address or metadata.

#include "korvex/connections/absent_columns.hpp"
#include "korvex/connections/common_sql_operators.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/models/versions.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/utils/text.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"


namespace korvex::lite_history {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

ConditionParam plain_text(const Value& value) { return Value(text_form(value)); }
ConditionParam upper_text(const Value& value) { return Value(unicode_upper(text_form(value))); }

// The LIKE family compares text forms literally (no character is a wildcard) and, unlike
// SQLite's LIKE, with regard to case; the I-variants compare Unicode upper case on both sides.
// The ends-with test names its parameter once, through a one-row sub-select.
const char* const ENDS_WITH =
    "(SELECT substr({field}, length({field}) - length(korvex_v) + 1) = korvex_v FROM (SELECT %s AS korvex_v))";

std::string ends_with(const std::string& field) {
    std::string text = ENDS_WITH;
    for (std::size_t at = text.find("{field}"); at != std::string::npos; at = text.find("{field}", at + field.size())) {
        text.replace(at, 7, field);
    }
    return text;
}

OperatorMap build_operator_map() {
    OperatorMap map = common_sql_operators();
    // A boolean compares null-safely, as PostgreSQL's IS NOT DISTINCT FROM does.
    map[Lookup::EQ] = {[](const Value& value) -> std::string {
                           return value.is_boolean() ? "{field_name} IS %s" : "{field_name} = %s";
                       },
                       std::nullopt, nullptr};
    map[Lookup::NEQ] = {[](const Value& value) -> std::string {
                            return value.is_boolean() ? "{field_name} IS NOT %s" : "{field_name} != %s";
                        },
                        std::nullopt, nullptr};
    map[Lookup::CONTAINS] = {std::string("instr({field_name}, %s) > 0"), std::nullopt, plain_text};
    map[Lookup::ICONTAINS] = {std::string("instr(korvex_upper({field_name}), %s) > 0"), std::nullopt, upper_text};
    map[Lookup::STARTSWITH] = {std::string("instr({field_name}, %s) = 1"), std::nullopt, plain_text};
    map[Lookup::ISTARTSWITH] = {std::string("instr(korvex_upper({field_name}), %s) = 1"), std::nullopt, upper_text};
    map[Lookup::ENDSWITH] = {ends_with("{field_name}"), std::nullopt, plain_text};
    map[Lookup::IENDSWITH] = {ends_with("korvex_upper({field_name})"), std::nullopt, upper_text};
    return map;
}

// A parameter compared with a text form travels as text, so that 9 finds the text "9".
ConditionParam as_text_param(ConditionParam param) {
    Value* value = std::get_if<Value>(&param);
    if (value == nullptr) return param;
    if (value->is_array()) {
        for (auto& element : *value) {
            if (!element.is_null() && !element.is_string()) element = text_form(element);
        }
    } else if (!value->is_null() && !value->is_string()) {
        *value = text_form(*value);
    }
    return param;
}

// '$."a"."b"' for the path a__b, as an SQL literal. SQLite compares a quoted step with the key
// as the stored JSON text spells it, escapes and all, so each step is spelled as this store
// writes JSON keys (a\ as a\\, ü as \u00fc). The path syntax has no escape for a double quote
// inside a key, so such a key is refused rather than read as another path.
std::string json_path_literal(const std::string& path) {
    std::string selection = "$";
    std::size_t start = 0;
    while (true) {
        const auto found = path.find(FIELD_PATH_SEPARATOR, start);
        const std::string step = path.substr(start, found == std::string::npos ? std::string::npos : found - start);
        if (step.find('"') != std::string::npos) {
            throw UsageError("the JSON path step " + printable_name(step) +
                             " holds a double quote, which a SQLite JSON path cannot name");
        }
        const std::string spelled = json_text(Value(step));
        selection += ".\"" + spelled.substr(1, spelled.size() - 2) + "\"";
        if (found == std::string::npos) break;
        start = found + FIELD_PATH_SEPARATOR.size();
    }
    // Quotes doubled, and '%' written as "%%" so that it cannot pose as a parameter marker.
    std::string literal = "'";
    for (char c : selection) literal += c == '\'' ? std::string("''") : c == '%' ? std::string("%%") : std::string(1, c);
    return literal + "'";
}

std::string model_column(const std::string& name) {
    // A column the table at hand lacks, in a read over several class-version tables.
    if (const std::string* stand_in = AbsentColumns::stand_in(name)) return *stand_in;
    return std::string(MODEL_TABLE_ALIAS) + "." + quote_sql_identifier(name);
}

std::string metadata_column(const std::string& name) {
    if (name == "next_version") return NEXT_VERSION_EXPRESSION;
    return std::string(METADATA_TABLE_ALIAS) + "." + quote_sql_identifier(name);
}

}  // namespace

const OperatorMap sql_operator_map = build_operator_map();

std::pair<std::string, ConditionParam> SqliteHistoricalConnection::_nested_filter_statement(
    const std::string& field_name, const std::string& nested_fields, const SqlOperatorTemplate& sql_operator_template,
    const Value& value, std::optional<ValueType>, bool is_internal_table, bool use_internal_meta_tables) {
    // LATEST and ALL mean a version only on the address's version; anywhere else they are
    // ordinary texts. The condition builder refuses them with any operator but EQ.
    if (field_name == ADDRESS_FIELD && nested_fields == "object_version") {
        const std::optional<Versions> marker = as_version_marker(value);
        if (marker == Versions::ALL) {
            return {"", std::monostate{}};  // every version: no restriction
        }
        if (marker == Versions::LATEST && use_internal_meta_tables) {
            // The latest version is the one no other version names as its prior version.
            return {"coalesce(" + NEXT_VERSION_EXPRESSION + ", '') = ''", NoValue};
        }
        if (marker == Versions::LATEST) {
            return {"coalesce(json_extract(_metadata, '$.next_version'), '') = ''", NoValue};
        }
    }
    ConditionParam param = sql_operator_template.build_value(value);
    const ValueType kind = compared_kind(param);
    const std::string expression =
        _resolve_nested_field_name(field_name, nested_fields, kind, is_internal_table, use_internal_meta_tables);
    if (expression.empty()) {
        return {"", std::monostate{}};
    }
    const bool whole_column = expression.find("->") == std::string::npos;
    if (!whole_column && kind != ValueType::INTEGER && kind != ValueType::FLOAT && kind != ValueType::BOOLEAN) {
        param = as_text_param(std::move(param));
    }
    return {sql_operator_template.build_statement(expression, value, "", "\""), std::move(param)};
}

std::string SqliteHistoricalConnection::_resolve_nested_field_name(const std::string& field_name,
                                                                   const std::string& nested_fields,
                                                                   ValueType value_type, bool is_internal_table,
                                                                   bool use_internal_meta_tables) {
    std::string column;
    std::string path = nested_fields;
    if (is_internal_table) {
        column = quote_sql_identifier(field_name);
    } else if (field_name == ADDRESS_FIELD && nested_fields == "object_id") {
        return use_internal_meta_tables ? model_column(PRIMARY_PARTITION_KEY) : quote_sql_identifier(PRIMARY_PARTITION_KEY);
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
        column = use_internal_meta_tables ? model_column(field_name) : quote_sql_identifier(field_name);
    }

    const std::string literal = json_path_literal(path);
    switch (value_type) {
        case ValueType::INTEGER:
        case ValueType::FLOAT:
            return "iif(json_type(" + column + ", " + literal + ") IN ('integer', 'real'), " + column + " ->> " +
                   literal + ", NULL)";
        case ValueType::BOOLEAN:
            return "iif(json_type(" + column + ", " + literal + ") IN ('true', 'false'), " + column + " ->> " +
                   literal + ", NULL)";
        default:
            // A text as it is, JSON null as NULL, anything else in its JSON form (true, 12, {...}).
            return "CASE json_type(" + column + ", " + literal + ") WHEN 'text' THEN " + column + " ->> " + literal +
                   " WHEN 'null' THEN NULL ELSE " + column + " -> " + literal + " END";
    }
}

std::string SqliteHistoricalConnection::_order_by_expression(const std::string& field_name, bool is_internal_table,
                                                             bool use_internal_meta_tables) {
    const auto split = field_name.find(FIELD_PATH_SEPARATOR);
    if (split == std::string::npos) {
        return use_internal_meta_tables && !is_internal_table ? model_column(field_name)
                                                               : quote_sql_identifier(field_name);
    }
    return _resolve_nested_field_name(field_name.substr(0, split),
                                      field_name.substr(split + FIELD_PATH_SEPARATOR.size()), ValueType::TEXT,
                                      is_internal_table, use_internal_meta_tables);
}

std::string SqliteHistoricalConnection::_build_order_by_statement(const std::vector<OrderBy>& order_by,
                                                                  bool is_internal_table,
                                                                  bool use_internal_meta_tables) {
    std::string clause;
    for (const auto& item : order_by) {
        clause += (clause.empty() ? " ORDER BY " : ", ") +
                  _order_by_expression(item.field_name, is_internal_table, use_internal_meta_tables) +
                  (item.descending ? " DESC NULLS FIRST" : " ASC NULLS LAST");
    }
    return clause;
}

}  // namespace korvex::lite_history
