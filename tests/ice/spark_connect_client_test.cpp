// The Spark Connect client against a real server: statements, result rows decoded from Arrow,
// table schemas, and the mapping of Spark's errors.

#include "korvex/error.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"
#include "korvex/spark_connect/spark_connect_client.hpp"
#include "spark_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

namespace {

ComplexType type_of(const std::string& name) { return ComplexType::primitive(name); }

// A struct type of the form an address or reference column has.
ComplexType address_type() {
    return ComplexType::struct_of({ComplexType::field("class_name", type_of("STRING"), false),
                                   ComplexType::field("object_id", type_of("STRING")),
                                   ComplexType::field("versions", ComplexType::array_of(type_of("BIGINT")))});
}

}  // namespace

TEST(SparkConnectParameters, EveryValueKindRoundTripsThroughAParameter) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const Value nested = Value::parse(R"({"a": [1, {"b": "ü\"'\\"}], "c": null})");
    struct Case {
        const char* name;
        korvex::SparkParameter parameter;
        Value expected;
    };
    const std::vector<Case> cases = {
        {"null", Value(), Value()},
        {"typed null", korvex::SparkParameter::null_of(address_type()), Value()},
        {"boolean", false, false},
        {"largest bigint", std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()},
        {"smallest bigint", std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min()},
        {"largest bigint as unsigned", std::uint64_t{9223372036854775807ULL}, std::numeric_limits<std::int64_t>::max()},
        {"int", {7, type_of("INT")}, 7},
        {"double", 0.1, 0.1},
        {"infinity", infinity, infinity},
        {"minus infinity", -infinity, -infinity},
        {"unicode", "zß水🙂", "zß水🙂"},
        {"quotes and backslashes", R"(it's \' \\ "x" ? :name -- /*)", R"(it's \' \\ "x" ? :name -- /*)"},
        {"nested JSON as text", nested.dump(), nested.dump()},
        {"decimal", {"-12.340", type_of("DECIMAL(10,3)")}, "-12.340"},
        {"list with a null", Value::parse("[1, null, 3]"), Value::parse("[1, null, 3]")},
        {"list of numbers", Value::parse("[1, 2.5]"), Value::parse("[1.0, 2.5]")},
        {"map with a null", Value::parse(R"({"k": "v", "n": null})"), Value::parse(R"({"k": "v", "n": null})")},
        {"empty typed list", {Value::array(), ComplexType::array_of(type_of("STRING"))}, Value::array()},
        {"empty map", Value::object(), Value::object()},
        {"empty list", Value::array(), Value::array()},
        {"list of nulls", Value::parse("[null, null]"), Value::parse("[null, null]")},
        {"struct by name", {Value::parse(R"({"object_id": "o", "class_name": "C"})"), address_type()},
         Value::parse(R"({"class_name": "C", "object_id": "o", "versions": null})")},
        {"list of structs",
         {Value::parse(R"([["C", null, [1, null]], {"class_name": "D", "versions": []}])"), ComplexType::array_of(address_type())},
         Value::parse(R"([{"class_name": "C", "object_id": null, "versions": [1, null]},
                          {"class_name": "D", "object_id": null, "versions": []}])")},
        {"map of structs", {Value::parse(R"({"a": ["C", "o", [2]]})"), ComplexType::map_of(type_of("STRING"), address_type())},
         Value::parse(R"({"a": {"class_name": "C", "object_id": "o", "versions": [2]}})")},
    };
    std::string statement = "SELECT ?";
    std::vector<korvex::SparkParameter> parameters;
    for (const auto& test : cases) parameters.push_back(test.parameter);
    for (std::size_t i = 1; i < cases.size(); ++i) statement += ", ?";
    SparkConnectClient client(spark_connect_url());
    const auto rows = client.sql(statement, parameters)->fetchall();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(rows[0][i], cases[i].expected) << cases[i].name;

    // NaN equals nothing, so it is checked apart, through named parameters.
    const auto named = client.sql_named("SELECT :nan, :text, :nan IS NULL",
                                        {{"nan", nan}, {"text", "x' OR '1'='1"}})->fetchall();
    ASSERT_EQ(named.size(), 1u);
    EXPECT_TRUE(named[0][0].is_number_float() && std::isnan(named[0][0].get<double>())) << named[0][0];
    EXPECT_EQ(named[0][1], "x' OR '1'='1");
    EXPECT_EQ(named[0][2], false);
}

