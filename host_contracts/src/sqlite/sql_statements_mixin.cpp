#include "korvex/error.hpp"
#include "korvex/sqlite/sql_statements_mixin.hpp"

#include "korvex/table_schemas/constants.hpp"
#include "korvex/utils/sql_identifier.hpp"
#include "korvex/utils/text.hpp"
#include "korvex/utils/named_logger.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

namespace korvex {
namespace {

std::shared_ptr<spdlog::logger> mixin_logger() { return named_logger(SqlStatementsMixin::LOGGER_NAME); }

std::string quoted_text(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

// The default as SQLite literal text; what ALTER TABLE ADD COLUMN accepts as well (no
// parenthesised expressions).
std::string default_literal(const std::string& column_name, const Value& value) {
    switch (value.type()) {
        case Value::value_t::boolean:
            return value.get<bool>() ? "1" : "0";
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
            return value.dump();
        case Value::value_t::number_float:
            if (!std::isfinite(value.get<double>())) {
                throw UsageError("the default of column " + column_name + " is not a finite number");
            }
            return value.dump();
        case Value::value_t::string:
            return quoted_text(value.get<std::string>());
        case Value::value_t::object:
        case Value::value_t::array:
            return quoted_text(json_text(value, false));
        case Value::value_t::binary: {
            static constexpr char HEX[] = "0123456789ABCDEF";
            std::string literal = "X'";
            for (std::uint8_t byte : value.get_binary()) {
                literal += HEX[byte >> 4];
                literal += HEX[byte & 0x0F];
            }
            return literal + "'";
        }
        default:
            throw UsageError("the default of column " + column_name + " has no SQL literal");
    }
}

std::string column_definition(const TableColumnSchema& column) {
    std::string definition = backtick_quote(column.name) + " " + sqlite_column_type(column.type);
    if (!column.nullable) definition += " NOT NULL";
    if (!column.default_value.is_null()) definition += " DEFAULT " + default_literal(column.name, column.default_value);
    return definition;
}

// A versioned table holds many rows per object, one per version.
bool keyed_by_version(bool is_internal_table, bool is_historical_table) {
    return is_historical_table && !is_internal_table;
}

bool is_key_column(const std::string& lowered_name) {
    return lowered_name == PRIMARY_PARTITION_KEY || lowered_name == SECONDARY_PARTITION_KEY;
}

// Declared columns checked for what SQLite would reject later, with their lower-cased names.
std::set<std::string> declared_names(const std::string& table_name, const TableSchema& table_schema) {
    std::set<std::string> names;
    for (const auto& column : table_schema.columns) {
        const std::string lowered = to_lower(column.name);
        if (is_key_column(lowered)) {
            throw UsageError("table " + table_name + ": column " + column.name +
                                        " is reserved for the key of every table");
        }
        if (!names.insert(lowered).second) {
            throw UsageError("table " + table_name + ": column " + column.name + " is declared twice");
        }
    }
    return names;
}

}  // namespace

std::string sqlite_index_name(const std::string& table_name, const std::string& index_name) {
    const bool ordinary = table_name.find("__") == std::string::npos && !table_name.ends_with('_') &&
                          index_name.ends_with("_idx");
    if (ordinary) return table_name + "__" + index_name;
    return table_name + "__" + index_name + "_" + std::to_string(table_name.size());
}

std::string sqlite_column_type(const ColumnType& type) {
    if (const auto* kind = std::get_if<ValueKind>(&type)) {
        switch (*kind) {
            case ValueKind::TEXT: return "TEXT";
            case ValueKind::BOOLEAN: return "BOOLEAN";
            case ValueKind::FLOAT: return "REAL";
            case ValueKind::INTEGER: return "INTEGER";
            case ValueKind::MAPPING:
            case ValueKind::SEQUENCE: return "JSON";
        }
    }
    // Struct and array models are stored as their JSON text.
    return "JSON";
}

std::string SqlStatementsMixin::_build_create_table_statement(const std::string& table_name,
                                                              const TableSchema& table_schema, bool is_internal_table,
                                                              bool is_historical_table) {
    const std::string table = backtick_quote(table_name);
    const std::set<std::string> names = declared_names(table_name, table_schema);
    const bool versioned = keyed_by_version(is_internal_table, is_historical_table);

    std::string statement = "CREATE TABLE " + table + " (" + backtick_quote(PRIMARY_PARTITION_KEY) + " TEXT NOT NULL";
    if (versioned) statement += ", " + backtick_quote(SECONDARY_PARTITION_KEY) + " TEXT NOT NULL";
    for (const auto& column : table_schema.columns) {
        statement += ", " + column_definition(column);
    }
    statement += ", PRIMARY KEY (" + backtick_quote(PRIMARY_PARTITION_KEY);
    if (versioned) statement += ", " + backtick_quote(SECONDARY_PARTITION_KEY);
    statement += ")";

    for (const auto& unique_column : table_schema.unique_columns) {
        if (names.count(to_lower(unique_column)) == 0) {
            throw UsageError("table " + table_name + ": unique column " + unique_column +
                                        " is not among its columns");
        }
        if (versioned) continue;
        statement += ", UNIQUE (" + backtick_quote(unique_column) + ")";
    }
    if (versioned && !table_schema.unique_columns.empty()) {
        // The versions of one object share their values, so a UNIQUE constraint would refuse
        // the second version of every object.
        mixin_logger()->warn("table {}: unique columns are not enforced in a versioned table", table_name);
    }
    return statement + ")";
}

std::string SqlStatementsMixin::_build_create_index_statement(const std::string& table_name,
                                                              const std::string& index_name,
                                                              const std::vector<std::string>& columns) {
    if (index_name.empty()) throw UsageError("table " + table_name + ": an index needs a name");
    if (columns.empty()) throw UsageError("index " + index_name + " needs at least one column");
    std::string column_list;
    for (const auto& column : columns) {
        column_list += (column_list.empty() ? "" : ", ") + backtick_quote(column);
    }
    return "CREATE INDEX " + backtick_quote(sqlite_index_name(table_name, index_name)) + " ON " + backtick_quote(table_name) +
           " (" + column_list + ")";
}

std::string SqlStatementsMixin::_build_drop_table_statement(const std::string& table_name) {
    return "DROP TABLE IF EXISTS " + backtick_quote(table_name);
}

std::vector<std::string> SqlStatementsMixin::_build_update_table_statements(
    const std::string& table_name, const TableSchema& table_schema, const std::vector<SqlTableColumn>& existing_columns,
    bool /*is_internal_table*/) {
    const std::string table = backtick_quote(table_name);
    if (existing_columns.empty()) {
        throw UsageError("table " + table_name + " has no columns (it does not exist); create it first");
    }
    const std::set<std::string> declared = declared_names(table_name, table_schema);
    std::map<std::string, const SqlTableColumn*> existing;
    for (const auto& column : existing_columns) existing.emplace(to_lower(column.name), &column);

    std::vector<const TableColumnSchema*> missing;
    for (const auto& column : table_schema.columns) {
        auto found = existing.find(to_lower(column.name));
        if (found == existing.end()) {
            if (!column.nullable && column.default_value.is_null()) {
                throw UsageError("table " + table_name + ": column " + column.name +
                                            " is not nullable and has no default, so it cannot be added to an "
                                            "existing table");
            }
            missing.push_back(&column);
            continue;
        }
        const std::string declared_type = sqlite_column_type(column.type);
        if (to_lower(found->second->type) != to_lower(declared_type)) {
            mixin_logger()->warn("table {}: column {} is declared {} but stored as {}; kept as it is with its data",
                                 table_name, column.name, declared_type, found->second->type);
        }
    }
    for (const auto& column : existing_columns) {
        const std::string lowered = to_lower(column.name);
        if (!is_key_column(lowered) && declared.count(lowered) == 0) {
            mixin_logger()->warn("table {}: column {} is no longer declared; kept with its data", table_name,
                                 column.name);
        }
    }

    std::vector<std::string> statements;
    for (const auto* column : missing) {
        statements.push_back("ALTER TABLE " + table + " ADD COLUMN " + column_definition(*column));
    }
    for (const auto& index : table_schema.indexed) {
        for (const auto* column : missing) {
            if (to_lower(column->name) == to_lower(index.column_name)) {
                statements.push_back(
                    _build_create_index_statement(table_name, index.column_name + "_idx", {index.column_name}));
            }
        }
    }
    return statements;
}

}  // namespace korvex
