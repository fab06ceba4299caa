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

#include "korvex/connections/connection.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/table_change_tracker.hpp"

#include <cstdint>
#include <memory>
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

class SqliteStateConnection : public SqlConnection {
public:
    // Opens (creating when missing) the database at `path`; ":memory:" opens a private in-memory
    // database. Waits up to `busy_timeout_ms` for another process's lock before failing.
    // Throws SqliteError when the file cannot be opened, UsageError for an empty path.
    explicit SqliteStateConnection(const std::string& path, int busy_timeout_ms = 5000);
    ~SqliteStateConnection() override;

    SqliteStateConnection(const SqliteStateConnection&) = delete;
    SqliteStateConnection& operator=(const SqliteStateConnection&) = delete;

    // Throws UsageError when the text holds more than one statement or a NUL byte,
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

    struct StatementFinalizer {
        void operator()(sqlite3_stmt* statement) const;
    };
    using PreparedStatement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
    static constexpr std::size_t STATEMENT_CACHE_CAPACITY = 128;

private:
    // The prepared form of `query`, prepared now when it is new; null for a text without a
    // statement. Throws as execute documents.
    sqlite3_stmt* prepared(const std::string& query);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, PreparedStatement> statements_;
    TableChangeTracker table_changes_;
};

}  // namespace korvex
