#pragma once
// Quoting of names and literal texts that statement builders write into SQL text with %s
// markers. Every '%' is written as "%%", which the executors read back as one '%', so that a
// name can never pose as a parameter marker.

#include <string>
#include <string_view>

namespace korvex {

// `name` between double quotes, a double quote inside it doubled: a"b -> "a""b".
std::string quote_sql_identifier(std::string_view name);

// `text` between single quotes, a single quote inside it doubled: it's -> 'it''s'.
std::string quote_sql_literal(std::string_view text);

// A column name as a statement writes it: bare when it is a plain lower-case identifier that is
// not a reserved word (created_at), quoted otherwise (createdAt, "first name", order), so that
// ordinary names read as usual and no name can break out of its place in the statement.
std::string sql_column_name(std::string_view name);

}  // namespace korvex
