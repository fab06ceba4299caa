// PostgresHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_libpq.hpp"

#include <deque>
#include <exception>
#include <map>

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

Statement PostgresHistoricalConnection::_build_delete_statement(const std::string& table_name, const DataMap& data) {
    Statement statement;
    std::string conditions;
    for (const auto& [key, value] : data.items()) {
        if (!conditions.empty()) conditions += " AND ";
        conditions += _quote_name(key) + " = %s";
        statement.params.push_back(_to_sql_value(value));
    }
    statement.text = "DELETE FROM " + _quote_name(table_name) + " WHERE " + conditions;
    return statement;
}

std::string PostgresHistoricalConnection::_quote_name(const std::string& name) {
    return quote_postgres_identifier(name);
}

Value PostgresHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    if (data_type == "json" && (value.is_string() || value.is_number_integer() || value.is_boolean())) {
        return value.dump(-1, ' ', true);
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

PostgresHistoricalConnection::CheckedWrite PostgresHistoricalConnection::check_write(const Address& address,
                                                                                   const DataMap& data,
                                                                                   const char* operation) {
    if (!data.is_object()) {
        throw UsageError(std::string(operation) + ": the data of " + address.to_string() +
                         " must be a map of column names to values, not " + printed(data));
    }
    CheckedWrite write{table_schema_manager()->resolve_table_name(address), data};
    check_sql_name(write.table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    DataMap& row = write.row;
    row[PRIMARY_PARTITION_KEY] = address.object_id;
    if (!is_internal_table_name(write.table_name)) {
        row[SECONDARY_PARTITION_KEY] = address.object_version.to_value();
    }
    if (write.table_name == "metadata") {
        const auto entry = data.find("address");
        if (entry == data.end() || !entry->is_object() || !entry->contains("object_id") ||
            !entry->contains("object_version")) {
            throw UsageError(std::string(operation) +
                             ": a metadata row needs an address entry holding object_id and object_version, got " +
                             printed(data));
        }
        row["object_id"] = entry->at("object_id");
        row["object_version"] = entry->at("object_version");
    }
    // A key the server would cut or could not read names no column of its own: refusing it keeps
    // its value from being dropped as an unknown key, or stored under another column.
    for (const auto& [key, value] : row.items()) {
        if (!key.empty()) check_sql_name(key, POSTGRES_IDENTIFIER_MAX_BYTES);
    }
    return write;
}

Statement PostgresHistoricalConnection::insert_statement(const Address& address, const CheckedWrite& write,
                                                         const char* operation) {
    const TableDescription description = _describe_table(write.table_name);
    DataMap columns = DataMap::object();
    for (const auto& [key, value] : write.row.items()) {
        if (auto column = description.find(key); column != description.end()) {
            Value converted = process_value_before_insert(value, column->second);
            if (auto reason = unstorable(converted)) {
                throw UsageError(std::string(operation) + ": column " + key + " of " + write.table_name +
                                 " cannot take the value of " + address.to_string() + ": " + *reason);
            }
            columns[key] = std::move(converted);
        }
    }
    return _build_insert_statement(write.table_name, columns);
}

void PostgresHistoricalConnection::put(const Address& address, const DataMap& data) {
    if (!data.is_object()) {
        throw UsageError("put: the data of " + address.to_string() + " must be a map of column names to values, not " +
                         printed(data));
    }
    // With revert on, a write outside every transaction level is refused before anything is sent.
    if (_is_revert_enabled) require_open_level("put");
    require_server_transaction("put");

    const Statement statement = insert_statement(address, check_write(address, data, "put"), "put");
    if (_is_revert_enabled) {
        _add_revert_data(address.model_copy(), data);
    }
    execute(statement.text, statement.params);
}

namespace {

// The savepoint around one put_many inside a transaction: any name works, as a savepoint of the
// same name further out is only hidden until this one is released.
constexpr const char* PUT_MANY_SAVEPOINT = "korvex_put_many";

// What one command of a put_many pipeline does, and for which item.
struct PipelinedCommand {
    enum Kind { SAVEPOINT, PREPARE, INSERT, RELEASE } kind;
    std::size_t item = 0;  // the item the INSERT writes, or the first item a PREPARE serves
};

}  // namespace

void PostgresHistoricalConnection::put_many(const std::vector<WriteItem>& items) {
    if (_is_revert_enabled) require_open_level("put_many");
    require_server_transaction("put_many");
    // Every item is checked before anything is written.
    std::vector<CheckedWrite> writes;
    writes.reserve(items.size());
    for (const auto& [address, data] : items) writes.push_back(check_write(address, data, "put_many"));
    std::vector<Statement> statements;
    statements.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        statements.push_back(insert_statement(items[i].first, writes[i], "put_many"));
    }
    if (items.empty()) return;
    if (_connection == nullptr) throw KorvexConnectionError("Connection not established");

    try {
        write_pipelined(items, statements);
    } catch (const KorvexConnectionError&) {
        throw;
    } catch (...) {
        if (PQstatus(_connection) == CONNECTION_BAD) {
            statements_->clear();
            forget_transaction_state();
        }
        std::throw_with_nested(KorvexConnectionError("put_many: the writes of " + std::to_string(items.size()) +
                                                     " items could not be sent"));
    }
    if (_is_revert_enabled) {
        for (const auto& [address, data] : items) _add_revert_data(address.model_copy(), data);
    }
}

// All INSERTs in one round trip, with the statements not prepared yet prepared in it. Inside a
// transaction they run within a savepoint, rolled back when one fails, so that nothing of the call
// stays written and the transaction goes on; outside one, they form one implicit transaction,
// which the server rolls back as a whole.
void PostgresHistoricalConnection::write_pipelined(const std::vector<WriteItem>& items,
                                                   const std::vector<Statement>& statements) {
    const bool in_transaction = PQtransactionStatus(_connection) != PQTRANS_IDLE;
    std::deque<libpq::BoundStatement> bound;
    std::vector<PipelinedCommand> commands;
    std::map<std::string, std::string> prepared_here;  // statement text to name
    std::vector<libpq::ResultPtr> results;
    {
        libpq::Pipeline pipeline(_connection);
        if (in_transaction) {
            pipeline.query(std::string("SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::SAVEPOINT});
        }
        for (std::size_t i = 0; i < statements.size(); ++i) {
            const std::string& query = statements[i].text;
            const libpq::BoundStatement& statement = bound.emplace_back(query, statements[i].params);
            const std::string* name = statements_->inserts.find(query);
            if (name == nullptr) {
                if (auto found = prepared_here.find(query); found != prepared_here.end()) name = &found->second;
            }
            if (name == nullptr && statements_->inserts.size() + prepared_here.size() < libpq::PreparedStatements::CAPACITY) {
                auto [entry, added] = prepared_here.emplace(query, statements_->inserts.new_name());
                pipeline.prepare(entry->second, statement.text);
                commands.push_back({PipelinedCommand::PREPARE, i});
                name = &entry->second;
            }
            if (name != nullptr) {
                pipeline.run_prepared(*name, statement.values);
            } else {
                pipeline.query(statement.text, statement.values);
            }
            commands.push_back({PipelinedCommand::INSERT, i});
        }
        if (in_transaction) {
            pipeline.query(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::RELEASE});
        }
        results = pipeline.finish();
    }

    std::optional<std::size_t> failed;
    for (std::size_t c = 0; c < commands.size(); ++c) {
        const PipelinedCommand& command = commands[c];
        const bool ok = libpq::succeeded(results[c].get());
        if (command.kind == PipelinedCommand::PREPARE && ok) {
            const std::string& query = statements[command.item].text;
            statements_->inserts.add(query, prepared_here.at(query));
        }
        if (!ok && !failed) failed = c;
    }
    if (!failed) return;

    const PipelinedCommand& command = commands[*failed];
    const PGresult* result = results[*failed].get();
    if (command.kind == PipelinedCommand::INSERT && libpq::plan_may_be_stale(libpq::sqlstate_of(result))) {
        statements_->inserts.evict(statements[command.item].text);
    }
    if (in_transaction && command.kind != PipelinedCommand::SAVEPOINT) {
        libpq::ResultPtr undone(PQexec(_connection, (std::string("ROLLBACK TO SAVEPOINT ") + PUT_MANY_SAVEPOINT +
                                                     "; RELEASE SAVEPOINT " + PUT_MANY_SAVEPOINT)
                                                        .c_str()),
                                &PQclear);
        if (!libpq::succeeded(undone.get())) throw libpq::error_of(undone.get(), _connection);
    }
    std::string message;
    if (command.kind == PipelinedCommand::SAVEPOINT || command.kind == PipelinedCommand::RELEASE) {
        message = "put_many: the savepoint around the call failed, so nothing of it was written";
    } else {
        message = "put_many: item " + std::to_string(command.item) + " (" + items[command.item].first.to_string() +
                  ") was refused, so nothing of this call was written";
    }
    try {
        throw libpq::error_of(result, _connection);
    } catch (...) {
        std::throw_with_nested(KorvexConnectionError(message));
    }
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
