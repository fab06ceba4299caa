#pragma once
// SparkIcebergHistoricalConnection: the historical (versioned, append-only) object store on
// Iceberg tables, reached through a Spark Connect server. The same host program drives it as the
// PostgreSQL and SQLite stores: connect (to sc://host:port), prepare_connection, then writes of
// object versions and queries. Its table-schema service is IcebergHistoryTableSchemaService,
// loaded by module path over the Iceberg connection this object owns.
//
// Tables live in `catalog`.`namespace`. A class-version table holds the class's own columns and,
// first, the identity of each row: partition_key (the object id) and range_key (the object
// version), both STRING NOT NULL. Columns of maps and lists hold their JSON text in a STRING
// column whose comment is "JSON", which tells a read to decode them. The metadata table keeps
// each version's identity in its `address` struct; reads join a class-version row with the
// metadata row whose address.object_id and address.object_version are the row's keys.
//
// Every value travels as a parameter of the statement, never as text inside it; the only
// literals a statement holds are names and JSON paths, quoted by quote_spark_identifier and
// quote_spark_string.
//
// Transactions: one Iceberg branch per transaction on each table it writes, written to and read
// by name (table.branch_<name>); a savepoint remembers each branch's head, and rolling back to
// it replaces the branches to those heads; the outermost rollback drops the branches. Commit
// records an intent in the commit log (its one commit point, a compare-and-swap of the log's
// main), then publishes each table's branch onto main, the metadata last, each in one table
// commit; a commit whose owner died is finished by the next commit or prepare_connection once its
// lease ran out (the README has the protocol and its failure analysis).
// Not thread-safe: one caller at a time.

#include "korvex/connections/sql_historical_store.hpp"
#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/spark_connect/iceberg_spark_connection.hpp"
#include "korvex_data/connections/implementations/ice_history_dialect.hpp"

#include <spdlog/logger.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvex {
class Module;
}

namespace korvex::ice_history {

inline constexpr const char* MODULE_PATH = "korvex_data.connections.implementations.ice_history";
// Where the table-schema service comes from, loaded at run time rather than linked.
inline constexpr const char* TABLE_SCHEMA_MODULE_PATH = "korvex_data.table_schemas.implementations.ice_timeline";
inline constexpr const char* TABLE_SCHEMA_CLASS = "IcebergHistoryTableSchemaService";
// The catalog and namespace when connect names none (those scripts/spark_start.sh configures).
inline constexpr const char* DEFAULT_CATALOG = "korvex";
inline constexpr const char* DEFAULT_NAMESPACE = "db";
// The internal table of commit intents (see ice_history_transactions.cpp), and how long a
// committing connection owns its intent before another may finish it.
inline constexpr const char* COMMIT_LOG_TABLE = "korvex_commits";
inline constexpr std::int64_t DEFAULT_COMMIT_LEASE_SECONDS = 300;
// Names a step of commit at which it stops as if its process died there (for tests):
// "intent" (the intent row written on its log branch, before the compare-and-swap),
// "commit_point", "table:<name>" (after that table is published) or "done". The stop variable
// throws; the kill variable makes the process SIGKILL itself at that step.
inline constexpr const char* COMMIT_STOP_VARIABLE = "KORVEX_ICE_COMMIT_STOP";
inline constexpr const char* COMMIT_KILL_VARIABLE = "KORVEX_ICE_COMMIT_KILL";
// For tests that interleave two connections: called, when set, at each of those steps and at
// "claim" (commit has read the log and its branches, before its compare-and-swap) and "drop"
// (maintain has read the log and the branches it means to drop, before recording the drop).
void set_step_hook(std::function<void(const std::string& step)> hook);
void run_step_hook(const std::string& step);
// Who writes a row of the commit log: "host:pid".
std::string commit_log_owner();
// The comment of a STRING column that holds JSON text, and the type a description gives it.
inline constexpr const char* JSON_COLUMN_COMMENT = "JSON";
inline constexpr const char* JSON_TYPE = "JSON";

std::shared_ptr<spdlog::logger> logger();

// Look-up operator to SQL template.
extern const OperatorMap sql_operator_map;

// The statement with its %s markers written as Spark's "?", "%%" as "%", outside quoted names
// (which hold their '%' as written); the number of markers.
std::pair<std::string, std::size_t> question_markers(const std::string& query);

// Whether a resolved table name is one of the store's internal tables (metadata, reference,
// transaction), which keep the columns they are declared with and nothing more.
bool is_internal_table(const std::string& table_name);

// The Iceberg connection the table-schema service works through: Spark Connect, with the
// columns of a class-version table as this store lays them out.
class StoreSparkConnection : public IcebergSparkConnection {
public:
    using IcebergSparkConnection::IcebergSparkConnection;

