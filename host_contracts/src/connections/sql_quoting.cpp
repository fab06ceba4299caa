#include "korvex/connections/sql_quoting.hpp"

#include "korvex/error.hpp"
#include "korvex/utils/text.hpp"

#include <algorithm>
#include <array>

namespace korvex {
namespace {

std::string quoted(std::string_view text, char quote) {
    std::string result;
    result.reserve(text.size() + 2);
    result += quote;
    for (char c : text) {
        result += c;
        if (c == quote || c == '%') result += c;
    }
    result += quote;
    return result;
}

// PostgreSQL's reserved key words (also those reserved except as function or type names): a
// bare column of that name is a syntax error. Kept sorted for the binary search.
constexpr std::array<std::string_view, 99> RESERVED_WORDS = {
    "all", "analyse", "analyze", "and", "any", "array", "as", "asc", "asymmetric", "authorization", "binary",
    "both", "case", "cast", "check", "collate", "collation", "column", "concurrently", "constraint", "create",
    "cross", "current_catalog", "current_date", "current_role", "current_schema", "current_time",
    "current_timestamp", "current_user", "default", "deferrable", "desc", "distinct", "do", "else", "end",
    "except", "false", "fetch", "for", "foreign", "freeze", "from", "full", "grant", "group", "having", "ilike",
    "in", "initially", "inner", "intersect", "into", "is", "isnull", "join", "lateral", "leading", "left", "like",
    "limit", "localtime", "localtimestamp", "natural", "not", "notnull", "null", "offset", "on", "only", "or",
    "order", "outer", "overlaps", "placing", "primary", "references", "returning", "right", "select",
    "session_user", "similar", "some", "symmetric", "table", "tablesample", "then", "to", "trailing", "true",
    "union", "unique", "user", "using", "variadic", "verbose", "when", "where", "window",
};

bool is_plain_identifier(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

}  // namespace

void check_sql_name(std::string_view name, std::size_t max_bytes) {
    if (name.empty()) {
        throw UsageError("an SQL name cannot be empty");
    }
    if (name.find('\0') != std::string_view::npos) {
        throw UsageError("the name '" + printable_name(name) + "' holds a NUL byte, which no SQL statement can carry");
    }
    if (max_bytes > 0 && name.size() > max_bytes) {
        throw UsageError("the name '" + printable_name(name) + "' is " + std::to_string(name.size()) +
                         " bytes long; PostgreSQL keeps at most " + std::to_string(max_bytes) +
                         " bytes of a name and would cut it");
    }
}

std::string quote_sql_identifier(std::string_view name, std::size_t max_bytes) {
    check_sql_name(name, max_bytes);
    return quoted(name, '"');
}

std::string quote_sql_literal(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        throw UsageError("the text '" + printable_name(text) + "' holds a NUL byte, which no SQL statement can carry");
    }
    if (text.find('\\') == std::string_view::npos) {
        return quoted(text, '\'');
    }
    // With standard_conforming_strings off a backslash in '...' escapes the next character; an
    // E'...' literal reads backslashes as escapes under either setting.
    std::string literal = "E'";
    literal.reserve(text.size() + 4);
    for (char c : text) {
        literal += c;
        if (c == '\'' || c == '%' || c == '\\') literal += c;
    }
    return literal + "'";
}

std::string sql_column_name(std::string_view name, std::size_t max_bytes) {
    check_sql_name(name, max_bytes);
    const bool reserved = std::binary_search(RESERVED_WORDS.begin(), RESERVED_WORDS.end(), name);
    if (is_plain_identifier(name) && !reserved) return std::string(name);
    return quote_sql_identifier(name);
}

}  // namespace korvex
