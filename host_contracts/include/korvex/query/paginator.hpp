#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace korvex {

struct NumberPaginator {
    std::optional<std::int64_t> limit;
    std::optional<std::int64_t> offset;
};

struct CursorPaginator {
    std::optional<std::int64_t> limit;
    std::optional<std::string> cursor;
};

// No pagination, a number paginator or a cursor paginator; the alternative tells them apart.
using Pagination = std::variant<std::monostate, NumberPaginator, CursorPaginator>;

}  // namespace korvex
