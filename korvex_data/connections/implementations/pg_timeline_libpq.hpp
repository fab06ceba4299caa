#pragma once
// libpq plumbing of pg_timeline, shared by its sources: statements bound as libpq's text
// parameters, results turned into cursors and errors, the statements prepared on the server
// session, and pipelines (several commands in one round trip). Internal: not part of the host's API.

#include "korvex/connections/cursor.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/value.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <libpq-fe.h>

#include <deque>
#include <map>
#include <memory>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvex::pg_timeline::libpq {

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A statement with its %s markers numbered $1, $2, ... and its parameters as libpq's text
// parameters. Throws UsageError when markers and parameters do not pair up.
struct BoundStatement {
    // Without `numbered`, the text is left empty (the markers are only counted); the parameters
    // must outlive the object, whose values may point into them.
    BoundStatement(const std::string& query, const std::vector<Value>& params, bool numbered = true);
    // Only the parameters, for a statement whose numbered text is kept elsewhere (a KeptRead):
    // `text` stays empty.
    BoundStatement(std::size_t markers, const std::vector<Value>& params);
    BoundStatement(const BoundStatement&) = delete;
    BoundStatement& operator=(const BoundStatement&) = delete;

    std::string text;
    std::deque<std::string> made;
    std::vector<const char*> values;  // into the parameters or `made`; null for SQL NULL
};

// A message without the line ends libpq puts after it.
std::string trimmed(std::string text);
// The server's error in `result` (the connection's, when there is no result).
DatabaseError error_of(const PGresult* result, PGconn* connection);
bool succeeded(const PGresult* result);
std::string sqlstate_of(const PGresult* result);
// Whether a failure of a prepared statement may lie in its plan (a table dropped and made again
// with other column types, a statement dropped by DEALLOCATE) rather than in the values or the
// transaction: anything but bad data (class 22), a broken constraint (23), an aborted transaction
// (25) or a rolled-back one (40).
bool plan_may_be_stale(const std::string& sqlstate);
// The rows of a successful result, decoded as they are fetched.
std::shared_ptr<Cursor> cursor_of(ResultPtr result);
// The same, with the columns `*description` holds when they are the result's (read and kept
// there when not).
std::shared_ptr<Cursor> cursor_of(ResultPtr result, std::shared_ptr<const std::vector<ColumnDescription>>* description);

// The names of the statements prepared on the current server session, by statement text.
class PreparedStatements {
public:
    static constexpr std::size_t CAPACITY = 256;
    explicit PreparedStatements(std::string name_prefix) : prefix_(std::move(name_prefix)) {}

    // The name `query` runs under, or null when it is not prepared.
    const std::string* find(const std::string& query) const;
    // Whether one more statement may be prepared (the server keeps each for the whole session).
    bool has_room() const { return names_.size() < CAPACITY; }
    // A name no statement of this object had before, so that an evicted statement still on the
    // server cannot clash with a new one.
    std::string new_name() { return prefix_ + std::to_string(++issued_); }
    void add(const std::string& query, std::string name) { names_.insert_or_assign(query, std::move(name)); }
    // Stops using the statement of `query` (its plan may no longer fit the table).
    void evict(const std::string& query) {
        names_.erase(query);
        ++epoch_;
    }
    // A new server session, or a DEALLOCATE or DISCARD, leaves none of them usable.
    void clear() {
        names_.clear();
        ++epoch_;
    }
    // Changes whenever a statement stops being usable: a name remembered at one epoch holds
    // while the epoch is the same.
    std::uint64_t epoch() const { return epoch_; }
    std::size_t size() const { return names_.size(); }

private:
    std::string prefix_;
    std::map<std::string, std::string> names_;
    std::size_t issued_ = 0;
    std::uint64_t epoch_ = 0;
};

// What a read that the store core keeps per shape remembers of its statement, so as not to
// derive it from the text on every read: the text with numbered markers, their number, and the
// name the statement is prepared under at the reads' epoch `epoch` (none yet when `name` is empty).
// The result's columns are read from the server's answer once per prepared statement (a prepared
// statement's columns cannot change: the server refuses to run it once they would).
struct KeptRead {
    std::string text;
    std::size_t markers = 0;
    std::string name;
    std::uint64_t epoch = 0;
    std::shared_ptr<const std::vector<ColumnDescription>> description;
};

