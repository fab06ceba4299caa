#pragma once
// The table-schema service of the PostgreSQL historical store: resolves addresses to table
// names and creates the versioned tables and the internal tables (metadata, reference,
// transaction) through the connection it is given.
//
// Versioned tables carry partition_key and range_key with PRIMARY KEY (partition_key,
// range_key); mapping, list, struct and array columns are json. The metadata table is keyed by
// identity alone (partition_key) and indexed on (object_id, object_version) and
// (object_id, prior_version, object_version), which the latest-version sub-select probes.

#include "korvex/connections/connection.hpp"
#include "korvex/table_schemas/base.hpp"

#include <string>
#include <utility>
#include <vector>

namespace korvex {

class PostgresHistoricalTableSchemaService : public TableSchemaServiceBase {
public:
    explicit PostgresHistoricalTableSchemaService(Connection& connection) : TableSchemaServiceBase(connection) {}

    std::pair<std::string, bool> register_table(const TableSchema& table_schema) override;
    void unregister_table(const Address& address) override;
    std::string resolve_table_name(const Address& address) override;
    void register_internal_tables() override;
    void update_internal_table(const TableSchema& table_schema) override;

    // The three internal table schemas in the order metadata, reference, transaction.
    static std::vector<TableSchema> internal_table_schemas();
    // Whether a table of that name exists in the connection's search path.
    virtual bool table_exists(const std::string& table_name);
};

}  // namespace korvex
