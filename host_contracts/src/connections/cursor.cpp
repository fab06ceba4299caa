#include "korvex/connections/cursor.hpp"

namespace korvex {

std::vector<Row> MemoryCursor::fetchall() {
    std::vector<Row> rest(rows_.begin() + static_cast<std::ptrdiff_t>(next_), rows_.end());
    next_ = rows_.size();
    return rest;
}

std::optional<Row> MemoryCursor::fetchone() {
    if (next_ >= rows_.size()) return std::nullopt;
    return rows_[next_++];
}

}  // namespace korvex
