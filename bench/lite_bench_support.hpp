#pragma once
// The hand-written side of the SQLite benchmarks: a plain sqlite3 connection to the store's file,
// with statements prepared once and bound again for every call.

#include "bench_support.hpp"

#include <sqlite3.h>

#include <string>

namespace korvex::bench {

// The store's busy timeout unless the caller names one, so that both sides wait alike.
constexpr int LITE_BUSY_TIMEOUT_MS = 5000;

class RawSqlite {
public:
    explicit RawSqlite(const std::string& path);
    ~RawSqlite();
    RawSqlite(const RawSqlite&) = delete;
    RawSqlite& operator=(const RawSqlite&) = delete;

    // Runs statements without parameters; throws with SQLite's message.
    void exec(const std::string& sql);
    // Prepares a statement; the caller finalizes it.
    sqlite3_stmt* prepare(const std::string& sql);
    // Steps a bound statement to its end and resets it; returns the number of rows. Throws with
    // SQLite's message (the statement reset).
    int run(sqlite3_stmt* statement);

private:
    sqlite3* db_ = nullptr;
};

// The INSERT of one BenchPerson row into benchperson_v_1, with ? markers, and the binding of
// `row` to it.
std::string lite_person_insert();
void bind_person(sqlite3_stmt* statement, const PersonRow& row);

}  // namespace korvex::bench
