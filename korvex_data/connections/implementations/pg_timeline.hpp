#pragma once
// PostgresHistoricalConnection: the historical (versioned, append-only) object store on a
// PostgreSQL server, over libpq. Opened with connect, prepared with prepare_connection, then
// driven through transactions (nested levels become savepoints, with a revert log), writes of
// object versions and queries. Every statement goes through execute, except the reads of query
// and count (prepared, through _execute_read) and the INSERTs that put_many sends together in one
// pipeline. Not thread-safe: one caller at a time.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_historical_store.hpp"
#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/connections/table_change_tracker.hpp"
#include "korvex/models/address.hpp"
#include "korvex/table_schemas/base.hpp"

#include <spdlog/logger.h>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

typedef struct pg_conn PGconn;

namespace korvex::pg_timeline {

inline constexpr const char* MODULE_PATH = "korvex_data.connections.implementations.pg_timeline";

// The module logger, named after the module path.
std::shared_ptr<spdlog::logger> logger();

// The metadata sub-select: every metadata row with the version that follows it.
extern const std::string METADATA_SELECT_STATEMENT;
// The projection that aggregates the joined metadata row into the _metadata object.
extern const std::string METADATA_SELECT_FIELD;
// Look-up operator to SQL template.
extern const OperatorMap sql_operator_map;

// One write recorded for revert: the written version's address and the data put.
using RevertEntry = korvex::RevertEntry;
using RevertLevel = korvex::RevertLevel;

// The statements prepared on the current server session (pg_timeline_libpq.hpp).
struct SessionStatements;

using ConnectionOptions = SqlStoreOptions;

class PostgresHistoricalConnection : public SqlHistoricalStore {
public:
    static constexpr const char* TABLE_SEPARATOR = "\"";
    static constexpr const char* COLUMN_SEPARATOR = "\"";

    explicit PostgresHistoricalConnection(ConnectionOptions options = {});
    ~PostgresHistoricalConnection() override;
    PostgresHistoricalConnection(const PostgresHistoricalConnection&) = delete;
    PostgresHistoricalConnection& operator=(const PostgresHistoricalConnection&) = delete;

    // Lifecycle.
    std::unique_ptr<TableSchemaServiceBase> table_schema_manager() override;
    std::string _resolve_table_name(const Address& address) override {
        return table_schema_manager()->resolve_table_name(address);
    }
    virtual ConnectionParameters _default_envs();
    void connect(const std::optional<std::string>& dsn = std::nullopt,
                 const ConnectionParameters& parameters = {}) override;
    void disconnect() override;
    void prepare_connection() override;
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override;

    // Writing.
    TableDescription _describe_table(const std::string& table_name) override;
    virtual Statement _build_insert_statement(const std::string& table_name, const DataMap& data);
    virtual Value process_value_before_insert(const Value& value, const std::string& data_type);
    void put(const Address& address, const DataMap& data) override;
    // Writes every item as put would, in one round trip and all or nothing: when one fails, the
    // call raises KorvexConnectionError naming the item (its index and address), with the server's
    // error as cause, and nothing of the call stays written or in the revert log. Inside a
    // transaction a savepoint around the call is rolled back, and the transaction goes on. Items
    // in a row that write the same columns of one table share the INSERT text that
    // _build_insert_statement made for the first of them; the others' values are converted by
    // process_value_before_insert and _to_sql_value, as that builder converts them.
    void put_many(const std::vector<WriteItem>& items) override;
    void _delete(const Address& address) override;

    // Reading (the store core reads; these are where PostgreSQL differs).
    static std::vector<DataMap> _paginate_items(std::vector<DataMap> items, const Pagination& pagination) {
        return SqlHistoricalStore::_paginate_items(std::move(items), pagination, *logger());
    }
    const OperatorMap& SQL_OPERATOR_MAP() const override { return sql_operator_map; }
    // The core's expression, as PostgreSQL writes it, for no table in particular.
    static std::string _resolve_nested_field_name(const std::string& field_name, const std::string& nested_fields,
                                                  ValueType value_type = ValueType::TEXT,
                                                  bool is_internal_table = false,
                                                  bool use_internal_meta_tables = false);
    // An integer column of the table being filtered is compared as numeric with a number that
    // has a fraction (the server would read 2.5 as an integer and fail).
    using SqlHistoricalStore::_filter_column;
    std::string _filter_column(const std::string& field, const Value& value, const std::string& prefix,
                               const ReadScope& scope) override;
    // Reads over several class-version tables (SqlMergedReadMixin): the columns of all tables
    // in one catalogue statement; a column a branch lacks is a NULL cast to its type.
    std::vector<std::vector<TableColumn>> _read_table_columns(const TablesToRead& tables) override;

