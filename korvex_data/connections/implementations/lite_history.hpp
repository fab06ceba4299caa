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
    // as the store grows: (object_id, object_version) and (object_id, prior_version, object_version).
    void prepare_connection() override;
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override;

    // Writing.
    // The table's columns in table order (empty for a missing table, which is read again next
    // time); a real description is kept for the life of this object.
    virtual const std::vector<ColumnInfo>& _table_columns(const std::string& table_name);
    // JSON columns take the value's JSON text; a TEXT column a boolean's or a number's JSON
    // spelling; every other value is kept. The conversion is value_for_insert's, which put runs
    // with no copy of a kept value: a store changing it overrides that one.
    Value process_value_before_insert(const Value& value, const std::string& data_type) final;
    const Value& value_for_insert(const Value& value, const std::string& data_type, Value& room) override;
    // Maps and lists as JSON text, every other value as it is (sql_value_for's, which put runs with
    // no copy of a value handed over as it is: a store changing it overrides that one).
    Value _to_sql_value(Value value) final;
    const Value& sql_value_for(const Value& value, Value& room) override;

    // Transactions.
    void run_transaction_statement(const std::string& statement, const std::string& expected_status) override;

    // Reading (the store core reads; these are where SQLite differs).
    static std::vector<DataMap> _paginate_items(std::vector<DataMap> items, const Pagination& pagination) {
        return SqlHistoricalStore::_paginate_items(std::move(items), pagination, *logger());
    }
    const OperatorMap& SQL_OPERATOR_MAP() const override { return sql_operator_map; }
    // Outside a transaction, a read asks whether another connection changed the file's schema once,
    // after its statement ran, and not at all when SQLite ran the statement kept for the read's
    // shape without preparing it again (which it does when the schema changed since its last
    // run). A change seen then makes the read run again, by the new columns.
    std::vector<DataMap> _query(const std::optional<std::string>& table_name,
                                const std::optional<QuerySpecifier>& query_specifier,
                                const std::optional<Q>& conditions, const Pagination& pagination,
                                const std::optional<std::vector<OrderBy>>& order_by) override;
    // Reads over several class-version tables (SqlMergedReadMixin): the branch's own columns are
    // read undecoded and decoded by their table's declared types.
    std::vector<std::vector<TableColumn>> _read_table_columns(const TablesToRead& tables) override;
    Value _merged_value(Value value, const TableColumn& column) override {
        return decode_stored(std::move(value), column.type);
    }

    bool is_connected() const { return _connection != nullptr; }
    // The SQLite connection under the store (null while closed), for the table-schema service.
    SqliteStateConnection* sqlite_connection() const { return _connection.get(); }

protected:
    // The driver of writes. put_many writes its rows one by one inside one savepoint.
    std::optional<bool> _engine_transaction_open() const override;
    // Also when another connection changed the file's schema.
    bool _tables_changed() override;
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override;
    TableDescription _read_table_description(const std::string& table_name) override;
    std::optional<BatchFailure> _write_batch(const InsertBatch& batch) override;
    bool _binds_values_where_they_lie() const override { return true; }
    // Inside an open transaction that no statement failed, the row is bound straight onto the
    // INSERT prepared once for its shape; otherwise it goes through execute. Either way it fails
    // as execute fails.
    void _execute_kept_insert(const std::string& table_name, InsertShape& shape, std::vector<Value>& params) override;
    void _execute_kept_insert_values(const std::string& table_name, InsertShape& shape,
                                     const std::vector<const Value*>& params) override;

    std::shared_ptr<spdlog::logger> module_logger() const override { return logger(); }

    std::unique_ptr<SqliteStateConnection> _connection;

private:
    std::map<std::string, std::vector<ColumnInfo>> table_columns_;
    std::uint64_t described_at_changes_ = 0;
    // The file's schema_version when the descriptions were read, and the transaction (counted by
    // transactions_begun) in which it was last read, 0 for none: within one transaction only this
    // connection's own statements can change the schema.
    Value described_schema_version_;
    std::uint64_t schema_read_in_transaction_ = 0;
    // How many times the schema_version was seen to move after it was first read.
    std::uint64_t schema_changes_seen_ = 0;
    // Where a read by _query is in its check for another connection's schema change: waiting for
    // its statement to run, or run (and whether that run answers the check).
    enum class ReadCheck { NONE, BEFORE_STATEMENT, AFTER_STATEMENT };
    ReadCheck read_check_ = ReadCheck::NONE;
    // The run of a read shape's statement after which the descriptions were last found current,
    // kept with the shape.
    struct ReadRun {
        SqliteStateConnection::PreparedRun run;
    };
    std::shared_ptr<ReadRun> read_run_record_;
    SqliteStateConnection::PreparedRun read_run_;
    bool read_run_unchanged_ = false;
    // Runs one row of put or put_many by its kept shape, inside an open transaction that no
    // statement failed; fails as execute would.
    template <typename Params>
    void run_kept_insert(InsertShape& shape, const Params& params);
    // A statement failed inside the open transaction: as on PostgreSQL, nothing but a rollback
    // runs until it ends.
    bool transaction_failed_ = false;
    // The last statement run with its %s markers made "?" (writes repeat the same one).
    std::string marked_query_;
    std::string marked_text_;
    std::size_t marked_count_ = 0;
    const Module* schema_module_ = nullptr;
};

}  // namespace korvex::lite_history
