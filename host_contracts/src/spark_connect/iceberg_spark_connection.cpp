#include "korvex/spark_connect/iceberg_spark_connection.hpp"

namespace korvex {

IcebergSparkConnection::IcebergSparkConnection(const std::string& url, std::string catalog, std::string namespace_name,
                                               SparkConnectOptions options)
    : IcebergHistoricalConnection(std::move(catalog), std::move(namespace_name)),
      client_(std::make_unique<SparkConnectClient>(url, std::move(options))) {}

std::vector<IcebergTableColumn> IcebergSparkConnection::get_table_description(const std::string& full_table_name) {
    const ComplexType schema = client_->table_schema(full_table_name);
    std::vector<IcebergTableColumn> columns;
    columns.reserve(schema.fields().size());
    for (const ComplexType::Field& field : schema.fields()) {
        columns.emplace_back(field.name, *field.type, field.nullable);
    }
    return columns;
}

std::shared_ptr<Cursor> IcebergSparkConnection::execute(const std::string& statement) {
    return client_->sql(statement);
}

void IcebergSparkConnection::create_namespace() {
    std::string name;
    for (const std::string* part : {&catalog(), &namespace_name()}) {
        if (part->empty()) continue;
        if (!name.empty()) name += ".";
        name += quote_spark_identifier(*part);
    }
    if (namespace_name().empty()) return;
    client_->sql("CREATE NAMESPACE IF NOT EXISTS " + name);
}

}  // namespace korvex
