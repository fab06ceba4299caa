#include "korvex_data/connections/implementations/lite_history_dialect.hpp"

#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/utils/text.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

namespace korvex::lite_history {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

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

}  // namespace

std::string SqliteDialect::quote_name(const std::string& name) const { return quote_sql_identifier(name); }

const std::string& SqliteDialect::metadata_select_field() const { return METADATA_SELECT_FIELD; }

std::string SqliteDialect::metadata_column(const std::string& name) const {
    if (name == "next_version") return NEXT_VERSION_EXPRESSION;
    return SqlDialect::metadata_column(name);
}

std::string SqliteDialect::latest_version_condition(bool joined) const {
    if (joined) return "coalesce(" + NEXT_VERSION_EXPRESSION + ", '') = ''";
    return "coalesce(json_extract(_metadata, '$.next_version'), '') = ''";
}

std::string SqliteDialect::unjoined_object_id() const { return quote_name(PRIMARY_PARTITION_KEY); }

std::string SqliteDialect::json_path_value(const std::string& column, const std::string& path,
                                           ValueType value_type) const {
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

ConditionParam SqliteDialect::json_path_param(ConditionParam param, ValueType kind) const {
    if (kind == ValueType::INTEGER || kind == ValueType::FLOAT || kind == ValueType::BOOLEAN) return param;
    return as_text_param(std::move(param));
}

std::string SqliteDialect::first_of_each_group(const std::string& rows, const std::string& keys,
                                               const std::string& order) const {
    return "SELECT * FROM (SELECT *, row_number() OVER (PARTITION BY " + keys +
           (order.empty() ? "" : " ORDER BY " + order) + ") AS korvex_rank FROM (" + rows +
           ") AS selected_rows) AS distinct_rows WHERE korvex_rank = 1";
}

const SqliteDialect& sqlite_dialect() {
    static const SqliteDialect dialect;
    return dialect;
}

}  // namespace korvex::lite_history
