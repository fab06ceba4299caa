#include "korvex/error.hpp"
#include "korvex_data/table_schemas/implementations/lite_timeline.hpp"

#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/table_schemas/internal_tables.hpp"
#include "korvex/utils/fnv1a.hpp"
#include "korvex/utils/sql_identifier.hpp"
#include "korvex/utils/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>

#include <stdexcept>

namespace korvex {

std::pair<std::string, bool> SqliteHistoricalTableSchemaService::register_table(const TableSchema& table_schema,
                                                                                bool is_internal_table) {
    std::pair<std::string, bool> registered;
    // Looking for the table and making it are one write transaction: another process preparing
    // the same file waits, then finds the table made.
    in_write_transaction([&] { registered = register_table_now(table_schema, is_internal_table); });
    return registered;
}

std::pair<std::string, bool> SqliteHistoricalTableSchemaService::register_table_now(const TableSchema& table_schema,
                                                                                    bool is_internal_table) {
    const std::string table_name = resolve_table_name(table_schema.address);
    if (!_get_table_columns(table_name).empty()) {
        return {table_name, false};
    }
    // A table under the name that only lowered A to Z would be a second table of the class:
    // refused instead. Nothing more is sent for other names.
    if (const auto former = former_table_name(table_schema.address); former && !_get_table_columns(*former).empty()) {
        throw former_table_name_error(table_schema.address, table_name, *former);
    }
    // Refused before the table is made: a failed index would leave the table registered without
    // it, and every later registration would find the table and add nothing.
    for (const auto& index : table_schema.indexed) {
        const std::string lowered = to_lower(index.column_name);
        const bool declared = lowered == PRIMARY_PARTITION_KEY || lowered == SECONDARY_PARTITION_KEY ||
                              std::any_of(table_schema.columns.begin(), table_schema.columns.end(),
                                          [&](const TableColumnSchema& c) { return to_lower(c.name) == lowered; });
        if (!declared) {
            throw UsageError("table " + table_name + ": indexed column " + index.column_name +
                             " is not among its columns");
        }
    }
    try {
        create_table(table_name, table_schema, is_internal_table);
    } catch (const SqliteError& error) {
        // table_info sees tables only: an index (or a view or trigger) may hold the name, and
        // then the class has no table to write.
        const std::string holder = object_type(table_name);
        if (holder.empty() || holder == "table") throw;
        throw UsageError("register_table: the name " + table_name + " of " + table_schema.address.to_string() +
                         " is held by a" + (holder == "index" ? "n " : " ") + holder + ", not a table (" +
                         error.what() + ")");
    }
    for (const auto& index : table_schema.indexed) {
        create_index(table_name, index.column_name);
    }
    return {table_name, true};
}

std::string SqliteHistoricalTableSchemaService::object_type(const std::string& name) {
    const auto rows =
        sql_connection().execute("SELECT type FROM sqlite_master WHERE name = ? COLLATE NOCASE", {name})->fetchall();
    return rows.empty() || !rows[0].at(0).is_string() ? std::string() : rows[0].at(0).get<std::string>();
}

void SqliteHistoricalTableSchemaService::in_write_transaction(const std::function<void()>& work) {
    if (auto* sqlite = dynamic_cast<SqliteStateConnection*>(&sql_connection())) {
        sqlite->in_write_transaction(work);
    } else {
        work();
    }
}

void SqliteHistoricalTableSchemaService::unregister_table(const Address& address) {
    const std::string table_name = resolve_table_name(address);
    sql_connection().execute(_build_drop_table_statement(table_name));
}

std::string SqliteHistoricalTableSchemaService::resolve_table_name(const Address& address) {
    return versioned_table_name(address);
}

Statement SqliteHistoricalTableSchemaService::_build_select_table_name_statement(const std::string& table_name) const {
    return {"PRAGMA table_info(" + backtick_quote(table_name) + ")", {}};
}

void SqliteHistoricalTableSchemaService::create_index(const std::string& table_name, const std::string& column_name) {
    try {
        sql_connection().execute(_build_create_index_statement(table_name, column_name + "_idx", {column_name}));
    } catch (const SqliteError&) {
        // Tables and indexes share one namespace: a class table may carry the name this index
        // would get (table a_v_1__b_idx beside table a_v_1 indexing b). The index then takes a
        // name of its own rather than leaving the new table without it.
        const std::string holder = object_type(sqlite_index_name(table_name, column_name + "_idx"));
        if (holder.empty() || holder == "index") throw;
        char suffix[10];
        std::snprintf(suffix, sizeof suffix, "_%08x", static_cast<unsigned>(fnv1a_32(table_name + '\0' + column_name)));
        sql_connection().execute(
            _build_create_index_statement(table_name, column_name + "_idx" + suffix, {column_name}));
    }
}

void SqliteHistoricalTableSchemaService::create_table(const std::string& table_name, const TableSchema& table_schema,
                                                      bool is_internal_table) {
    sql_connection().execute(_build_create_table_statement(table_name, table_schema, is_internal_table, true));
}

void SqliteHistoricalTableSchemaService::register_internal_tables() {
    for (const auto& table_schema : _build_internal_table_schemas()) {
        // Found and brought up to date in one transaction: two processes must not both add a
        // column they both found missing.
        in_write_transaction([&] {
            const auto [table_name, created] = register_table(table_schema, true);
            if (!created) update_internal_table(table_schema);
        });
    }
}

void SqliteHistoricalTableSchemaService::update_internal_table(const TableSchema& table_schema) {
    in_write_transaction([&] {
        const std::string table_name = resolve_table_name(table_schema.address);
        const std::vector<SqlTableColumn> columns = _get_table_columns(table_name);
        for (const auto& statement : _build_update_table_statements(table_name, table_schema, columns, true)) {
            sql_connection().execute(statement);
        }
    });
}

std::vector<SqlTableColumn> SqliteHistoricalTableSchemaService::_get_table_columns(const std::string& table_name) {
    const Statement probe = _build_select_table_name_statement(table_name);
    const auto cursor = sql_connection().execute(probe.text, probe.params);
    const auto& description = cursor->description();
    std::vector<SqlTableColumn> columns;
    for (const auto& row : cursor->fetchall()) {
        if (row.size() != description.size()) {
            throw Error("table_info of " + table_name + " returned a row of " +
                                     std::to_string(row.size()) + " values for " +
                                     std::to_string(description.size()) + " result columns");
        }
        SqlTableColumn::Fields fields;
        for (std::size_t position = 0; position < row.size(); ++position) {
            fields.emplace_back(description[position].name, row[position]);
        }
        columns.push_back(SqlTableColumn::from_fields(fields));
    }
    return columns;
}

std::vector<TableSchema> SqliteHistoricalTableSchemaService::_build_internal_table_schemas() const {
    return sql_internal_table_schemas();
}

}  // namespace korvex

KORVEX_MODULE_ENTRY {
    registry.add_class("SqliteHistoricalTableSchemaService", [](const korvex::ConstructionArgs& args) {
        auto* connection = dynamic_cast<korvex::SqliteStateConnection*>(args.connection);
        if (connection == nullptr) {
            throw korvex::UsageError(
                "SqliteHistoricalTableSchemaService needs a SqliteStateConnection as its connection");
        }
        return std::unique_ptr<korvex::Object>(
            std::make_unique<korvex::SqliteHistoricalTableSchemaService>(*connection));
    });
}
