#pragma once
// Prints rows as a plain text table with aligned columns.

#include "korvex/value.hpp"

#include <iosfwd>
#include <string>
#include <vector>

namespace korvex::example {

struct TextTable {
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;

    void print(std::ostream& out) const;
};

// A cell: texts unquoted, null as "-", everything else as compact JSON.
std::string cell(const Value& value);

}  // namespace korvex::example
