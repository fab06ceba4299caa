#include "korvex/connections/cursor.hpp"

#include <iterator>
#include <utility>

namespace korvex {

namespace {

const std::shared_ptr<const std::vector<ColumnDescription>>& no_columns() {
    static const auto none = std::make_shared<const std::vector<ColumnDescription>>();
    return none;
}

}  // namespace

MemoryCursor::MemoryCursor() : description_(no_columns()) {}

MemoryCursor::MemoryCursor(std::vector<ColumnDescription> description, std::vector<Row> rows)
    : description_(description.empty() ? no_columns()
                                        : std::make_shared<const std::vector<ColumnDescription>>(std::move(description))),
      rows_(std::move(rows)) {}

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
