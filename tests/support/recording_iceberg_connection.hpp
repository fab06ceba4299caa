#pragma once
// An Iceberg connection for tests that records every call made on it, in order. On its own it
// is held in memory: it answers table descriptions from the tables a test puts into `tables`,
// raises the errors a test plants, and runs no SQL (executed statements are recorded, not
// applied). Given a real connection, it forwards every call there and returns the real answer,
// so the exact statements sent to a real server can be checked.

#include "korvex/iceberg/iceberg_historical_connection.hpp"

#include <exception>
#include <map>
#include <string>
#include <vector>

namespace korvex {

class RecordingIcebergConnection : public IcebergHistoricalConnection {
public:
    struct Call {
        // "get_full_table_name", "get_table_description", "build_columns_from_schema", "execute"
        std::string operation;
        // The address text, the table name or the statement.
        std::string argument;

        bool operator==(const Call&) const = default;
    };

    using IcebergHistoricalConnection::IcebergHistoricalConnection;
    // Forwards to `target`, which must outlive this connection.
    explicit RecordingIcebergConnection(IcebergHistoricalConnection& target);

    std::string get_full_table_name(const Address& address) override;
    // The columns in `tables`; a planted description error; otherwise Spark's not-found
    // analysis error (ConnectAnalysisException) for the table.
    std::vector<IcebergTableColumn> get_table_description(const std::string& full_table_name) override;
    std::vector<IcebergTableColumn> build_columns_from_schema(const TableSchema& table_schema) override;
    // Records the statement; raises the error planted for it, if any; returns no rows.
    std::shared_ptr<Cursor> execute(const std::string& statement) override;

    // Every call, in order.
    const std::vector<Call>& calls() const { return calls_; }
    // The executed statements, in order.
    std::vector<std::string> statements() const;
    void clear_calls() { calls_.clear(); }

    // Present tables by full name, with their columns.
    std::map<std::string, std::vector<IcebergTableColumn>> tables;
    // Errors raised by get_table_description for a full table name.
    std::map<std::string, std::exception_ptr> description_errors;
    // Errors raised by execute for an exact statement text (the statement is still recorded).
    std::map<std::string, std::exception_ptr> statement_errors;

    // Spark's message for a table that does not exist.
    static std::string table_not_found_message(const std::string& full_table_name);

private:
    std::vector<Call> calls_;
    IcebergHistoricalConnection* target_ = nullptr;
};

}  // namespace korvex
