#pragma once

#include <string>
#include <string_view>

namespace korvex {

// `name` between backticks, each backtick inside doubled, so that no name can end the quoted
// identifier early: "person" -> "`person`", "a`b" -> "`a``b`". Throws UsageError for
// an empty name or one holding a NUL byte (SQLite would cut the statement there).
std::string backtick_quote(std::string_view name);

}  // namespace korvex
