#pragma once
// Quoting of names and literal texts that statement builders write into SQL text with %s
// markers. Every '%' is written as "%%", which the executors read back as one '%', so that a
// name can never pose as a parameter marker. A name or text that no statement could carry as
// given (a NUL byte; a name longer than the server keeps) is refused with a UsageError rather
// than cut or changed.

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex {

// PostgreSQL keeps at most this many bytes of an identifier and silently cuts a longer one, so
// two long names equal in their first 63 bytes would name the same table or column.
inline constexpr std::size_t POSTGRES_IDENTIFIER_MAX_BYTES = 63;

// Throws UsageError, naming the name, when it is empty, holds a NUL byte, or is longer than
// `max_bytes` bytes (0: no limit).
void check_sql_name(std::string_view name, std::size_t max_bytes = 0);

// `name` between double quotes, a double quote inside it doubled: a"b -> "a""b". Checked as above.
std::string quote_sql_identifier(std::string_view name, std::size_t max_bytes = 0);

// `text` as a string literal that reads the same whatever the server's
// standard_conforming_strings: 'it''s' when it holds no backslash, otherwise E'a\\b' with
// backslashes doubled too. Throws UsageError for a text holding a NUL byte.
std::string quote_sql_literal(std::string_view text);

// A column name as a statement writes it: bare when it is a plain lower-case identifier that is
// not a reserved word (created_at), quoted otherwise (createdAt, "first name", order), so that
// ordinary names read as usual and no name can break out of its place in the statement.
// Checked as above.
std::string sql_column_name(std::string_view name, std::size_t max_bytes = 0);

inline std::string quote_postgres_identifier(std::string_view name) {
    return quote_sql_identifier(name, POSTGRES_IDENTIFIER_MAX_BYTES);
}
inline std::string postgres_column_name(std::string_view name) {
    return sql_column_name(name, POSTGRES_IDENTIFIER_MAX_BYTES);
}

}  // namespace korvex
