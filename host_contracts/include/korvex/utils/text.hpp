#pragma once

#include <string>

namespace korvex {

// "person" -> "Person", "order_line" -> "OrderLine", "my-class name" -> "MyClassName".
// Words are split at '_', '-' and blanks; each word's first letter is upper-cased and the rest
// kept, so a name already in camel case is unchanged.
std::string to_camel_case(const std::string& text);

// ASCII lower case.
std::string to_lower(std::string text);

}  // namespace korvex
