#include "pg_bench_support.hpp"

#include <cstdlib>
#include <stdexcept>

namespace korvex::bench {

RawConnection::RawConnection() {
    // Only the POSTGRES_* variables are read, as the store reads them.
    const char* keys[] = {"host", "port", "user", "dbname", nullptr};
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        if (value == nullptr) throw std::runtime_error(std::string(name) + " is not set: run scripts/bench.sh");
        return value;
    };
    const char* values[] = {env("POSTGRES_HOST"), env("POSTGRES_PORT"), env("POSTGRES_USER"), env("POSTGRES_DATABASE"),
                            nullptr};
    conn_ = PQconnectdbParams(keys, values, 0);
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string message = PQerrorMessage(conn_);
        PQfinish(conn_);
        throw std::runtime_error(message);
    }
    // The server's notices (DROP ... IF EXISTS of nothing) are not the benchmark's output.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

RawConnection::~RawConnection() { PQfinish(conn_); }

int RawConnection::checked(PGresult* result, const std::string& what) {
    const auto status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string message = PQerrorMessage(conn_);
        PQclear(result);
        throw std::runtime_error(what + ": " + message);
    }
    const int rows = PQntuples(result);
    PQclear(result);
    return rows;
}

int RawConnection::exec(const std::string& sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& param : params) values.push_back(param.c_str());
    return checked(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                nullptr, 0),
                   sql);
}

void RawConnection::prepare(const std::string& name, const std::string& sql) {
    checked(PQprepare(conn_, name.c_str(), sql.c_str(), 0, nullptr), sql);
}

int RawConnection::exec_prepared(const std::string& name, const std::vector<const char*>& values) {
    return checked(
        PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0),
        "prepared statement " + name);
}

void RawConnection::copy(const std::string& copy_statement, const std::string& data) {
    PGresult* started = PQexec(conn_, copy_statement.c_str());
    if (PQresultStatus(started) != PGRES_COPY_IN) {
        checked(started, copy_statement);
        throw std::runtime_error(copy_statement + ": the server did not start the copy");
    }
    PQclear(started);
    if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 || PQputCopyEnd(conn_, nullptr) != 1) {
        throw std::runtime_error(copy_statement + ": " + PQerrorMessage(conn_));
    }
    checked(PQgetResult(conn_), copy_statement);
    while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
}

std::string person_insert(int rows) {
    std::string text = std::string("INSERT INTO benchperson_v_1 (") + PERSON_COLUMNS + ") VALUES ";
    for (int row = 0, n = 0; row < rows; ++row) {
        text += row ? ", (" : "(";
        for (int column = 0; column < 5; ++column) text += (column ? ", $" : "$") + std::to_string(++n);
        text += ')';
    }
    return text;
}

void append_person_values(std::vector<const char*>& values, const PersonRow& row) {
    values.insert(values.end(),
                  {row.name.c_str(), row.age_text.c_str(), row.profile.c_str(), row.id.c_str(), row.version.c_str()});
}

std::string person_copy() { return std::string("COPY benchperson_v_1 (") + PERSON_COLUMNS + ") FROM STDIN"; }

void append_copy_row(std::string& data, const PersonRow& row) {
    // COPY's text format: tab between columns, a backslash before a backslash, tab, newline or
    // carriage return inside a value.
    auto append = [&](const std::string& value, char end) {
        for (char c : value) {
            switch (c) {
                case '\\': data += "\\\\"; break;
                case '\t': data += "\\t"; break;
                case '\n': data += "\\n"; break;
                case '\r': data += "\\r"; break;
                default: data += c;
            }
        }
        data += end;
    };
    append(row.name, '\t');
    append(row.age_text, '\t');
    append(row.profile, '\t');
    append(row.id, '\t');
    append(row.version, '\n');
}

}  // namespace korvex::bench