    // State, readable for hosts and tests (the levels through TransactionLevelsMixin).
    bool is_connected() const { return _connection != nullptr; }

protected:
    // Runs a read of query or count as a prepared statement: its plan is made once per server
    // session, and made again when another session changed the table.
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override;
    std::shared_ptr<spdlog::logger> module_logger() const override { return logger(); }
    // Runs a transaction statement and checks the server's answer: a COMMIT answered with
    // ROLLBACK (the transaction had failed) is an error, not a success.
    void run_transaction_statement(const std::string& statement, const std::string& expected_status) override;
    // Fails when a level is open here but the server has no transaction open (a COMMIT or
    // ROLLBACK sent through execute ended it): a write then would commit by itself.
    void require_server_transaction(const char* operation) const;
    // Whether the server session is gone (after a statement failed): its transaction went with it.
    bool connection_lost() const;

    PGconn* _connection = nullptr;

private:
    // A write that passed the checks needing no server: its table, the caller's data (which must
    // outlive it) and the key columns that the address gives.
    struct CheckedWrite {
        std::string table_name;
        const DataMap* data;
        std::vector<std::pair<std::string, Value>> keys;
        // The address's value for `column`, or null when the address gives none.
        const Value* key_value(const std::string& column) const;
    };
    // `table_name`, when given, is the address's table as resolved for an earlier write.
    CheckedWrite check_write(const Address& address, const DataMap& data, const char* operation,
                             const std::string* table_name = nullptr);
    // The row's keys that are columns of the table, in statement order, each converted by
    // process_value_before_insert and refused when the server could not store it as given.
    std::vector<std::pair<std::string_view, Value>> stored_columns(const Address& address, const CheckedWrite& write,
                                                                   const char* operation,
                                                                   const TableDescription& description);
    // The table's description as _describe_table gives it, in `scratch` or, when this class
    // describes it itself, in place.
    const TableDescription& description_of(const std::string& table_name, TableDescription& scratch);
    // The server's error in `error` when it says that the written table changed under this
    // session since it was described; nothing otherwise.
    static std::optional<DatabaseError> table_changed_cause(const std::exception& error);
    // Drops what this session keeps of a table that changed: its description and the INSERT
    // prepared for it.
    void forget_table(const std::string& table_name, const std::string& insert_text);
    // Throws the KorvexConnectionError that says the table changed, with the server's error as cause.
    [[noreturn]] static void report_changed_table(const std::string& operation, const std::string& table_name,
                                                  const DatabaseError& cause);
    // The INSERT of a checked write, made by _build_insert_statement.
    Statement insert_statement(const Address& address, const CheckedWrite& write, const char* operation);
    // Why a put_many failed: the item whose statement the server refused (none when the
    // savepoint around the call failed) and the server's error.
    struct PutManyFailure {
        std::optional<std::size_t> item;
        DatabaseError error;
    };
    // The INSERTs of one put_many, row by row: each row's INSERT text (one per run of alike rows,
    // with %s markers) and its parameters as libpq text, pointing into `made` or the caller's data.
    struct PendingInserts {
        std::deque<std::string> texts;
        std::deque<std::string> made;
        std::vector<const std::string*> row_text;
        std::vector<std::vector<const char*>> row_values;
    };
    PendingInserts pending_inserts_through_hooks(const std::vector<WriteItem>& items,
                                                 const std::vector<CheckedWrite>& writes,
                                                 const std::map<std::string, TableDescription>& descriptions);
    PendingInserts pending_inserts_converted_here(const std::vector<WriteItem>& items,
                                                  const std::vector<CheckedWrite>& writes,
                                                  const std::map<std::string, TableDescription>& descriptions);
    std::optional<PutManyFailure> write_pipelined(const PendingInserts& inserts, bool grouped);

    // Runs a statement of execute or, `prepared`, a read of query or count.
    std::shared_ptr<Cursor> run(const std::string& query, const std::vector<Value>& params, bool prepared);

    // Table descriptions read from the server, per table name, for the life of this object.
    std::map<std::string, TableDescription> described_tables_;
    TableChangeTracker table_changes_;
    std::uint64_t described_at_changes_ = 0;
    std::unique_ptr<SessionStatements> statements_;
};

}  // namespace korvex::pg_timeline