    // An internal table's columns as declared; a class-version table's with partition_key and
    // range_key first, and its map and list columns marked as JSON.
    std::vector<IcebergTableColumn> build_columns_from_schema(const TableSchema& table_schema) override;
    // Counts the statements that may change a table, so that the store reads its columns afresh.
    std::shared_ptr<Cursor> execute(const std::string& statement) override;
    std::uint64_t table_changes() const { return table_changes_; }
    void note_table_change() { ++table_changes_; }

private:
    std::uint64_t table_changes_ = 0;
};

// What maintain does, and the ages it acts on. Every age counts back from the start of the call.
struct MaintenanceOptions {
    // Compacts the small data files of each table's main (Iceberg's rewrite_data_files, bin-pack):
    // a group of files is rewritten once it holds at least min_input_files of them.
    bool compact = true;
    std::int64_t min_input_files = 5;
    // Expires the snapshots of each table older than this (Iceberg's expire_snapshots), keeping the
    // last retain_last snapshots of main and every snapshot a kept transaction branch still needs.
    std::int64_t snapshot_age_seconds = 5 * 86400;
    std::int64_t retain_last = 1;
    // Drops the branches of transactions that can no longer commit: a korvex_tx_ branch that no
    // unfinished commit names and whose head snapshot is older than this. A transaction left
    // without writing for longer than this loses its branches, and then cannot commit.
    std::int64_t branch_age_seconds = 86400;
    // Removes finished commits from the commit log once their lease ran out this long ago.
    std::int64_t commit_log_age_seconds = 7 * 86400;
};

// What one maintain call did.
struct MaintenanceReport {
    std::int64_t rewritten_data_files = 0;  // small files compacted away
    std::int64_t added_data_files = 0;      // files the compaction wrote
    std::int64_t deleted_data_files = 0;    // files of expired snapshots deleted
    std::vector<std::string> dropped_branches;  // "table:branch"
    std::int64_t trimmed_commits = 0;       // finished commits removed from the commit log
};

namespace detail {
// Made before the store core, which keeps a reference to it.
struct DialectHolder {
    SparkDialect spark_dialect;
};
}  // namespace detail

class SparkIcebergHistoricalConnection : private detail::DialectHolder, public SqlHistoricalStore {
public:
    explicit SparkIcebergHistoricalConnection(SqlStoreOptions options = {});
    ~SparkIcebergHistoricalConnection() override;
    SparkIcebergHistoricalConnection(const SparkIcebergHistoricalConnection&) = delete;
    SparkIcebergHistoricalConnection& operator=(const SparkIcebergHistoricalConnection&) = delete;

    // Lifecycle. connect takes the Spark Connect URL (sc://host:port), or reads SPARK_CONNECT_URL
    // when none is given. Named parameters: catalog (default "korvex") and namespace (default
    // "db"). No call reaches the server until the first statement.
    std::unique_ptr<TableSchemaServiceBase> table_schema_manager() override;
    void connect(const std::optional<std::string>& dsn = std::nullopt,
                 const ConnectionParameters& parameters = {}) override;
    void disconnect() override;
    // Creates the namespace when missing and the internal tables.
    void prepare_connection() override;
    // Runs one Spark SQL statement with %s markers, each taking the next value as a parameter.
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override;

    // Transactions (see the header comment).
    void run_transaction_statement(const std::string& statement, const std::string& expected_status) override;
    // An internal table's row is keyed by its address structs, not by a key column: revert deletes
    // it by the identities its data held when it was written.
    void _add_revert_data(const Address& address, const DataMap& data) override;
    void _delete(const Address& address) override;

