// PostgresHistoricalConnection: query and count across the class versions of a class.
//
// The server orders, merges and pages, so that every page is exactly what its ORDER BY
// (collations included) gives: one class-version table is read by its own statement, several by
// one statement over the union of their rows. Rows are never sorted again in memory.

#include "korvex/error.hpp"
#include "korvex/connections/absent_columns.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <spdlog/logger.h>

#include <algorithm>
#include <map>
#include <set>

namespace korvex::pg_timeline {
namespace {


}  // namespace

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

namespace {

struct Column {
    std::string name;
    std::string type;  // as format_type writes it, for a NULL of that type
};

// The columns of every table in column order with their types, in one statement. A table that
// does not exist has none (the statement that reads it then reports it missing).
std::vector<std::vector<Column>> read_table_columns(PostgresHistoricalConnection& connection,
                                                    const std::vector<std::pair<std::string, std::optional<Q>>>& tables) {
    std::string values;
    std::vector<Value> params;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        check_sql_name(tables[i].first, POSTGRES_IDENTIFIER_MAX_BYTES);
        values += (i ? ", (" : "(") + std::to_string(i) + ", %s)";
        params.emplace_back(tables[i].first);
    }
    const auto cursor = connection.execute(
        "SELECT t.branch, a.attname, format_type(a.atttypid, a.atttypmod) FROM (VALUES " + values +
            ") AS t(branch, name) JOIN pg_attribute AS a ON a.attrelid = to_regclass(quote_ident(t.name))"
            " WHERE a.attnum > 0 AND NOT a.attisdropped ORDER BY t.branch, a.attnum",
        params);
    std::vector<std::vector<Column>> columns(tables.size());
    for (const auto& row : cursor->fetchall()) {
        columns.at(row.at(0).get<std::size_t>()).push_back({row.at(1).get<std::string>(), row.at(2).get<std::string>()});
    }
    return columns;
}

// For each table, the columns that other tables of the read have and it lacks, each with a NULL
// of its type (as the first table that has it declares it) to stand in for it.
std::vector<std::map<std::string, std::string>> absent_column_stand_ins(const std::vector<std::vector<Column>>& all_columns) {
    std::map<std::string, std::string> union_types;
    for (const auto& columns : all_columns) {
        for (const auto& column : columns) union_types.emplace(column.name, column.type);
    }
    std::vector<std::map<std::string, std::string>> absent(all_columns.size());
    for (std::size_t table = 0; table < all_columns.size(); ++table) {
        for (const auto& [name, type] : union_types) absent[table].emplace(name, "NULL::" + type);
        for (const auto& column : all_columns[table]) absent[table].erase(column.name);
    }
    return absent;
}

}  // namespace

std::int64_t PostgresHistoricalConnection::count(const Address& address, const std::optional<Q>& conditions) {
    std::int64_t total = 0;
    const auto tables = _tables_to_read(address, conditions);
    // Over several class-version tables, a condition on a field that some lack reads it as NULL
    // there, as the merged query does.
    const bool several = tables.size() > 1 && names_object_fields(conditions);
    const auto absent = several ? absent_column_stand_ins(read_table_columns(*this, tables))
                                          : std::vector<std::map<std::string, std::string>>(tables.size());
    for (std::size_t table = 0; table < tables.size(); ++table) {
        const auto& [table_name, version_conditions] = tables[table];
        const AbsentColumns absent_here(absent[table]);
        const Statement statement = _build_count_statement(table_name, version_conditions, true);
        const auto row = execute_read(statement)->fetchone();
        if (!row || row->empty() || row->front().is_null()) {
            continue;
        }
        total += row->front().get<std::int64_t>();
    }
    return total;
}


