#include "pg_test_database.hpp"

#include <libpq-fe.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace korvex::testing {
namespace {

std::string server_dsn(const std::string& database) {
    std::string dsn = "host='" + required_env("POSTGRES_HOST") + "' port='" + required_env("POSTGRES_PORT") +
                      "' user='" + required_env("POSTGRES_USER") + "' dbname='" + database + "'";
    return dsn;
}

std::vector<std::string> run(const std::string& dsn, const std::string& statement) {
    PGconn* conn = PQconnectdb(dsn.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string message = PQerrorMessage(conn);
        PQfinish(conn);
        throw std::runtime_error("test database: cannot connect: " + message);
    }
    PGresult* result = PQexec(conn, statement.c_str());
    const auto status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        std::string message = PQerrorMessage(conn);
        PQclear(result);
        PQfinish(conn);
        throw std::runtime_error("test database: " + statement + ": " + message);
    }
    std::vector<std::string> rows;
    for (int row = 0; row < PQntuples(result); ++row) {
        rows.emplace_back(PQgetisnull(result, row, 0) ? "" : PQgetvalue(result, row, 0));
    }
    PQclear(result);
    PQfinish(conn);
    return rows;
}

}  // namespace

std::string required_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the tests through scripts/test.sh, which starts the servers");
    }
    return value;
}

PgTestDatabase::PgTestDatabase() {
    static std::atomic<int> counter{0};
    name_ = "korvex_t_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    run(server_dsn(required_env("POSTGRES_DATABASE")), "CREATE DATABASE " + name_);
}

PgTestDatabase::~PgTestDatabase() {
    try {
        run(server_dsn(required_env("POSTGRES_DATABASE")), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (...) {
        // A database left behind dies with the throw-away cluster.
    }
}

std::map<std::string, std::string> PgTestDatabase::parameters() const {
    return {{"host", required_env("POSTGRES_HOST")},
            {"port", required_env("POSTGRES_PORT")},
            {"user", required_env("POSTGRES_USER")},
            {"database", name_}};
}

std::string PgTestDatabase::dsn() const { return server_dsn(name_); }

std::vector<std::string> PgTestDatabase::sql(const std::string& statement) const { return run(dsn(), statement); }

}  // namespace korvex::testing
