// PostgresHistoricalConnection: query and count across the class versions of a class, and the
// page of the merged result.
//
// A page is taken once. With one class-version table the statement itself carries LIMIT and
// OFFSET, so the server returns just the page. With several, each table is read whole, and the
// page is cut from the merged and sorted rows: a per-table limit or offset would cut before the
// merge and lose or skip rows of the page.

#include "korvex/error.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <spdlog/logger.h>

#include <stdexcept>

namespace korvex::pg_timeline {
namespace {

void check_pagination(const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination)) {
        if (numbers->limit && *numbers->limit < 0) {
            throw UsageError("pagination limit must not be negative, got " + std::to_string(*numbers->limit));
        }
        if (numbers->offset && *numbers->offset < 0) {
            throw UsageError("pagination offset must not be negative, got " +
                                        std::to_string(*numbers->offset));
        }
    }
}

Address located(const Address& address, const Version& class_version) {
    Address location = address.model_copy();
    location.class_version = class_version;
    return location;
}

}  // namespace

std::vector<DataMap> PostgresHistoricalConnection::query(const Address& address,
                                                         const std::optional<QuerySpecifier>& query_specifier,
                                                         const std::optional<Q>& conditions,
                                                         const Pagination& pagination,
                                                         const std::optional<std::vector<OrderBy>>& order_by) {
    check_pagination(pagination);
    const QueriesByVersion queries = _build_queries_by_version(address, conditions);
    const bool one_table = queries.size() == 1;
    // A cursor paginator still reaches every statement, which refuses it.
    const Pagination per_table =
        one_table || std::holds_alternative<CursorPaginator>(pagination) ? pagination : Pagination{};

    std::vector<DataMap> items;
    for (const auto& [class_version, version_conditions] : queries) {
        const std::string table_name = table_schema_manager()->resolve_table_name(located(address, class_version));
        auto rows = _query(table_name, query_specifier, version_conditions, per_table, order_by);
        items.insert(items.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    }
    if (!queries.empty()) {
        items = sort_items(std::move(items), order_by);
    }
    if (one_table && std::holds_alternative<NumberPaginator>(pagination)) {
        return items;  // the statement already took the page
    }
    Pagination merged = pagination;
    if (auto* numbers = std::get_if<NumberPaginator>(&merged); numbers && numbers->limit && !numbers->offset) {
        numbers->offset = 0;  // a limit alone is a first page, as in the statement
    }
    return _paginate_items(std::move(items), merged);
}

std::int64_t PostgresHistoricalConnection::count(const Address& address, const std::optional<Q>& conditions) {
    std::int64_t total = 0;
    for (const auto& [class_version, version_conditions] : _build_queries_by_version(address, conditions)) {
        const std::string table_name = table_schema_manager()->resolve_table_name(located(address, class_version));
        const Statement statement = _build_count_statement(table_name, version_conditions, true);
        const auto row = execute(statement.text, statement.params)->fetchone();
        if (!row || row->empty() || row->front().is_null()) {
            continue;
        }
        total += row->front().get<std::int64_t>();
    }
    return total;
}

std::vector<DataMap> PostgresHistoricalConnection::_query(const std::optional<std::string>& table_name,
                                                          const std::optional<QuerySpecifier>& query_specifier,
                                                          const std::optional<Q>& conditions,
                                                          const Pagination& pagination,
                                                          const std::optional<std::vector<OrderBy>>& order_by) {
    if (!table_name) {
        throw UsageError("table_name must be a text, not none");
    }
    const Statement statement =
        _build_select_statement(*table_name, query_specifier, conditions, pagination, order_by, true);
    const auto cursor = execute(statement.text, statement.params);
    const TableDescription table_description = _describe_table(*table_name);

    const auto& description = cursor->description();
    std::vector<DataMap> results;
    for (auto& row : cursor->fetchall()) {
        if (row.size() != description.size()) {
            throw Error("a result row of " + *table_name + " has " + std::to_string(row.size()) +
                                     " values for " + std::to_string(description.size()) + " columns");
        }
        DataMap item = DataMap::object();
        for (std::size_t column = 0; column < row.size(); ++column) {
            item[description[column].name] = std::move(row[column]);
        }
        results.push_back(_process_result(item, table_description));
    }
    return results;
}

std::vector<DataMap> PostgresHistoricalConnection::_paginate_items(std::vector<DataMap> items,
                                                                   const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit && numbers->offset) {
        check_pagination(pagination);
        const auto size = static_cast<std::int64_t>(items.size());
        const auto begin = std::min(*numbers->offset, size);
        const auto end = std::min(begin + std::min(*numbers->limit, size), size);
        return std::vector<DataMap>(std::make_move_iterator(items.begin() + begin),
                                    std::make_move_iterator(items.begin() + end));
    }
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        logger()->warn("The cursor pagination is not supported by SQLite. It will be ignored.");
    }
    return items;
}

}  // namespace korvex::pg_timeline
