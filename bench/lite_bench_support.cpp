#include "lite_bench_support.hpp"

#include <stdexcept>

namespace korvex::bench {

RawSqlite::RawSqlite(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_close_v2(db_);
        throw std::runtime_error(path + ": " + message);
    }
    sqlite3_busy_timeout(db_, LITE_BUSY_TIMEOUT_MS);
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
    if (rc != SQLITE_DONE) {
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_reset(statement);
        throw std::runtime_error(message);
    }
    sqlite3_reset(statement);
    return rows;
}

std::string lite_person_insert() {
    return std::string("INSERT INTO benchperson_v_1 (") + PERSON_COLUMNS + ") VALUES (?, ?, ?, ?, ?)";
}

void bind_person(sqlite3_stmt* statement, const PersonRow& row) {
    auto text = [&](int index, const std::string& value) {
        sqlite3_bind_text(statement, index, value.c_str(), static_cast<int>(value.size()), SQLITE_STATIC);
    };
    text(1, row.name);
    sqlite3_bind_int64(statement, 2, row.age);
    text(3, row.profile);
    text(4, row.id);
    text(5, row.version);
}

}  // namespace korvex::bench
