#include "korvex/connections/sql_merged_read_mixin.hpp"

#include "korvex/connections/absent_columns.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>
#include <set>

namespace korvex {

Value SqlMergedReadMixin::_merged_value(Value value, const TableColumn&) { return value; }

std::string SqlMergedReadMixin::_merged_metadata_selection(const ReadScope&) { return _metadata_select_field(); }

Value SqlMergedReadMixin::_merged_metadata(std::vector<Value>& row, std::size_t first) { return std::move(row[first]); }

namespace {

// Every column some table has, with its type as the first table that has it declares it.
std::map<std::string, std::string> column_types_of_any(const std::vector<std::vector<TableColumn>>& all_columns) {
    std::map<std::string, std::string> types;
    for (const auto& columns : all_columns) {
        for (const auto& column : columns) types.emplace(column.name, column.type);
    }
    return types;
}

}  // namespace

std::vector<AbsentColumns> SqlMergedReadMixin::absent_column_stand_ins(
    const std::vector<std::vector<TableColumn>>& all_columns) {
    const std::map<std::string, std::string> union_types = column_types_of_any(all_columns);
    std::vector<AbsentColumns> absent(all_columns.size());
    for (std::size_t table = 0; table < all_columns.size(); ++table) {
        for (const auto& [name, type] : union_types) absent[table].emplace(name, _absent_column_stand_in(type));
        for (const auto& column : all_columns[table]) absent[table].erase(column.name);
    }
    return absent;
}

std::int64_t SqlMergedReadMixin::_count_tables(const TablesToRead& tables, const std::optional<Q>& conditions) {
    // The columns are read only when a condition could name one that some table lacks.
    const bool several = tables.size() > 1 && names_object_fields(conditions);
    const auto absent = several ? absent_column_stand_ins(_read_table_columns(tables))
                                : std::vector<AbsentColumns>(tables.size());
    // One statement sums the tables' counts, so that all of them are read in one snapshot, as
    // the query reads their union: a statement per table could count a commit landing between
    // them in part.
    Statement sum;
    for (std::size_t table = 0; table < tables.size(); ++table) {
        const auto& [table_name, version_conditions] = tables[table];
        const ReadScope scope{&table_name, &absent[table]};
        Statement statement = _build_count_statement(table_name, version_conditions, true, scope);
        if (tables.size() == 1) {
            sum = std::move(statement);
            break;
        }
        sum.text += (table ? " + (" : "SELECT (") + statement.text + ")";
        sum.params.insert(sum.params.end(), statement.params.begin(), statement.params.end());
    }
    if (sum.text.empty()) return 0;
    const auto row = _execute_read(sum)->fetchone();
    return row && !row->empty() && row->front().is_number_integer() ? row->front().get<std::int64_t>() : 0;
}

std::vector<DataMap> SqlMergedReadMixin::_query_merged(const TablesToRead& tables,
                                                       const std::optional<QuerySpecifier>& query_specifier,
                                                       const Pagination& pagination,
                                                       const std::optional<std::vector<OrderBy>>& order_by) {
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        throw KorvexConnectionError("Cursor pagination is not supported");
    }
    if (query_specifier && !query_specifier->only) {
        throw UsageError("query_specifier.only must list the fields to select (an empty list for all)");
    }
    const std::vector<std::vector<TableColumn>> all_columns = _read_table_columns(tables);
    std::set<std::string> only;
    if (query_specifier) only.insert(query_specifier->only->begin(), query_specifier->only->end());
    const std::vector<std::string> distinct = selected_distinct(only, query_specifier);
    // A branch reads the columns its table lacks as NULLs (its ReadScope).
    const auto absent = absent_column_stand_ins(all_columns);
    const std::map<std::string, std::string> union_types = column_types_of_any(all_columns);
    // The columns each branch returns: the selected names, or all of the table's.
    std::vector<std::vector<TableColumn>> layouts;
    for (const auto& columns : all_columns) {
        if (only.empty()) {
            layouts.push_back(columns);
            continue;
        }
        std::vector<TableColumn> selected;
        for (const auto& name : only) {
            const auto found =
                std::find_if(columns.begin(), columns.end(), [&](const TableColumn& c) { return c.name == name; });
            const auto elsewhere = union_types.find(name);
            selected.push_back({name, found != columns.end()        ? found->type
                                      : elsewhere != union_types.end() ? elsewhere->second
                                                                       : _unknown_column_type()});
        }
        layouts.push_back(std::move(selected));
    }
    const std::vector<OrderBy> ordering = order_by.value_or(std::vector<OrderBy>{});

