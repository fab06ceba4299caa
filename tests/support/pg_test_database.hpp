#pragma once
// A fresh PostgreSQL database per test on the server the POSTGRES_* variables name (the test
// command starts a private cluster and sets them). Dropped again when the object goes away.

#include <map>
#include <string>
#include <vector>

namespace korvex::testing {

class PgTestDatabase {
public:
    PgTestDatabase();
    ~PgTestDatabase();
    PgTestDatabase(const PgTestDatabase&) = delete;
    PgTestDatabase& operator=(const PgTestDatabase&) = delete;

    const std::string& name() const { return name_; }
    // host, port, user and database of the fresh database, as named connection parameters.
    std::map<std::string, std::string> parameters() const;
    // A libpq connection string for it.
    std::string dsn() const;
    // Runs SQL on the fresh database through a separate libpq connection; returns the first
    // column of every row as text ("" for NULL).
    std::vector<std::string> sql(const std::string& statement) const;

private:
    std::string name_;
};

// The value of a required environment variable; fails the test with a hint when it is unset.
std::string required_env(const char* name);

}  // namespace korvex::testing
