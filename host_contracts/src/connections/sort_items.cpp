#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_history_connection_mixin.hpp"

#include <algorithm>
#include <numeric>

namespace korvex {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

std::vector<std::string> path_steps(const std::string& field_name) {
    std::vector<std::string> steps;
    std::size_t start = 0;
    for (auto found = field_name.find(FIELD_PATH_SEPARATOR); found != std::string::npos;
         found = field_name.find(FIELD_PATH_SEPARATOR, start)) {
        steps.push_back(field_name.substr(start, found - start));
        start = found + FIELD_PATH_SEPARATOR.size();
    }
    steps.push_back(field_name.substr(start));
    return steps;
}

// The value a row holds for the ordering field, null when it has none. Like the bare column
// name in SQL, a plain field the row lacks resolves to the metadata column of that name.
Value ordering_value(const DataMap& row, const std::vector<std::string>& steps) {
    const Value* current = &row;
    if (steps.size() == 1 && !row.contains(steps[0])) {
        const auto metadata = row.find(METADATA_FIELD);
        if (metadata == row.end() || !metadata->is_object()) return nullptr;
        current = &*metadata;
    }
    for (const auto& step : steps) {
        if (!current->is_object()) return nullptr;
        const auto found = current->find(step);
        if (found == current->end()) return nullptr;
        current = &*found;
    }
    if (steps.size() > 1 && !current->is_null()) {
        // The stores order a path below a JSON column by the path's text.
        return text_form(*current);
    }
    return *current;
}

int type_rank(const Value& value) {
    if (value.is_boolean()) return 0;
    if (value.is_number()) return 1;
    if (value.is_string()) return 2;
    return 3;
}

// Three-way comparison of two non-null values.
int compare_values(const Value& a, const Value& b) {
    if (a.is_number() && b.is_number()) {
        if (a.is_number_float() || b.is_number_float()) {
            const double x = a.get<double>();
            const double y = b.get<double>();
            return x < y ? -1 : (y < x ? 1 : 0);
        }
        if (a.is_number_unsigned() && b.is_number_unsigned()) {
            const auto x = a.get<std::uint64_t>();
            const auto y = b.get<std::uint64_t>();
            return x < y ? -1 : (y < x ? 1 : 0);
        }
        if (a.is_number_unsigned() != b.is_number_unsigned()) {
            // One side is unsigned and may exceed the signed range; a negative signed one is smaller.
            const bool a_unsigned = a.is_number_unsigned();
            const auto& s = a_unsigned ? b : a;
            const auto& u = a_unsigned ? a : b;
            int order = 0;
            if (s.get<std::int64_t>() < 0) {
                order = -1;
            } else {
                const auto x = static_cast<std::uint64_t>(s.get<std::int64_t>());
                const auto y = u.get<std::uint64_t>();
                order = x < y ? -1 : (y < x ? 1 : 0);
            }
            return a_unsigned ? -order : order;
        }
        const auto x = a.get<std::int64_t>();
        const auto y = b.get<std::int64_t>();
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    const int rank_a = type_rank(a);
    const int rank_b = type_rank(b);
    if (rank_a != rank_b) return rank_a < rank_b ? -1 : 1;
    if (a.is_boolean()) return static_cast<int>(a.get<bool>()) - static_cast<int>(b.get<bool>());
    const std::string x = a.is_string() ? a.get<std::string>() : a.dump();
    const std::string y = b.is_string() ? b.get<std::string>() : b.dump();
    const int order = x.compare(y);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

std::vector<DataMap> sort_items(std::vector<DataMap> items, const std::optional<std::vector<OrderBy>>& order_by) {
    if (!order_by || order_by->empty() || items.size() < 2) return items;

    // The ordering values of every row, looked up once.
    std::vector<std::vector<Value>> keys(items.size());
    for (const auto& item : *order_by) {
        const auto steps = path_steps(item.field_name);
        for (std::size_t row = 0; row < items.size(); ++row) keys[row].push_back(ordering_value(items[row], steps));
    }

    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t left, std::size_t right) {
        for (std::size_t k = 0; k < order_by->size(); ++k) {
            const Value& a = keys[left][k];
            const Value& b = keys[right][k];
            const bool descending = (*order_by)[k].descending;
            if (a.is_null() || b.is_null()) {
                if (a.is_null() == b.is_null()) continue;
                // Nulls sort as larger than every value: last ascending, first descending.
                return descending ? a.is_null() : b.is_null();
            }
            const int order = compare_values(a, b);
            if (order != 0) return descending ? order > 0 : order < 0;
        }
        return false;
    });

    std::vector<DataMap> sorted;
    sorted.reserve(items.size());
    for (auto index : order) sorted.push_back(std::move(items[index]));
    return sorted;
}

}  // namespace korvex
