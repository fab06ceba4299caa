#pragma once
// The table-schema service of the Iceberg historical store (module
// korvex_data.table_schemas.implementations.ice_timeline, libice_timeline.so). It makes sure
// that the Iceberg table behind a class exists, creating it with write-audit-publish enabled,
// maps classes and versions to table names, and keeps the three internal tables (metadata,
// reference, transaction) in step with their declared columns. Every statement goes through
// the host's IcebergHistoricalConnection as one Spark SQL text; the service keeps no state and
// is as safe to share between threads as that connection.

#include "korvex/error.hpp"
#include "korvex/iceberg/iceberg_historical_connection.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace korvex {

// A column record whose type may also be an Iceberg type that the plain value kinds do not
// cover. It widens TableColumnSchema's `type` and adds nothing else; the service does not use it.
struct IcebergTableColumnSchema : TableColumnSchema, Object {
    std::variant<ColumnType, ComplexType> type = ColumnType(ValueKind::TEXT);
};

// The struct column types of the internal tables, built once when the module is loaded.
// address_struct: resource, class_name, class_version, object_id, object_version, all text.
extern const std::shared_ptr<const NestedSchemaModel> address_struct;
// reference_struct: ref, an address_struct.
extern const std::shared_ptr<const NestedSchemaModel> reference_struct;

// Raised when an internal table's column differs from its declaration in a way that Iceberg
// cannot change in place (a type other than a widening, a struct turned into a text, ...).
class IcebergSchemaChangeError : public Error {
public:
    using Error::Error;
};

class IcebergHistoryTableSchemaService : public TableSchemaServiceBase {
public:
    using TableSchemaServiceBase::TableSchemaServiceBase;

    // The host-supplied connection, which must be an IcebergHistoricalConnection.
    IcebergHistoricalConnection& connection() const { return connection_as<IcebergHistoricalConnection>(); }

    // Probes the class's table under its full name and creates it when Spark reports it missing.
    // Returns (short table name, whether the table was created now). An existing table is
    // neither compared nor altered. A missing table whose former name (former_table_name) Spark
    // knows is not created: UsageError.
    std::pair<std::string, bool> register_table(const TableSchema& table_schema) override;

    // Camel-cased class name, "_v_" and the class version (LATEST resolved), all lower case
    // (versioned_table_name); the transaction class keeps its bare lower-cased name.
    std::string resolve_table_name(const Address& address) override;

    // "CREATE TABLE <table_name> (<column definitions>) USING iceberg"
    virtual std::string _build_create_table_statement(const std::string& table_name, const TableSchema& table_schema);

    // Runs the CREATE statement, then sets the table property write.wap.enabled to true.
    virtual void create_table(const std::string& table_name, const TableSchema& table_schema);

    // Does nothing: this service never drops a table.
    void unregister_table(const Address& address) override;

    // Registers the metadata, reference and transaction tables, in that order, and brings each
    // one that existed before up to date.
    void register_internal_tables() override;

    // Adds the declared columns the table lacks and drops the columns it should not have, one
    // ALTER TABLE statement per column, additions first. A column that keeps its name but
    // differs otherwise is changed in place instead (see _build_alter_column_statements).
    void update_internal_table(const TableSchema& table_schema) override;

    // The statements that turn the present column `present` into the declared column `declared`
    // (same name) without losing its data, as far as Iceberg allows: struct fields are added and
    // dropped, NOT NULL is dropped where the declaration allows nulls, INT and FLOAT widen to
    // BIGINT and DOUBLE. A column that the declaration wants NOT NULL but the table holds as
    // nullable stays nullable (Iceberg cannot make an existing column required); this is logged.
    // Raises IcebergSchemaChangeError for any other change, before anything is executed.
    virtual std::vector<std::string> _build_alter_column_statements(const std::string& full_table_name,
                                                                   const IcebergTableColumn& present,
                                                                   const IcebergTableColumn& declared);
};

}  // namespace korvex