    Statement merged;
    for (std::size_t branch = 0; branch < tables.size(); ++branch) {
        const auto& [table_name, conditions] = tables[branch];
        ReadScope scope{&table_name, &absent[branch]};
        // Grouped by version, a row would come once per value of a metadata ordering key that
        // its duplicate metadata rows differ in.
        scope.plain_metadata = _merged_reads_plain_metadata();
        std::string selection = std::to_string(branch) + " AS korvex_branch";
        for (std::size_t other = 0; other < layouts.size(); ++other) {
            for (const auto& column : layouts[other]) {
                selection += ", " + (other == branch ? _merged_column(column, scope) : _absent_column_stand_in(column.type));
            }
        }
        selection += ", " + _merged_metadata_selection(scope);
        std::vector<std::string> distinct_expressions;
        for (const auto& name : distinct) {
            const auto& layout = layouts[branch];
            const auto column =
                std::find_if(layout.begin(), layout.end(), [&](const TableColumn& c) { return c.name == name; });
            distinct_expressions.push_back(_merged_distinct_key(*column, scope));
        }
        // A bare name that some table of the read has names that column in every branch.
        std::vector<OrderBy> resolved = _resolve_ordering(table_name, ordering);
        for (std::size_t i = 0; i < resolved.size(); ++i) {
            if (union_types.count(ordering[i].field_name) > 0) resolved[i].field_name = ordering[i].field_name;
        }
        std::vector<std::string> order_expressions;
        for (const auto& item : resolved) order_expressions.push_back(_order_by_expression(item.field_name, false, true, scope));
        selection += distinct_key_columns(distinct_expressions) + order_key_columns(order_expressions);

        Statement rows = _select_joined_rows(table_name, selection, conditions, resolved, scope);
        merged.text += (branch ? " UNION ALL " : "") + _merged_branch(rows.text);
        merged.params.insert(merged.params.end(), rows.params.begin(), rows.params.end());
    }
    const Statement statement = _order_rows(std::move(merged), distinct.size(), ordering, "korvex_branch", pagination);
    const auto cursor = _execute_read(statement);

    std::vector<std::size_t> offsets;  // where each branch's columns begin
    std::size_t next = 1;
    for (const auto& layout : layouts) {
        offsets.push_back(next);
        next += layout.size();
    }
    const std::size_t metadata_column = next;
    const std::size_t width = metadata_column + _merged_metadata_width() + statement.helper_columns;
    std::vector<TableDescription> descriptions;
    for (const auto& table : tables) descriptions.push_back(_describe_table(table.first));

    std::vector<DataMap> results;
    for (auto& row : cursor->fetchall()) {
        if (row.size() != width) {
            throw Error("a merged result row has " + std::to_string(row.size()) + " values for " +
                        std::to_string(width) + " columns");
        }
        const auto branch = row.at(0).get<std::size_t>();
        DataMap item = DataMap::object();
        for (std::size_t column = 0; column < layouts.at(branch).size(); ++column) {
            const TableColumn& info = layouts[branch][column];
            if (absent[branch].count(info.name) > 0) continue;  // the object's class version has no such field
            item[info.name] = _merged_value(std::move(row[offsets[branch] + column]), info);
        }
        item[METADATA_FIELD] = _merged_metadata(row, metadata_column);
        results.push_back(_process_result(std::move(item), descriptions[branch]));
    }
    return results;
}

}  // namespace korvex
