#pragma once
// Builds the SQLite DDL of the table-schema services from the host's table schemas: CREATE
// TABLE, CREATE INDEX, DROP TABLE and the ALTER statements that bring an existing table up to
// its declared columns. The builders are pure functions of their arguments (apart from the
// warnings they log) and are virtual, so a service can replace any of them.
//
// Table, index and column names are written between backticks with any backtick inside doubled.
//
// Column definitions: mapping, sequence, struct and array columns are JSON, text columns TEXT,
// booleans BOOLEAN, floating-point numbers REAL and integers INTEGER; a column declared not
// nullable is NOT NULL, and a default becomes DEFAULT with the value as an SQL literal (booleans
// as 1 or 0, maps and lists as their JSON text).
//
// Keys: a versioned (historical, not internal) table leads with partition_key and range_key and
// is keyed by the pair; every other table leads with partition_key alone and is keyed by it.
//
// Index names are database-wide in SQLite, so the statement names an index after its table and
// the index name it is given: table "person_v_1" and index "name_idx" give person_v_1__name_idx.
// Two tables can then index a column of the same name (see sqlite_index_name).

#include "korvex/models/table_schema.hpp"
#include "korvex/sqlite/sql_table_column.hpp"

#include <string>
#include <vector>

namespace korvex {

class SqlStatementsMixin {
public:
    virtual ~SqlStatementsMixin() = default;

    // Throws UsageError for a schema that cannot become a table: no table name, a
    // column named like a key column, a column declared twice, a unique column that is not
    // declared, or a default that has no SQL literal (NaN, infinity).
    virtual std::string _build_create_table_statement(const std::string& table_name, const TableSchema& table_schema,
                                                      bool is_internal_table = false, bool is_historical_table = false);

    virtual std::string _build_create_index_statement(const std::string& table_name, const std::string& index_name,
                                                      const std::vector<std::string>& columns);

    // Drops the table if it exists (its indexes go with it).
    virtual std::string _build_drop_table_statement(const std::string& table_name);

    // The statements that bring an existing table to the declared columns, in the order to run
    // them (none when it is up to date): each declared column the table lacks is added (with its
    // index when the schema indexes it). Nothing is ever dropped or rewritten: a column the
    // schema no longer declares, or whose declared type differs, is kept with its data and a
    // warning is logged. Column names compare as SQLite compares them, ignoring ASCII case.
    //
    // Throws UsageError before building anything when `existing_columns` is empty
    // (the table does not exist) or when a missing column is declared not nullable without a
    // default (SQLite cannot add it to a table that may hold rows).
    virtual std::vector<std::string> _build_update_table_statements(const std::string& table_name,
                                                                    const TableSchema& table_schema,
                                                                    const std::vector<SqlTableColumn>& existing_columns,
                                                                    bool is_internal_table = false);

    // Name of the logger the builders warn through.
    static constexpr const char* LOGGER_NAME = "korvex_data.table_schemas.implementations.mixins.sql_statements_mixin";
};

// The database-wide name of index `index_name` of `table_name`, distinct for distinct pairs:
// "<table>__<index>" when the table name holds no "__", does not end with '_' and the index name
// ends with "_idx" (the first "__" then always ends the table name); otherwise the same followed
// by '_' and the table name's length in bytes, which ends in a digit and so never equals a name
// of the first form. Table ix_v_x with index y__c_idx and table ix_v_x__y with index c_idx
// become ix_v_x__y__c_idx and ix_v_x__y__c_idx_9.
std::string sqlite_index_name(const std::string& table_name, const std::string& index_name);

// The SQLite column type a column type is declared as: JSON, TEXT, BOOLEAN, REAL or INTEGER.
std::string sqlite_column_type(const ColumnType& type);

}  // namespace korvex
