// The Spark Connect client against a real server: statements, result rows decoded from Arrow,
// table schemas, and the mapping of Spark's errors.

#include "korvex/error.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"
#include "korvex/spark_connect/spark_connect_client.hpp"
#include "spark_test_support.hpp"

#include <gtest/gtest.h>

#include <regex>

using korvex::ComplexType;
using korvex::ConnectAnalysisException;
using korvex::SparkConnectClient;
using korvex::SparkConnectError;
using korvex::Value;

namespace {

std::vector<korvex::Row> rows_of(SparkConnectClient& client, const std::string& statement) {
    return client.sql(statement)->fetchall();
}

}  // namespace

TEST(SparkConnectUrl, RejectsWhatIsNotAConnectUrl) {
    EXPECT_THROW(SparkConnectClient("http://127.0.0.1:15002"), korvex::UsageError);
    EXPECT_THROW(SparkConnectClient("sc://"), korvex::UsageError);
    EXPECT_THROW(SparkConnectClient("sc://host:1/user_id=x"), korvex::UsageError);
    EXPECT_THROW(SparkConnectClient("sc://host:1/;user_id"), korvex::UsageError);
}

TEST(SparkConnectUrl, DefaultsThePortAndNamesEachSessionByAFreshUuid) {
    SparkConnectClient a("sc://example.invalid");
    SparkConnectClient b("sc://example.invalid:1234/;user_id=someone");
    EXPECT_EQ(a.target(), "example.invalid:15002");
    EXPECT_EQ(b.target(), "example.invalid:1234");
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(a.session_id(), uuid)) << a.session_id();
    EXPECT_NE(a.session_id(), b.session_id());
    SparkConnectClient joined("sc://example.invalid/;session_id=" + a.session_id());
    EXPECT_EQ(joined.session_id(), a.session_id());
}

TEST(SparkConnectClient, ReportsTheServersSparkVersion) {
    SparkConnectClient client(spark_connect_url());
    EXPECT_EQ(client.spark_version().substr(0, 2), "4.");
}

TEST(SparkConnectClient, DecodesQueryRowsOfEveryCommonType) {
    SparkConnectClient client(spark_connect_url());
    const auto cursor = client.sql(
        "SELECT 7 AS i, CAST(9000000000 AS BIGINT) AS l, CAST(2 AS TINYINT) AS t, 1.25D AS d, CAST(0.5 AS FLOAT) AS f, "
        "'tekst ü' AS s, true AS b, NULL AS n, CAST(NULL AS STRING) AS ns, CAST('-12.340' AS DECIMAL(10,3)) AS dec, "
        "DATE'2024-02-29' AS day, TIMESTAMP_NTZ'2024-02-29 13:14:15.5' AS ts, "
        "array('x', NULL, 'z') AS arr, named_struct('a', 1, 'b', 'two') AS st, map('k', 1.5D) AS m, X'CAFE' AS bin");
    const auto& columns = cursor->description();
    ASSERT_EQ(columns.size(), 16u);
    EXPECT_EQ(columns[0].name, "i");
    EXPECT_EQ(columns[15].name, "bin");
    const auto rows = cursor->fetchall();
    ASSERT_EQ(rows.size(), 1u);
    const korvex::Row& row = rows[0];
    EXPECT_EQ(row[0], 7);
    EXPECT_EQ(row[1], 9000000000LL);
    EXPECT_EQ(row[2], 2);
    EXPECT_EQ(row[3], 1.25);
    EXPECT_EQ(row[4], 0.5);
    EXPECT_EQ(row[5], "tekst ü");
    EXPECT_EQ(row[6], true);
    EXPECT_TRUE(row[7].is_null());
    EXPECT_TRUE(row[8].is_null());
    EXPECT_EQ(row[9], "-12.340");
    EXPECT_EQ(row[10], "2024-02-29");
    EXPECT_EQ(row[11], "2024-02-29T13:14:15.500000");
    EXPECT_EQ(row[12], Value::parse(R"(["x", null, "z"])"));
    EXPECT_EQ(row[13], Value::parse(R"({"a": 1, "b": "two"})"));
    EXPECT_EQ(row[14], Value::parse(R"({"k": 1.5})"));
    EXPECT_EQ(row[15], "yv4=");
}

TEST(SparkConnectClient, ReturnsManyRowsAcrossBatchesWithNullsInPlace) {
    SparkConnectClient client(spark_connect_url());
    const auto rows = rows_of(client, "SELECT id, IF(id % 3 = 0, NULL, CAST(id AS STRING)) AS s FROM range(0, 5000)");
    ASSERT_EQ(rows.size(), 5000u);
    std::int64_t sum = 0;
    for (const auto& row : rows) sum += row[0].get<std::int64_t>();
    EXPECT_EQ(sum, 4999LL * 5000 / 2);
    EXPECT_TRUE(rows[3][1].is_null());
    EXPECT_EQ(rows[4][1], "4");
}

