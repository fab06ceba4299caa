// The SQL store core: writing and deleting object versions, and the table descriptions a write
// converts its values by.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_historical_store.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex/table_schemas/constants.hpp"

#include <algorithm>

namespace korvex {

// Descriptions.

void SqlHistoricalStore::forget_changed_tables() {
    // A table changed since the descriptions were read (registered again with other columns,
    // altered, or its creation rolled back): a write by the old description would drop values,
    // or convert and check them for the old types.
    // The read statements kept per shape may have been built from the old descriptions.
    if (_tables_changed()) forget_table_descriptions();
}

TableDescription SqlHistoricalStore::_describe_table(const std::string& table_name) {
    forget_changed_tables();
    if (auto found = described_tables_.find(table_name); found != described_tables_.end()) return *found->second;
    TableDescription description = _read_table_description(table_name);
    // A missing table has no columns; it is looked up again next time, so that a table created
    // later is seen (only a real description is kept).
    if (!description.empty()) described_tables_.emplace(table_name, std::make_shared<TableDescription>(description));
    return description;
}

std::shared_ptr<const TableDescription> SqlHistoricalStore::described_table(const std::string& table_name) {
    if (auto found = described_tables_.find(table_name); found != described_tables_.end()) return found->second;
    // Through the instance, so that a store describing its tables otherwise is asked; what it
    // says is kept like a description read here.
    auto description = std::make_shared<const TableDescription>(_describe_table(table_name));
    if (!description->empty()) described_tables_.insert_or_assign(table_name, description);
    return description;
}

// Checks.

void SqlHistoricalStore::require_engine_transaction(const char* operation) {
    if (_revert_data.empty()) return;
    if (const auto open = _engine_transaction_open(); open && !*open) {
        throw UsageError(std::string(operation) + ": a transaction level is open but " + dialect().engine_noun() +
                         " has no transaction open (a COMMIT or ROLLBACK sent through execute ended it); roll the "
                         "level back before writing");
    }
}

SqlHistoricalStore::CheckedWrite SqlHistoricalStore::check_write(const Address& address, const DataMap& data,
                                                                 const char* operation, const std::string* table_name) {
    CheckedWrite write;
    check_write(write, address, data, operation, table_name);
    return write;
}

namespace {

// `value` becomes the text `text`, in the room of the text it held, if any.
void assign_text(Value& value, const std::string& text) {
    if (value.is_string()) {
        value.get_ref<std::string&>().assign(text);
    } else {
        value = text;
    }
}

}  // namespace

void SqlHistoricalStore::check_write(CheckedWrite& write, const Address& address, const DataMap& data,
                                     const char* operation, const std::string* table_name) {
    check_write_address(operation, address);
    if (!data.is_object()) {
        throw UsageError(std::string(operation) + ": the data of " + address.to_string() +
                         " must be a map of column names to values, not " + printed(data));
    }
    const std::size_t max_bytes = dialect().identifier_max_bytes();
    write.table_name = table_name ? *table_name : _resolve_table_name(address);
    write.data = &data;
    write.key_count = 0;
    // The engine would read a longer name as its first bytes and write another table.
    if (!table_name) check_sql_name(write.table_name, max_bytes);
    // The address's key columns, their values pointed at where the caller's data holds them.
    static const std::string primary_key(PRIMARY_PARTITION_KEY);
    static const std::string secondary_key(SECONDARY_PARTITION_KEY);
    static const std::string object_id_key("object_id");
    static const std::string object_version_key("object_version");
    assign_text(write.object_id, address.object_id);
    write.keys[write.key_count++] = {&primary_key, nullptr};
    if (!is_internal_table_name(write.table_name)) {
        if (address.object_version.is_specific()) {
            assign_text(write.object_version, address.object_version.text());
        } else {
            write.object_version = address.object_version.to_value();
        }
        write.keys[write.key_count++] = {&secondary_key, nullptr};
    }
    if (write.table_name == "metadata") {
        const Value& entry = metadata_row_address(operation, data);
        write.keys[write.key_count++] = {&object_id_key, &entry.at("object_id")};
        write.keys[write.key_count++] = {&object_version_key, &entry.at("object_version")};
    }
    // A key the engine would cut or could not read names no column of its own: refusing it keeps
    // its value from being dropped as an unknown key, or stored under another column.
    for (const auto& entry : data.get_ref<const DataMap::object_t&>()) {
        if (!entry.first.empty()) check_sql_name(entry.first, max_bytes);
    }
}

const Value* SqlHistoricalStore::CheckedWrite::key_value(const std::string& column) const {
    for (std::size_t k = 0; k < key_count; ++k) {
        if (column == key_name(k)) return &key_value_at(k);
    }
    return nullptr;
}

const SqlHistoricalStore::WritePlan& SqlHistoricalStore::write_plan(
    const CheckedWrite& write, const std::shared_ptr<const TableDescription>& description) {
    const auto& entries = write.data->get_ref<const DataMap::object_t&>();
    WritePlan& plan = write_plan_;
    const auto same_names = [](const std::vector<std::string>& names, const auto& pairs) {
        return std::equal(names.begin(), names.end(), pairs.begin(), pairs.end(),
                          [](const std::string& name, const auto& pair) { return name == pair.first; });
    };
    const auto same_key_names = [&] {
        if (plan.address_keys.size() != write.key_count) return false;
        for (std::size_t k = 0; k < write.key_count; ++k) {
            if (plan.address_keys[k] != write.key_name(k)) return false;
        }
        return true;
    };
    if (plan.description == description && same_names(plan.data_keys, entries) && same_key_names()) {
        return plan;
    }
    plan.description = description;
    plan.data_keys.clear();
    plan.address_keys.clear();
    plan.columns.clear();
    // The data's own order, with the key columns from the address in place of the data's
    // values of the same name, and those the data lacks after it. A key that is not a column of
    // the table is dropped.
    for (std::size_t at = 0; at < entries.size(); ++at) {
        const std::string& key = (entries.begin() + static_cast<std::ptrdiff_t>(at))->first;
        plan.data_keys.push_back(key);
        const auto column = description->find(key);
        if (column == description->end()) continue;
        std::size_t key_at = NOT_GIVEN;
        for (std::size_t k = 0; k < write.key_count && key_at == NOT_GIVEN; ++k) {
            if (write.key_name(k) == key) key_at = k;
        }
        plan.columns.push_back({&column->second, at, key_at});
    }
    for (std::size_t k = 0; k < write.key_count; ++k) {
        const std::string& key = write.key_name(k);
        plan.address_keys.push_back(key);
        if (write.data->contains(key)) continue;
        const auto column = description->find(key);
        if (column != description->end()) plan.columns.push_back({&column->second, NOT_GIVEN, k});
    }
    return plan;
}

namespace {

// The name a planned column is written under and the value it takes: the data's entry, the
// address's key column, or the latter under the data's name.
template <class Column, class Write>
std::pair<const std::string*, const Value*> planned_value(const Column& column, const DataMap::object_t& entries,
                                                          const Write& write, std::size_t not_given) {
    const std::string* key = nullptr;
    const Value* given = nullptr;
    if (column.data_at != not_given) {
        const auto entry = entries.begin() + static_cast<std::ptrdiff_t>(column.data_at);
        key = &entry->first;
        given = &entry->second;
    }
    if (column.key_at != not_given) {
        if (key == nullptr) key = &write.key_name(column.key_at);
        given = &write.key_value_at(column.key_at);
    }
    return {key, given};
}

}  // namespace

std::vector<std::pair<std::string_view, Value>> SqlHistoricalStore::stored_columns(
    const Address& address, const CheckedWrite& write, const char* operation,
    const std::shared_ptr<const TableDescription>& description) {
    std::vector<std::pair<std::string_view, Value>> columns;
    stored_columns(address, write, operation, description, columns);
    return columns;
}

void SqlHistoricalStore::stored_columns(const Address& address, const CheckedWrite& write, const char* operation,
                                        const std::shared_ptr<const TableDescription>& description,
                                        std::vector<std::pair<std::string_view, Value>>& columns) {
    const WritePlan& plan = write_plan(write, description);
    const auto& entries = write.data->get_ref<const DataMap::object_t&>();
    columns.clear();
    columns.reserve(plan.columns.size());
    for (const auto& column : plan.columns) {
        const auto [key, given] = planned_value(column, entries, write, NOT_GIVEN);
        const std::string& name = *key;
        const Value& value = *given;
        std::optional<std::string> reason;
        try {
            // Made in place and moved into the row once found storable (the row owns its
            // values, so that the conversion copying them costs nothing more here).
            Value converted = process_value_before_insert(value, *column.type);
            reason = dialect().unstorable(value, converted, *column.type);
            if (!reason) {
                columns.emplace_back(name, std::move(converted));
                continue;
            }
        } catch (const UsageError& error) {
            reason = error.what();  // JSON cannot carry it (a NaN, text that is not UTF-8)
        }
        throw UsageError(std::string(operation) + ": column " + name + " of " + write.table_name +
                         " cannot take the value of " + address.to_string() + ": " + *reason);
    }
}

const Value& SqlHistoricalStore::value_for_insert(const Value& value, const std::string& data_type, Value& room) {
    room = process_value_before_insert(value, data_type);
    return room;
}

bool SqlHistoricalStore::convert_row(const Address& address, const CheckedWrite& write, const char* operation,
                                     const WritePlan& plan, PutRow& row) {
    const auto& entries = write.data->get_ref<const DataMap::object_t&>();
    const std::size_t count = plan.columns.size();
    row.names.clear();
    row.values.clear();
    if (row.rooms.size() < count) row.rooms.resize(count);
    bool all_in_rooms = true;
    for (std::size_t at = 0; at < count; ++at) {
        const PlannedColumn& column = plan.columns[at];
        const auto [key, given] = planned_value(column, entries, write, NOT_GIVEN);
        std::optional<std::string> reason;
        try {
            Value& room = row.rooms[at];
            const Value& converted = value_for_insert(*given, *column.type, room);
            reason = dialect().unstorable(*given, converted, *column.type);
            if (!reason) {
                row.names.emplace_back(*key);
                row.values.push_back(&converted);
                all_in_rooms = all_in_rooms && &converted == &room;
                continue;
            }
        } catch (const UsageError& error) {
            reason = error.what();  // JSON cannot carry it (a NaN, text that is not UTF-8)
        }
        throw UsageError(std::string(operation) + ": column " + *key + " of " + write.table_name +
                         " cannot take the value of " + address.to_string() + ": " + *reason);
    }
    return all_in_rooms;
}

// Statements.

Statement SqlHistoricalStore::_build_insert_statement(const std::string& table_name, const DataMap& data) {
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
    statement.text =
        "INSERT INTO " + dialect().insert_table_name(table_name) + " (" + columns + ") VALUES (" + markers + ")";
    return statement;
}

// Writes.

void SqlHistoricalStore::report_changed_table(const std::string& operation, const std::string& table_name,
                                              std::exception_ptr cause) {
    try {
        std::rethrow_exception(cause);
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

const std::string& SqlHistoricalStore::insert_shape_key(const std::string& table_name,
                                                       const std::vector<std::string_view>& columns) {
    // The text depends on the table and the column names only: kept per table and column list,
    // each name after its length, so that no two lists share a key.
    std::string& key = insert_key_;
    key.assign(table_name);
    for (const std::string_view name : columns) {
        key += '\n';
        key += std::to_string(name.size());
        key += ':';
        key += name;
    }
    return key;
}

std::shared_ptr<SqlHistoricalStore::InsertShape> SqlHistoricalStore::kept_insert_shape(
    const std::string& table_name, const std::vector<std::string_view>& columns) {
    // Rows in a row mostly write the columns of the last one: compared, with no key made.
    if (last_insert_shape_ && last_insert_shape_->table_name == table_name &&
        std::equal(last_insert_shape_->columns.begin(), last_insert_shape_->columns.end(), columns.begin(),
                   columns.end())) {
        return last_insert_shape_;
    }
    const auto found = insert_shapes_.find(insert_shape_key(table_name, columns));
    if (found == insert_shapes_.end()) return nullptr;
    last_insert_shape_ = found->second;
    return last_insert_shape_;
}

std::shared_ptr<SqlHistoricalStore::InsertShape> SqlHistoricalStore::keep_insert_shape(
    const std::string& table_name, const std::vector<std::string_view>& columns, const std::string& text) {
    auto shape = std::make_shared<InsertShape>();
    shape->table_name = table_name;
    shape->columns.assign(columns.begin(), columns.end());
    shape->text = text;
    if (insert_shapes_.size() >= INSERT_TEXTS_KEPT) insert_shapes_.clear();
    insert_shapes_.insert_or_assign(insert_shape_key(table_name, columns), shape);
    last_insert_shape_ = shape;
    return shape;
}

void SqlHistoricalStore::_execute_insert(const std::string&, const Statement& statement) {
    execute(statement.text, statement.params);
}

void SqlHistoricalStore::_execute_kept_insert(const std::string& table_name, InsertShape& shape,
                                              std::vector<Value>& params) {
    // The parameters are lent to the statement and taken back, so that put keeps their room; the
    // statement is the kept one (taken here, so that a nested call finds none).
    Statement statement = std::move(kept_statement_);
    statement.text.assign(shape.text);
    statement.params.swap(params);
    try {
        _execute_insert(table_name, statement);
    } catch (...) {
        params.swap(statement.params);
        kept_statement_ = std::move(statement);
        throw;
    }
    params.swap(statement.params);
    kept_statement_ = std::move(statement);
}

void SqlHistoricalStore::_execute_kept_insert_values(const std::string& table_name, InsertShape& shape,
                                                     const std::vector<const Value*>& params) {
    std::vector<Value> copies;
    copies.reserve(params.size());
    for (const Value* value : params) copies.push_back(*value);
    _execute_kept_insert(table_name, shape, copies);
}

void SqlHistoricalStore::put(const Address& address, const DataMap& data) {
    if (!data.is_object()) {
        throw UsageError("put: the data of " + address.to_string() + " must be a map of column names to values, not " +
                         printed(data));
    }
    // With revert on, a write outside every transaction level is refused before anything is sent.
    if (_is_revert_enabled) require_open_level("put");
    require_engine_transaction("put");
    forget_changed_tables();

    // The room of the last call's texts is used again (taken here, so that a nested call finds none).
    CheckedWrite write = std::move(put_write_);
    check_write(write, address, data, "put");
    const auto description = described_table(write.table_name);
    if (description->empty()) throw UsageError(no_table_message("put", address, write.table_name));
    // The room of the last call's row is used again (taken here, so that a nested call finds none).
    PutRow row = std::move(put_row_);
    auto params = std::move(put_params_);
    const bool all_in_rooms = convert_row(address, write, "put", write_plan(write, description), row);
    auto shape = kept_insert_shape(write.table_name, row.names);
    const std::size_t count = row.names.size();
    Statement built;
    if (!shape) {
        DataMap built_row = DataMap::object();
        built_row.get_ref<DataMap::object_t&>().reserve(count);
        for (std::size_t at = 0; at < count; ++at) built_row[std::string(row.names[at])] = *row.values[at];
        built = _build_insert_statement(write.table_name, built_row);
        if (built.params.size() == count) shape = keep_insert_shape(write.table_name, row.names, built.text);
    }
    if (shape && all_in_rooms) {
        // Every value was converted into room of its own: moved to the engine, not copied.
        params.clear();
        params.reserve(count);
        for (std::size_t at = 0; at < count; ++at) params.push_back(_to_sql_value(std::move(row.rooms[at])));
        _execute_kept_insert(write.table_name, *shape, params);
    } else if (shape) {
        // Values taken as the caller gave them are bound where they lie.
        for (std::size_t at = 0; at < count; ++at) {
            Value& room = row.rooms[at];
            if (row.values[at] == &room) {
                room = _to_sql_value(std::move(room));
            } else {
                row.values[at] = &sql_value_for(*row.values[at], room);
            }
        }
        _execute_kept_insert_values(write.table_name, *shape, row.values);
    } else {
        _execute_insert(write.table_name, built);  // a builder not kept, asked for this row
    }
    // Their room is kept for the next call; the values the engine was given are not.
    params.clear();
    row.values.clear();
    put_row_ = std::move(row);
    put_params_ = std::move(params);
    put_write_ = std::move(write);
    // Recorded once written: revert must never delete a version this level did not write (a
    // refused put of an existing version would otherwise take that version with it).
    if (_is_revert_enabled) _add_revert_data(address, data);
}

// A run of items writing the same columns of one table shares the INSERT text that
// _build_insert_statement made for its first item; the other items' values are converted by
// process_value_before_insert and _to_sql_value, as that builder converts them.
SqlHistoricalStore::InsertBatch SqlHistoricalStore::insert_batch(const std::vector<WriteItem>& items,
                                                                 const std::vector<CheckedWrite>& writes) {
    InsertBatch batch;
    batch.items = &items;
    batch.row_text.reserve(items.size());
    // Reserved, so that a row's values pointed at in row_params stay where they are.
    batch.row_params.reserve(items.size());
    batch.row_shape.reserve(items.size());
    const bool in_place = _binds_values_where_they_lie();
    if (in_place) batch.row_values.reserve(items.size());
    std::vector<std::string_view> run_columns;
    // A row's values as put converts them, for a driver binding them where they lie.
    PutRow row = std::move(put_row_);
    // One row's converted columns at a time, in room kept from row to row.
    std::vector<std::pair<std::string_view, Value>> columns;
    std::shared_ptr<const TableDescription> description;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bool same_table = i > 0 && writes[i].table_name == writes[i - 1].table_name;
        if (!same_table) description = described_table(writes[i].table_name);
        if (in_place) {
            convert_row(items[i].first, writes[i], "put_many", write_plan(writes[i], description), row);
            const bool same_run = same_table && row.names == run_columns;
            if (same_run) {
                // The converted values move to the batch's room; the caller's are pointed at.
                auto& values = batch.row_values.emplace_back(row.values);
                for (std::size_t at = 0; at < values.size(); ++at) {
                    Value& room = row.rooms[at];
                    if (values[at] == &room) {
                        values[at] = &batch.rooms.emplace_back(_to_sql_value(std::move(room)));
                    } else if (const Value& form = sql_value_for(*values[at], room); &form == &room) {
                        values[at] = &batch.rooms.emplace_back(std::move(room));
                    }
                }
                batch.row_params.emplace_back();
                batch.row_text.push_back(batch.row_text.back());
                batch.row_shape.push_back(batch.row_shape.back());
                continue;
            }
            columns.clear();
            for (std::size_t at = 0; at < row.names.size(); ++at) columns.emplace_back(row.names[at], *row.values[at]);
        } else {
            stored_columns(items[i].first, writes[i], "put_many", description, columns);
        }
        const bool same_run = same_table && std::equal(columns.begin(), columns.end(), run_columns.begin(),
                                                       run_columns.end(), [](const auto& column, std::string_view name) {
                                                           return column.first == name;
                                                       });
        if (same_run) {
            auto& params = batch.row_params.emplace_back();
            params.reserve(columns.size());
            for (auto& [key, value] : columns) params.push_back(_to_sql_value(std::move(value)));
            batch.row_text.push_back(batch.row_text.back());
            batch.row_shape.push_back(batch.row_shape.back());
        } else {
            run_columns.clear();
            DataMap row = DataMap::object();
            row.get_ref<DataMap::object_t&>().reserve(columns.size());
            for (const auto& [key, value] : columns) {
                run_columns.push_back(key);
                row[std::string(key)] = value;
            }
            Statement statement = _build_insert_statement(writes[i].table_name, row);
            // The run's text is kept as the INSERT of its columns, for the driver to keep what
            // it derives from it.
            std::shared_ptr<InsertShape> shape;
            if (statement.params.size() == columns.size()) {
                shape = kept_insert_shape(writes[i].table_name, run_columns);
                if (!shape || shape->text != statement.text) {
                    shape = keep_insert_shape(writes[i].table_name, run_columns, statement.text);
                }
                batch.shapes.push_back(shape);
            }
            batch.row_shape.push_back(shape.get());
            batch.row_text.push_back(&batch.texts.emplace_back(std::move(statement.text)));
            const auto& params = batch.row_params.emplace_back(std::move(statement.params));
            if (in_place) {
                auto& values = batch.row_values.emplace_back();
                values.reserve(params.size());
                for (const Value& value : params) values.push_back(&value);
            }
        }
    }
    row.values.clear();
    put_row_ = std::move(row);
    return batch;
}

void SqlHistoricalStore::put_many(const std::vector<WriteItem>& items) {
    if (_is_revert_enabled) require_open_level("put_many");
    require_engine_transaction("put_many");
    forget_changed_tables();
    // Every item is checked before anything is written. Items of one class share its table, and
    // the table's description is read once for the call.
    // The room of the last call's checked writes is used again (taken here, so that a nested
    // call finds none).
    std::vector<CheckedWrite> writes = std::move(many_writes_);
    writes.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Address& address = items[i].first;
        const bool same_class = i > 0 && address.resource == items[i - 1].first.resource &&
                                address.class_name == items[i - 1].first.class_name &&
                                address.class_version == items[i - 1].first.class_version;
        check_write(writes[i], address, items[i].second, "put_many", same_class ? &writes[i - 1].table_name : nullptr);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        // Items of one table in a row: its description was looked up for the first of them.
        if (i > 0 && writes[i].table_name == writes[i - 1].table_name) continue;
        if (described_table(writes[i].table_name)->empty()) {
            throw UsageError(no_table_message("put_many", items[i].first, writes[i].table_name));
        }
    }
    InsertBatch batch = insert_batch(items, writes);
    if (items.empty()) return;

    std::optional<BatchFailure> failure = _write_batch(batch);
    if (failure && failure->item && failure->table_changed) {
        // A table changed under the session. Nothing of the call was written and the transaction
        // goes on, so the tables are described afresh, the values converted for them, and the
        // call tried once more.
        for (const auto& write : writes) forget_table_description(write.table_name);
        batch = insert_batch(items, writes);
        failure = _write_batch(batch);
    }
    if (failure && failure->item && (failure->table_changed || failure->forget_table)) {
        forget_table_description(writes[*failure->item].table_name);
    }
    if (failure && failure->item && failure->table_changed) {
        report_changed_table("put_many", writes[*failure->item].table_name, failure->error);
    }
    if (failure) {
        const std::string message =
            failure->item ? "put_many: item " + std::to_string(*failure->item) + " (" +
                                items[*failure->item].first.to_string() +
                                ") was refused, so nothing of this call was written"
                          : "put_many: the savepoint around the call failed, so nothing of it was written";
        try {
            std::rethrow_exception(failure->error);
        } catch (...) {
            std::throw_with_nested(KorvexConnectionError(message));
        }
    }
    many_writes_ = std::move(writes);
    if (!_is_revert_enabled) return;
    _revert_data.back().reserve(_revert_data.back().size() + items.size());
    for (const auto& [address, data] : items) _add_revert_data(address, data);
}

void SqlHistoricalStore::_delete(const Address& address) {
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

}  // namespace korvex
