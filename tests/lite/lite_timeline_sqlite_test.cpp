// The SQLite table-schema service against real SQLite files.
#include "korvex_data/table_schemas/implementations/lite_timeline.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/sqlite/sqlite_state.hpp"

#include "log_capture.hpp"
#include "recording_connection.hpp"
#include "temp_database.hpp"

#include <gtest/gtest.h>

using korvex::Address;
using korvex::ClassVersionManager;
using korvex::Row;
using korvex::SqliteHistoricalTableSchemaService;
using korvex::SqliteStateConnection;
using korvex::TableSchema;
using korvex::Value;
using korvex::ValueKind;
using Names = std::vector<std::string>;

namespace {

class LiteTimelineSqlite : public ::testing::Test {
protected:
    void TearDown() override { ClassVersionManager::clear(); }

    // Names of the tables (or indexes) in the file, sorted.
    Names schema_objects(const std::string& type, const std::string& table = "") {
        std::string query = "SELECT name FROM sqlite_master WHERE type = ?";
        std::vector<Value> params = {type};
        if (!table.empty()) {
            query += " AND tbl_name = ?";
            params.push_back(table);
        }
        Names names;
        for (const auto& row : connection.execute(query + " ORDER BY name", params)->fetchall()) {
            names.push_back(row[0].get<std::string>());
        }
        return names;
    }

    // Column names of a table, in column order.
    Names columns_of(const std::string& table) {
        Names names;
        for (const auto& column : service._get_table_columns(table)) names.push_back(column.name);
        return names;
    }

    // Indexed column of each index declared on the table, by index name.
    std::map<std::string, std::string> indexed_columns(const std::string& table) {
        std::map<std::string, std::string> columns;
        for (const auto& index : schema_objects("index", table)) {
            if (index.rfind("sqlite_autoindex_", 0) == 0) continue;  // backs the primary key
            auto info = connection.execute("SELECT name FROM pragma_index_info(?)", {index})->fetchall();
            columns[index] = info.size() == 1 ? info[0][0].get<std::string>() : "?";
        }
        return columns;
    }

    TempDatabase database;
    SqliteStateConnection connection{database.path()};
    SqliteHistoricalTableSchemaService service{connection};
};

TableSchema person_schema(const std::string& address) {
    return {Address::from_string(address),
            {{"name", ValueKind::TEXT, nullptr, true}, {"age", ValueKind::INTEGER, nullptr, true}},
            {{"name"}},
            {}};
}

}  // namespace

TEST_F(LiteTimelineSqlite, InternalTablesAreCreatedWithTheMetadataIndexes) {
    service.register_internal_tables();
    EXPECT_EQ(schema_objects("table"), (Names{"metadata", "reference", "transaction"}));
    EXPECT_EQ(indexed_columns("metadata"), (std::map<std::string, std::string>{
                                               {"metadata__is_deleted_idx", "is_deleted"},
                                               {"metadata__object_id_idx", "object_id"},
                                               {"metadata__object_version_idx", "object_version"},
                                               {"metadata__prior_version_idx", "prior_version"},
                                               {"metadata__updated_at_idx", "updated_at"},
                                           }));
    // sqlite_autoindex_* backs each table's primary key; nothing else is indexed.
    EXPECT_EQ(schema_objects("index", "reference"), (Names{"sqlite_autoindex_reference_1"}));
    EXPECT_EQ(schema_objects("index", "transaction"), (Names{"sqlite_autoindex_transaction_1"}));
    EXPECT_EQ(columns_of("transaction"), (Names{"partition_key", "address", "label", "tags", "started_at", "ended_at"}));

    // A metadata row written without is_deleted is not deleted.
    connection.execute("INSERT INTO metadata (partition_key, object_id) VALUES (?, ?)", {"p-1@1", "p-1"});
    EXPECT_EQ(connection.execute("SELECT is_deleted FROM metadata")->fetchall(), (std::vector<Row>{{false}}));
}

