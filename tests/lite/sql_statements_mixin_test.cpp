#include "korvex/error.hpp"
#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/sqlite/sql_statements_mixin.hpp"

#include "log_capture.hpp"

#include <gtest/gtest.h>

using korvex::Address;
using korvex::SqlStatementsMixin;
using korvex::SqlTableColumn;
using korvex::TableColumnSchema;
using korvex::TableSchema;
using korvex::Value;
using korvex::ValueKind;

namespace {

TableSchema person_schema() {
    return {Address::from_string("app#Person@1"),
            {{"name", ValueKind::TEXT, nullptr, true},
             {"age", ValueKind::INTEGER, nullptr, true},
             {"tags", ValueKind::SEQUENCE, nullptr, true}},
            {{"name"}},
            {}};
}

SqlTableColumn existing(const std::string& name, const std::string& type) {
    SqlTableColumn column;
    column.name = name;
    column.type = type;
    return column;
}

}  // namespace

TEST(SqlStatementsMixin, VersionedTableIsKeyedByIdentityAndVersion) {
    SqlStatementsMixin mixin;
    EXPECT_EQ(mixin._build_create_table_statement("person_v_1", person_schema(), false, true),
              "CREATE TABLE `person_v_1` (`partition_key` TEXT NOT NULL, `range_key` TEXT NOT NULL, `name` TEXT, "
              "`age` INTEGER, `tags` JSON, PRIMARY KEY (`partition_key`, `range_key`))");
    // Internal and non-historical tables hold one row per identity.
    const std::string keyed_by_identity =
        "CREATE TABLE `person_v_1` (`partition_key` TEXT NOT NULL, `name` TEXT, `age` INTEGER, `tags` JSON, "
        "PRIMARY KEY (`partition_key`))";
    EXPECT_EQ(mixin._build_create_table_statement("person_v_1", person_schema(), true, true), keyed_by_identity);
    EXPECT_EQ(mixin._build_create_table_statement("person_v_1", person_schema(), false, false), keyed_by_identity);
}

TEST(SqlStatementsMixin, MapsTypesDefaultsAndNullability) {
    TableSchema schema{Address::from_string("app#Kinds"),
                       {{"map", ValueKind::MAPPING, Value::object({{"a", "it's"}}), true},
                        {"flag", ValueKind::BOOLEAN, false, false},
                        {"count", ValueKind::INTEGER, -1, false},
                        {"ratio", ValueKind::FLOAT, 0.5, true},
                        {"label", ValueKind::TEXT, "it's", true},
                        {"nested", korvex::make_nested({{"x", ValueKind::TEXT}}), nullptr, true},
                        {"list", korvex::make_array(ValueKind::INTEGER), nullptr, true}},
                       {},
                       {}};
    SqlStatementsMixin mixin;
    const std::string statement = mixin._build_create_table_statement("kinds", schema, true, true);
    EXPECT_EQ(statement,
              "CREATE TABLE `kinds` (`partition_key` TEXT NOT NULL, `map` JSON DEFAULT '{\"a\":\"it''s\"}', "
              "`flag` BOOLEAN NOT NULL DEFAULT 0, `count` INTEGER NOT NULL DEFAULT -1, `ratio` REAL DEFAULT 0.5, "
              "`label` TEXT DEFAULT 'it''s', `nested` JSON, `list` JSON, PRIMARY KEY (`partition_key`))");

    // SQLite accepts it and fills the defaults in.
    korvex::SqliteStateConnection connection(":memory:");
    connection.execute(statement);
    connection.execute("INSERT INTO kinds (partition_key) VALUES ('p')");
    const auto row = connection.execute("SELECT map, flag, count, ratio, label FROM kinds")->fetchall().at(0);
    EXPECT_EQ(row, (korvex::Row{Value::object({{"a", "it's"}}), false, -1, 0.5, "it's"}));

    TableSchema not_a_number = schema;
    not_a_number.columns[3].default_value = std::nan("");
    EXPECT_THROW(mixin._build_create_table_statement("kinds", not_a_number, true, true), korvex::UsageError);
}

