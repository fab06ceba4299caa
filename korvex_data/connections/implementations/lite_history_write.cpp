// SqliteHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>

namespace korvex::lite_history {
namespace {

// The savepoint around one put_many: a savepoint of the same name further out is only hidden
// until this one is released.
constexpr const char* PUT_MANY_SAVEPOINT = "korvex_put_many";

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool is_numeric_type(const std::string& type) { return type == "INTEGER" || type == "REAL" || type == "BOOLEAN"; }

// Whether SQLite reads `text` as a number when a numeric column takes it (it keeps any other
// text as text, in a column meant for numbers).
bool reads_as_number(const std::string& text) {
    std::size_t start = 0;
    std::size_t end = text.size();
    while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (start == end) return false;
    const std::string trimmed = text.substr(start, end - start);
    const char first = trimmed[0];
    if (!(std::isdigit(static_cast<unsigned char>(first)) || first == '-' || first == '+' || first == '.')) return false;
    if (trimmed.find_first_of("xXnN") != std::string::npos) return false;  // hexadecimal, nan, inf
    char* parsed_end = nullptr;
    std::strtod(trimmed.c_str(), &parsed_end);
    return parsed_end == trimmed.c_str() + trimmed.size();
}

bool above_integer_range(const Value& value) {
    return value.is_number_unsigned() &&
           value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

// Whether an INTEGER column keeps `value` as the same whole number: a real with no fraction
// within range, or a text spelling an integer.
bool holds_integer(const Value& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        return std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18;
    }
    if (!value.is_string()) return true;
    const std::string& text = value.get_ref<const std::string&>();
    std::size_t at = text.find_first_not_of(" \t\n\r");
    if (at != std::string::npos && (text[at] == '-' || text[at] == '+')) ++at;
    const std::size_t end = text.find_last_not_of(" \t\n\r");
    if (at == std::string::npos || end == std::string::npos || at > end) return false;
    return std::all_of(text.begin() + at, text.begin() + end + 1, [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a text that spells a whole number spells one beyond the 64-bit range, which SQLite
// would keep as a rounded real.
bool text_beyond_integer_range(const Value& value) {
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    const std::size_t start = text.find_first_not_of(" \t\n\r");
    const std::size_t end = text.find_last_not_of(" \t\n\r");
    if (start == std::string::npos) return false;
    std::string digits = text.substr(start, end - start + 1);
    if (digits.starts_with('+')) digits.erase(0, 1);
    std::int64_t number = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return error == std::errc::result_out_of_range && stop == digits.data() + digits.size();
}

// Why SQLite cannot store `value` (already converted for its column) as given, or nothing when
// it can. A text may hold a NUL byte here: SQLite keeps every byte of a bound text.
std::optional<std::string> unstorable(const Value& original, const Value& value, const std::string& type) {
    if ((original.is_object() || original.is_array()) && holds_non_finite_number(original)) {
        return "it holds a NaN or an infinity inside a map or list, which JSON cannot store";
    }
    if (type == "JSON") {
        if (original.is_number_float() && !std::isfinite(original.get<double>())) {
            return "it is a NaN or an infinity, which JSON cannot store";
        }
        if (above_integer_range(original)) {
            return "it is an integer above SQLite's range, which SQLite would keep as a rounded real";
        }
        return std::nullopt;
    }
    if (value.is_number_float() && std::isnan(value.get<double>())) {
        return "it is a NaN, which SQLite would store as NULL";
    }
    if (above_integer_range(value)) {
        return "it is an integer above SQLite's range";
    }
    if (is_numeric_type(type) && (value.is_object() || value.is_array())) {
        return "a map or list cannot be stored in a column of type " + type;
    }
    if (is_numeric_type(type) && value.is_string() && !reads_as_number(value.get_ref<const std::string&>())) {
        return "the text " + printed(value) + " is not a number, which a column of type " + type + " holds";
    }
    // SQLite keeps whatever number it is given in any numeric column, and a boolean as 1 or 0:
    // what the column's type cannot hold would read back as another kind of value.
    const bool zero_or_one = value.is_number_integer() && (value == 0 || value == 1);
    if (type == "BOOLEAN" && !value.is_null() && !value.is_boolean() && !zero_or_one) {
        return printed(value) + " is not true or false, which a column of type BOOLEAN holds";
    }
    if ((type == "INTEGER" || type == "REAL") && value.is_boolean()) {
        return "a boolean cannot be stored in a column of type " + type;
    }
    if (type == "INTEGER" && !holds_integer(value)) {
        return printed(value) + " is not a whole number, which a column of type INTEGER holds";
    }
    if (type == "INTEGER" && text_beyond_integer_range(value)) {
        return printed(value) + " is beyond the 64-bit integer range, which SQLite would keep as a rounded real";
    }
    return std::nullopt;
}

}  // namespace

void SqliteHistoricalConnection::forget_stale_tables() {
    // A table changed since the descriptions were read (registered again with other columns,
    // altered, or its creation rolled back): a write by the old description would drop values.
    if (_connection != nullptr && _connection->table_changes() != described_at_changes_) {
        table_columns_.clear();
        descriptions_.clear();
        described_at_changes_ = _connection->table_changes();
    }
    // Another connection changed the schema (a table dropped and made again with other column
    // types): a write by the old description would convert or check its values for the old
    // types. SQLite counts every schema change in the file, and reading the count sends nothing
    // anywhere, so the descriptions are simply read again.
    if (_connection != nullptr) {
        const auto row = _connection->execute("PRAGMA schema_version")->fetchone();
        Value version = row && !row->empty() ? row->front() : Value();
        if (version != described_schema_version_) {
            table_columns_.clear();
            descriptions_.clear();
            described_schema_version_ = std::move(version);
        }
    }
}

const std::vector<ColumnInfo>& SqliteHistoricalConnection::_table_columns(const std::string& table_name) {
    forget_stale_tables();
    if (auto found = table_columns_.find(table_name); found != table_columns_.end()) {
        return found->second;
    }
    check_sql_name(table_name);
    std::vector<ColumnInfo> columns;
    for (const auto& row : execute("SELECT name, type FROM pragma_table_info(%s) ORDER BY cid", {table_name})->fetchall()) {
        columns.push_back({row.at(0).get<std::string>(), upper(row.at(1).is_string() ? row.at(1).get<std::string>() : "")});
    }
    // A missing table has no columns; it is looked up again next time, so that a table created
    // later is seen (only a real description is kept for the life of this object).
    static const std::vector<ColumnInfo> none;
    if (columns.empty()) return none;
    return table_columns_.emplace(table_name, std::move(columns)).first->second;
}

TableDescription SqliteHistoricalConnection::_describe_table(const std::string& table_name) {
    forget_stale_tables();
    if (auto found = descriptions_.find(table_name); found != descriptions_.end()) return found->second;
    TableDescription description;
    for (const auto& column : _table_columns(table_name)) description.emplace(column.name, column.type);
    if (!description.empty()) descriptions_.emplace(table_name, description);
    return description;
}

Statement SqliteHistoricalConnection::_build_insert_statement(const std::string& table_name, const DataMap& data) {
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
    statement.text = "INSERT INTO " + _quote_name(table_name) + " (" + columns + ") VALUES (" + markers + ")";
    return statement;
}


Value SqliteHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    // A JSON column keeps JSON text, so that a text value reads back as a text and not as the
    // number or boolean its characters spell; SQL NULL stays NULL.
    if (data_type == "JSON" && !value.is_null()) {
        return json_text(value);
    }
    // A text column takes a boolean or a finite number as its JSON spelling, as PostgreSQL
    // stores it (true, not 1; -0.0, not 0.0).
    const bool finite_real = value.is_number_float() && std::isfinite(value.get<double>());
    if (data_type == "TEXT" && (value.is_boolean() || value.is_number_integer() || finite_real)) {
        return value.dump();
    }
    return value;
}

Statement SqliteHistoricalConnection::checked_insert(const Address& address, const DataMap& data,
                                                    const char* operation) {
    check_write_address(operation, address);
    if (!data.is_object()) {
        throw UsageError(std::string(operation) + ": the data of " + address.to_string() +
                         " must be a map of column names to values, not " + printed(data));
    }
    const std::string table_name = _resolve_table_name(address);
    check_sql_name(table_name);
    const DataMap insert_data = _keyed_row(address, data, table_name);
    for (const auto& [key, value] : insert_data.items()) {
        if (!key.empty()) check_sql_name(key);
    }

    const std::vector<ColumnInfo>& table_columns = _table_columns(table_name);
    if (table_columns.empty()) throw UsageError(no_table_message(operation, address, table_name));
    DataMap columns = DataMap::object();
    for (const auto& [key, value] : insert_data.items()) {
        const auto column = std::find_if(table_columns.begin(), table_columns.end(),
                                         [&](const ColumnInfo& c) { return c.name == key; });
        if (column == table_columns.end()) continue;  // not a column of the table: dropped
        Value converted;
        std::optional<std::string> reason;
        try {
            converted = process_value_before_insert(value, column->type);
            reason = unstorable(value, converted, column->type);
        } catch (const UsageError& error) {
            reason = error.what();  // JSON cannot carry it (a NaN, text that is not UTF-8)
        }
        if (reason) {
            throw UsageError(std::string(operation) + ": column " + key + " of " + table_name +
                             " cannot take the value of " + address.to_string() + ": " + *reason);
        }
        columns[key] = std::move(converted);
    }
    return _build_insert_statement(table_name, columns);
}

void SqliteHistoricalConnection::put(const Address& address, const DataMap& data) {
    // With revert on, a write outside every transaction level is refused before anything is sent.
    if (_is_revert_enabled) require_open_level("put");
    require_open_transaction("put");
    const Statement statement = checked_insert(address, data, "put");
    execute(statement.text, statement.params);
    // Recorded once written: revert must never delete a version this level did not write (a
    // refused put of an existing version would otherwise take that version with it).
    if (_is_revert_enabled) _add_revert_data(address.model_copy(), data);
}

void SqliteHistoricalConnection::put_many(const std::vector<WriteItem>& items) {
    if (_is_revert_enabled) require_open_level("put_many");
    require_open_transaction("put_many");
    // Every item is checked before anything is written, and the writes share one savepoint, so
    // that the call writes all its items or none, inside a transaction or outside one.
    std::vector<Statement> statements;
    statements.reserve(items.size());
    for (const auto& [address, data] : items) statements.push_back(checked_insert(address, data, "put_many"));
    if (items.empty()) return;
    // Outside a transaction the savepoint opens one, which its RELEASE commits.
    const bool in_transaction = _connection != nullptr && _connection->in_transaction();
    execute(std::string("SAVEPOINT ") + PUT_MANY_SAVEPOINT);
    for (std::size_t i = 0; i < items.size(); ++i) {
        try {
            execute(statements[i].text, statements[i].params);
        } catch (...) {
            const std::exception_ptr refused = std::current_exception();
            try {
                execute(std::string("ROLLBACK TO SAVEPOINT ") + PUT_MANY_SAVEPOINT);
                execute(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            } catch (...) {
                std::throw_with_nested(KorvexConnectionError(
                    "put_many: item " + std::to_string(i) + " (" + items[i].first.to_string() +
                    ") was refused and its savepoint could not be rolled back"));
            }
            try {
                std::rethrow_exception(refused);
            } catch (...) {
                std::throw_with_nested(KorvexConnectionError("put_many: item " + std::to_string(i) + " (" +
                                                             items[i].first.to_string() +
                                                             ") was refused, so nothing of this call was written"));
            }
        }
    }
    try {
        execute(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
    } catch (...) {
        // A commit that failed (another writer held the lock) must not leave its transaction
        // open for the caller's next statements to join.
        if (!in_transaction && _connection != nullptr && _connection->in_transaction()) {
            try {
                _connection->execute("ROLLBACK");
            } catch (...) {
            }
            transaction_failed_ = false;
        }
        throw;
    }
    if (_is_revert_enabled) {
        for (const auto& [address, data] : items) _add_revert_data(address.model_copy(), data);
    }
}

void SqliteHistoricalConnection::_delete(const Address& address) {
    if (address.object_version.is_marker()) {
        throw KorvexConnectionError("Deleting in reverse requires a specific version. Current version is " +
                                    address.object_version.text() + ".");
    }
    const std::string table_name = _resolve_table_name(address);
    DataMap key = DataMap::object();
    key[PRIMARY_PARTITION_KEY] = address.object_id;
    if (!is_internal_table_name(table_name)) {
        key[SECONDARY_PARTITION_KEY] = address.object_version.to_value();
    }
    const Statement statement = _build_delete_statement(table_name, key);
    execute(statement.text, statement.params);
}

}  // namespace korvex::lite_history
