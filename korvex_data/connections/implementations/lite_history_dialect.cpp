#include "korvex_data/connections/implementations/lite_history_dialect.hpp"

#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/utils/text.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace korvex::lite_history {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

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

// Whether SQLite reads `text` as a number when a numeric column takes it (it keeps any other
// text as text, in a column meant for numbers).
bool reads_as_number(const std::string& text) {
    std::size_t start = 0;
    std::size_t end = text.size();
    while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (start == end) return false;
    const std::string trimmed = text.substr(start, end - start);
    const char first = trimmed[0];
    if (!(std::isdigit(static_cast<unsigned char>(first)) || first == '-' || first == '+' || first == '.')) return false;
    if (trimmed.find_first_of("xXnN") != std::string::npos) return false;  // hexadecimal, nan, inf
    char* parsed_end = nullptr;
    std::strtod(trimmed.c_str(), &parsed_end);
    return parsed_end == trimmed.c_str() + trimmed.size();
}

bool above_integer_range(const Value& value) {
    return value.is_number_unsigned() &&
           value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

// Whether an INTEGER column keeps `value` as the same whole number: a real with no fraction
// within range, or a text spelling an integer.
bool holds_integer(const Value& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        return std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18;
    }
    if (!value.is_string()) return true;
    const std::string& text = value.get_ref<const std::string&>();
    std::size_t at = text.find_first_not_of(" \t\n\r");
    if (at != std::string::npos && (text[at] == '-' || text[at] == '+')) ++at;
    const std::size_t end = text.find_last_not_of(" \t\n\r");
    if (at == std::string::npos || end == std::string::npos || at > end) return false;
    return std::all_of(text.begin() + at, text.begin() + end + 1, [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a text that spells a whole number spells one beyond the 64-bit range, which SQLite
// would keep as a rounded real.
bool text_beyond_integer_range(const Value& value) {
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    const std::size_t start = text.find_first_not_of(" \t\n\r");
    const std::size_t end = text.find_last_not_of(" \t\n\r");
    if (start == std::string::npos) return false;
    std::string digits = text.substr(start, end - start + 1);
    if (digits.starts_with('+')) digits.erase(0, 1);
    std::int64_t number = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return error == std::errc::result_out_of_range && stop == digits.data() + digits.size();
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

// Aggregates rather than ORDER BY ... LIMIT 1, which would sort in a temporary b-tree per row: the
// duplicate stored last (the greatest rowid), and the least non-empty successor version, else an
// empty one.
std::string SqliteDialect::plain_metadata_join() const {
    static const std::string join =
        std::string("JOIN metadata AS ") + METADATA_TABLE_ALIAS + " ON " + METADATA_TABLE_ALIAS +
        ".rowid = (SELECT max(_m.rowid) FROM metadata AS _m WHERE _m.object_id = " + MODEL_TABLE_ALIAS +
        ".partition_key AND _m.object_version = " + MODEL_TABLE_ALIAS + ".range_key)";
    return join;
}

std::string SqliteDialect::plain_metadata_column(const std::string& name) const {
    if (name != "next_version") return SqlDialect::metadata_column(name);
    static const std::string next_version =
        std::string("(SELECT coalesce(min(CASE WHEN _m2.object_version <> '' THEN _m2.object_version END), "
                    "max(CASE WHEN _m2.object_version = '' THEN '' END)) FROM metadata AS _m2 WHERE _m2.object_id = ") +
        METADATA_TABLE_ALIAS + ".object_id AND _m2.prior_version = " + METADATA_TABLE_ALIAS + ".object_version)";
    return next_version;
}

// Of a latest version's successors none has a non-empty version: its next_version is '' when one
// has an empty version, else none.
std::string SqliteDialect::plain_latest_metadata_column(const std::string& name) const {
    if (name != "next_version") return plain_metadata_column(name);
    static const std::string next_version =
        std::string("CASE WHEN EXISTS (SELECT 1 FROM metadata AS _m2 WHERE _m2.object_id = ") + METADATA_TABLE_ALIAS +
        ".object_id AND _m2.prior_version = " + METADATA_TABLE_ALIAS + ".object_version AND _m2.object_version = '') "
        "THEN '' END";
    return next_version;
}

std::string SqliteDialect::plain_latest_version_condition() const {
    return std::string("NOT EXISTS (SELECT 1 FROM metadata AS _m2 WHERE _m2.object_id = ") + MODEL_TABLE_ALIAS +
           ".partition_key AND _m2.prior_version = " + MODEL_TABLE_ALIAS + ".range_key AND _m2.object_version <> '')";
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

namespace {

// The column types the write checks tell apart, each named once: a check per value looks at the
// type's class instead of comparing its name with every name it knows.
enum class ColumnClass { OTHER, JSON, TEXT, INTEGER, REAL, BOOLEAN };

ColumnClass column_class(const std::string& type) {
    switch (type.size()) {
        case 4:
            if (type == "JSON") return ColumnClass::JSON;
            if (type == "TEXT") return ColumnClass::TEXT;
            if (type == "REAL") return ColumnClass::REAL;
            return ColumnClass::OTHER;
        case 7:
            return type == "INTEGER" ? ColumnClass::INTEGER : type == "BOOLEAN" ? ColumnClass::BOOLEAN : ColumnClass::OTHER;
        default:
            return ColumnClass::OTHER;
    }
}

}  // namespace

// Why SQLite cannot store `value` (already converted for its column) as given, or nothing when
// it can. A text may hold a NUL byte here: SQLite keeps every byte of a bound text.
std::optional<std::string> SqliteDialect::unstorable(const Value& original, const Value& value,
                                                     const std::string& type) const {
    if ((original.is_object() || original.is_array()) && holds_non_finite_number(original)) {
        return "it holds a NaN or an infinity inside a map or list, which JSON cannot store";
    }
    const ColumnClass kind = column_class(type);
    if (kind == ColumnClass::JSON) {
        if (original.is_number_float() && !std::isfinite(original.get<double>())) {
            return "it is a NaN or an infinity, which JSON cannot store";
        }
        if (above_integer_range(original)) {
            return "it is an integer above SQLite's range, which SQLite would keep as a rounded real";
        }
        return std::nullopt;
    }
    if (value.is_number_float() && std::isnan(value.get<double>())) {
        return "it is a NaN, which SQLite would store as NULL";
    }
    if (above_integer_range(value)) {
        return "it is an integer above SQLite's range";
    }
    const bool numeric = kind == ColumnClass::INTEGER || kind == ColumnClass::REAL || kind == ColumnClass::BOOLEAN;
    if (!numeric) return std::nullopt;  // a text column, or one of a type SQLite holds anything in
    if (value.is_object() || value.is_array()) {
        return "a map or list cannot be stored in a column of type " + type;
    }
    if (value.is_string() && !reads_as_number(value.get_ref<const std::string&>())) {
        return "the text " + printed(value) + " is not a number, which a column of type " + type + " holds";
    }
    // SQLite keeps whatever number it is given in any numeric column, and a boolean as 1 or 0:
    // what the column's type cannot hold would read back as another kind of value.
    if (kind == ColumnClass::BOOLEAN) {
        const bool zero_or_one = value.is_number_integer() && (value == 0 || value == 1);
        if (!value.is_null() && !value.is_boolean() && !zero_or_one) {
            return printed(value) + " is not true or false, which a column of type BOOLEAN holds";
        }
        return std::nullopt;
    }
    if (value.is_boolean()) {
        return "a boolean cannot be stored in a column of type " + type;
    }
    if (kind == ColumnClass::INTEGER && !holds_integer(value)) {
        return printed(value) + " is not a whole number, which a column of type INTEGER holds";
    }
    if (kind == ColumnClass::INTEGER && text_beyond_integer_range(value)) {
        return printed(value) + " is beyond the 64-bit integer range, which SQLite would keep as a rounded real";
    }
    return std::nullopt;
}

std::string SqliteDialect::insert_table_name(const std::string& table_name) const { return quote_name(table_name); }

const SqliteDialect& sqlite_dialect() {
    static const SqliteDialect dialect;
    return dialect;
}

}  // namespace korvex::lite_history
