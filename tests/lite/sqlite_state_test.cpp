#include "korvex/error.hpp"
#include "korvex/sqlite/sqlite_state.hpp"

#include "temp_database.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using korvex::Row;
using korvex::SqliteError;
using korvex::SqliteStateConnection;
using korvex::Value;

TEST(SqliteState, BindsEveryValueKindAndReadsItBack) {
    SqliteStateConnection connection(":memory:");
    connection.execute(
        "CREATE TABLE t (label TEXT, count INTEGER, ratio REAL, payload BLOB, data JSON, flag BOOLEAN, missing TEXT)");
    const Value map = Value::parse(R"({"b": 1, "a": [true, null, "é"]})");
    connection.execute("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?)",
                       {"it's", -42, 2.5, Value::binary({0x00, 0xFF}), map, true, nullptr});

    auto cursor = connection.execute("SELECT * FROM t WHERE label = ?", {"it's"});
    std::vector<std::string> names;
    for (const auto& column : cursor->description()) names.push_back(column.name);
    EXPECT_EQ(names, (std::vector<std::string>{"label", "count", "ratio", "payload", "data", "flag", "missing"}));

    const auto rows = cursor->fetchall();
    ASSERT_EQ(rows.size(), 1u);
    const Row& row = rows[0];
    EXPECT_EQ(row[0], "it's");
    EXPECT_EQ(row[1], -42);
    EXPECT_EQ(row[2], 2.5);
    EXPECT_EQ(row[3], Value::binary({0x00, 0xFF}));
    EXPECT_EQ(row[4], map) << "a JSON column reads back as the map written";
    EXPECT_EQ(row[4].begin().key(), "b") << "key order survives";
    EXPECT_EQ(row[5], true);
    EXPECT_TRUE(row[6].is_null());
}

TEST(SqliteState, DecodingFollowsTheDeclaredTypeOnly) {
    SqliteStateConnection connection(":memory:");
    connection.execute("CREATE TABLE t (data JSON, flag BOOLEAN, note TEXT)");
    connection.execute("INSERT INTO t VALUES ('not json', 7, '{\"a\": 1}')");
    const auto row = connection.execute("SELECT data, flag, note FROM t")->fetchall().at(0);
    EXPECT_EQ(row[0], "not json") << "text that is not JSON comes back unchanged";
    EXPECT_EQ(row[1], 7) << "only 0 and 1 read as booleans";
    EXPECT_EQ(row[2], "{\"a\": 1}") << "a TEXT column is never parsed";
}

TEST(SqliteState, ReadsTheColumnsATableHasAfterAnotherConnectionChangedThem) {
    TempDatabase database;
    SqliteStateConnection reader(database.path());
    SqliteStateConnection writer(database.path());
    writer.execute("CREATE TABLE t (x TEXT)");
    writer.execute("INSERT INTO t VALUES ('a')");
    EXPECT_EQ(reader.execute("SELECT * FROM t")->description().size(), 1u);
    writer.execute("ALTER TABLE t ADD COLUMN data JSON");
    writer.execute("UPDATE t SET data = '{\"k\": 1}'");
    const auto cursor = reader.execute("SELECT * FROM t");
    ASSERT_EQ(cursor->description().size(), 2u);
    EXPECT_EQ(cursor->description()[1].name, "data");
    EXPECT_EQ(cursor->fetchall(), (std::vector<Row>{{"a", Value::parse(R"({"k": 1})")}}));
}

TEST(SqliteState, CommitsEachStatementToTheFile) {
    TempDatabase database;
    {
        SqliteStateConnection writer(database.path());
        writer.execute("CREATE TABLE t (x TEXT)");
        writer.execute("INSERT INTO t VALUES (?)", {"kept"});
    }
    SqliteStateConnection reader(database.path());
    EXPECT_EQ(reader.execute("SELECT x FROM t")->fetchall(), (std::vector<Row>{{"kept"}}));
}

TEST(SqliteState, ReportsSqliteErrorsWithSqlitesMessage) {
    SqliteStateConnection connection(":memory:");
    try {
        connection.execute("SELECT * FROM nowhere");
        FAIL() << "a missing table was accepted";
    } catch (const SqliteError& error) {
        EXPECT_STREQ(error.what(), "no such table: nowhere");
    }
    connection.execute("CREATE TABLE t (x TEXT PRIMARY KEY)");
    connection.execute("INSERT INTO t VALUES ('a')");
    try {
        connection.execute("INSERT INTO t VALUES ('a')");
        FAIL() << "a duplicate key was accepted";
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.result_code(), 1555) << "SQLITE_CONSTRAINT_PRIMARYKEY";
        EXPECT_NE(std::string(error.what()).find("UNIQUE constraint failed"), std::string::npos) << error.what();
    }
}

TEST(SqliteState, RefusesPathsItCannotOpen) {
    try {
        SqliteStateConnection connection("/nonexistent-folder/korvex/state.sqlite");
        FAIL() << "opened a file in a missing folder";
    } catch (const SqliteError& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent-folder/korvex/state.sqlite"), std::string::npos);
    }
    EXPECT_THROW(SqliteStateConnection(""), korvex::UsageError);
}

TEST(SqliteState, RefusesInputItCannotRunAsGiven) {
    SqliteStateConnection connection(":memory:");
    connection.execute("CREATE TABLE t (x)");

    // A second statement is refused before the first one runs.
    EXPECT_THROW(connection.execute("INSERT INTO t VALUES (1); DROP TABLE t"), korvex::UsageError);
    EXPECT_TRUE(connection.execute("SELECT * FROM t")->fetchall().empty());
    EXPECT_NO_THROW(connection.execute("INSERT INTO t VALUES (1); -- trailing comment"));

    EXPECT_THROW(connection.execute("INSERT INTO t VALUES (?)"), korvex::UsageError);
    EXPECT_THROW(connection.execute("INSERT INTO t VALUES (?)", {1, 2}), korvex::UsageError);
    EXPECT_THROW(connection.execute(std::string("SELECT 1\0; DROP TABLE t", 23)), korvex::UsageError);

    // SQLite would keep a NaN as NULL and wrap a large unsigned number; both are refused.
    EXPECT_THROW(connection.execute("INSERT INTO t VALUES (?)", {std::nan("")}), korvex::UsageError);
    EXPECT_THROW(connection.execute("INSERT INTO t VALUES (?)", {std::numeric_limits<std::uint64_t>::max()}),
                 korvex::UsageError);
    EXPECT_EQ(connection.execute("SELECT count(*) FROM t")->fetchall(), (std::vector<Row>{{1}}));
}
