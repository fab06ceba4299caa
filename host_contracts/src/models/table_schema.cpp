#include "korvex/models/table_schema.hpp"

namespace korvex {

std::string_view to_string(ValueKind kind) {
    switch (kind) {
        case ValueKind::MAPPING: return "mapping";
        case ValueKind::TEXT: return "text";
        case ValueKind::BOOLEAN: return "boolean";
        case ValueKind::FLOAT: return "float";
        case ValueKind::INTEGER: return "integer";
        case ValueKind::SEQUENCE: return "sequence";
    }
    return "";
}

std::shared_ptr<const NestedSchemaModel> make_nested(std::vector<std::pair<std::string, ColumnType>> properties) {
    return std::make_shared<const NestedSchemaModel>(NestedSchemaModel{std::move(properties)});
}

std::shared_ptr<const ArraySchemaModel> make_array(ColumnType item_type) {
    return std::make_shared<const ArraySchemaModel>(ArraySchemaModel{std::move(item_type)});
}

}  // namespace korvex
