#include "text_table.hpp"

#include <algorithm>
#include <ostream>

namespace korvex::example {

std::string cell(const Value& value) {
    if (value.is_null()) return "-";
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

void TextTable::print(std::ostream& out) const {
    std::vector<std::size_t> widths(headers.size());
    for (std::size_t i = 0; i < headers.size(); ++i) widths[i] = headers[i].size();
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        out << "  ";
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string text = i < cells.size() ? cells[i] : "";
            out << text << std::string(widths[i] - text.size(), ' ') << (i + 1 < widths.size() ? " | " : "\n");
        }
    };
    line(headers);
    out << "  ";
    for (std::size_t i = 0; i < widths.size(); ++i) out << std::string(widths[i], '-') << (i + 1 < widths.size() ? "-+-" : "\n");
    for (const auto& row : rows) line(row);
    if (rows.empty()) out << "  (no rows)\n";
}

}  // namespace korvex::example
