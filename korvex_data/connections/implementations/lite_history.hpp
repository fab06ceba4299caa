#pragma once
// SqliteHistoricalConnection: the historical (versioned, append-only) object store in a SQLite
// file, with no server. The same host program drives it as the PostgreSQL connection: connect
// (to a file path or ":memory:"), prepare_connection, then transactions (nested levels become
// savepoints, with a revert log), writes of object versions and queries. Its table-schema
// service is SqliteHistoricalTableSchemaService, loaded by module path over the SQLite
// connection this object owns. Every statement goes through execute, with %s markers.
//
// Where SQLite differs, the store keeps PostgreSQL's behaviour: a statement that fails inside a
// transaction leaves the transaction failed (only ROLLBACK, or ROLLBACK TO a savepoint, runs
// until then, and COMMIT becomes a rollback that commit reports as an error); NULLs order last
// ascending and first descending; the LIKE family is case-sensitive except its I-variants.
// Not thread-safe: one caller at a time.

#include "korvex/connections/sql_historical_store.hpp"
#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/models/address.hpp"
#include "korvex/table_schemas/base.hpp"

#include <spdlog/logger.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {
class Module;
}

namespace korvex::lite_history {

inline constexpr const char* MODULE_PATH = "korvex_data.connections.implementations.lite_history";
// Where the table-schema service comes from, loaded at run time rather than linked.
inline constexpr const char* TABLE_SCHEMA_MODULE_PATH = "korvex_data.table_schemas.implementations.lite_timeline";
inline constexpr const char* TABLE_SCHEMA_CLASS = "SqliteHistoricalTableSchemaService";

// The module logger, named after the module path.
std::shared_ptr<spdlog::logger> logger();

// The version that follows the joined metadata row t2, or NULL for the newest version.
extern const std::string NEXT_VERSION_EXPRESSION;
// The projection that turns the joined metadata row into the _metadata object.
extern const std::string METADATA_SELECT_FIELD;
// Look-up operator to SQL template.
extern const OperatorMap sql_operator_map;

// The statement with its %s markers written as SQLite's "?", "%%" as "%"; any other '%' is
// kept. Returns the text and the number of markers.
std::pair<std::string, std::size_t> question_markers(const std::string& query);

// A value as read from a column declared `declared_type` without decoding: JSON text parsed,
// 0 and 1 of a BOOLEAN column as false and true; anything else as it is.
Value decode_stored(Value value, const std::string& declared_type);

using ConnectionOptions = SqlStoreOptions;

// One column of a table, in table order; its type as declared, upper case (TEXT, JSON, BOOLEAN,
// REAL, INTEGER).
using ColumnInfo = TableColumn;

class SqliteHistoricalConnection : public SqlHistoricalStore {
public:
    explicit SqliteHistoricalConnection(ConnectionOptions options = {});
    ~SqliteHistoricalConnection() override;
    SqliteHistoricalConnection(const SqliteHistoricalConnection&) = delete;
    SqliteHistoricalConnection& operator=(const SqliteHistoricalConnection&) = delete;

    // Lifecycle. connect takes the database file's path (created when missing) or ":memory:".
    // Named parameters: busy_timeout_ms, how long to wait for another writer (default 5000);
    // synchronous, FULL (default) or NORMAL; keep_journal_mode, true to leave the file's journal
    // mode as it is rather than switch it to the write-ahead log (see SqliteOpenOptions).
    std::unique_ptr<TableSchemaServiceBase> table_schema_manager() override;
    void connect(const std::optional<std::string>& dsn = std::nullopt,
                 const ConnectionParameters& parameters = {}) override;
    void disconnect() override;
    // The internal tables, and the two metadata indexes that keep the latest-version read flat
    // as the store grows: (object_id, object_version) and (object_id, prior_version).
    void prepare_connection() override;
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override;

    // Writing.
    // The table's columns in table order (empty for a missing table, which is read again next
    // time); a real description is kept for the life of this object.
    virtual const std::vector<ColumnInfo>& _table_columns(const std::string& table_name);
    TableDescription _describe_table(const std::string& table_name) override;
    virtual Statement _build_insert_statement(const std::string& table_name, const DataMap& data);
    // JSON columns take the value's JSON text; every other value is kept.
    virtual Value process_value_before_insert(const Value& value, const std::string& data_type);
    void put(const Address& address, const DataMap& data) override;
    // All items or, when one is refused, none: checked first, then written in one savepoint.
    void put_many(const std::vector<WriteItem>& items) override;
    void _delete(const Address& address) override;

    // Transactions.
    void run_transaction_statement(const std::string& statement, const std::string& expected_status) override;