// One statement over all tables: each branch lays its row out in its own columns (NULLs of the
// right type in every other branch's), beside its metadata and its ordering keys; the server
// orders the union by those keys (then by table, as the tables were listed) and takes the page.
std::vector<DataMap> PostgresHistoricalConnection::_query_merged(
    const std::vector<std::pair<std::string, std::optional<Q>>>& tables,
    const std::optional<QuerySpecifier>& query_specifier, const Pagination& pagination,
    const std::optional<std::vector<OrderBy>>& order_by) {
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        throw KorvexConnectionError("Cursor pagination is not supported");
    }
    if (query_specifier && !query_specifier->only) {
        throw UsageError("query_specifier.only must list the fields to select (an empty list for all)");
    }
    const std::vector<std::vector<Column>> all_columns = read_table_columns(*this, tables);
    std::set<std::string> only;
    if (query_specifier) only.insert(query_specifier->only->begin(), query_specifier->only->end());
    std::vector<std::string> distinct;
    for (const auto& name : only) {
        const auto& names = query_specifier->distinct;
        if (std::find(names.begin(), names.end(), name) != names.end()) distinct.push_back(name);
    }
    // A branch reads the columns its table lacks as NULLs (AbsentColumns).
    const auto absent = absent_column_stand_ins(all_columns);
    std::map<std::string, std::string> union_types;  // every column some table has, with its type
    for (const auto& columns : all_columns) {
        for (const auto& column : columns) union_types.emplace(column.name, column.type);
    }
    // The columns each branch returns: the selected names, or all of the table's.
    std::vector<std::vector<Column>> layouts;
    for (const auto& columns : all_columns) {
        if (only.empty()) {
            layouts.push_back(columns);
            continue;
        }
        std::vector<Column> selected;
        for (const auto& name : only) {
            const auto found = std::find_if(columns.begin(), columns.end(), [&](const Column& c) { return c.name == name; });
            const auto elsewhere = union_types.find(name);
            selected.push_back({name, found != columns.end()        ? found->type
                                      : elsewhere != union_types.end() ? elsewhere->second
                                                                       : "text"});
        }
        layouts.push_back(std::move(selected));
    }
    const std::vector<OrderBy> ordering = order_by.value_or(std::vector<OrderBy>{});

    Statement merged;
    for (std::size_t branch = 0; branch < tables.size(); ++branch) {
        const auto& [table_name, conditions] = tables[branch];
        const AbsentColumns absent_here(absent[branch]);
        std::string selection = std::to_string(branch) + " AS korvex_branch";
        for (std::size_t other = 0; other < layouts.size(); ++other) {
            for (const auto& column : layouts[other]) {
                selection += ", " + (other == branch ? model_column(column.name) : "NULL::" + column.type);
            }
        }
        selection += ", " + METADATA_SELECT_FIELD;
        std::vector<std::string> distinct_expressions;
        for (const auto& name : distinct) {
            const auto& layout = layouts[branch];
            const auto column =
                std::find_if(layout.begin(), layout.end(), [&](const Column& c) { return c.name == name; });
            distinct_expressions.push_back(distinct_key(model_column(name), column->type));
        }
        // A bare name that some table of the read has names that column in every branch.
        std::vector<OrderBy> resolved = _resolve_ordering(table_name, ordering);
        for (std::size_t i = 0; i < resolved.size(); ++i) {
            if (union_types.count(ordering[i].field_name) > 0) resolved[i].field_name = ordering[i].field_name;
        }
        std::vector<std::string> order_expressions;
        for (const auto& item : resolved) order_expressions.push_back(_order_by_expression(item.field_name, false, true));
        selection += distinct_key_columns(distinct_expressions) + order_key_columns(order_expressions);

        Statement rows = _select_joined_rows(table_name, selection, conditions, resolved);
        merged.text += (branch ? " UNION ALL (" : "(") + rows.text + ")";
        merged.params.insert(merged.params.end(), rows.params.begin(), rows.params.end());
    }
    const Statement statement = order_rows(std::move(merged), distinct.size(), ordering, "korvex_branch", pagination);

    const auto cursor = execute_read(statement);
    std::vector<std::size_t> offsets;  // where each branch's columns begin
    std::size_t next = 1;
    for (const auto& layout : layouts) {
        offsets.push_back(next);
        next += layout.size();
    }
    const std::size_t metadata_column = next;
    std::vector<TableDescription> descriptions;
    for (const auto& table : tables) descriptions.push_back(_describe_table(table.first));

    std::vector<DataMap> results;
    for (auto& row : cursor->fetchall()) {
        if (row.size() != metadata_column + 1 + statement.helper_columns) {
            throw Error("a merged result row has " + std::to_string(row.size()) + " values for " +
                        std::to_string(metadata_column + 1 + statement.helper_columns) + " columns");
        }
        const auto branch = row.at(0).get<std::size_t>();
        DataMap item = DataMap::object();
        for (std::size_t column = 0; column < layouts.at(branch).size(); ++column) {
            const std::string& name = layouts[branch][column].name;
            if (absent[branch].count(name) > 0) continue;  // the object's class version has no such field
            item[name] = std::move(row[offsets[branch] + column]);
        }
        item[METADATA_FIELD] = std::move(row[metadata_column]);
        results.push_back(_process_result(item, descriptions[branch]));
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
