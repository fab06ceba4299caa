#pragma once
// PostgresHistoricalConnection: the historical (versioned, append-only) object store on a
// PostgreSQL server, over libpq. Opened with connect, prepared with prepare_connection, then
// driven through transactions (nested levels become savepoints, with a revert log), writes of
// object versions and queries. Every statement goes through execute, except the reads of query
// and count (prepared, through _execute_read) and put_many's writes (its COPY query, or its
// INSERTs sent together in one pipeline). Not thread-safe: one caller at a time.

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

// The statements prepared on the current server session, and what a kept read remembers of its
// statement (pg_timeline_libpq.hpp).
struct SessionStatements;
namespace libpq {
struct KeptRead;
struct KeptInsert;
}

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
    // The table-schema service's name for the address, kept for the last class name and version
    // (with its resource) asked for: writes in a row mostly name one class. A class version of
    // LATEST is asked of the service each time, as the registry may have moved on.
    std::string _resolve_table_name(const Address& address) override;
    virtual ConnectionParameters _default_envs();
    void connect(const std::optional<std::string>& dsn = std::nullopt,
                 const ConnectionParameters& parameters = {}) override;
    void disconnect() override;
    void prepare_connection() override;
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override;

    // Writing (put, put_many, _delete, _describe_table and _build_insert_statement of the core).
    // A json column takes a text, an integer or a boolean as its JSON text; anything else is kept
    // (a map or list is written as JSON when it is converted for the driver).
    Value process_value_before_insert(const Value& value, const std::string& data_type) override;

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
    // The driver of writes. put_many's rows go by COPY (or as INSERTs in one round trip): inside a
    // transaction a savepoint around the call is rolled back when one fails, and the transaction
    // goes on (a call that is the transaction's first statement needs none).
    std::optional<bool> _engine_transaction_open() const override;
    bool _tables_changed() override;
    TableDescription _read_table_description(const std::string& table_name) override;
    // A table changed under this session (42804, 42703) is forgotten with its prepared INSERT and
    // reported as such; a value refused as data (class 22) forgets the table too.
    void _execute_insert(const std::string& table_name, const Statement& statement) override;
    // put's INSERT of a kept shape, through _execute_insert and execute as any INSERT: what its
    // text derives to (numbered markers, the prepared statement's name) is kept with the shape,
    // and its values are made in room kept with it.
    void _execute_kept_insert(const std::string& table_name, InsertShape& shape, std::vector<Value>& params) override;
    std::optional<BatchFailure> _write_batch(const InsertBatch& batch) override;
    // Whether the server session is gone (after a statement failed): its transaction went with it.
    bool connection_lost() const;

    PGconn* _connection = nullptr;

private:
    // Drops what this session keeps of a table that changed: its description and the INSERT
    // prepared for it.
    void forget_table(const std::string& table_name, const std::string& insert_text);
    // Why a put_many failed: the item whose statement the server refused (none when the
    // savepoint around the call failed) and the server's error.
    struct PutManyFailure {
        std::optional<std::size_t> item;
        DatabaseError error;
        // Whether the failure says that the item's table changed under this session.
        bool table_changed = false;
        // Whether `item` is the item the server refused (else only the first of its table).
        bool located = true;
    };
    // The parameters of a batch's rows as libpq text, pointing into `made` (null for SQL NULL).
    struct BatchValues {
        std::deque<std::string> made;
        std::vector<std::vector<const char*>> row_values;
    };
    // Whether a put_many about to be sent needs a savepoint of its own (inside a transaction that
    // has run something already); the transaction is no longer fresh once it is sent.
    bool take_batch_savepoint();
    // Undoes a refused put_many inside a transaction: back to its savepoint, or, without one, the
    // transaction rolled back and begun again (it held nothing before the call).
    void undo_batch(int status, bool savepoint);
    // Before `statement` runs while a put_many's savepoint is left open: a new savepoint is not
    // opened inside it (it is released first); a statement that ends the transaction, or rolls
    // back or releases an enclosing savepoint, takes it with it.
    void settle_batch_savepoint(const std::string& statement);
    std::optional<PutManyFailure> write_copied(const InsertBatch& batch, bool& copied);
    std::optional<PutManyFailure> write_pipelined(const InsertBatch& batch, const BatchValues& values, bool grouped);

    // Runs a statement of execute or, `prepared`, a read of query or count.
    // `kept`: what the core's kept read remembers of its statement (none for any other statement).
    std::shared_ptr<Cursor> run(const std::string& query, const std::vector<Value>& params, bool prepared,
                                libpq::KeptRead* kept = nullptr);

    // The kept INSERT that put is running, while it runs: execute finds what it keeps by its text.
    const std::string* running_insert_text_ = nullptr;
    libpq::KeptInsert* running_insert_ = nullptr;

    // The last name _resolve_table_name was given by the service, and for which address.
    std::string resolved_resource_;
    std::string resolved_class_name_;
    Version resolved_class_version_;
    std::optional<std::string> resolved_table_name_;

    // Whether the open transaction was opened by a BEGIN of run and nothing has run in it since:
    // a put_many failing there is undone by rolling the transaction back and beginning it again,
    // with no savepoint of its own.
    bool fresh_transaction_ = false;
    // Whether the savepoint of the last put_many is still open: it is released with the
    // transaction, or in the message of the next put_many, rather than by a statement of its own.
    bool batch_savepoint_open_ = false;

    TableChangeTracker table_changes_;
    std::uint64_t described_at_changes_ = 0;
    std::unique_ptr<SessionStatements> statements_;
};

}  // namespace korvex::pg_timeline