    // Reading.
    std::vector<DataMap> query(const Address& address,
                               const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                               const std::optional<Q>& conditions = std::nullopt,
                               const Pagination& pagination = {},
                               const std::optional<std::vector<OrderBy>>& order_by = std::nullopt) override;
    std::int64_t count(const Address& address, const std::optional<Q>& conditions = std::nullopt) override;
    virtual std::vector<DataMap> _query(const std::string& table_name,
                                        const std::optional<QuerySpecifier>& query_specifier,
                                        const std::optional<Q>& conditions, const Pagination& pagination,
                                        const std::optional<std::vector<OrderBy>>& order_by);
    // Reads over several class-version tables (SqlMergedReadMixin): a column a branch lacks is
    // a bare NULL; the branch's own columns are read undecoded (unary plus) and decoded by their
    // table's declared types.
    std::vector<std::vector<TableColumn>> _read_table_columns(const TablesToRead& tables) override;
    std::string _absent_column_stand_in(const std::string&) override { return "NULL"; }
    std::string _unknown_column_type() override { return "TEXT"; }
    std::string _merged_column(const TableColumn& column) override;
    const std::string& _metadata_select_field() override { return METADATA_SELECT_FIELD; }
    std::string _merged_distinct_key(const TableColumn& column) override;
    std::string _merged_branch(const std::string& rows) override { return "SELECT * FROM (" + rows + ")"; }
    Statement _order_rows(Statement rows, std::size_t distinct_count, const std::vector<OrderBy>& order_by,
                          const std::string& tiebreak, const Pagination& pagination) override;
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override {
        return execute(statement.text, statement.params);
    }
    Value _merged_value(Value value, const TableColumn& column) override {
        return decode_stored(std::move(value), column.type);
    }

    // Conditions and statements.
    const OperatorMap& SQL_OPERATOR_MAP() const override { return sql_operator_map; }
    std::pair<std::string, ConditionParam> _nested_filter_statement(
        const std::string& field_name, const std::string& nested_fields,
        const SqlOperatorTemplate& sql_operator_template, const Value& value, std::optional<ValueType> value_type,
        bool is_internal_table = false, bool use_internal_meta_tables = false) override;
    // The SQL expression of a field below a column, read as `value_type`: numbers as numbers
    // (a path that holds no number reads as NULL), booleans as 1 and 0, anything else as its
    // text (a JSON text, number or boolean in its JSON form).
    virtual std::string _resolve_nested_field_name(const std::string& field_name, const std::string& nested_fields,
                                                   ValueType value_type = ValueType::TEXT,
                                                   bool is_internal_table = false,
                                                   bool use_internal_meta_tables = false);
    Statement _build_select_statement(const std::string& table_name,
                                      const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                                      const std::optional<Q>& conditions = std::nullopt,
                                      const Pagination& pagination = {},
                                      const std::optional<std::vector<OrderBy>>& order_by = std::nullopt,
                                      bool use_internal_meta_tables = false) override;
    std::string _order_by_expression(const std::string& field_name, bool is_internal_table,
                                     bool use_internal_meta_tables) override;
    // As PostgreSQL orders: NULLs last ascending, first descending.
    std::string _build_order_by_statement(const std::vector<OrderBy>& order_by, bool is_internal_table = false,
                                          bool use_internal_meta_tables = false) override;
    Statement _select_joined_rows(const std::string& table_name, const std::string& select_only,
                                  const std::optional<Q>& conditions,
                                  const std::optional<std::vector<OrderBy>>& order_by) override;

    bool is_connected() const { return _connection != nullptr; }
    // The SQLite connection under the store (null while closed), for the table-schema service.
    SqliteStateConnection* sqlite_connection() const { return _connection.get(); }

protected:
    // Fails when a level is open here but SQLite has no transaction open (a COMMIT or ROLLBACK
    // sent through execute ended it, or SQLite rolled it back): a write then would commit by
    // itself.
    void require_open_transaction(const char* operation) const;

    std::unique_ptr<SqliteStateConnection> _connection;

private:
    // The INSERT of one version after every check that needs no statement; `operation` names
    // the caller in errors.
    Statement checked_insert(const Address& address, const DataMap& data, const char* operation);

    // Drops the kept descriptions when a statement may have changed a table since they were read.
    void forget_stale_tables();

    std::map<std::string, std::vector<ColumnInfo>> table_columns_;
    std::uint64_t described_at_changes_ = 0;
    // The file's schema_version when the descriptions were read.
    Value described_schema_version_;
    std::map<std::string, TableDescription> descriptions_;
    // A statement failed inside the open transaction: as on PostgreSQL, nothing but a rollback
    // runs until it ends.
    bool transaction_failed_ = false;
    const Module* schema_module_ = nullptr;
};

}  // namespace korvex::lite_history
