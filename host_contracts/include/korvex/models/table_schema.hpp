#pragma once
// The description of a table that the host hands to the table-schema services: its address,
// its columns with their value kinds, defaults and nullability, and its indexes.

#include "korvex/models/address.hpp"
#include "korvex/value.hpp"

#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace korvex {

// Plain value kinds of a column.
enum class ValueKind { MAPPING, TEXT, BOOLEAN, FLOAT, INTEGER, SEQUENCE };

std::string_view to_string(ValueKind kind);

struct NestedSchemaModel;
struct ArraySchemaModel;

// A column type: a plain value kind, a struct model or an array model.
using ColumnType = std::variant<ValueKind, std::shared_ptr<const NestedSchemaModel>,
                                std::shared_ptr<const ArraySchemaModel>>;

// A struct type: named properties in declaration order.
struct NestedSchemaModel {
    std::vector<std::pair<std::string, ColumnType>> properties;
};

// An array type with one item type.
struct ArraySchemaModel {
    ColumnType item_type;
};

std::shared_ptr<const NestedSchemaModel> make_nested(std::vector<std::pair<std::string, ColumnType>> properties);
std::shared_ptr<const ArraySchemaModel> make_array(ColumnType item_type);

struct TableColumnSchema {
    std::string name;
    ColumnType type = ValueKind::TEXT;
    // Null means "no default".
    Value default_value = nullptr;
    bool nullable = true;
};

struct TableIndexSchema {
    std::string column_name;
};

struct TableSchema {
    Address address;
    std::vector<TableColumnSchema> columns;
    std::vector<TableIndexSchema> indexed;
    std::vector<std::string> unique_columns;
};

}  // namespace korvex
