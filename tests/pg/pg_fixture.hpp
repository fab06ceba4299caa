#pragma once
// Helpers shared by the PostgreSQL tests: a connection that logs every statement it sends, a
// scoped change of environment variables, and error inspection.

#include "korvex/connections/errors.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "pg_test_database.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace korvex::testing {

// A data map from its JSON text.
inline DataMap map(const char* json) { return Value::parse(json); }

// A PostgresHistoricalConnection that keeps every statement reaching execute or the reads of
// query and count, in order.
class RecordingConnection : public pg_timeline::PostgresHistoricalConnection {
public:
    using PostgresHistoricalConnection::PostgresHistoricalConnection;

    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override {
        statements.push_back({query, params});
        return PostgresHistoricalConnection::execute(query, params);
    }
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override {
        statements.push_back(statement);
        return PostgresHistoricalConnection::_execute_read(statement);
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& statement : statements) result.push_back(statement.text);
        return result;
    }
    // How many logged statements contain `fragment`.
    std::size_t count_containing(const std::string& fragment) const {
        std::size_t count = 0;
        for (const auto& statement : statements) count += statement.text.find(fragment) != std::string::npos;
        return count;
    }

    std::vector<Statement> statements;
};

// A connection that logs statements and sends nothing: for statement sequences that need no
// server. Every statement yields an empty cursor; every table has the columns of `columns`
// (none unless a test names some, as if no table existed).
class OfflineConnection : public pg_timeline::PostgresHistoricalConnection {
public:
    using PostgresHistoricalConnection::PostgresHistoricalConnection;

    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override {
        statements.push_back({query, params});
        return std::make_shared<MemoryCursor>();
    }
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override {
        return execute(statement.text, statement.params);
    }
    TableDescription _describe_table(const std::string&) override { return columns; }
    TableDescription columns;
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& statement : statements) result.push_back(statement.text);
        return result;
    }

    std::vector<Statement> statements;
};

// Sets (or, with nullopt, unsets) environment variables for one scope and restores them.
class ScopedEnv {
public:
    explicit ScopedEnv(const std::map<std::string, std::optional<std::string>>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            apply(name, value);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) apply(name, value);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    // Unsets all five POSTGRES_* variables.
    static std::map<std::string, std::optional<std::string>> none() {
        return {{"POSTGRES_HOST", std::nullopt},
                {"POSTGRES_PORT", std::nullopt},
                {"POSTGRES_USER", std::nullopt},
                {"POSTGRES_PASSWORD", std::nullopt},
                {"POSTGRES_DATABASE", std::nullopt}};
    }

private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

// Collects what the module logger writes while it lives.
// At debug level, so that the notices the module passes on at that level are seen too.
class CapturedLog {
public:
    CapturedLog() : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)) {
        pg_timeline::logger()->sinks().push_back(sink_);
        level_ = pg_timeline::logger()->level();
        pg_timeline::logger()->set_level(spdlog::level::debug);
    }
    ~CapturedLog() {
        auto& sinks = pg_timeline::logger()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
        pg_timeline::logger()->set_level(level_);
    }
    std::string text() const { return stream_.str(); }

private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
    spdlog::level::level_enum level_;
};

// Runs `action` and expects a KorvexConnectionError with exactly `message`.
inline void expect_connection_error(const std::function<void()>& action, const std::string& message) {
    try {
        action();
    } catch (const KorvexConnectionError& error) {
        EXPECT_EQ(std::string(error.what()), message);
        return;
    }
    ADD_FAILURE() << "no KorvexConnectionError \"" << message << "\" was raised";
}

// The DatabaseError nested in `error`; fails the test when there is none.
inline std::optional<DatabaseError> database_cause(const std::exception& error) {
    std::exception_ptr cause = cause_of(error);
    if (!cause) {
        ADD_FAILURE() << "the error has no cause";
        return std::nullopt;
    }
    try {
        std::rethrow_exception(cause);
    } catch (const DatabaseError& database_error) {
        return database_error;
    } catch (...) {
        ADD_FAILURE() << "the cause is not a DatabaseError";
    }
    return std::nullopt;
}

}  // namespace korvex::testing