    // Writing. A JSON column takes the value's JSON text; a STRING column a number's or a
    // boolean's JSON spelling, a map's or a list's JSON text; every other value is kept.
    Value process_value_before_insert(const Value& value, const std::string& data_type) override;
    Statement _build_insert_statement(const std::string& table_name, const DataMap& data) override;

    // Reading.
    const OperatorMap& SQL_OPERATOR_MAP() const override { return sql_operator_map; }
    std::string _table_reference(const std::string& table_name) override;
    // Each row's JSON columns decoded, _metadata as it came (a struct, read as a map).
    DataMap _process_result(DataMap row, const TableDescription& table_description) override;
    std::vector<std::vector<TableColumn>> _read_table_columns(const TablesToRead& tables) override;
    Value _merged_value(Value value, const TableColumn& column) override;
    // Spark cannot select a row's other columns when grouping by its keys: the metadata source
    // has one row per version already, so nothing is grouped.
    std::string _build_group_by_statement(const std::optional<std::vector<OrderBy>>&, bool, bool,
                                          const ReadScope&) override {
        return "";
    }
    std::string _build_group_by_statement(const std::optional<std::vector<OrderBy>>&, bool, bool) override {
        return "";
    }

    // Maintenance of the store's tables (ice_history_maintenance.cpp), called outside any
    // transaction of this connection: first finishes the interrupted commits whose lease ran out,
    // then drops the branches of dead transactions, compacts main, expires old snapshots and trims
    // the commit log, as the options say. Transactions open on other connections, and commits
    // still publishing, keep their branches and every snapshot those need; reads return what they
    // returned before. Throws UsageError inside a transaction or for a negative age.
    MaintenanceReport maintain(const MaintenanceOptions& options = {});

    bool is_connected() const { return connection_ != nullptr; }
    // The Iceberg connection under the store (null while closed), for the table-schema service.
    StoreSparkConnection* iceberg_connection() const { return connection_.get(); }
    // catalog.namespace.table, each part quoted where Spark needs it.
    std::string qualified_name(const std::string& table_name) const;

protected:
    std::optional<bool> _engine_transaction_open() const override { return std::nullopt; }
    bool _tables_changed() override;
    TableDescription _read_table_description(const std::string& table_name) override;
    void _execute_insert(const std::string& table_name, const Statement& statement) override;
    std::optional<BatchFailure> _write_batch(const InsertBatch& batch) override;
    std::shared_ptr<spdlog::logger> module_logger() const override { return logger(); }
    // A read of query or count sees one state of the store (ice_history_read.cpp): the metadata
    // table read at one snapshot, resolved first, and every other table the statement names more
    // than once at one snapshot resolved after it.
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override;
    // The snapshot main of the table is at; none before its first.
    std::optional<std::int64_t> current_snapshot(const std::string& table_name);

private:
    // A table's columns in table order, with their Spark types; JSON columns flagged.
    struct Layout {
        std::vector<IcebergTableColumn> columns;
        std::vector<bool> json;
    };
    const Layout& layout(const std::string& table_name);
    // Appends rows (each a map by column name) to one table in one statement.
    void append_rows(const std::string& table_name, const std::vector<const std::string*>& texts,
                     const std::vector<const std::vector<Value>*>& params);

    std::unique_ptr<StoreSparkConnection> connection_;
    std::string catalog_ = DEFAULT_CATALOG;
    std::string namespace_ = DEFAULT_NAMESPACE;
    std::map<std::string, Layout> layouts_;

