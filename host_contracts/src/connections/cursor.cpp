#include "korvex/connections/cursor.hpp"

#include <iterator>
#include <utility>

namespace korvex {

std::vector<Row> MemoryCursor::fetchall() {
    // Rows handed out are never read here again: they are moved, not copied.
    std::vector<Row> rest(std::make_move_iterator(rows_.begin() + static_cast<std::ptrdiff_t>(next_)),
                          std::make_move_iterator(rows_.end()));
    next_ = rows_.size();
    return rest;
}

std::optional<Row> MemoryCursor::fetchone() {
    if (next_ >= rows_.size()) return std::nullopt;
    return std::move(rows_[next_++]);
}

}  // namespace korvex
