#pragma once
// What the SQLite benchmark programs share: a hand-written sqlite3 connection to the same file
// as the store, the clock and the median, and the JSON line each program ends with.

#include "korvex/models/table_schema.hpp"

#include <sqlite3.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace korvex::bench {

// A plain sqlite3 connection: the baseline the SQLite store is measured against.
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
    // Steps a bound statement to its end and resets it; returns the number of rows.
    int run(sqlite3_stmt* statement);
    sqlite3* get() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

using LiteClock = std::chrono::steady_clock;

inline double lite_seconds_since(LiteClock::time_point start) {
    return std::chrono::duration<double>(LiteClock::now() - start).count();
}

double lite_median(std::vector<double> values);

// The table both SQLite benchmarks write and read: bench#BenchPerson@1 (name, age, profile).
TableSchema bench_person_schema();

// {"benchmark": name, key: value, ...} on one line, numbers as they are.
void print_json_line(const std::string& name, const std::vector<std::pair<std::string, double>>& figures);

}  // namespace korvex::bench
