#include "lite_bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace korvex::bench {

RawSqlite::RawSqlite(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
    sqlite3_busy_timeout(db_, 5000);
}

RawSqlite::~RawSqlite() { sqlite3_close_v2(db_); }

void RawSqlite::exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "error";
        sqlite3_free(message);
        throw std::runtime_error(sql + ": " + text);
    }
}

sqlite3_stmt* RawSqlite::prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
    }
    return statement;
}

int RawSqlite::run(sqlite3_stmt* statement) {
    int rows = 0;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) ++rows;
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
    sqlite3_reset(statement);
    return rows;
}

double lite_median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

TableSchema bench_person_schema() {
    return {Address::from_string("bench#BenchPerson@1"),
            {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"profile", ValueKind::MAPPING}},
            {},
            {}};
}

void print_json_line(const std::string& name, const std::vector<std::pair<std::string, double>>& figures) {
    std::printf("{\"benchmark\": \"%s\"", name.c_str());
    for (const auto& [key, value] : figures) std::printf(", \"%s\": %.6g", key.c_str(), value);
    std::printf("}\n");
}

}  // namespace korvex::bench
