// PostgresHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

namespace korvex::pg_timeline {

bool is_internal_table_name(const std::string& table_name) {
    return table_name.ends_with("metadata") || table_name.ends_with("reference");
}

// The columns of the table that an unqualified name resolves to through the search path, as
// INSERT INTO and DELETE FROM resolve it; same-named tables of other schemas are left out.
static constexpr const char* DESCRIBE_TABLE_STATEMENT =
    "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = %s"
    " AND table_schema = (SELECT n.nspname FROM pg_class AS c JOIN pg_namespace AS n ON n.oid = c.relnamespace"
    " WHERE c.oid = to_regclass(quote_ident(%s)))";

TableDescription PostgresHistoricalConnection::_describe_table(const std::string& table_name) {
    if (auto found = described_tables_.find(table_name); found != described_tables_.end()) {
        return found->second;
    }
    auto cursor = execute(DESCRIBE_TABLE_STATEMENT, {Value(table_name), Value(table_name)});
    TableDescription description;
    for (const auto& row : cursor->fetchall()) {
        description[row.at(0).get<std::string>()] = row.at(1).get<std::string>();
    }
    // A missing table has no columns; it is looked up again next time, so that a table created
    // later is seen (only a real description is kept for the life of this object).
    if (!description.empty()) {
        described_tables_.emplace(table_name, description);
    }
    return description;
}

Statement PostgresHistoricalConnection::_build_insert_statement(const std::string& table_name, const DataMap& data) {
    Statement statement;
    std::string columns;
    std::string markers;
    for (const auto& [key, value] : data.items()) {
        if (!columns.empty()) {
            columns += ", ";
            markers += ", ";
        }
        columns += quote_sql_identifier(key);
        markers += "%s";
        statement.params.push_back(_to_sql_value(value));
    }
    statement.text = "INSERT INTO " + table_name + " (" + columns + ") VALUES (" + markers + ")";
    return statement;
}

Statement PostgresHistoricalConnection::_build_delete_statement(const std::string& table_name, const DataMap& data) {
    Statement statement;
    std::string conditions;
    for (const auto& [key, value] : data.items()) {
        if (!conditions.empty()) conditions += " AND ";
        conditions += quote_sql_identifier(key) + " = %s";
        statement.params.push_back(_to_sql_value(value));
    }
    statement.text = std::string("DELETE FROM ") + TABLE_SEPARATOR + table_name + TABLE_SEPARATOR + " WHERE " + conditions;
    return statement;
}

Value PostgresHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    if (data_type == "json" && (value.is_string() || value.is_number_integer() || value.is_boolean())) {
        return value.dump(-1, ' ', true);
    }
    return value;
}

void PostgresHistoricalConnection::put(const Address& address, const DataMap& data) {
    if (_is_revert_enabled) {
        _add_revert_data(address.model_copy(), data);
    }
    const std::string table_name = table_schema_manager()->resolve_table_name(address);
    const bool is_internal_table = is_internal_table_name(table_name);

    DataMap insert_data = data;
    insert_data[PRIMARY_PARTITION_KEY] = address.object_id;
    if (!is_internal_table) {
        insert_data[SECONDARY_PARTITION_KEY] = address.object_version.to_value();
    }
    if (table_name == "metadata") {
        insert_data["object_id"] = data.at("address").at("object_id");
        insert_data["object_version"] = data.at("address").at("object_version");
    }

    const TableDescription description = _describe_table(table_name);
    DataMap columns = DataMap::object();
    for (const auto& [key, value] : insert_data.items()) {
        if (auto column = description.find(key); column != description.end()) {
            columns[key] = process_value_before_insert(value, column->second);
        }
    }
    const Statement statement = _build_insert_statement(table_name, columns);
    execute(statement.text, statement.params);
}

void PostgresHistoricalConnection::_delete(const Address& address) {
    if (address.object_version.is_marker()) {
        throw KorvexConnectionError("Deleting in reverse requires a specific version. Current version is " +
                                    address.object_version.text() + ".");
    }
    const std::string table_name = table_schema_manager()->resolve_table_name(address);
    DataMap key = DataMap::object();
    key[PRIMARY_PARTITION_KEY] = address.object_id;
    if (!is_internal_table_name(table_name)) {
        key[SECONDARY_PARTITION_KEY] = address.object_version.to_value();
    }
    const Statement statement = _build_delete_statement(table_name, key);
    execute(statement.text, statement.params);
}

}  // namespace korvex::pg_timeline
