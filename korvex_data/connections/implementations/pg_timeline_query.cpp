// PostgresHistoricalConnection: query and count across the class versions of a class.
//
// The server orders, merges and pages, so that every page is exactly what its ORDER BY
// (collations included) gives: one class-version table is read by its own statement, several by
// one statement over the union of their rows. Rows are never sorted again in memory.

#include "korvex/error.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <spdlog/logger.h>

#include <algorithm>

namespace korvex::pg_timeline {

std::vector<DataMap> PostgresHistoricalConnection::query(const Address& address,
                                                         const std::optional<QuerySpecifier>& query_specifier,
                                                         const std::optional<Q>& conditions,
                                                         const Pagination& pagination,
                                                         const std::optional<std::vector<OrderBy>>& order_by) {
    check_pagination(pagination);
    const auto tables = _tables_to_read(address, conditions);
    if (tables.empty()) {
        return _paginate_items({}, pagination);  // only warns about a cursor paginator
    }
    const Pagination page = rest_after_offset(pagination);
    // The server orders and pages, collations included: one table by its own statement, several
    // by one statement over all of them. Nothing is sorted again here.
    if (tables.size() == 1) {
        return _query(tables.front().first, query_specifier, tables.front().second, page, order_by);
    }
    return _query_merged(tables, query_specifier, page, order_by);
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
    const auto cursor = execute_read(statement);
    const TableDescription table_description = _describe_table(*table_name);

    const auto& description = cursor->description();
    // The ordering and distinct keys at the end are the statement's, not the row's.
    const std::size_t kept = description.size() - std::min(statement.helper_columns, description.size());
    std::vector<DataMap> results;
    for (auto& row : cursor->fetchall()) {
        if (row.size() != description.size()) {
            throw Error("a result row of " + *table_name + " has " + std::to_string(row.size()) + " values for " +
                        std::to_string(description.size()) + " columns");
        }
        DataMap item = DataMap::object();
        for (std::size_t column = 0; column < kept; ++column) {
            item[description[column].name] = std::move(row[column]);
        }
        results.push_back(_process_result(item, table_description));
    }
    return results;
}

// The columns of every table in column order with their types (as format_type writes them, for
// a NULL of that type), in one statement. A table that does not exist has none (the statement
// that reads it then reports it missing).
std::vector<std::vector<TableColumn>> PostgresHistoricalConnection::_read_table_columns(const TablesToRead& tables) {
    std::string values;
    std::vector<Value> params;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        check_sql_name(tables[i].first, POSTGRES_IDENTIFIER_MAX_BYTES);
        values += (i ? ", (" : "(") + std::to_string(i) + ", %s)";
        params.emplace_back(tables[i].first);
    }
    const auto cursor = execute(
        "SELECT t.branch, a.attname, format_type(a.atttypid, a.atttypmod) FROM (VALUES " + values +
            ") AS t(branch, name) JOIN pg_attribute AS a ON a.attrelid = to_regclass(quote_ident(t.name))"
            " WHERE a.attnum > 0 AND NOT a.attisdropped ORDER BY t.branch, a.attnum",
        params);
    std::vector<std::vector<TableColumn>> columns(tables.size());
    for (const auto& row : cursor->fetchall()) {
        columns.at(row.at(0).get<std::size_t>()).push_back({row.at(1).get<std::string>(), row.at(2).get<std::string>()});
    }
    return columns;
}

std::int64_t PostgresHistoricalConnection::count(const Address& address, const std::optional<Q>& conditions) {
    return _count_tables(_tables_to_read(address, conditions), conditions);
}

std::string PostgresHistoricalConnection::_merged_column(const TableColumn& column) {
    return model_column(column.name);
}

std::string PostgresHistoricalConnection::_merged_distinct_key(const TableColumn& column) {
    return distinct_key(model_column(column.name), column.type);
}

Statement PostgresHistoricalConnection::_order_rows(Statement rows, std::size_t distinct_count,
                                                    const std::vector<OrderBy>& order_by, const std::string& tiebreak,
                                                    const Pagination& pagination) {
    return order_rows(std::move(rows), distinct_count, order_by, tiebreak, pagination);
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