TEST(SparkConnectParameters, AValueThatDoesNotFitItsTypeIsRefusedNamingItsPlace) {
    struct Case {
        korvex::SparkParameter parameter;
        const char* message;
    };
    const std::vector<Case> cases = {
        {std::uint64_t{9223372036854775808ULL}, "parameter 1: 9223372036854775808 is above 9223372036854775807"},
        {Value::parse(R"([1, "x"])"), "parameter 1 holds values of different types (BIGINT and STRING)"},
        {{"7", type_of("BIGINT")}, "parameter 1: expected an integer for BIGINT, got text"},
        {{128, type_of("TINYINT")}, "parameter 1: 128 is out of the range of TINYINT"},
        {{Value::parse(R"({"class_name": "C", "extra": 1})"), address_type()}, "parameter 1: no field `extra`"},
        {{Value::parse(R"([["C", "o", ["x"]]])"), ComplexType::array_of(address_type())},
         "parameter 1[0].`versions`[0]: expected an integer for BIGINT, got text"},
        {{"2024-01-01", type_of("DATE")}, "parameter 1: a parameter of type DATE is not supported"},
        {{1e39, type_of("FLOAT")}, "parameter 1: 1e+39 is out of the range of FLOAT"},
        {Value::array({"ok", "\xff"}), "parameter 1: text that is not valid UTF-8"},
    };
    SparkConnectClient client("sc://example.invalid:1");  // refused before anything is sent
    for (const auto& test : cases) {
        try {
            client.sql("SELECT ?", {test.parameter});
            ADD_FAILURE() << "accepted: " << test.message;
        } catch (const korvex::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(test.message), std::string::npos) << error.what();
        }
    }
}

TEST(SparkConnectParameters, AnInjectionAttemptThroughAParameterStaysAValue) {
    SparkConnectClient client(spark_connect_url());
    const std::string ns = "korvex." + fresh_namespace();
    client.sql("CREATE NAMESPACE " + ns);
    client.sql("CREATE TABLE " + ns + ".t (a STRING) USING iceberg");
    const std::string attack = "x'); DROP TABLE " + ns + ".t; --\\'";
    client.sql("INSERT INTO " + ns + ".t VALUES (?)", {attack});
    const auto rows = client.sql_named("SELECT a FROM " + ns + ".t WHERE a = :a", {{"a", attack}})->fetchall();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], attack);
}

TEST(SparkConnectBatch, TenThousandRowsLandInOneStatementWithEveryValueExact) {
    SparkConnectClient client(spark_connect_url());
    const std::string ns = "korvex." + fresh_namespace();
    client.sql("CREATE NAMESPACE " + ns);
    const std::vector<korvex::IcebergTableColumn> columns = {
        {"id", type_of("BIGINT"), false},
        {"name", type_of("STRING")},
        {"score", type_of("DOUBLE")},
        {"tags", ComplexType::array_of(type_of("STRING"))},
        {"attributes", ComplexType::map_of(type_of("STRING"), type_of("BIGINT"))},
        {"address", address_type()},
    };
    client.sql("CREATE TABLE " + ns + ".t (" + korvex::IcebergTableColumnsSchema(columns).to_sql() + ") USING iceberg");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Value> special = {
        Value::parse(R"([9223372036854775807, "zß水🙂\\'\"", 1e308, ["a", null], {"k": -9223372036854775808}, ["C", null, [1, null]]])"),
        Value::parse(R"({"id": 9223372036854775806, "name": "{\"nested\": [1, {\"x\": null}]}", "tags": []})"),
        Value::array({9223372036854775805LL, nullptr, nan, nullptr, nullptr, nullptr}),
        Value::array({9223372036854775804LL, "\\u0027 '); DROP TABLE t; --", -std::numeric_limits<double>::infinity(),
                      Value::array(), Value::object(), Value::parse(R"({"class_name": "D", "object_id": "o", "versions": []})")}),
    };
    std::vector<Value> rows = special;
    for (std::int64_t i = 0; rows.size() < 10000; ++i) {
        rows.push_back(Value::array({i, "name " + std::to_string(i), i * 0.5, Value::array({"t"}), Value::object({{"n", i}}),
                                     Value::array({"C", std::to_string(i), Value::array({i})})}));
    }
    EXPECT_EQ(client.insert_rows(ns + ".t", columns, rows), 10000u);

    const auto summary = client.sql("SELECT count(*), sum(IF(id < 1000000000000, id, 0)), count(DISTINCT name) FROM " + ns + ".t")->fetchall();
    EXPECT_EQ(summary[0][0], 10000);
    EXPECT_EQ(summary[0][1], 9995LL * 9996 / 2);
    EXPECT_EQ(summary[0][2], 9999);
    const auto back = client.sql("SELECT * FROM " + ns + ".t WHERE id > 1000000000000 ORDER BY id DESC")->fetchall();
    ASSERT_EQ(back.size(), 4u);
    const std::vector<std::string> names = {"id", "name", "score", "tags", "attributes", "address"};
    for (std::size_t i = 0; i < special.size(); ++i) {
        for (std::size_t c = 0; c < names.size(); ++c) {
            Value expected = special[i].is_array() ? special[i][c]
                             : special[i].contains(names[c]) ? special[i][names[c]] : Value();
            if (c == 5 && expected.is_array()) {
                expected = Value::object({{"class_name", expected[0]}, {"object_id", expected[1]}, {"versions", expected[2]}});
            }
            if (c == 2 && i == 2) {
                EXPECT_TRUE(std::isnan(back[i][c].get<double>())) << back[i][c];
                continue;
            }
            EXPECT_EQ(back[i][c], expected) << "row " << i << ", column " << names[c];
        }
    }

    // A value that does not fit its column is refused before anything is sent.
    rows[5][0] = "not a number";
    EXPECT_THROW(client.insert_rows(ns + ".t", columns, rows), korvex::UsageError);
    EXPECT_EQ(client.sql("SELECT count(*) FROM " + ns + ".t")->fetchall()[0][0], 10000);
}
