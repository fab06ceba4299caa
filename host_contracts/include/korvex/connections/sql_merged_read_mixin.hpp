#pragma once
// Reads over several class-version tables of one class in one statement: each table is a branch
// of a UNION ALL that lays its row out in its own columns (NULLs in every other branch's), beside
// its metadata and its ordering keys; the store orders the union by those keys (then by table, as
// the tables were listed) and takes the page. Columns a table lacks read as NULL there
// (ReadScope). Counts over the same tables take the same care. The store supplies how it
// lists a table's columns, writes a NULL or a column, wraps a branch, orders and runs the read.

#include "korvex/connections/cursor.hpp"
#include "korvex/connections/sql_history_connection_mixin.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

// One column of a table: its name and its data type as the store names it.
struct TableColumn {
    std::string name;
    std::string type;
};

// The tables of one read, each with the condition for its rows, in class-version order.
using TablesToRead = std::vector<std::pair<std::string, std::optional<Q>>>;

class SqlMergedReadMixin : public SqlHistoryConnectionMixin {
public:
    // Hooks the store supplies.
    // Each table's columns in table order; none for a table that does not exist.
    virtual std::vector<std::vector<TableColumn>> _read_table_columns(const TablesToRead& tables) = 0;
    // The NULL that stands in for a column of type `type` that a branch lacks.
    virtual std::string _absent_column_stand_in(const std::string& type) = 0;
    // The type of a selected name that no table of the read has.
    virtual std::string _unknown_column_type() = 0;
    // The branch's own column, as its row returns it (its stand-in where the scope's table lacks it).
    virtual std::string _merged_column(const TableColumn& column, const ReadScope& scope) = 0;
    // The projection that turns the joined metadata row into the _metadata object.
    virtual const std::string& _metadata_select_field() = 0;
    // Whether each branch joins one metadata row per version and returns it as plain columns
    // (the _metadata object is then made from them by _merged_metadata) rather than grouping the
    // rows by version around the _metadata projection.
    virtual bool _merged_reads_plain_metadata() { return false; }
    // The metadata's part of a branch's selection, and how many columns it returns.
    virtual std::string _merged_metadata_selection(const ReadScope& scope);
    virtual std::size_t _merged_metadata_width() { return 1; }
    // The _metadata object of a merged row whose metadata columns begin at `first`.
    virtual Value _merged_metadata(std::vector<Value>& row, std::size_t first);
    // The key that tells the branch's rows apart by `column`, for a distinct selection.
    virtual std::string _merged_distinct_key(const TableColumn& column, const ReadScope& scope) = 0;
    // One branch of the UNION ALL around the rows of its table.
    virtual std::string _merged_branch(const std::string& rows) = 0;
    // `rows` ordered by their keys and then `tiebreak`, distinct on their distinct keys, paged.
    virtual Statement _order_rows(Statement rows, std::size_t distinct_count, const std::vector<OrderBy>& order_by,
                                  const std::string& tiebreak, const Pagination& pagination) = 0;
    // A read of query or count.
    virtual std::shared_ptr<Cursor> _execute_read(const Statement& statement) = 0;
    // The rows of one table joined with their metadata, grouped, without ordering or page; the
    // scope says which columns the table lacks.
    virtual Statement _select_joined_rows(const std::string& table_name, const std::string& select_only,
                                          const std::optional<Q>& conditions,
                                          const std::optional<std::vector<OrderBy>>& order_by,
                                          const ReadScope& scope) = 0;
    // A value of `column` as the merged read returned it, made what a read of its table returns.
    virtual Value _merged_value(Value value, const TableColumn& column);

    // The rows of several class-version tables as the store merges, orders and pages them.
    // Throws KorvexConnectionError for a cursor paginator, UsageError for a specifier without
    // `only`.
    virtual std::vector<DataMap> _query_merged(const TablesToRead& tables,
                                               const std::optional<QuerySpecifier>& query_specifier,
                                               const Pagination& pagination,
                                               const std::optional<std::vector<OrderBy>>& order_by);
    // The rows of all tables that meet their conditions; a condition on a field that some
    // tables lack reads it as NULL there, as the merged query does.
    virtual std::int64_t _count_tables(const TablesToRead& tables, const std::optional<Q>& conditions);

    // For each table, the columns that other tables of the read have and it lacks, each with the
    // NULL that stands in for it (as the first table that has it declares its type).
    std::vector<AbsentColumns> absent_column_stand_ins(
        const std::vector<std::vector<TableColumn>>& all_columns);
};

}  // namespace korvex
