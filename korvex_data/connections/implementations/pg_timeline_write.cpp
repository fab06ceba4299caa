// PostgresHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"
#include "korvex_data/connections/implementations/pg_timeline_libpq.hpp"

#include <algorithm>
#include <charconv>
#include <deque>
#include <exception>
#include <map>
#include <typeinfo>

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

namespace {

// The server's errors when an INSERT made for the table as this session last saw it meets a table
// that another session has since re-created or altered: a column of another type than the
// statement's parameter (42804), or a column that is gone (42703).
bool table_changed_state(const std::string& sqlstate) { return sqlstate == "42804" || sqlstate == "42703"; }

// The server's error that `error` carries as its cause, or null.
const DatabaseError* database_cause(const std::exception& error) {
    const auto* nested = dynamic_cast<const std::nested_exception*>(&error);
    if (nested == nullptr || !nested->nested_ptr()) return nullptr;
    try {
        std::rethrow_exception(nested->nested_ptr());
    } catch (const DatabaseError& database_error) {
        return &database_error;  // the exception object lives as long as `error` holds it
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

std::optional<DatabaseError> PostgresHistoricalConnection::table_changed_cause(const std::exception& error) {
    const DatabaseError* cause = database_cause(error);
    if (cause && table_changed_state(cause->sqlstate())) return *cause;
    return std::nullopt;
}

void PostgresHistoricalConnection::forget_table(const std::string& table_name, const std::string& insert_text) {
    described_tables_.erase(table_name);
    statements_->inserts.evict(insert_text);
}

void PostgresHistoricalConnection::report_changed_table(const std::string& operation, const std::string& table_name,
                                                        const DatabaseError& cause) {
    try {
        throw cause;
    } catch (...) {
        // put_many's own savepoint keeps the caller's transaction usable; put's failure ends it.
        const std::string outcome = operation == "put_many"
                                        ? "so nothing of this call was written; retry the call"
                                        : "so the write failed and with it the transaction; roll back and retry "
                                          "the transaction";
        std::throw_with_nested(KorvexConnectionError(
            operation + ": table " + table_name +
            " changed under this session (another session re-created or altered it since this one read its "
            "columns), " + outcome + ", which then writes to the table as it is now"));
    }
}

Statement PostgresHistoricalConnection::_build_insert_statement(const std::string& table_name, const DataMap& data) {
    Statement statement;
    statement.params.reserve(data.size());
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
    // The connection speaks UTF-8: the server would refuse the statement and fail the transaction.
    if (value.is_string() && holds_invalid_utf8(value)) {
        return "its text is not valid UTF-8";
    }
    if ((value.is_object() || value.is_array()) && holds_non_finite_number(value)) {
        return "it holds a NaN or an infinity inside a map or list, which JSON cannot store";
    }
    if ((value.is_object() || value.is_array()) && holds_invalid_utf8(value)) {
        return "it holds text that is not valid UTF-8 inside a map or list, which JSON cannot store";
    }
    return std::nullopt;
}

}  // namespace

PostgresHistoricalConnection::CheckedWrite PostgresHistoricalConnection::check_write(
    const Address& address, const DataMap& data, const char* operation, const std::string* table_name) {
    check_write_address(operation, address);
    if (!data.is_object()) {
        throw UsageError(std::string(operation) + ": the data of " + address.to_string() +
                         " must be a map of column names to values, not " + printed(data));
    }
    CheckedWrite write{table_name ? *table_name : table_schema_manager()->resolve_table_name(address), &data, {}};
    if (!table_name) check_sql_name(write.table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    write.keys.emplace_back(PRIMARY_PARTITION_KEY, address.object_id);
    if (!is_internal_table_name(write.table_name)) {
        write.keys.emplace_back(SECONDARY_PARTITION_KEY, address.object_version.to_value());
    }
    if (write.table_name == "metadata") {
        const auto entry = data.find("address");
        if (entry == data.end() || !entry->is_object() || !entry->contains("object_id") ||
            !entry->contains("object_version")) {
            throw UsageError(std::string(operation) +
                             ": a metadata row needs an address entry holding object_id and object_version, got " +
                             printed(data));
        }
        write.keys.emplace_back("object_id", entry->at("object_id"));
        write.keys.emplace_back("object_version", entry->at("object_version"));
    }
    // A key the server would cut or could not read names no column of its own: refusing it keeps
    // its value from being dropped as an unknown key, or stored under another column.
    for (const auto& [key, value] : data.items()) {
        if (!key.empty()) check_sql_name(key, POSTGRES_IDENTIFIER_MAX_BYTES);
    }
    return write;
}

const Value* PostgresHistoricalConnection::CheckedWrite::key_value(const std::string& column) const {
    for (const auto& [name, value] : keys) {
        if (column == name) return &value;
    }
    return nullptr;
}

std::vector<std::pair<std::string_view, Value>> PostgresHistoricalConnection::stored_columns(
    const Address& address, const CheckedWrite& write, const char* operation, const TableDescription& description) {
    std::vector<std::pair<std::string_view, Value>> columns;
    columns.reserve(write.data->size() + write.keys.size());
    auto add = [&](const std::string& key, const Value& value) {
        const auto column = description.find(key);
        if (column == description.end()) return;
        Value converted;
        std::optional<std::string> reason;
        try {
            converted = process_value_before_insert(value, column->second);
            reason = unstorable(converted);
        } catch (const UsageError& error) {
            reason = error.what();  // text that is not UTF-8 for a JSON column
        }
        if (reason) {
            throw UsageError(std::string(operation) + ": column " + key + " of " + write.table_name +
                             " cannot take the value of " + address.to_string() + ": " + *reason);
        }
        columns.emplace_back(key, std::move(converted));
    };
    // The data's own order, with the key columns from the address in place of the data's
    // values of the same name, and those the data lacks after it.
    for (const auto& [key, value] : write.data->items()) {
        const Value* key_value = write.key_value(key);
        add(key, key_value ? *key_value : value);
    }
    for (const auto& [key, value] : write.keys) {
        if (!write.data->contains(key)) add(key, value);
    }
    return columns;
}

const TableDescription& PostgresHistoricalConnection::description_of(const std::string& table_name,
                                                                     TableDescription& scratch) {
    // This class's _describe_table gives a copy of the kept description: use it in place.
    if (typeid(*this) == typeid(PostgresHistoricalConnection)) {
        if (auto found = described_tables_.find(table_name); found != described_tables_.end()) return found->second;
    }
    scratch = _describe_table(table_name);
    return scratch;
}

Statement PostgresHistoricalConnection::insert_statement(const Address& address, const CheckedWrite& write,
                                                         const char* operation) {
    TableDescription scratch;
    const TableDescription& description = description_of(write.table_name, scratch);
    if (description.empty()) throw UsageError(no_table_message(operation, address, write.table_name));
    auto stored = stored_columns(address, write, operation, description);
    DataMap columns = DataMap::object();
    columns.get_ref<DataMap::object_t&>().reserve(stored.size());
    for (auto& [key, value] : stored) columns[std::string(key)] = std::move(value);
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

    const CheckedWrite write = check_write(address, data, "put");
    const Statement statement = insert_statement(address, write, "put");
    try {
        execute(statement.text, statement.params);
    } catch (const KorvexConnectionError& error) {
        if (const auto cause = table_changed_cause(error)) {
            forget_table(write.table_name, statement.text);
            report_changed_table("put", write.table_name, *cause);
        }
        // A value refused as data may have met the types of a table that has changed since: the
        // INSERT prepared for the old one reads its parameters by the old types. That cannot be
        // told from a value that does not fit, so the error stays the server's, and the session
        // forgets the table, so that a retry meets the table as it is.
        if (const auto* cause = database_cause(error); cause && cause->sqlstate().starts_with("22")) {
            forget_table(write.table_name, statement.text);
        }
        throw;
    }
    // Recorded once written: revert must never delete a version this level did not write (a
    // refused put of an existing version would otherwise take that version with it).
    if (_is_revert_enabled) _add_revert_data(address.model_copy(), data);
}

namespace {

// The savepoint around one put_many inside a transaction: any name works, as a savepoint of the
// same name further out is only hidden until this one is released.
constexpr const char* PUT_MANY_SAVEPOINT = "korvex_put_many";
// Rows one INSERT of put_many writes at most. The server plans and runs one statement of many
// rows for a fraction of what as many statements of one row each cost.
constexpr std::size_t ROWS_PER_STATEMENT = 100;
// libpq sends the number of parameters as 16 bits.
constexpr std::size_t MAX_PARAMETERS = 65535;

// One INSERT of a put_many: `rows` consecutive items whose single-row INSERTs are alike, as one
// statement writing all their rows.
struct RowGroup {
    std::size_t first = 0;
    std::size_t rows = 1;
    std::string key;  // the statement's text, or for several rows a name standing for it
    std::string text;  // with $n markers; made only when the statement must be sent
    std::vector<const char*> values;
};

// "INSERT INTO t (a, b) " of a single-row INSERT ending in "VALUES (%s, ..., %s)", with the number
// of its markers; nothing for any other shape, which is then written row by row.
std::optional<std::pair<std::string, std::size_t>> split_values(const std::string& text) {
    const auto values = text.rfind(" VALUES (");
    if (values == std::string::npos) return std::nullopt;
    // The markers: "%s" and then ", %s" until the closing parenthesis ends the text.
    std::size_t at = values + 9;
    std::size_t markers = 0;
    while (text.compare(at, 2, "%s") == 0) {
        ++markers;
        at += 2;
        if (at + 1 == text.size() && text[at] == ')') return std::pair{text.substr(0, values + 1), markers};
        if (text.compare(at, 2, ", ") != 0) break;
        at += 2;
    }
    return std::nullopt;
}

// What one command of a put_many pipeline does, and for which items.
struct PipelinedCommand {
    enum Kind { SAVEPOINT, PREPARE, INSERT, RELEASE } kind;
    const RowGroup* group = nullptr;
};

}  // namespace

namespace {

// The libpq text of `value` for a column of `data_type`, as put's own conversions make it
// (process_value_before_insert, then _to_sql_value, then the parameter's text form), or null for
// SQL NULL. A text points into `value` itself; anything made goes to `made`.
const char* default_parameter(const Value& value, const std::string& data_type, std::deque<std::string>& made) {
    if (data_type == "json" && (value.is_string() || value.is_number_integer() || value.is_boolean())) {
        return made.emplace_back(json_text(value)).c_str();
    }
    switch (value.type()) {
        case Value::value_t::null:
            return nullptr;
        case Value::value_t::string:
            return value.get_ref<const std::string&>().c_str();
        case Value::value_t::object:
        case Value::value_t::array:
            return made.emplace_back(json_text(value)).c_str();
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned: {
            char digits[24];
            const auto end = value.is_number_unsigned()
                                 ? std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>()).ptr
                                 : std::to_chars(digits, digits + sizeof digits, value.get<std::int64_t>()).ptr;
            return made.emplace_back(digits, end).c_str();
        }
        default:
            return made.emplace_back(*detail::parameter_text(value)).c_str();
    }
}

}  // namespace

void PostgresHistoricalConnection::put_many(const std::vector<WriteItem>& items) {
    if (_is_revert_enabled) require_open_level("put_many");
    require_server_transaction("put_many");
    // Every item is checked before anything is written. Items of one class share its table, and
    // the table's description is read once for the call.
    std::vector<CheckedWrite> writes;
    writes.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Address& address = items[i].first;
        const bool same_class = i > 0 && address.resource == items[i - 1].first.resource &&
                                address.class_name == items[i - 1].first.class_name &&
                                address.class_version == items[i - 1].first.class_version;
        writes.push_back(check_write(address, items[i].second, "put_many", same_class ? &writes.back().table_name : nullptr));
    }
    std::map<std::string, TableDescription> descriptions;
    for (const auto& write : writes) {
        if (!descriptions.count(write.table_name)) descriptions.emplace(write.table_name, _describe_table(write.table_name));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (descriptions.at(writes[i].table_name).empty()) {
            throw UsageError(no_table_message("put_many", items[i].first, writes[i].table_name));
        }
    }
    // This class converts values itself; a subclass may convert them otherwise, through the hooks.
    const auto pending = [&] {
        return typeid(*this) == typeid(PostgresHistoricalConnection)
                   ? pending_inserts_converted_here(items, writes, descriptions)
                   : pending_inserts_through_hooks(items, writes, descriptions);
    };
    PendingInserts inserts = pending();
    if (items.empty()) return;
    if (_connection == nullptr) throw KorvexConnectionError("Connection not established");

    // Alike rows go together. When that fails, the same writes run one row per statement, so that
    // the error names the item the server refused.
    const auto write_all = [&]() -> std::optional<PutManyFailure> {
        try {
            auto failure = write_pipelined(inserts, true);
            if (failure && !(failure->item && table_changed_state(failure->error.sqlstate()))) {
                failure = write_pipelined(inserts, false);
            }
            return failure;
        } catch (...) {
            if (connection_lost()) {
                statements_->clear();
                forget_transaction_state();
            }
            std::throw_with_nested(KorvexConnectionError("put_many: the writes of " + std::to_string(items.size()) +
                                                         " items could not be sent"));
        }
    };
    std::optional<PutManyFailure> failure = write_all();
    if (failure && failure->item && table_changed_state(failure->error.sqlstate())) {
        // A table changed under the session. Nothing of the call was written and the transaction
        // goes on (the savepoint around the call), so the tables are described afresh, the values
        // converted for them, and the call tried once more.
        for (auto& [table_name, description] : descriptions) {
            described_tables_.erase(table_name);
            description = _describe_table(table_name);
        }
        inserts = pending();
        failure = write_all();
    }
    if (failure && failure->item && table_changed_state(failure->error.sqlstate())) {
        const std::string& table_name = writes[*failure->item].table_name;
        described_tables_.erase(table_name);
        report_changed_table("put_many", table_name, failure->error);
    }
    if (failure && failure->item && failure->error.sqlstate().starts_with("22")) {
        described_tables_.erase(writes[*failure->item].table_name);  // as put does
    }
    if (failure) {
        const std::string message =
            failure->item ? "put_many: item " + std::to_string(*failure->item) + " (" +
                                items[*failure->item].first.to_string() +
                                ") was refused, so nothing of this call was written"
                          : "put_many: the savepoint around the call failed, so nothing of it was written";
        try {
            throw failure->error;
        } catch (...) {
            std::throw_with_nested(KorvexConnectionError(message));
        }
    }
    if (!_is_revert_enabled) return;
    if (typeid(*this) != typeid(PostgresHistoricalConnection)) {
        for (const auto& [address, data] : items) _add_revert_data(address.model_copy(), data);
        return;
    }
    // What _add_revert_data does, with one copy of each address instead of two.
    RevertLevel& level = _revert_data.back();
    level.reserve(level.size() + items.size());
    for (const auto& [address, data] : items) level.emplace_back(address.model_copy(), data);
}

// A run of items writing the same columns of one table shares the INSERT text that
// _build_insert_statement made for its first item; the other items' values are converted by
// process_value_before_insert and _to_sql_value, as that builder converts them.
PostgresHistoricalConnection::PendingInserts PostgresHistoricalConnection::pending_inserts_through_hooks(
    const std::vector<WriteItem>& items, const std::vector<CheckedWrite>& writes,
    const std::map<std::string, TableDescription>& descriptions) {
    PendingInserts inserts;
    std::vector<std::string_view> run_columns;
    for (std::size_t i = 0; i < items.size(); ++i) {
        auto columns = stored_columns(items[i].first, writes[i], "put_many", descriptions.at(writes[i].table_name));
        const bool same_run = i > 0 && writes[i].table_name == writes[i - 1].table_name &&
                              std::equal(columns.begin(), columns.end(), run_columns.begin(), run_columns.end(),
                                         [](const auto& column, std::string_view name) { return column.first == name; });
        std::vector<Value> params;
        if (same_run) {
            params.reserve(columns.size());
            for (const auto& [key, value] : columns) params.push_back(_to_sql_value(value));
            inserts.row_text.push_back(inserts.row_text.back());
        } else {
            run_columns.clear();
            DataMap row = DataMap::object();
            for (auto& [key, value] : columns) {
                run_columns.push_back(key);
                row[std::string(key)] = std::move(value);
            }
            Statement statement = _build_insert_statement(writes[i].table_name, row);
            inserts.row_text.push_back(&inserts.texts.emplace_back(std::move(statement.text)));
            params = std::move(statement.params);
        }
        auto& values = inserts.row_values.emplace_back();
        for (const auto& param : params) {
            auto text = detail::parameter_text(param);
            values.push_back(text ? inserts.made.emplace_back(std::move(*text)).c_str() : nullptr);
        }
    }
    return inserts;
}

// The same INSERTs as through the hooks, with this class's own conversions made straight into
// libpq's text form: no value is copied on the way, and a text is sent from the caller's data.
PostgresHistoricalConnection::PendingInserts PostgresHistoricalConnection::pending_inserts_converted_here(
    const std::vector<WriteItem>& items, const std::vector<CheckedWrite>& writes,
    const std::map<std::string, TableDescription>& descriptions) {
    PendingInserts inserts;
    std::vector<std::string_view> run_columns;
    std::vector<std::pair<std::string_view, const char*>> columns;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const CheckedWrite& write = writes[i];
        const TableDescription& description = descriptions.at(write.table_name);
        columns.clear();
        auto add = [&](const std::string& key, const Value& value) {
            const auto column = description.find(key);
            if (column == description.end()) return;
            const bool made_json = column->second == "json" &&
                                   (value.is_string() || value.is_number_integer() || value.is_boolean());
            std::optional<std::string> reason = made_json ? std::nullopt : unstorable(value);
            const char* text = nullptr;
            try {
                if (!reason) text = default_parameter(value, column->second, inserts.made);
            } catch (const UsageError& error) {
                reason = error.what();  // text that is not UTF-8 inside JSON
            }
            if (reason) {
                throw UsageError("put_many: column " + key + " of " + write.table_name + " cannot take the value of " +
                                 items[i].first.to_string() + ": " + *reason);
            }
            columns.emplace_back(key, text);
        };
        for (const auto& [key, value] : write.data->items()) {
            const Value* key_value = write.key_value(key);
            add(key, key_value ? *key_value : value);
        }
        for (const auto& [key, value] : write.keys) {
            if (!write.data->contains(key)) add(key, value);
        }
        const bool same_run = i > 0 && write.table_name == writes[i - 1].table_name &&
                              std::equal(columns.begin(), columns.end(), run_columns.begin(), run_columns.end(),
                                         [](const auto& column, std::string_view name) { return column.first == name; });
        if (same_run) {
            inserts.row_text.push_back(inserts.row_text.back());
        } else {
            run_columns.clear();
            DataMap names = DataMap::object();
            for (const auto& [key, text] : columns) {
                run_columns.push_back(key);
                names[std::string(key)] = nullptr;
            }
            inserts.row_text.push_back(
                &inserts.texts.emplace_back(_build_insert_statement(write.table_name, names).text));
        }
        auto& values = inserts.row_values.emplace_back();
        values.reserve(columns.size());
        for (const auto& [key, text] : columns) values.push_back(text);
    }
    return inserts;
}

