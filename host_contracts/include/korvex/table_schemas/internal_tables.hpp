#pragma once
// The internal tables a SQL store keeps beside the object tables, declared once for every SQL
// engine. Iceberg keys its metadata by an address struct and declares its own.

#include "korvex/models/table_schema.hpp"

#include <vector>

namespace korvex {

// metadata, reference and transaction, in the order they are registered. The metadata table
// (one row per object version) has the embedded store's fixed layout: address, object_id,
// object_version, class_schema_reference, class_meta_schema_reference, transaction,
// class_schema_type, is_deleted (not nullable, false by default), prior_version, created_at,
// updated_at; indexed on object_id, object_version, is_deleted, updated_at and prior_version.
// Reference: from_address, to_address. Transaction: address, label, tags, started_at, ended_at.
std::vector<TableSchema> sql_internal_table_schemas();

}  // namespace korvex