    // Transactions (ice_history_transactions.cpp). The open transaction's branch name (empty when
    // none), the tables it made a branch on, in the order made, and per savepoint the number of
    // those tables and each one's branch head when the savepoint was made.
    struct Savepoint {
        std::string name;
        std::size_t branched = 0;
        std::map<std::string, std::optional<std::int64_t>> heads;
        std::size_t pairs = 0;
    };
    std::int64_t commit_lease_ms_ = DEFAULT_COMMIT_LEASE_SECONDS * 1000;
    // When the lease of the commit this connection is publishing was last written to run from.
    std::int64_t lease_from_ms_ = 0;
    // The (object_id, object_version) of each metadata row the open transaction wrote.
    std::vector<std::pair<std::string, std::string>> written_pairs_;
    void create_commit_log();
    // The commit point: the transaction's intent row goes onto the commit log's main by a
    // fast-forward that fails when another commit got in first; refuses a duplicate pair.
    // Returns the head of the transaction's branch on each of `tables`, read at the same time
    // as the first check; refuses the commit when one of them is gone (maintenance
    // dropped it as a dead transaction's): publishing would lose its writes there.
    std::vector<std::int64_t> claim_commit(const std::string& id, const std::vector<std::string>& tables);
    // Publishes the tables of a claimed commit (metadata last), marks it done, drops its branches.
    // `heads` holds each table's branch head when known (the owner read them before its commit
    // point); a finisher reads them itself.
    void finish_commit(const std::string& id, const std::string& branch, const std::vector<std::string>& tables,
                       const std::vector<std::optional<std::int64_t>>& heads = {});
    // Finishes the claimed, unfinished commits whose owner's lease ran out, each after taking
    // its lease over by a compare-and-swap on the log; `caller` names the operation in errors.
    void finish_interrupted_commits(const std::string& caller);
    // Appends one row to the commit log only while the log's main is still at `start`: the row
    // goes onto a branch made there, and main is fast-forwarded to it. False when another row got
    // in first.
    bool append_to_log_at(std::int64_t start, const std::vector<SparkParameter>& row);
    // The same for several rows, appended as one table commit.
    bool append_to_log_at(std::int64_t start, const std::vector<std::vector<SparkParameter>>& rows);
    // Extends the lease of a commit this connection finishes, for another lease's length.
    void renew_lease(const std::string& id);
    std::optional<std::int64_t> ref_head(const std::string& table_name, const std::string& ref);
    std::string branch_;
    // This connection's branch of the commit log, where each row it appends under compare-and-swap
    // is written before main is fast-forwarded to it; kept from one commit to the next (each
    // append moves it to the log's main first) and dropped by disconnect.
    std::string log_branch_;
    bool log_branch_made_ = false;
    // The snapshot the log branch was last moved to, while nothing was appended to it since.
    std::optional<std::int64_t> log_branch_at_;
    // Moves the log branch to the snapshot `start` of the log's main (made when missing).
    void move_log_branch(std::int64_t start);
    // Each connection draws its branch names from its own source, seeded with 64 random bits.
    std::mt19937_64 branch_names_{(static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}()};
    std::vector<std::string> branched_;
    std::vector<Savepoint> savepoints_;
    // The branch of the open transaction on the table, made on the first write to it.
    void ensure_branch(const std::string& table_name);
    std::optional<std::int64_t> branch_head(const std::string& table_name) { return ref_head(table_name, branch_); }
    // The table as Iceberg's procedures name it: a text literal of namespace.table.
    std::string procedure_table(const std::string& table_name) const;
    // Moves main to hold the branch's rows: fast-forward, or (when main moved since the fork)
    // one INSERT of the branch's rows that neither main nor the fork holds, by row identity.
    // `head` is the branch's head when the caller knows it.
    void publish(const std::string& table_name, const std::string& branch,
                 std::optional<std::optional<std::int64_t>> head = std::nullopt);
    void drop_branch(const std::string& table_name, const std::string& branch);
    void drop_branch(const std::string& table_name) { drop_branch(table_name, branch_); }
    // The tables the reads and writes of the open transaction see through their branch changed.
    void branches_changed();
    // The column names of each INSERT text _build_insert_statement made.
    std::unordered_map<std::string, std::vector<std::string>> insert_columns_;
    std::uint64_t described_at_changes_ = 0;
    // The identity structs of the internal-table rows written in the open transaction, by address.
    std::map<std::string, std::vector<std::pair<std::string, Value>>> internal_identities_;
    const Module* schema_module_ = nullptr;
};

}  // namespace korvex::ice_history
