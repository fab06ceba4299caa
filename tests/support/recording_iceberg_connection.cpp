#include "recording_iceberg_connection.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"

namespace korvex {

namespace {

// `a`.`b`.`c` as Spark prints a multi-part name: every part in backticks.
std::string spark_printed_name(const std::string& full_table_name) {
    std::string printed = "`";
    bool quoted = false;
    for (char c : full_table_name) {
        if (c == '`') {
            quoted = !quoted;
        } else if (c == '.' && !quoted) {
            printed += "`.`";
        } else {
            printed += c;
        }
    }
    return printed + "`";
}

}  // namespace

std::string RecordingIcebergConnection::table_not_found_message(const std::string& full_table_name) {
    return "[TABLE_OR_VIEW_NOT_FOUND] The table or view " + spark_printed_name(full_table_name) +
           " cannot be found. Verify the spelling and correctness of the schema and catalog.\n"
           "If you did not qualify the name with a schema, verify the current_schema() output, or qualify the "
           "name with the correct schema and catalog.\n"
           "To tolerate the error on drop use DROP VIEW IF EXISTS or DROP TABLE IF EXISTS. SQLSTATE: 42P01";
}

RecordingIcebergConnection::RecordingIcebergConnection(IcebergHistoricalConnection& target)
    : IcebergHistoricalConnection(target.catalog(), target.namespace_name()), target_(&target) {}

std::string RecordingIcebergConnection::get_full_table_name(const Address& address) {
    calls_.push_back({"get_full_table_name", address.to_string()});
    if (target_ != nullptr) return target_->get_full_table_name(address);
    return IcebergHistoricalConnection::get_full_table_name(address);
}

std::vector<IcebergTableColumn> RecordingIcebergConnection::get_table_description(const std::string& full_table_name) {
    calls_.push_back({"get_table_description", full_table_name});
    if (auto error = description_errors.find(full_table_name); error != description_errors.end()) {
        std::rethrow_exception(error->second);
    }
    if (target_ != nullptr) return target_->get_table_description(full_table_name);
    if (auto table = tables.find(full_table_name); table != tables.end()) {
        return table->second;
    }
    throw ConnectAnalysisException(table_not_found_message(full_table_name), "TABLE_OR_VIEW_NOT_FOUND", "42P01");
}

std::vector<IcebergTableColumn> RecordingIcebergConnection::build_columns_from_schema(const TableSchema& table_schema) {
    calls_.push_back({"build_columns_from_schema", table_schema.address.to_string()});
    if (target_ != nullptr) return target_->build_columns_from_schema(table_schema);
    return IcebergHistoricalConnection::build_columns_from_schema(table_schema);
}

std::shared_ptr<Cursor> RecordingIcebergConnection::execute(const std::string& statement) {
    calls_.push_back({"execute", statement});
    if (auto error = statement_errors.find(statement); error != statement_errors.end()) {
        std::rethrow_exception(error->second);
    }
    if (target_ != nullptr) return target_->execute(statement);
    return std::make_shared<MemoryCursor>();
}

std::vector<std::string> RecordingIcebergConnection::statements() const {
    std::vector<std::string> executed;
    for (const Call& call : calls_) {
        if (call.operation == "execute") executed.push_back(call.argument);
    }
    return executed;
}

}  // namespace korvex