TEST(SparkConnectClient, RunsCommandsAndReturnsTheirResultRows) {
    SparkConnectClient client(spark_connect_url());
    const std::string ns = "korvex." + fresh_namespace();
    EXPECT_TRUE(rows_of(client, "CREATE NAMESPACE " + ns).empty());
    EXPECT_TRUE(rows_of(client, "CREATE TABLE " + ns + ".t (a STRING NOT NULL, b BIGINT) USING iceberg").empty());
    EXPECT_TRUE(rows_of(client, "INSERT INTO " + ns + ".t VALUES ('one', 1), ('two', NULL)").empty());

    const auto tables = client.sql("SHOW TABLES IN " + ns);
    ASSERT_EQ(tables->description().size(), 3u);
    EXPECT_EQ(tables->description()[1].name, "tableName");
    const auto table_rows = tables->fetchall();
    ASSERT_EQ(table_rows.size(), 1u);
    EXPECT_EQ(table_rows[0][1], "t");

    const auto data = rows_of(client, "SELECT a, b FROM " + ns + ".t ORDER BY a");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0][0], "one");
    EXPECT_EQ(data[0][1], 1);
    EXPECT_TRUE(data[1][1].is_null());
}

TEST(SparkConnectClient, ReadsATablesSchemaWithNestedNullability) {
    SparkConnectClient client(spark_connect_url());
    const std::string ns = "korvex." + fresh_namespace();
    client.sql("CREATE NAMESPACE " + ns);
    client.sql("CREATE TABLE " + ns +
               ".t (s STRUCT<x: STRING, y: BIGINT NOT NULL> NOT NULL, arr ARRAY<STRING>, m MAP<STRING, DOUBLE>, "
               "d DECIMAL(12,2), day DATE, ts TIMESTAMP, f FLOAT, i INT, flag BOOLEAN NOT NULL) USING iceberg");

    const ComplexType schema = client.table_schema(ns + ".t");
    ASSERT_EQ(schema.kind(), ComplexType::Kind::STRUCT);
    EXPECT_EQ(schema.to_sql(),
              "STRUCT<`s`: STRUCT<`x`: STRING, `y`: BIGINT NOT NULL> NOT NULL, `arr`: ARRAY<STRING>, "
              "`m`: MAP<STRING, DOUBLE>, `d`: DECIMAL(12,2), `day`: DATE, `ts`: TIMESTAMP, `f`: FLOAT, `i`: INT, "
              "`flag`: BOOLEAN NOT NULL>");
    EXPECT_TRUE(schema.fields()[1].type->contains_null());
    EXPECT_TRUE(schema.fields()[2].type->contains_null());
}

TEST(SparkConnectErrors, AMissingTableIsAnAnalysisErrorWithSparksOwnMessage) {
    SparkConnectClient client(spark_connect_url());
    for (const auto& attempt : std::vector<std::function<void()>>{
             [&] { client.sql("SELECT * FROM korvex.db.no_such_table"); },
             [&] { client.table_schema("korvex.db.no_such_table"); }}) {
        try {
            attempt();
            FAIL() << "no error for a missing table";
        } catch (const ConnectAnalysisException& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("[TABLE_OR_VIEW_NOT_FOUND] The table or view `korvex`.`db`.`no_such_table` cannot be found."),
                      std::string::npos)
                << message;
            EXPECT_EQ(error.error_class(), "TABLE_OR_VIEW_NOT_FOUND");
            EXPECT_EQ(error.sql_state(), "42P01");
        }
    }
}

TEST(SparkConnectErrors, SubclassesOfAnalysisErrorAreAnalysisErrors) {
    SparkConnectClient client(spark_connect_url());
    // Spark's ParseException derives from AnalysisException.
    EXPECT_THROW(client.sql("SELEC 1"), ConnectAnalysisException);
    EXPECT_THROW(client.sql("SELECT no_such_column FROM range(1)"), ConnectAnalysisException);
}

TEST(SparkConnectErrors, OtherFailuresAreConnectErrorsThatKeepSparksMessage) {
    SparkConnectClient client(spark_connect_url());
    try {
        client.sql("SELECT raise_error('custom failure text')");
        FAIL() << "no error";
    } catch (const ConnectAnalysisException& error) {
        FAIL() << "an execution error is not an analysis error: " << error.what();
    } catch (const SparkConnectError& error) {
        EXPECT_NE(std::string(error.what()).find("custom failure text"), std::string::npos) << error.what();
        EXPECT_FALSE(error.exception_class().empty());
    }
}

TEST(SparkConnectErrors, AnUnreachableServerIsAConnectErrorNamingIt) {
    korvex::SparkConnectOptions options;
    options.timeout = std::chrono::seconds(5);
    // Port 9 (discard) is closed on the loopback interface of a test machine.
    SparkConnectClient client("sc://127.0.0.1:9", options);
    try {
        client.sql("SELECT 1");
        FAIL() << "no error";
    } catch (const SparkConnectError& error) {
        EXPECT_NE(std::string(error.what()).find("127.0.0.1:9"), std::string::npos) << error.what();
    }
}
