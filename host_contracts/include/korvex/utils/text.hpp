#pragma once

#include <string>
#include <string_view>

namespace korvex {

// "person" -> "Person", "order_line" -> "OrderLine", "my-class name" -> "MyClassName".
// Words are split at '_', '-' and blanks; a word's first letter is upper-cased when it is one of
// a to z, and everything else kept, so a name already in camel case is unchanged. Other letters
// ("äpfel") keep their case: the table-name rule lower-cases the whole name afterwards, and
// Unicode upper-casing would change what it lower-cases to ("ß" would become "ss").
std::string to_camel_case(const std::string& text);

// A to Z lowered, every other byte kept, whatever the process locale (SQL engines fold
// unquoted names and compare column names this way).
std::string to_lower(std::string text);

// Lower case by Unicode's full default case mapping (ICU, root locale): "ÄPFEL" -> "äpfel",
// "ΣΑΣ" -> "σας" (final sigma), "ß" stays "ß", "İ" -> "i̇"; ASCII text as to_lower gives it.
// Throws UsageError naming the offset when `text` is not valid UTF-8.
std::string unicode_lower(const std::string& text);

// Upper case with Unicode's simple case mapping, one code point to one (as PostgreSQL's UPPER
// does); bytes that are not valid UTF-8 are kept as they are. Leaves the process locale alone.
std::string unicode_upper(const std::string& text);

// `text` as messages show a name: NUL bytes and other control characters written as \xNN.
std::string printable_name(std::string_view text);

}  // namespace korvex
