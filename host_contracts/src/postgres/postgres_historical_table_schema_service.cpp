// PostgresHistoricalTableSchemaService: table names, versioned and internal tables of the
// PostgreSQL historical store, created through the connection the host supplies.

#include "korvex/postgres/postgres_historical_table_schema_service.hpp"

#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/table_schemas/internal_tables.hpp"
#include "korvex/utils/fnv1a.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <type_traits>

namespace korvex {
namespace {

// The internal tables that are keyed by identity alone (the connection's put and _delete apply
// the same suffix test to the resolved name).
bool keyed_by_identity_only(const std::string& table_name) {
    return table_name.ends_with("metadata") || table_name.ends_with("reference");
}

std::string sql_type(const ColumnType& type) {
    if (const auto* kind = std::get_if<ValueKind>(&type)) {
        switch (*kind) {
            case ValueKind::TEXT: return "text";
            case ValueKind::BOOLEAN: return "boolean";
            case ValueKind::FLOAT: return "double precision";
            case ValueKind::INTEGER: return "bigint";
            case ValueKind::MAPPING:
            case ValueKind::SEQUENCE: return "json";
        }
    }
    return "json";  // struct and array models
}

bool is_kind(const ColumnType& type, ValueKind kind) {
    const auto* held = std::get_if<ValueKind>(&type);
    return held != nullptr && *held == kind;
}

// A column default as an SQL literal of the column's type.
std::string default_literal(const Value& value, const ColumnType& type) {
    if (is_kind(type, ValueKind::BOOLEAN) && (value.is_boolean() || value.is_number())) {
        const bool truth = value.is_boolean() ? value.get<bool>() : value.get<double>() != 0;
        return truth ? "true" : "false";
    }
    switch (value.type()) {
        case Value::value_t::boolean:
            return value.get<bool>() ? "true" : "false";
        case Value::value_t::number_float: {
            const double number = value.get<double>();
            if (std::isnan(number)) return "'NaN'";
            if (std::isinf(number)) return number > 0 ? "'Infinity'" : "'-Infinity'";
            return value.dump();
        }
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
            return value.dump();
        case Value::value_t::string:
            return quote_sql_literal(value.get<std::string>());
        default:
            return quote_sql_literal(json_text(value));
    }
}

std::string column_definition(const TableColumnSchema& column) {
    std::string definition = quote_postgres_identifier(column.name) + " " + sql_type(column.type);
    if (!column.default_value.is_null()) {
        definition += " DEFAULT " + default_literal(column.default_value, column.type);
    }
    if (!column.nullable) {
        definition += " NOT NULL";
    }
    return definition;
}

struct IndexDefinition {
    std::vector<std::string> columns;
};

// The indexes a new table gets: partition_key on the tables keyed by identity alone (the
// primary key covers it on the others), one per indexed column, and on the metadata table the
// two pairs that the latest-version sub-select and the join probe.
std::vector<IndexDefinition> indexes_of(const std::string& table_name, const TableSchema& table_schema) {
    std::vector<IndexDefinition> indexes;
    if (keyed_by_identity_only(table_name)) {
        indexes.push_back({{PRIMARY_PARTITION_KEY}});
    }
    for (const auto& index : table_schema.indexed) {
        indexes.push_back({{index.column_name}});
    }
    if (table_name == "metadata") {
        indexes.push_back({{"object_id", "object_version"}});
        // The successor's version too, so that the latest-version condition and next_version are
        // answered from the index alone.
        indexes.push_back({{"object_id", "prior_version", "object_version"}});
    }
    return indexes;
}

// PostgreSQL cuts a long index name to 63 bytes, and IF NOT EXISTS would then skip the index of
// a second table whose name shares those bytes. A long name keeps a prefix and ends with a hash
// of the whole name instead.
std::string index_name(const std::string& full_name) {
    if (full_name.size() <= POSTGRES_IDENTIFIER_MAX_BYTES) return full_name;
    char suffix[18];
    std::snprintf(suffix, sizeof suffix, "_%016llx", static_cast<unsigned long long>(fnv1a_64(full_name)));
    std::size_t keep = POSTGRES_IDENTIFIER_MAX_BYTES - std::strlen(suffix);
    // Never cut a UTF-8 character in two.
    while (keep > 0 && (static_cast<unsigned char>(full_name[keep]) & 0xC0) == 0x80) --keep;
    return full_name.substr(0, keep) + suffix;
}

// `<table>_<column>..._idx`, or with `distinct` a name of this table and these columns alone,
// for when another relation already holds the plain one (table a_v_1_b_idx beside table a_v_1
// indexing b, or table a_v_1_b indexing c beside a_v_1 indexing b_c).
std::string index_name_of(const std::string& table_name, const IndexDefinition& index, bool distinct) {
    std::string name = table_name;
    std::string identity = table_name;
    for (const auto& column : index.columns) {
        name += "_" + column;
        identity += '\0' + column;
    }
    if (!distinct) return index_name(name + "_idx");
    char suffix[14];
    std::snprintf(suffix, sizeof suffix, "_idx_%08x", static_cast<unsigned>(fnv1a_32(identity)));
    return index_name(name + suffix);
}

std::string create_index_statement(const std::string& table_name, const IndexDefinition& index,
                                   const std::string& name) {
    std::string columns;
    for (const auto& column : index.columns) {
        columns += (columns.empty() ? "" : ", ") + quote_postgres_identifier(column);
    }
    return "CREATE INDEX IF NOT EXISTS " + quote_postgres_identifier(name) + " ON " +
           quote_postgres_identifier(table_name) + " (" + columns + ")";
}

std::string create_table_statement(const std::string& table_name, const TableSchema& table_schema) {
    const bool versioned = !keyed_by_identity_only(table_name);
    std::string definitions = quote_postgres_identifier(PRIMARY_PARTITION_KEY) + " text NOT NULL";
    if (versioned) {
        definitions += ", " + quote_postgres_identifier(SECONDARY_PARTITION_KEY) + " text NOT NULL";
    }
    for (const auto& column : table_schema.columns) {
        if (column.name == PRIMARY_PARTITION_KEY || column.name == SECONDARY_PARTITION_KEY) continue;
        definitions += ", " + column_definition(column);
    }
    if (versioned) {
        definitions += ", PRIMARY KEY (" + quote_postgres_identifier(PRIMARY_PARTITION_KEY) + ", " +
                       quote_postgres_identifier(SECONDARY_PARTITION_KEY) + ")";
    }
    return "CREATE TABLE " + quote_postgres_identifier(table_name) + " (" + definitions + ")";
}

// The relation a name finds through the search path, read from the catalogue as the statement's
// snapshot sees it. Inside a transaction the server's own look-up of names (to_regclass) may still
// miss a table that another session committed while this one waited for a lock.
const std::string RELATION_OF_NAME =
    "SELECT c.oid, c.relkind FROM unnest(current_schemas(true)) WITH ORDINALITY AS s(name, position)"
    " JOIN pg_namespace AS n ON n.nspname = s.name JOIN pg_class AS c ON c.relnamespace = n.oid AND c.relname = %s"
    " ORDER BY s.position LIMIT 1";

// The kind (pg_class.relkind) of the relation the name finds, or nothing.
std::optional<std::string> relation_kind(SqlConnection& connection, const std::string& table_name) {
    const auto row = connection.execute("SELECT relkind FROM (" + RELATION_OF_NAME + ") AS found", {Value(table_name)})
                         ->fetchone();
    if (!row || row->empty() || !row->front().is_string()) return std::nullopt;
    return row->front().get<std::string>();
}

// Serialises creating one table (its indexes included) and adding columns to it among every
// session of the database, for as long as it lives. Without it, sessions that all found the table
// missing each send CREATE TABLE, and all but one fail: IF NOT EXISTS does not help, since the
// loser of the race trips over the catalogue's unique index (on the table's row type) instead.
//
// The lock must last until the creation is visible to the others, that is until it commits.
// Inside the host's transaction that is the transaction's end, which only a transaction-level
// lock (pg_advisory_xact_lock) covers: a session-level one released here would let the next
// session in before the commit, and one left held could never be released after a failure (an
// aborted transaction runs no statement). Outside a transaction every statement commits by
// itself, so a transaction-level lock ends with the statement that took it: there a
// session-level lock (pg_advisory_lock) is taken, and released when this object goes, whatever
// happened in between (a failed statement aborts nothing there). The service never begins or ends
// a transaction and cannot ask the connection whether one is open, so the server tells: the
// transaction-level lock is taken first, and when the next statement no longer sees it held, no
// transaction block kept it and the session-level lock is taken.
class CreationLock {
public:
    CreationLock(SqlConnection& connection, const std::string& table_name) : connection_(connection) {
        const std::uint64_t key = fnv1a_64("korvex table " + table_name);
        key_ = static_cast<std::int64_t>(key);
        connection_.execute("SELECT pg_advisory_xact_lock(%s::bigint)", {Value(key_)});
        const auto row =
            connection_
                .execute("SELECT CASE WHEN EXISTS (SELECT FROM pg_locks WHERE locktype = 'advisory' AND"
                         " pid = pg_backend_pid() AND classid = %s::oid AND objid = %s::oid AND objsubid = 1"
                         " AND granted) THEN false ELSE (SELECT true FROM pg_advisory_lock(%s::bigint)) END",
                         {Value(std::to_string(key >> 32)), Value(std::to_string(key & 0xFFFFFFFFu)), Value(key_)})
                ->fetchone();
        session_level_ = row && !row->empty() && row->front() == true;
    }
    ~CreationLock() {
        if (!session_level_) return;
        try {
            connection_.execute("SELECT pg_advisory_unlock(%s::bigint)", {Value(key_)});
        } catch (...) {
            // Only a lost connection fails here, and the server released the lock with the session.
        }
    }
    CreationLock(const CreationLock&) = delete;
    CreationLock& operator=(const CreationLock&) = delete;

private:
    SqlConnection& connection_;
    std::int64_t key_ = 0;
    bool session_level_ = false;
};


// Before the table of `address` is made under `table_name`: a table under the name that only
// lowered A to Z would be a second table of the class, so it is refused instead (found the way
// register_table finds a table, through the search path). Nothing is sent for other names.
void refuse_former_table(SqlConnection& connection, const Address& address, const std::string& table_name) {
    const auto former = former_table_name(address);
    if (!former || former->size() > POSTGRES_IDENTIFIER_MAX_BYTES) return;
    const auto found = connection
                           .execute("SELECT count(*) FROM pg_class WHERE oid = to_regclass(quote_ident(%s))"
                                    " AND relkind IN ('r', 'p')",
                                    {Value(*former)})
                           ->fetchone();
    if (found && !found->empty() && found->front() != 0) throw former_table_name_error(address, table_name, *former);
}

}  // namespace

// The SQL stores' internal tables, with the metadata columns in the order in which the server's
// tables were first laid out (tables already created keep it; reads go by column name); a column
// that layout does not name follows in its declared order, as ALTER TABLE would add it. The
// metadata table is indexed by the identity pairs (indexes_of) instead of column by column.
std::vector<TableSchema> PostgresHistoricalTableSchemaService::internal_table_schemas() {
    static const std::vector<std::string> metadata_layout{
        "address", "object_id", "object_version", "prior_version", "class_schema_reference",
        "class_meta_schema_reference", "class_schema_type", "is_deleted", "created_at", "updated_at",
        "transaction"};
    std::vector<TableSchema> schemas = sql_internal_table_schemas();
    TableSchema& metadata = schemas.front();
    const auto position = [](const TableColumnSchema& column) {
        return std::ranges::find(metadata_layout, column.name) - metadata_layout.begin();
    };
    std::stable_sort(metadata.columns.begin(), metadata.columns.end(),
                     [&](const TableColumnSchema& a, const TableColumnSchema& b) { return position(a) < position(b); });
    metadata.indexed.clear();
    return schemas;
}

std::string PostgresHistoricalTableSchemaService::resolve_table_name(const Address& address) {
    return versioned_table_name(address);
}

bool PostgresHistoricalTableSchemaService::table_exists(const std::string& table_name) {
    check_sql_name(table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    auto cursor = connection_as<SqlConnection>().execute("SELECT to_regclass(quote_ident(%s)) IS NOT NULL",
                                                         {Value(table_name)});
    const auto row = cursor->fetchone();
    return row && !row->empty() && row->front() == true;
}

// Creates a missing table with its key columns, its columns and its indexes; an existing table
// is left as it is. Unique columns are not turned into constraints: a versioned table holds
// every version of an object, so a unique column would refuse a second version that keeps the
// value.
std::pair<std::string, bool> PostgresHistoricalTableSchemaService::register_table(const TableSchema& table_schema) {
    const std::string table_name = resolve_table_name(table_schema.address);
    // Refused before anything is sent: the server would look up, create or index a name cut to
    // its first 63 bytes, possibly another class's table.
    check_sql_name(table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    for (const auto& column : table_schema.columns) check_sql_name(column.name, POSTGRES_IDENTIFIER_MAX_BYTES);
    for (const auto& index : table_schema.indexed) check_sql_name(index.column_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    // Most calls find the table and take no lock. A missing one is looked for again under the
    // lock, as another session may have made it meanwhile; by a fresh read of the catalogue, since
    // inside a transaction the server's own look-up of names may still miss what others committed.
    std::optional<CreationLock> lock;
    std::optional<std::string> kind;
    auto& connection = connection_as<SqlConnection>();
    if (table_exists(table_name)) kind = relation_kind(connection, table_name);
    if (!kind) {
        lock.emplace(connection, table_name);
        kind = relation_kind(connection, table_name);
    }
    if (kind) {
        if (*kind != "r" && *kind != "p") {
            // An index (or view, or sequence) holds the name: the class has no table to write.
            throw UsageError("register_table: the name " + table_name + " of " + table_schema.address.to_string() +
                             " is held by an index or another relation that is not a table");
        }
        return {table_name, false};
    }
    refuse_former_table(connection_as<SqlConnection>(), table_schema.address, table_name);
    // Refused before the table is made: a failed index would leave the table registered without
    // it, and every later registration would find the table and add nothing.
    for (const auto& index : table_schema.indexed) {
        const std::string& name = index.column_name;
        const bool declared = name == PRIMARY_PARTITION_KEY || name == SECONDARY_PARTITION_KEY ||
                              std::any_of(table_schema.columns.begin(), table_schema.columns.end(),
                                          [&](const TableColumnSchema& c) { return c.name == name; });
        if (!declared) {
            throw UsageError("table " + table_name + ": indexed column " + name + " is not among its columns");
        }
    }
    connection.execute(create_table_statement(table_name, table_schema));
    for (const auto& index : indexes_of(table_name, table_schema)) {
        // The table is new, so a relation holding the index's name belongs to something else, and
        // IF NOT EXISTS would leave this table without its index.
        std::string name = index_name_of(table_name, index, false);
        if (table_exists(name)) name = index_name_of(table_name, index, true);
        connection.execute(create_index_statement(table_name, index, name));
    }
    return {table_name, true};
}

void PostgresHistoricalTableSchemaService::unregister_table(const Address& address) {
    connection_as<SqlConnection>().execute("DROP TABLE IF EXISTS " +
                                           quote_postgres_identifier(resolve_table_name(address)));
}

void PostgresHistoricalTableSchemaService::register_internal_tables() {
    for (const auto& table_schema : internal_table_schemas()) {
        const auto [table_name, is_created] = register_table(table_schema);
        if (!is_created) {
            update_internal_table(table_schema);
        }
    }
}

// Adds the declared columns that the existing table lacks; never drops or changes a column.
void PostgresHistoricalTableSchemaService::update_internal_table(const TableSchema& table_schema) {
    const std::string table_name = resolve_table_name(table_schema.address);
    check_sql_name(table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    auto& connection = connection_as<SqlConnection>();
    const std::string columns_statement = "SELECT attname FROM pg_attribute WHERE attrelid = (SELECT oid FROM (" +
                                          RELATION_OF_NAME + ") AS found) AND attnum > 0 AND NOT attisdropped";
    auto cursor = connection.execute(columns_statement, {Value(table_name)});
    auto missing = [&] {
        std::set<std::string> existing;
        for (const auto& row : cursor->fetchall()) existing.insert(row.at(0).get<std::string>());
        std::vector<const TableColumnSchema*> columns;
        for (const auto& column : table_schema.columns) {
            if (existing.count(column.name) == 0) columns.push_back(&column);
        }
        return columns;
    };
    auto columns = missing();
    if (columns.empty()) return;
    // Another session may be adding the same columns: read them again under the lock.
    const CreationLock lock(connection, table_name);
    cursor = connection.execute(columns_statement, {Value(table_name)});
    for (const auto* column : missing()) {
        connection.execute("ALTER TABLE " + quote_postgres_identifier(table_name) + " ADD COLUMN " +
                           column_definition(*column));
    }
}

}  // namespace korvex
