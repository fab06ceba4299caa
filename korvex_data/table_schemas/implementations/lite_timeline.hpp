#pragma once
// The table-schema service of the SQLite historical store. It resolves addresses to table
// names, creates versioned tables with their single-column indexes, drops them, and creates or
// brings up to date the three internal tables (metadata, reference, transaction). The DDL comes
// from SqlStatementsMixin; the service itself writes only the table_info probe.
//
// The service borrows its connection from the host and keeps no state between calls. On a
// SqliteStateConnection with no transaction open, each registration (looking for the table,
// then making or updating it) is one write transaction of its own, so that processes preparing
// one file at once take turns; inside an open transaction it runs there. On any other
// connection it runs the statements alone. Every operation is virtual and every internal call goes
// through the instance, so a subclass can replace any step. One caller at a time.
//
// Loaded by the host as module korvex_data.table_schemas.implementations.lite_timeline, class
// SqliteHistoricalTableSchemaService, constructed with ConstructionArgs::connection pointing to
// a SqliteStateConnection.

#include "korvex/connections/connection.hpp"
#include "korvex/models/address.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex/sqlite/sql_table_column.hpp"
#include "korvex/sqlite/sql_statements_mixin.hpp"
#include "korvex/value.hpp"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

class SqliteHistoricalTableSchemaService : public SqlStatementsMixin, public TableSchemaServiceBase {
public:
    // The host hands over a SqliteStateConnection; any SqlConnection works.
    explicit SqliteHistoricalTableSchemaService(SqlConnection& connection) : TableSchemaServiceBase(connection) {}

    // (table name, true) when the table was created just now with its indexes; (table name,
    // false) when it already had columns, in which case it is left exactly as it is. Throws
    // UsageError, creating nothing, when the table is missing but one exists under its former
    // name (former_table_name).
    std::pair<std::string, bool> register_table(const TableSchema& table_schema) override {
        return register_table(table_schema, false);
    }
    virtual std::pair<std::string, bool> register_table(const TableSchema& table_schema, bool is_internal_table);

    // Drops the address's table (and with it its indexes); a missing table is not an error.
    void unregister_table(const Address& address) override;

    // The camel-cased class name, then "_v_" and the class version when it has one, all lower
    // case (versioned_table_name); LATEST becomes the class's newest registered version; the transaction class keeps
    // its bare name.
    std::string resolve_table_name(const Address& address) override;

    // PRAGMA table_info of the table, with no parameters.
    virtual Statement _build_select_table_name_statement(const std::string& table_name) const;

    // The index is named after the column with "_idx" appended.
    virtual void create_index(const std::string& table_name, const std::string& column_name);
    virtual void create_table(const std::string& table_name, const TableSchema& table_schema,
                              bool is_internal_table = false);

    // Creates the internal tables that are missing and brings the existing ones up to their
    // declared columns. Stops at the first error; tables handled before it stay as they are.
    void register_internal_tables() override;
    // Runs the mixin's update statements for the table's present columns, in order, in one write
    // transaction: when one fails, none stays applied.
    void update_internal_table(const TableSchema& table_schema) override;

    // The present columns of the table in column order; empty when it does not exist.
    virtual std::vector<SqlTableColumn> _get_table_columns(const std::string& table_name);
    // The metadata, reference and transaction schemas, in that order, built afresh.
    virtual std::vector<TableSchema> _build_internal_table_schemas() const;

protected:
    SqlConnection& sql_connection() const { return connection_as<SqlConnection>(); }
    // register_table's work, run inside its write transaction.
    std::pair<std::string, bool> register_table_now(const TableSchema& table_schema, bool is_internal_table);
    // The type of the schema object holding `name` (table, index, view, trigger), or "" for none.
    std::string object_type(const std::string& name);
    // `work` in a write transaction of the SQLite connection (see SqliteStateConnection), or
    // just `work` on another connection.
    void in_write_transaction(const std::function<void()>& work);
};

}  // namespace korvex