// All INSERTs in one round trip, with the statements not prepared yet prepared in it. Inside a
// transaction they run within a savepoint, rolled back when one fails, so that nothing of the call
// stays written and the transaction goes on; outside one, they form one implicit transaction,
// which the server rolls back as a whole. With `grouped`, consecutive alike rows are written by
// one statement.
std::optional<PostgresHistoricalConnection::PutManyFailure> PostgresHistoricalConnection::write_pipelined(
    const PendingInserts& inserts, bool grouped) {
    std::vector<RowGroup> groups;
    const std::size_t count = inserts.row_text.size();
    for (std::size_t i = 0; i < count;) {
        RowGroup& group = groups.emplace_back();
        group.first = i;
        const std::string& single = *inserts.row_text[i];
        const auto split = grouped ? split_values(single) : std::nullopt;
        const std::size_t columns = split ? split->second : 0;
        std::size_t end = i + 1;
        if (split && columns == inserts.row_values[i].size()) {
            const std::size_t most = std::min(ROWS_PER_STATEMENT, MAX_PARAMETERS / columns);
            while (end < count && end - i < most && inserts.row_text[end] == inserts.row_text[i] &&
                   inserts.row_values[end].size() == columns) {
                ++end;
            }
        }
        group.rows = end - i;
        for (std::size_t row = i; row < end; ++row) {
            group.values.insert(group.values.end(), inserts.row_values[row].begin(), inserts.row_values[row].end());
        }
        if (group.rows == 1) {
            group.key = single;
            const auto [text, markers] = detail::number_markers(single);
            if (markers != group.values.size()) {
                throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                                 std::to_string(group.values.size()) + " parameters were given");
            }
            group.text = text;
        } else {
            group.key = single + "\n-- rows: " + std::to_string(group.rows);
            if (!statements_->inserts.find(group.key)) {
                group.text = detail::number_markers(split->first).first + "VALUES ";
                for (std::size_t row = 0, n = 0; row < group.rows; ++row) {
                    group.text += row ? ", (" : "(";
                    for (std::size_t column = 0; column < columns; ++column) {
                        group.text += column ? ", $" : "$";
                        group.text += std::to_string(++n);
                    }
                    group.text += ')';
                }
            }
        }
        i = end;
    }

    const bool in_transaction = PQtransactionStatus(_connection) != PQTRANS_IDLE;
    std::vector<PipelinedCommand> commands;
    std::map<std::string, std::string> prepared_here;  // statement key to name
    std::vector<libpq::ResultPtr> results;
    {
        libpq::Pipeline pipeline(_connection);
        if (in_transaction) {
            pipeline.query(std::string("SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::SAVEPOINT});
        }
        for (const RowGroup& group : groups) {
            const std::string* name = statements_->inserts.find(group.key);
            if (name == nullptr) {
                if (auto found = prepared_here.find(group.key); found != prepared_here.end()) name = &found->second;
            }
            if (name == nullptr && statements_->inserts.size() + prepared_here.size() < libpq::PreparedStatements::CAPACITY) {
                auto entry = prepared_here.emplace(group.key, statements_->inserts.new_name()).first;
                pipeline.prepare(entry->second, group.text);
                commands.push_back({PipelinedCommand::PREPARE, &group});
                name = &entry->second;
            }
            if (name != nullptr) {
                pipeline.run_prepared(*name, group.values);
            } else {
                pipeline.query(group.text, group.values);
            }
            commands.push_back({PipelinedCommand::INSERT, &group});
        }
        if (in_transaction) {
            pipeline.query(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::RELEASE});
        }
        results = pipeline.finish();
    }

    std::optional<std::size_t> failed;
    for (std::size_t c = 0; c < commands.size(); ++c) {
        const bool ok = libpq::succeeded(results[c].get());
        if (commands[c].kind == PipelinedCommand::PREPARE && ok) {
            const std::string& key = commands[c].group->key;
            statements_->inserts.add(key, prepared_here.at(key));
        }
        if (!ok && !failed) failed = c;
    }
    if (!failed) return std::nullopt;

    const PipelinedCommand& command = commands[*failed];
    const PGresult* result = results[*failed].get();
    // A value refused as data may have met the parameter types of a table that changed since (see
    // put): the statement is prepared afresh next time as well.
    const std::string state = libpq::sqlstate_of(result);
    if (command.kind == PipelinedCommand::INSERT && (libpq::plan_may_be_stale(state) || state.starts_with("22"))) {
        statements_->inserts.evict(command.group->key);
    }
    if (in_transaction && command.kind != PipelinedCommand::SAVEPOINT) {
        libpq::ResultPtr undone(PQexec(_connection, (std::string("ROLLBACK TO SAVEPOINT ") + PUT_MANY_SAVEPOINT +
                                                     "; RELEASE SAVEPOINT " + PUT_MANY_SAVEPOINT)
                                                        .c_str()),
                                &PQclear);
        if (!libpq::succeeded(undone.get())) throw libpq::error_of(undone.get(), _connection);
    }
    std::optional<std::size_t> item;
    if (command.group != nullptr) item = command.group->first;
    return PutManyFailure{item, libpq::error_of(result, _connection)};
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