TEST(SqlStatementsMixin, RefusesWhatCannotBecomeATableOrIndex) {
    SqlStatementsMixin mixin;
    TableSchema key_column = person_schema();
    key_column.columns.push_back({"Range_Key", ValueKind::TEXT, nullptr, true});
    EXPECT_THROW(mixin._build_create_table_statement("t", key_column, false, true), korvex::UsageError);

    TableSchema twice = person_schema();
    twice.columns.push_back({"NAME", ValueKind::TEXT, nullptr, true});
    EXPECT_THROW(mixin._build_create_table_statement("t", twice, false, true), korvex::UsageError);

    TableSchema unknown_unique = person_schema();
    unknown_unique.unique_columns = {"email"};
    EXPECT_THROW(mixin._build_create_table_statement("t", unknown_unique, true, true), korvex::UsageError);

    EXPECT_THROW(mixin._build_create_table_statement("", person_schema(), false, true), korvex::UsageError);
    EXPECT_THROW(mixin._build_create_index_statement("t", "none_idx", {}), korvex::UsageError);
}

TEST(SqlStatementsMixin, UniqueColumnsHoldWhereEachObjectHasOneRow) {
    SqlStatementsMixin mixin;
    TableSchema schema = person_schema();
    schema.unique_columns = {"name"};
    EXPECT_NE(mixin._build_create_table_statement("people", schema, true, true).find(", UNIQUE (`name`))"),
              std::string::npos);

    // Versions of one object share their values; a UNIQUE constraint would refuse the second one.
    LogCapture log(SqlStatementsMixin::LOGGER_NAME);
    const std::string versioned = mixin._build_create_table_statement("person_v_1", schema, false, true);
    EXPECT_EQ(versioned.find("UNIQUE"), std::string::npos);
    EXPECT_TRUE(log.logged({"person_v_1", "unique columns are not enforced"}));
}

TEST(SqlStatementsMixin, UpdateAddsOnlyTheMissingColumnsAndTheirIndexes) {
    SqlStatementsMixin mixin;
    TableSchema schema = person_schema();
    schema.columns.push_back({"score", ValueKind::FLOAT, 0, false});
    schema.indexed.push_back({"score"});
    const std::vector<SqlTableColumn> columns = {existing("partition_key", "TEXT"), existing("range_key", "TEXT"),
                                                 existing("NAME", "text"), existing("tags", "JSON")};
    EXPECT_EQ(mixin._build_update_table_statements("person_v_1", schema, columns, false),
              (std::vector<std::string>{
                  "ALTER TABLE `person_v_1` ADD COLUMN `age` INTEGER",
                  "ALTER TABLE `person_v_1` ADD COLUMN `score` REAL NOT NULL DEFAULT 0",
                  "CREATE INDEX `person_v_1__score_idx` ON `person_v_1` (`score`)",
              }));

    const std::vector<SqlTableColumn> up_to_date = {existing("partition_key", "TEXT"), existing("range_key", "TEXT"),
                                                    existing("name", "TEXT"), existing("age", "INTEGER"),
                                                    existing("tags", "JSON")};
    EXPECT_TRUE(mixin._build_update_table_statements("person_v_1", person_schema(), up_to_date, false).empty());
}

TEST(SqlStatementsMixin, UpdateKeepsUndeclaredAndRetypedColumnsAndSaysSo) {
    SqlStatementsMixin mixin;
    LogCapture log(SqlStatementsMixin::LOGGER_NAME);
    const std::vector<SqlTableColumn> columns = {existing("partition_key", "TEXT"), existing("range_key", "TEXT"),
                                                 existing("name", "TEXT"), existing("age", "TEXT"),
                                                 existing("tags", "JSON"), existing("nickname", "TEXT")};
    EXPECT_TRUE(mixin._build_update_table_statements("person_v_1", person_schema(), columns, false).empty());
    EXPECT_TRUE(log.logged({"person_v_1", "nickname", "no longer declared", "kept"}));
    EXPECT_TRUE(log.logged({"person_v_1", "age", "declared INTEGER but stored as TEXT", "kept"}));
    EXPECT_FALSE(log.logged({"partition_key"})) << "the key columns are never declared and never reported";
}

TEST(SqlStatementsMixin, UpdateRefusesWhatSqliteCouldNotAdd) {
    SqlStatementsMixin mixin;
    TableSchema schema = person_schema();
    schema.columns.push_back({"required", ValueKind::TEXT, nullptr, false});
    const std::vector<SqlTableColumn> columns = {existing("partition_key", "TEXT"), existing("name", "TEXT")};
    try {
        mixin._build_update_table_statements("person_v_1", schema, columns, false);
        FAIL() << "a NOT NULL column without default was accepted";
    } catch (const korvex::UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("required"), std::string::npos) << error.what();
    }
    EXPECT_THROW(mixin._build_update_table_statements("person_v_1", person_schema(), {}, false), korvex::UsageError);
}
