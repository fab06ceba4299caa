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
#include "korvex/value.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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

// The Spark type a value is sent as when no type is given: null as VOID, booleans, integers as
// BIGINT (up to 2^63-1), other numbers (NaN and infinities included) as DOUBLE, text as STRING,
// a list as an ARRAY and a map as a MAP<STRING, ...> of the joined type of their items
// (BIGINT and DOUBLE join as DOUBLE; nulls join anything). Throws UsageError for items of
// different types and for integers above 2^63-1.
ComplexType spark_type_of(const Value& value);

// A statement parameter: a value, and the Spark type to send it as where its JSON form alone
// does not say (a struct rather than a map, an INT rather than a BIGINT, a typed null, a list of
// structs). Without a type the value is sent as spark_type_of(value) says. With one, the value
// must fit it: a struct's value is a map by field name (missing fields are null) or a list in
// field order; a map's keys are STRING; integers must be in the type's range; DECIMAL takes a
// number or its text. DATE, TIMESTAMP and BINARY parameters are not supported: send text and
// CAST it in the statement.
class SparkParameter {
public:
    // Anything a Value is made of (7, "text", nullptr, a Value) is a parameter of that value.
    template <class T, class = std::enable_if_t<!std::is_same_v<std::decay_t<T>, SparkParameter> &&
                                                std::is_constructible_v<Value, T&&>>>
    SparkParameter(T&& value) : value_(std::forward<T>(value)) {}  // NOLINT(google-explicit-constructor)
    SparkParameter(Value value, ComplexType type) : value_(std::move(value)), type_(std::move(type)) {}
    // A null of the given type.
    static SparkParameter null_of(ComplexType type) { return {Value(), std::move(type)}; }

    const Value& value() const { return value_; }
    const std::optional<ComplexType>& type() const { return type_; }

private:
    Value value_;
    std::optional<ComplexType> type_;
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

    // A client may be called from several threads at once: each call is an operation of its
    // own in the one server session, and the server runs the operations of a session
    // concurrently (statements that do not depend on each other can so overlap).

    // Runs one SQL statement to its end and returns the rows it produced: a query's rows, a
    // command's result rows (SHOW TABLES, SHOW TBLPROPERTIES), or none. Values are decoded from
    // Arrow: null, booleans, integers, floating-point numbers, text; decimals, dates and
    // timestamps as text; structs as maps, arrays as lists, maps as maps with text keys.
    std::shared_ptr<Cursor> sql(const std::string& statement);

    // The same with positional parameters: each `?` marker of the statement takes the next
    // parameter, in order. Values travel as typed expressions beside the statement text, never
    // inside it; a marker stands wherever a literal may. Throws UsageError when a value does
    // not fit its type, naming the parameter (counted from 1) and the place inside it.
    std::shared_ptr<Cursor> sql(const std::string& statement, const std::vector<SparkParameter>& parameters);

    // The same with named parameters: each `:name` marker takes the parameter of that name.
    std::shared_ptr<Cursor> sql_named(const std::string& statement,
                                      const std::map<std::string, SparkParameter>& parameters);

    // Appends `rows` to a table in one statement and one round trip. `table` is the table's
    // name as Spark SQL text, its parts quoted by the caller (quote_spark_identifier);
    // `columns` name the columns written and their types, and each row is a list of values in
    // that order or a map by column name (missing columns are null). The rows travel as one
    // parameter, JSON text that the server reads back with from_json in FAILFAST mode against
    // these types; every value is checked against its column's type before anything is sent.
    // Returns the number of rows sent. An empty `rows` sends nothing. One call is one request,
    // which the server refuses above its spark.connect.grpc.maxInboundMessageSize (128 MiB by
    // default): split larger batches.
    std::size_t insert_rows(const std::string& table, const std::vector<IcebergTableColumn>& columns,
                            const std::vector<Value>& rows);

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
