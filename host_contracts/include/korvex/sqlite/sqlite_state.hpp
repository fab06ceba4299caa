#pragma once
// A connection to one SQLite database file (or ":memory:"), open from construction to
// destruction. Runs in autocommit mode: every statement outside an explicit BEGIN is committed
// when it completes. Not thread-safe: one caller at a time.
//
// execute() runs one statement with its "?" parameters bound in order and reads every result
// row before it returns. Values come back by storage class (integer, float, text, blob, null);
// in columns declared JSON, text is parsed as JSON, and in columns declared BOOLEAN, 0 and 1
// come back as false and true. Parameters bind as: null, booleans as 0/1, integers, floats,
// texts, binary as blobs, and maps and lists as their JSON text.
//
// Each distinct statement text is prepared once and kept (a bounded number of them), so that a
// repeated statement costs only its run. The SQL function korvex_upper(text) upper-cases with
// Unicode's simple case mapping, which SQLite's own upper() does for ASCII letters only.
//
// Writers on a file take turns. A file is switched to the write-ahead log when opened (unless
// the options keep its journal mode), so that readers never hold up a commit nor a commit a
// reader. Before a statement that starts writing outside a transaction (BEGIN IMMEDIATE or
// EXCLUSIVE, a SAVEPOINT that opens a transaction, or a statement that writes), the connection
// takes an OS file lock (open-file-description fcntl lock) on the side file
// "<path>-writer-lock" and keeps it until its transaction ends. Writers that wait for it look
// every half millisecond, and a writer back right after its own turn lets those waiting go
// first, so none starves while others commit. The OS releases the lock of a process that dies.
// SQLite's own waits (a program that does not take the side lock) look as often, both within
// the busy timeout. A plain BEGIN (deferred) takes no side lock: it reads first and may fail at once
// when it later writes beside another writer.

#include "korvex/connections/connection.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/table_change_tracker.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace korvex {

// A statement SQLite rejected or failed to run. what() is SQLite's own message.
class SqliteError : public DatabaseError {
public:
    SqliteError(const std::string& message, int result_code)
        : DatabaseError(message), result_code_(result_code) {}
    // SQLite's extended result code (SQLITE_CONSTRAINT_UNIQUE, ...).
    int result_code() const { return result_code_; }

private:
    int result_code_;
};

// How a database file is opened.
struct SqliteOpenOptions {
    // How long to wait for another connection's lock before failing.
    int busy_timeout_ms = 5000;
    // FULL syncs the log at every commit: a committed transaction survives a power loss. NORMAL
    // syncs at checkpoints only: the last commits may be lost on a power loss (never on a crash
    // of the program), and the file is never corrupted.
    enum class Synchronous { FULL, NORMAL } synchronous = Synchronous::FULL;
    // Leaves the file's journal mode as it is instead of switching it to the write-ahead log.
    bool keep_journal_mode = false;
};

class SqliteStateConnection : public SqlConnection {
public:
    // Opens (creating when missing) the database at `path`; ":memory:" opens a private in-memory
    // database, which keeps its own journal and takes no side lock. Throws SqliteError when the
    // file cannot be opened or switched to the write-ahead log, UsageError for an empty path.
    SqliteStateConnection(const std::string& path, const SqliteOpenOptions& options);
    explicit SqliteStateConnection(const std::string& path, int busy_timeout_ms = 5000)
        : SqliteStateConnection(path, SqliteOpenOptions{.busy_timeout_ms = busy_timeout_ms}) {}
    ~SqliteStateConnection() override;

    SqliteStateConnection(const SqliteStateConnection&) = delete;
    SqliteStateConnection& operator=(const SqliteStateConnection&) = delete;

    // Throws std::invalid_argument when the text holds more than one statement or a NUL byte,
    // when the number of parameters differs from the statement's markers, or for a parameter
    // SQLite could not keep as given (a NaN, an unsigned integer above the signed range);
    // SqliteError when SQLite rejects or fails the statement.
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override;

    const std::string& path() const { return path_; }
    // Whether a transaction is open (BEGIN was run and neither COMMIT nor ROLLBACK since, and
    // SQLite did not roll it back by itself).
    bool in_transaction() const;
    // Moves whenever a statement run here may have changed a table (see TableChangeTracker): a
    // cache of table descriptions is read again when it does.
    std::uint64_t table_changes() const { return table_changes_.changes(); }
    // The file's schema version (PRAGMA schema_version), which every change of a table's
    // definition by any connection moves.
    std::int64_t schema_version();
    // Runs `work` in a write transaction: in the open one, or else in one of its own (BEGIN
    // IMMEDIATE, so with the write lock from its start), committed when `work` returns and rolled
    // back when it throws. What `work` reads stays true until it ends.
    void in_write_transaction(const std::function<void()>& work);
    // Whether this connection holds the side file's writer lock.
    bool holds_writer_lock() const { return writer_lock_held_; }
    // How many transactions this connection has opened (BEGIN, or a SAVEPOINT outside one): a
    // transaction open now is the same one as long as the count stays.
    std::uint64_t transactions_begun() const { return transactions_begun_; }
    // The prepared form the last execute ran (none when it failed or ran no statement): which one,
    // unique in the process while it is kept, and how often SQLite has prepared it again by
    // itself, as it does before a run when the file's schema changed since the statement's last
    // run. The same form with the same count ran on the schema of its previous run.
    struct PreparedRun {
        const void* statement = nullptr;
        std::uint64_t generation = 0;
        int reprepares = 0;
        bool operator==(const PreparedRun&) const = default;
    };
    PreparedRun last_run() const { return last_run_; }

    // A write (INSERT, UPDATE or DELETE, with "?" markers) prepared once for its caller to run
    // again and again with run_kept, so that a repeated write costs neither a look-up of its
    // text nor a cursor. It stays valid while kept_token() keeps the value it had when the
    // statement was kept: until this connection is closed, or lets every kept statement go
    // because it keeps too many. Tokens are unique in the process. Throws as execute does, and
    // UsageError for any other statement.
    sqlite3_stmt* keep(const std::string& query);
    std::uint64_t kept_token() const { return kept_token_; }
    // Runs a kept statement with `params` bound in order (texts and blobs where they lie), as
    // execute would run it (the writer lock taken outside a transaction), reading no rows.
    // Throws as execute does.
    void run_kept(sqlite3_stmt* statement, const std::vector<Value>& params);
    // The same with the values where they lie.
    void run_kept(sqlite3_stmt* statement, const std::vector<const Value*>& params);
    static constexpr std::size_t KEPT_STATEMENTS_CAPACITY = 256;

    struct StatementFinalizer {
        void operator()(sqlite3_stmt* statement) const;
    };
    using PreparedStatement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
    static constexpr std::size_t STATEMENT_CACHE_CAPACITY = 128;

private:
    // A prepared statement kept by its text, and its result columns as read from the compiled
    // form SQLite last made of it: their names, and how each column's values are decoded.
    struct CachedStatement {
        PreparedStatement statement;
        std::shared_ptr<const std::vector<ColumnDescription>> description;
        std::vector<std::uint8_t> decodings;
        int reprepares = -1;  // the compiled form the columns were read from; -1 before any
    };
    // The prepared form of `query`, prepared now when it is new; null for a text without a
    // statement. Throws as execute documents.
    CachedStatement* prepared(const std::string& query);
    // Runs a PRAGMA directly (no cache, no writer lock); returns its first value as text.
    std::string pragma(const char* statement);
    // Takes the side file's lock, polling until the busy timeout; throws SqliteError (busy) then.
    void take_writer_lock();
    void release_writer_lock();
    // Lets the writer lock go at the end of a statement once no transaction holds it.
    struct WriterLockScope;
    template <typename Params>
    void run_kept_values(sqlite3_stmt* statement, const Params& params);
    // SQLite's busy handler: short sleeps until the busy timeout has passed since the wait began.
    static int on_busy(void* connection, int count);

    std::string path_;
    sqlite3* db_ = nullptr;
    int busy_timeout_ms_ = 5000;
    int writer_lock_fd_ = -1;
    bool writer_lock_held_ = false;
    std::chrono::steady_clock::time_point writer_lock_released_at_;
    // When the current statement began waiting for the side lock; SQLite's waits count from it.
    std::optional<std::chrono::steady_clock::time_point> wait_started_;
    std::chrono::steady_clock::time_point busy_since_;
    std::unordered_map<std::string, CachedStatement> statements_;
    // Moves (unique in the process) whenever the cache lets its statements go, so that a freed
    // statement's address is not taken for the one prepared after it.
    std::uint64_t statements_generation_;
    PreparedRun last_run_;
    std::vector<PreparedStatement> kept_;
    std::uint64_t kept_token_;
    std::uint64_t transactions_begun_ = 0;
    TableChangeTracker table_changes_;
};

}  // namespace korvex
