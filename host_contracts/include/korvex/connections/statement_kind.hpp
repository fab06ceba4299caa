#pragma once
// What a statement text does, told from its first word: enough for a connection to know when
// what it remembers of the tables may no longer hold.

#include <string>
#include <string_view>

namespace korvex {

// The statement's first word in upper case ("" when it does not start with a letter after
// blanks): " commit" -> "COMMIT".
std::string leading_keyword(std::string_view statement);

// Whether the statement may create, change or remove a table (CREATE, ALTER, DROP): the columns
// a connection described before it may be gone or incomplete.
bool changes_table_definitions(std::string_view statement);

}  // namespace korvex