TEST_F(LiteTimelineSqlite, SecondRegistrationOnlyProbes) {
    service.register_internal_tables();
    const auto schema_before = connection.execute("SELECT sql FROM sqlite_master ORDER BY name")->fetchall();

    RecordingConnection recorder(connection);
    SqliteHistoricalTableSchemaService again(recorder);
    again.register_internal_tables();
    ASSERT_EQ(recorder.statements.size(), 6u);
    for (const auto& statement : recorder.statements) {
        EXPECT_EQ(statement.rfind("PRAGMA table_info(", 0), 0u) << statement;
    }
    EXPECT_EQ(connection.execute("SELECT sql FROM sqlite_master ORDER BY name")->fetchall(), schema_before);
}

TEST_F(LiteTimelineSqlite, MissingInternalColumnsAreAddedAndRowsKeepTheirData) {
    // A metadata table from before prior_version and updated_at were declared, with a row and a
    // column no longer declared.
    connection.execute(
        "CREATE TABLE metadata (partition_key TEXT NOT NULL, address JSON, object_id TEXT, object_version TEXT, "
        "class_schema_reference JSON, class_meta_schema_reference JSON, `transaction` JSON, class_schema_type TEXT, "
        "is_deleted BOOLEAN NOT NULL DEFAULT 0, created_at REAL, legacy TEXT, PRIMARY KEY (partition_key))");
    connection.execute(
        "INSERT INTO metadata (partition_key, address, object_id, object_version, created_at, legacy) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {"p-1@1", Value::object({{"object_id", "p-1"}}), "p-1", "1", 12.5, "old note"});

    LogCapture log(korvex::SqlStatementsMixin::LOGGER_NAME);
    service.register_internal_tables();

    EXPECT_EQ(columns_of("metadata"),
              (Names{"partition_key", "address", "object_id", "object_version", "class_schema_reference",
                     "class_meta_schema_reference", "transaction", "class_schema_type", "is_deleted", "created_at",
                     "legacy", "prior_version", "updated_at"}));
    const auto rows =
        connection.execute("SELECT partition_key, address, object_id, created_at, legacy, prior_version, updated_at "
                           "FROM metadata")
            ->fetchall();
    EXPECT_EQ(rows, (std::vector<Row>{{"p-1@1", Value::object({{"object_id", "p-1"}}), "p-1", 12.5, "old note",
                                       nullptr, nullptr}}));
    EXPECT_TRUE(log.logged({"metadata", "legacy", "kept"}));

    // The new indexed columns got their indexes; the old ones were not re-created.
    const auto indexes = indexed_columns("metadata");
    EXPECT_EQ(indexes.count("metadata__updated_at_idx"), 1u);
    EXPECT_EQ(indexes.count("metadata__prior_version_idx"), 1u);
    EXPECT_EQ(indexes.count("metadata__object_id_idx"), 0u);

    // The other two tables did not exist and were created.
    EXPECT_EQ(schema_objects("table"), (Names{"metadata", "reference", "transaction"}));
}

TEST_F(LiteTimelineSqlite, RegisterCreatesOnceAndUnregisterDrops) {
    const TableSchema schema = person_schema("app#Person@1");
    EXPECT_EQ(service.register_table(schema), std::make_pair(std::string("person_v_1"), true));
    EXPECT_EQ(service.register_table(schema), std::make_pair(std::string("person_v_1"), false));
    EXPECT_EQ(columns_of("person_v_1"), (Names{"partition_key", "range_key", "name", "age"}));

    // Versions of one object are separate rows; one version cannot be written twice.
    connection.execute("INSERT INTO person_v_1 (partition_key, range_key, name) VALUES ('p-1', '1', 'Ann')");
    connection.execute("INSERT INTO person_v_1 (partition_key, range_key, name) VALUES ('p-1', '2', 'Ann B')");
    EXPECT_THROW(connection.execute("INSERT INTO person_v_1 (partition_key, range_key) VALUES ('p-1', '2')"),
                 korvex::SqliteError);

    service.unregister_table(Address::from_string("app#Person@1"));
    EXPECT_TRUE(schema_objects("table").empty());
    EXPECT_TRUE(schema_objects("index").empty()) << "the indexes went with the table";
    EXPECT_NO_THROW(service.unregister_table(Address::from_string("app#Person@1")));
}

TEST_F(LiteTimelineSqlite, TwoVersionsOfAClassEachKeepTheirIndex) {
    service.register_table(person_schema("app#Person@1"));
    service.register_table(person_schema("app#Person@2"));
    EXPECT_EQ(indexed_columns("person_v_1"), (std::map<std::string, std::string>{{"person_v_1__name_idx", "name"}}));
    EXPECT_EQ(indexed_columns("person_v_2"), (std::map<std::string, std::string>{{"person_v_2__name_idx", "name"}}));
}

// Index names are database-wide: every (table, column) pair gets its own, including pairs whose
// plain "<table>__<column>_idx" would be equal.
TEST_F(LiteTimelineSqlite, IndexNamesAreDistinctForDistinctTablesAndColumns) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"app#Ix@x", "y__c"}, {"app#Ix@x__y", "c"}, {"app#Ix@x_", "_y__c"}, {"app#Ix@x__", "y__c"}};
    for (const auto& [address, column] : pairs) {
        TableSchema schema{Address::from_string(address), {{column, ValueKind::TEXT, nullptr, true}}, {{column}}, {}};
        EXPECT_TRUE(service.register_table(schema).second) << address;
    }
    for (const auto& [address, column] : pairs) {
        const auto indexes = indexed_columns(service.resolve_table_name(Address::from_string(address)));
        ASSERT_EQ(indexes.size(), 1u) << address;
        EXPECT_EQ(indexes.begin()->second, column);
    }
    EXPECT_EQ(indexed_columns("ix_v_x"), (std::map<std::string, std::string>{{"ix_v_x__y__c_idx", "y__c"}}));
}