// How put_many copies the rows of one INSERT text (pg_timeline_write.cpp).
struct CopyPlan;

// What this driver keeps with one of the core's kept INSERTs: for put, the text with numbered
// markers, their number, the name it is prepared under while the session's inserts stay at
// `epoch` (none yet when `name` is empty), and the room its parameters are made in; for put_many,
// how its rows are copied, once worked out.
struct KeptInsert {
    std::string text;
    std::size_t markers = 0;
    bool holds_nul = false;  // whether the text holds a NUL byte (then refused as any statement)
    std::string name;
    std::uint64_t epoch = 0;
    detail::ParameterValues values;
    std::shared_ptr<const CopyPlan> copy;
};

// Commands sent in one round trip (libpq's pipeline mode), with one result per command collected
// at the closing sync. After a failed command the server skips the rest up to the sync (their
// results say PGRES_PIPELINE_ABORTED). Outside a transaction block the commands form one implicit
// transaction, which a failure rolls back as a whole; inside one, a failure aborts the
// transaction as any failed statement does.
class Pipeline {
public:
    // Enters pipeline mode; throws DatabaseError when libpq cannot.
    explicit Pipeline(PGconn* connection);
    // Leaves pipeline mode, reading whatever the server still owes.
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    void query(const std::string& text, const std::vector<const char*>& values = {});
    void prepare(const std::string& name, const std::string& text);
    void run_prepared(const std::string& name, const std::vector<const char*>& values);
    // Sends the sync and returns one result per command, in the order sent.
    std::vector<ResultPtr> finish();

private:
    // Counts a command libpq took (throws when it took none), and every so many commands has the
    // server answer those sent so far, so that neither side's buffers fill while the other waits.
    void sent(int accepted);
    // Reads the result of every command sent whose result was not read yet.
    void read_pending();

    PGconn* connection_;
    std::vector<ResultPtr> results_;
    std::size_t sent_ = 0;
    bool open_ = true;
};

// Runs a read statement (a SELECT) as a prepared statement, preparing it in the same round trip
// the first time. Its plan is made once instead of on every run; when another session changed the
// table since, the server refuses the plan ("cached plan must not change result type", 0A000)
// before running it, and the read is prepared afresh and run again, once. Inside a transaction
// the read runs within a savepoint, so that this refusal does not abort the caller's transaction;
// any other failure leaves the transaction as the unprepared statement would. Outside a
// transaction a statement prepared before runs on its own, without the pipeline.
// With `kept`, the numbered text is the kept one and the name is remembered there.
std::shared_ptr<Cursor> run_prepared_read(PGconn* connection, const std::string& query, const BoundStatement& bound,
                                          PreparedStatements& reads, KeptRead* kept = nullptr);

}  // namespace korvex::pg_timeline::libpq

namespace korvex::pg_timeline {

// The prepared statements of one server session: the INSERTs of put and the reads of query and
// count, kept apart so that many distinct reads cannot crowd the INSERTs out.
struct SessionStatements {
    libpq::PreparedStatements inserts{"korvex_insert_"};
    libpq::PreparedStatements reads{"korvex_read_"};

    // The prepared statement to run `query` with, preparing it first when it is an INSERT not
    // prepared yet; null when the statement is sent unprepared.
    const std::string* insert_name(PGconn* connection, const std::string& query, const std::string& numbered_text);
    void clear() {
        inserts.clear();
        reads.clear();
        checked_tables.clear();
    }

    // The columns checks of put_many's COPY (by their keys) that passed in the open transaction,
    // outside every savepoint rolled back since: the check's read holds the table's lock until the
    // transaction ends, so no other session can have changed the table since. Forgotten at any
    // statement that may end the transaction, roll back to a savepoint or change a table (every
    // statement sent through execute but an INSERT).
    std::set<std::string> checked_tables;
    // The room in which put_many's COPY text is made, kept from one call to the next.
    std::string copy_data;
};

}  // namespace korvex::pg_timeline
