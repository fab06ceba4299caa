#include "korvex/error.hpp"
#include "korvex/utils/sql_identifier.hpp"

#include <stdexcept>

namespace korvex {

std::string backtick_quote(std::string_view name) {
    if (name.empty()) {
        throw UsageError("an SQL identifier cannot be empty");
    }
    if (name.find('\0') != std::string_view::npos) {
        throw UsageError("the SQL identifier '" + std::string(name.substr(0, name.find('\0'))) +
                                    "...' holds a NUL byte");
    }
    std::string quoted = "`";
    for (char c : name) {
        if (c == '`') quoted += '`';
        quoted += c;
    }
    quoted += '`';
    return quoted;
}

}  // namespace korvex
