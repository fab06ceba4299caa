#pragma once
// The connection of the Iceberg historical store: every statement of the Iceberg table-schema
// service goes through it, as one Spark SQL text. Implementations: IcebergSparkConnection (a
// Spark Connect server, in the korvex_spark_connect library) and, for tests, the recording
// connection of tests/support. Not to be shared between threads.

#include "korvex/connections/connection.hpp"
#include "korvex/connections/cursor.hpp"
#include "korvex/models/address.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"

#include <memory>
#include <string>
#include <vector>

namespace korvex {

class IcebergHistoricalConnection : public Connection {
public:
    // Tables live in `catalog`.`namespace_name`; an empty catalog or namespace is left out of
    // the full table names (the session's current one applies).
    explicit IcebergHistoricalConnection(std::string catalog = "korvex", std::string namespace_name = "db");

    const std::string& catalog() const { return catalog_; }
    const std::string& namespace_name() const { return namespace_name_; }

    // The qualified name under which Spark knows the table of `address`: catalog, namespace and
    // the versioned table name, joined with ".". A part that Spark would not read unquoted (a
    // version "1.0" gives "person_v_1.0") is quoted with backticks.
    virtual std::string get_full_table_name(const Address& address);

    // `table_name` qualified and quoted the same way: catalog, namespace and the name.
    std::string qualified_table_name(const std::string& table_name) const;

    // The table's present columns, in order. Throws an AnalysisException (Spark's message, which
    // contains "The table or view " and " cannot be found.") when the table does not exist.
    virtual std::vector<IcebergTableColumn> get_table_description(const std::string& full_table_name) = 0;

    // The columns that `table_schema` asks for, in order. Value kinds map to Spark SQL types:
    // text to STRING, boolean to BOOLEAN, floating-point number to DOUBLE, integer to BIGINT,
    // mapping and sequence to STRING (their JSON text); a struct model to a STRUCT whose fields
    // may be null, an array model to an ARRAY whose elements may be null. A column is NOT NULL
    // when its schema says it is not nullable. Defaults are not part of the description.
    virtual std::vector<IcebergTableColumn> build_columns_from_schema(const TableSchema& table_schema);

    // Runs one statement; the cursor holds the rows it returned (none for most DDL).
    virtual std::shared_ptr<Cursor> execute(const std::string& statement) = 0;

    // The Spark SQL type of a column type of the host's schema records (see above).
    static ComplexType column_type(const ColumnType& type);

private:
    std::string catalog_;
    std::string namespace_name_;
};

}  // namespace korvex
