// PostgresHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

namespace korvex::pg_timeline {

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
    // The server would read a longer name as its first 63 bytes and describe another table.
    check_sql_name(table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
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
        columns += _quote_name(key);
        markers += "%s";
        statement.params.push_back(_to_sql_value(value));
    }
    // A plain lower-case name reads the same bare; any other is quoted, so that neither a dot
    // (a schema) nor a quote in a class name or version can change which table is written.
    statement.text = "INSERT INTO " + postgres_column_name(table_name) + " (" + columns + ") VALUES (" + markers + ")";
    return statement;
}

std::string PostgresHistoricalConnection::_quote_name(const std::string& name) {
    return quote_postgres_identifier(name);
}

Value PostgresHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    if (data_type == "json" && (value.is_string() || value.is_number_integer() || value.is_boolean())) {
        return json_text(value);
    }
    return value;
}

namespace {

// Why PostgreSQL cannot store `value` as given, or nothing when it can. Text cannot hold a NUL
// byte (a JSON text can: it writes one as \u0000), and JSON has no NaN or infinity.
std::optional<std::string> unstorable(const Value& value) {
    if (value.is_string() && value.get_ref<const std::string&>().find('\0') != std::string::npos) {
        return "its text holds a NUL byte, which PostgreSQL text cannot store";
    }
    if ((value.is_object() || value.is_array()) && holds_non_finite_number(value)) {
        return "it holds a NaN or an infinity inside a map or list, which JSON cannot store";
    }
    return std::nullopt;
}

}  // namespace

void PostgresHistoricalConnection::put(const Address& address, const DataMap& data) {
    if (!data.is_object()) {
        throw UsageError("put: the data of " + address.to_string() + " must be a map of column names to values, not " +
                         printed(data));
    }
    // With revert on, a write outside every transaction level is refused before anything is sent.
    if (_is_revert_enabled) require_open_level("put");
    require_server_transaction("put");

    const std::string table_name = table_schema_manager()->resolve_table_name(address);
    check_sql_name(table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    const DataMap insert_data = _keyed_row(address, data, table_name);
    // A key the server would cut or could not read names no column of its own: refusing it keeps
    // its value from being dropped as an unknown key, or stored under another column.
    for (const auto& [key, value] : insert_data.items()) {
        if (!key.empty()) check_sql_name(key, POSTGRES_IDENTIFIER_MAX_BYTES);
    }

    const TableDescription description = _describe_table(table_name);
    DataMap columns = DataMap::object();
    for (const auto& [key, value] : insert_data.items()) {
        if (auto column = description.find(key); column != description.end()) {
            Value converted = process_value_before_insert(value, column->second);
            if (auto reason = unstorable(converted)) {
                throw UsageError("put: column " + key + " of " + table_name + " cannot take the value of " +
                                 address.to_string() + ": " + *reason);
            }
            columns[key] = std::move(converted);
        }
    }
    const Statement statement = _build_insert_statement(table_name, columns);
    if (_is_revert_enabled) {
        _add_revert_data(address.model_copy(), data);
    }
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
