#pragma once

#include <string>
#include <string_view>

namespace korvex {

// "person" -> "Person", "order_line" -> "OrderLine", "my-class name" -> "MyClassName".
// Words are split at '_', '-' and blanks; each word's first letter is upper-cased and the rest
// kept, so a name already in camel case is unchanged.
std::string to_camel_case(const std::string& text);

// ASCII lower case.
std::string to_lower(std::string text);

// Upper case with Unicode's simple case mapping, one code point to one (as PostgreSQL's UPPER
// does); bytes that are not valid UTF-8 are kept as they are. Leaves the process locale alone.
std::string unicode_upper(const std::string& text);

// `text` as messages show a name: NUL bytes and other control characters written as \xNN.
std::string printable_name(std::string_view text);

}  // namespace korvex
