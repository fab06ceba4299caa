#pragma once
// A client of a Spark Connect server (the gRPC protocol of Spark's client/server mode). It holds
// one Spark session, named by a random UUID, for its whole life; the server keeps the session's
// state (current catalog, temp views, configuration) between calls. One caller at a time: a
// client is not to be shared between threads.
//
// Errors: a statement or plan that Spark cannot analyse raises ConnectAnalysisException with
// Spark's own message; every other failure (server unreachable, execution errors) raises
// SparkConnectError.

#include "korvex/error.hpp"
#include "korvex/connections/cursor.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace korvex {

class SparkConnectError : public Error {
public:
    // `status_code` is the gRPC status code; `exception_class` the Java class of Spark's error
    // and `error_class` / `sql_state` Spark's condition name and SQLSTATE, when Spark sent them.
    SparkConnectError(const std::string& message, int status_code, std::string exception_class = {},
                      std::string error_class = {}, std::string sql_state = {});
    ~SparkConnectError() override;

    int status_code() const { return status_code_; }
    const std::string& exception_class() const { return exception_class_; }
    const std::string& error_class() const { return error_class_; }
    const std::string& sql_state() const { return sql_state_; }

private:
    int status_code_;
    std::string exception_class_;
    std::string error_class_;
    std::string sql_state_;
};

struct SparkConnectOptions {
    // Upper bound for one call (a statement with all its results, or one analysis).
    std::chrono::milliseconds timeout = std::chrono::minutes(5);
    // Reported to the server as the client type.
    std::string client_type = "korvex-cpp";
};

class SparkConnectClient {
public:
    // `url` is "sc://host[:port][/;key=value;...]" (port 15002 by default). Keys understood:
    // user_id, session_id (a UUID to join an existing session instead of a new one),
    // use_ssl ("true" for TLS) and token (a bearer token, sent with TLS). Throws
    // UsageError for a malformed URL. No call is made until the first request.
    explicit SparkConnectClient(const std::string& url, SparkConnectOptions options = {});
    ~SparkConnectClient();
    SparkConnectClient(const SparkConnectClient&) = delete;
    SparkConnectClient& operator=(const SparkConnectClient&) = delete;

    const std::string& session_id() const;
    // "host:port"
    const std::string& target() const;

    // Runs one SQL statement to its end and returns the rows it produced: a query's rows, a
    // command's result rows (SHOW TABLES, SHOW TBLPROPERTIES), or none. Values are decoded from
    // Arrow: null, booleans, integers, floating-point numbers, text; decimals, dates and
    // timestamps as text; structs as maps, arrays as lists, maps as maps with text keys.
    std::shared_ptr<Cursor> sql(const std::string& statement);

    // The schema of the named table or view (as `spark.table(name)` sees it), as a struct type
    // with one field per column, in order.
    ComplexType table_schema(const std::string& table_name);

    // The server's Spark version, such as "4.0.1".
    std::string spark_version();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvex
