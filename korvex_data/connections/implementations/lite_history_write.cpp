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

}  // namespace

bool SqliteHistoricalConnection::_tables_changed() {
    if (_connection == nullptr) return false;
    bool changed = false;
    // A statement of this connection changed a table (registered again with other columns,
    // altered, or its creation rolled back).
    if (_connection->table_changes() != described_at_changes_) {
        described_at_changes_ = _connection->table_changes();
        changed = true;
    }
    // Another connection changed the schema (a table dropped and made again with other column
    // types). SQLite counts every schema change in the file, and reading the count sends nothing
    // anywhere, so the descriptions are simply read again. Once read inside a transaction, the
    // count holds for the rest of it: the transaction reads the file as it was then, and this
    // connection's own changes are counted above.
    // A read outside a transaction asks once its statement ran (see _query), and not at all when
    // SQLite ran the read's kept statement as it ran it last, without preparing it again.
    const bool open = _connection->in_transaction();
    const ReadCheck read_check = open ? ReadCheck::NONE : read_check_;
    if (read_check == ReadCheck::AFTER_STATEMENT) read_check_ = ReadCheck::NONE;
    const bool answered = read_check == ReadCheck::BEFORE_STATEMENT ||
                          (read_check == ReadCheck::AFTER_STATEMENT && read_run_unchanged_);
    if (!answered && (!open || schema_read_in_transaction_ != _connection->transactions_begun())) {
        Value version = _connection->schema_version();
        if (version != described_schema_version_) {
            if (!described_schema_version_.is_null()) ++schema_changes_seen_;
            described_schema_version_ = std::move(version);
            changed = true;
        }
        schema_read_in_transaction_ = open ? _connection->transactions_begun() : 0;
    }
    if (changed) table_columns_.clear();
    return changed;
}

std::optional<bool> SqliteHistoricalConnection::_engine_transaction_open() const {
    if (_connection == nullptr) return std::nullopt;
    return _connection->in_transaction();
}

const std::vector<ColumnInfo>& SqliteHistoricalConnection::_table_columns(const std::string& table_name) {
    forget_changed_tables();
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

TableDescription SqliteHistoricalConnection::_read_table_description(const std::string& table_name) {
    TableDescription description;
    for (const auto& column : _table_columns(table_name)) description.emplace(column.name, column.type);
    return description;
}

namespace {

// `room` becomes the text `write` makes, in the room of the text it held, if any.
template <typename Write>
void text_room(Value& room, const Write& write) {
    if (!room.is_string()) room = std::string();
    write(room.get_ref<std::string&>());
}

}  // namespace

Value SqliteHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    Value room;
    const Value& converted = value_for_insert(value, data_type, room);
    if (&converted == &room) return room;
    return value;
}

const Value& SqliteHistoricalConnection::value_for_insert(const Value& value, const std::string& data_type,
                                                          Value& room) {
    // A JSON column keeps JSON text, so that a text value reads back as a text and not as the
    // number or boolean its characters spell; SQL NULL stays NULL.
    if (data_type == "JSON" && !value.is_null()) {
        text_room(room, [&](std::string& text) { json_text_into(value, text); });
        return room;
    }
    // A text column takes a boolean or a finite number as its JSON spelling, as PostgreSQL
    // stores it (true, not 1; -0.0, not 0.0).
    const bool finite_real = value.is_number_float() && std::isfinite(value.get<double>());
    if (data_type == "TEXT" && (value.is_boolean() || value.is_number_integer() || finite_real)) {
        room = value.dump();
        return room;
    }
    return value;
}

Value SqliteHistoricalConnection::_to_sql_value(Value value) {
    Value room;
    const Value& form = sql_value_for(value, room);
    if (&form == &room) return room;
    return value;
}

const Value& SqliteHistoricalConnection::sql_value_for(const Value& value, Value& room) {
    if (value.is_object() || value.is_array()) {
        // The JSON writer would turn a NaN or an infinity into null without a word: refused.
        text_room(room, [&](std::string& text) { json_text_into(value, text); });
        return room;
    }
    return value;
}

namespace {

std::string printed_row(const std::vector<Value>& params) { return printed_parameters(params); }

std::string printed_row(const std::vector<const Value*>& params) {
    std::vector<Value> copies;
    copies.reserve(params.size());
    for (const Value* value : params) copies.push_back(*value);
    return printed_parameters(copies);
}

// What the store keeps with an INSERT's shape: the statement kept on the connection whose
// kept_token() was `token`.
struct KeptInsert {
    sqlite3_stmt* statement = nullptr;
    std::uint64_t token = 0;
};

}  // namespace

template <typename Params>
void SqliteHistoricalConnection::run_kept_insert(InsertShape& shape, const Params& params) {
    try {
        auto* kept = static_cast<KeptInsert*>(shape.driver_state.get());
        if (kept == nullptr || kept->token != _connection->kept_token()) {
            auto [text, markers] = question_markers(shape.text);
            if (markers != params.size()) {
                throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                                 std::to_string(params.size()) + " parameters were given");
            }
            if (kept == nullptr) {
                shape.driver_state = std::make_shared<KeptInsert>();
                kept = static_cast<KeptInsert*>(shape.driver_state.get());
            }
            kept->statement = _connection->keep(text);
            kept->token = _connection->kept_token();
        }
        _connection->run_kept(kept->statement, params);
    } catch (const SqliteError&) {
        if (_connection->in_transaction()) transaction_failed_ = true;
        std::throw_with_nested(KorvexConnectionError("Error executing query: " + shape.text +
                                                     " with args: " + printed_row(params)));
    } catch (...) {
        std::throw_with_nested(KorvexConnectionError("Error executing query: " + shape.text +
                                                     " with args: " + printed_row(params)));
    }
}

void SqliteHistoricalConnection::_execute_kept_insert(const std::string& table_name, InsertShape& shape,
                                                      std::vector<Value>& params) {
    // Outside a transaction, or in a failed one, execute decides what the statement does.
    if (_connection == nullptr || transaction_failed_ || !_connection->in_transaction()) {
        SqlHistoricalStore::_execute_kept_insert(table_name, shape, params);
        return;
    }
    run_kept_insert(shape, params);
}

void SqliteHistoricalConnection::_execute_kept_insert_values(const std::string& table_name, InsertShape& shape,
                                                             const std::vector<const Value*>& params) {
    if (_connection == nullptr || transaction_failed_ || !_connection->in_transaction()) {
        SqlHistoricalStore::_execute_kept_insert_values(table_name, shape, params);
        return;
    }
    run_kept_insert(shape, params);
}

std::optional<SqlHistoricalStore::BatchFailure> SqliteHistoricalConnection::_write_batch(const InsertBatch& batch) {
    // Outside a transaction the savepoint opens one, which its RELEASE commits.
    const bool in_transaction = _connection != nullptr && _connection->in_transaction();
    execute(std::string("SAVEPOINT ") + PUT_MANY_SAVEPOINT);
    for (std::size_t i = 0; i < batch.row_text.size(); ++i) {
        try {
            InsertShape* shape = i < batch.row_shape.size() ? batch.row_shape[i] : nullptr;
            // Each row's values are bound where they lie (_binds_values_where_they_lie).
            if (shape != nullptr && !transaction_failed_ && _connection->in_transaction()) {
                run_kept_insert(*shape, batch.row_values[i]);
            } else {
                std::vector<Value> params;
                params.reserve(batch.row_values[i].size());
                for (const Value* value : batch.row_values[i]) params.push_back(*value);
                execute(*batch.row_text[i], params);
            }
        } catch (...) {
            const std::exception_ptr refused = std::current_exception();
            try {
                execute(std::string("ROLLBACK TO SAVEPOINT ") + PUT_MANY_SAVEPOINT);
                execute(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            } catch (...) {
                std::throw_with_nested(KorvexConnectionError("put_many: item " + std::to_string(i) + " (" + (*batch.items)[i].first.to_string() +
                    ") was refused and its savepoint could not be rolled back"));
            }
            return BatchFailure{i, refused};
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
    return std::nullopt;
}

}  // namespace korvex::lite_history