TEST_F(LiteTimelineSqlite, ResolvesTableNames) {
    ClassVersionManager::register_class_version("order_line", "1");
    ClassVersionManager::register_class_version("order_line", "7B");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#person")), "person");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Person@ABC12")), "person_v_abc12");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#order_line@LATEST")), "orderline_v_7b");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Transaction@3")), "transaction");
    Address empty_version = Address::from_string("app#Person");
    empty_version.class_version = korvex::Version("");
    EXPECT_EQ(service.resolve_table_name(empty_version), "person");

    // The latest version is asked for on every call, never remembered.
    ClassVersionManager::register_class_version("order_line", "8");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#order_line@LATEST")), "orderline_v_8");
}

TEST_F(LiteTimelineSqlite, BacktickInATableNameCannotBreakOut) {
    service.register_internal_tables();
    Address hostile = Address::from_string("app#Person@1`(x);DROP TABLE metadata;--");
    const std::string table_name = service.resolve_table_name(hostile);
    ASSERT_NE(table_name.find('`'), std::string::npos);

    TableSchema schema = person_schema("app#Person");
    schema.address = hostile;
    EXPECT_EQ(service.register_table(schema), std::make_pair(table_name, true));
    EXPECT_EQ(service.register_table(schema), std::make_pair(table_name, false));
    EXPECT_EQ(columns_of(table_name), (Names{"partition_key", "range_key", "name", "age"}));
    EXPECT_EQ(schema_objects("table"), (Names{"metadata", table_name, "reference", "transaction"}));

    service.unregister_table(hostile);
    EXPECT_EQ(schema_objects("table"), (Names{"metadata", "reference", "transaction"}));
}

// A class whose name lowers differently by Unicode's rules than by A to Z alone gets the new
// name; a table under the former spelling is refused with both names, never duplicated.
TEST_F(LiteTimelineSqlite, TableUnderTheFormerSpellingIsRefusedNotDuplicated) {
    const TableSchema schema = person_schema("app#Äpfel@1");
    EXPECT_EQ(service.register_table(schema), std::make_pair(std::string("äpfel_v_1"), true));
    EXPECT_EQ(schema_objects("table"), (Names{"äpfel_v_1"}));

    connection.execute("DROP TABLE `äpfel_v_1`");
    connection.execute("CREATE TABLE `Äpfel_v_1` (partition_key TEXT)");
    try {
        service.register_table(schema);
        ADD_FAILURE() << "registered beside the former table";
    } catch (const korvex::UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("named äpfel_v_1"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("named Äpfel_v_1"), std::string::npos) << error.what();
    }
    EXPECT_EQ(schema_objects("table"), (Names{"Äpfel_v_1"}));
}
