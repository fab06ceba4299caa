#include "korvex/table_schemas/internal_tables.hpp"
#include "korvex/transactions/constants.hpp"

namespace korvex {
namespace {

TableColumnSchema column(const std::string& name, ValueKind type) { return {name, type, nullptr, true}; }

}  // namespace

std::vector<TableSchema> sql_internal_table_schemas() {
    TableSchema metadata{
        Address::from_string("resource#Metadata"),
        {
            column("address", ValueKind::MAPPING),
            column("object_id", ValueKind::TEXT),
            column("object_version", ValueKind::TEXT),
            column("class_schema_reference", ValueKind::MAPPING),
            column("class_meta_schema_reference", ValueKind::MAPPING),
            column("transaction", ValueKind::MAPPING),
            column("class_schema_type", ValueKind::TEXT),
            TableColumnSchema{"is_deleted", ValueKind::BOOLEAN, false, false},
            column("prior_version", ValueKind::TEXT),
            column("created_at", ValueKind::FLOAT),
            column("updated_at", ValueKind::FLOAT),
        },
        {{"object_id"}, {"object_version"}, {"is_deleted"}, {"updated_at"}, {"prior_version"}},
        {},
    };
    TableSchema reference{
        Address::from_string("resource#Reference"),
        {column("from_address", ValueKind::MAPPING), column("to_address", ValueKind::MAPPING)},
        {},
        {},
    };
    TableSchema transaction{
        Address::from_string(std::string("resource#") + TRANSACTION_CLASS_NAME),
        {
            column("address", ValueKind::MAPPING),
            column("label", ValueKind::TEXT),
            column("tags", ValueKind::SEQUENCE),
            column("started_at", ValueKind::FLOAT),
            column("ended_at", ValueKind::FLOAT),
        },
        {},
        {},
    };
    return {std::move(metadata), std::move(reference), std::move(transaction)};
}

}  // namespace korvex
