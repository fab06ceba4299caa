#include "korvex/error.hpp"
#include "korvex/iceberg/iceberg_historical_connection.hpp"
#include "korvex/table_schemas/base.hpp"

#include <stdexcept>

namespace korvex {

IcebergHistoricalConnection::IcebergHistoricalConnection(std::string catalog, std::string namespace_name)
    : catalog_(std::move(catalog)), namespace_name_(std::move(namespace_name)) {}

std::string IcebergHistoricalConnection::get_full_table_name(const Address& address) {
    return qualified_table_name(versioned_table_name(address));
}

std::string IcebergHistoricalConnection::qualified_table_name(const std::string& table_name) const {
    std::string full_name;
    for (const std::string* part : {&catalog_, &namespace_name_}) {
        if (!part->empty()) full_name += spark_identifier(*part) + ".";
    }
    return full_name + spark_identifier(table_name);
}

std::vector<IcebergTableColumn> IcebergHistoricalConnection::build_columns_from_schema(const TableSchema& table_schema) {
    std::vector<IcebergTableColumn> columns;
    columns.reserve(table_schema.columns.size());
    for (const TableColumnSchema& column : table_schema.columns) {
        columns.emplace_back(column.name, column_type(column.type), column.nullable);
    }
    return columns;
}

ComplexType IcebergHistoricalConnection::column_type(const ColumnType& type) {
    if (const auto* kind = std::get_if<ValueKind>(&type)) {
        switch (*kind) {
            case ValueKind::TEXT: return ComplexType::primitive("STRING");
            case ValueKind::BOOLEAN: return ComplexType::primitive("BOOLEAN");
            case ValueKind::FLOAT: return ComplexType::primitive("DOUBLE");
            case ValueKind::INTEGER: return ComplexType::primitive("BIGINT");
            case ValueKind::MAPPING:
            case ValueKind::SEQUENCE: return ComplexType::primitive("STRING");
        }
        throw UsageError("unknown value kind");
    }
    if (const auto* nested = std::get_if<std::shared_ptr<const NestedSchemaModel>>(&type)) {
        if (!*nested) throw UsageError("column type: the struct model is null");
        std::vector<ComplexType::Field> fields;
        for (const auto& [name, property_type] : (*nested)->properties) {
            fields.push_back(ComplexType::field(name, column_type(property_type)));
        }
        return ComplexType::struct_of(std::move(fields));
    }
    const auto& array = std::get<std::shared_ptr<const ArraySchemaModel>>(type);
    if (!array) throw UsageError("column type: the array model is null");
    return ComplexType::array_of(column_type(array->item_type));
}

}  // namespace korvex
