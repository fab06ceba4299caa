// IcebergHistoryTableSchemaService against a real Spark Connect server with an Iceberg catalog.
// Each test works in a namespace of its own; the recording connection in front of the real one
// shows exactly which statements reached Spark.

#include "recording_iceberg_connection.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"
#include "korvex_data/table_schemas/implementations/ice_timeline.hpp"
#include "spark_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using korvex::Address;
using korvex::ConnectAnalysisException;
using korvex::IcebergHistoryTableSchemaService;
using korvex::IcebergSparkConnection;
using korvex::RecordingIcebergConnection;
using korvex::TableSchema;
using korvex::ValueKind;
using Statements = std::vector<std::string>;

namespace {

class IcebergOnSparkTest : public ::testing::Test {
protected:
    std::string table(const std::string& name) const { return "korvex." + spark.namespace_name() + "." + name; }

    std::set<std::string> table_names() {
        std::set<std::string> names;
        for (const auto& row : spark.execute("SHOW TABLES IN korvex." + spark.namespace_name())->fetchall()) {
            names.insert(row[1].get<std::string>());
        }
        return names;
    }

    std::string property(const std::string& full_table_name, const std::string& key) {
        for (const auto& row : spark.execute("SHOW TBLPROPERTIES " + full_table_name)->fetchall()) {
            if (row[0] == key) return row[1].get<std::string>();
        }
        return "(not set)";
    }

    IcebergSparkConnection spark = fresh_iceberg_connection();
    RecordingIcebergConnection recorder{spark};
    IcebergHistoryTableSchemaService service{recorder};
};

TableSchema person_schema(const std::string& address) {
    return {Address::from_string(address),
            {{"name", ValueKind::TEXT, nullptr, false}, {"age", ValueKind::INTEGER}, {"tags", korvex::make_array(ValueKind::TEXT)}},
            {},
            {}};
}

}  // namespace

TEST_F(IcebergOnSparkTest, InternalTablesAreCreatedWithWriteAuditPublishAndThenLeftAlone) {
    service.register_internal_tables();
    EXPECT_EQ(table_names(), (std::set<std::string>{"metadata", "reference", "transaction"}));
    for (const std::string name : {"metadata", "reference", "transaction"}) {
        EXPECT_EQ(property(table(name), "write.wap.enabled"), "true") << name;
    }

    // What Spark reports for the new tables equals what the schemas ask for: nothing to alter.
    recorder.clear_calls();
    service.register_internal_tables();
    EXPECT_TRUE(recorder.statements().empty()) << recorder.statements().front();
    EXPECT_EQ(recorder.calls().size(), 15u);
}

TEST_F(IcebergOnSparkTest, ExistingInternalTablesAreBroughtUpToDateWithoutLosingColumns) {
    service.register_internal_tables();
    const std::string create_metadata = recorder.statements().front();
    ASSERT_EQ(create_metadata.rfind("CREATE TABLE " + table("metadata"), 0), 0u) << create_metadata;

    // An older metadata table: no transaction column, prior_version NOT NULL, created_at FLOAT.
    std::string older = create_metadata;
    older.erase(older.find(", `transaction` STRUCT<"), older.find(") USING iceberg") - older.find(", `transaction` STRUCT<"));
    older.replace(older.find("`prior_version` STRING"), 22, "`prior_version` STRING NOT NULL");
    older.replace(older.find("`created_at` DOUBLE"), 19, "`created_at` FLOAT");
    spark.execute("DROP TABLE " + table("metadata"));
    spark.execute(older);
    // A reference table with an extra column, whose to_address lacks a field.
    spark.execute("ALTER TABLE " + table("reference") + " ADD COLUMN x STRING");
    spark.execute("ALTER TABLE " + table("reference") + " DROP COLUMN to_address.object_version");

    recorder.clear_calls();
    service.register_internal_tables();
    const std::string address =
        "STRUCT<`resource`: STRING, `class_name`: STRING, `class_version`: STRING, `object_id`: STRING, "
        "`object_version`: STRING>";
    EXPECT_EQ(recorder.statements(),
              (Statements{
                  "ALTER TABLE " + table("metadata") + " ADD COLUMN `transaction` " + address,
                  "ALTER TABLE " + table("metadata") + " ALTER COLUMN `prior_version` DROP NOT NULL",
                  "ALTER TABLE " + table("metadata") + " ALTER COLUMN `created_at` TYPE DOUBLE",
                  "ALTER TABLE " + table("reference") + " ADD COLUMN `to_address`.`object_version` STRING",
                  "ALTER TABLE " + table("reference") + " DROP COLUMN x",
              }));

    recorder.clear_calls();
    service.register_internal_tables();
    EXPECT_TRUE(recorder.statements().empty()) << recorder.statements().front();
}

// Why a changed column is altered in place: Spark refuses to add a column whose name exists.
TEST_F(IcebergOnSparkTest, SparkRefusesToAddAColumnNameThatExists) {
    service.register_internal_tables();
    try {
        spark.execute("ALTER TABLE " + table("reference") + " ADD COLUMN `to_address` STRING");
        FAIL() << "Spark added a second to_address";
    } catch (const ConnectAnalysisException& error) {
        EXPECT_EQ(error.error_class(), "FIELD_ALREADY_EXISTS") << error.what();
    }
}

TEST_F(IcebergOnSparkTest, AUserClassTableIsCreatedUnderItsFullName) {
    const auto [table_name, is_created] = service.register_table(person_schema("app#Person@2"));
    EXPECT_EQ(table_name, "person_v_2");
    EXPECT_TRUE(is_created);
    EXPECT_EQ(recorder.statements(),
              (Statements{"CREATE TABLE " + table("person_v_2") +
                              " (`name` STRING NOT NULL, `age` BIGINT, `tags` ARRAY<STRING>) USING iceberg",
                          "ALTER TABLE " + table("person_v_2") + " SET TBLPROPERTIES ('write.wap.enabled''true')"}));
    EXPECT_EQ(table_names(), std::set<std::string>{"person_v_2"});
    EXPECT_EQ(property(table("person_v_2"), "write.wap.enabled"), "true");
    EXPECT_EQ(spark.get_table_description(table("person_v_2")), spark.build_columns_from_schema(person_schema("app#Person@2")));

    recorder.clear_calls();
    EXPECT_EQ(service.register_table(person_schema("app#Person@2")), (std::pair<std::string, bool>{"person_v_2", false}));
    EXPECT_TRUE(recorder.statements().empty());

    // A version that is no plain identifier is quoted in the full name.
    EXPECT_TRUE(service.register_table(person_schema("app#Person@1.0")).second);
    EXPECT_TRUE(table_names().contains("person_v_1.0"));
}

TEST_F(IcebergOnSparkTest, AnotherAnalysisErrorOfTheProbeIsRaisedAgainAndCreatesNothing) {
    // A full name Spark cannot parse: its ParseException is an analysis error without the
    // fragments of a missing table.
    struct Unparsable : RecordingIcebergConnection {
        using RecordingIcebergConnection::RecordingIcebergConnection;
        std::string get_full_table_name(const Address&) override { return "korvex.db.`unterminated"; }
    } connection{spark};
    IcebergHistoryTableSchemaService unparsable_service{connection};
    try {
        unparsable_service.register_table(person_schema("app#Person@2"));
        FAIL() << "no error";
    } catch (const ConnectAnalysisException& error) {
        EXPECT_EQ(std::string(error.what()).find("cannot be found"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(connection.statements().empty());
    EXPECT_TRUE(table_names().empty());
}

TEST_F(IcebergOnSparkTest, AProbeThatCannotReachSparkPropagatesAndCreatesNothing) {
    korvex::SparkConnectOptions options;
    options.timeout = std::chrono::seconds(5);
    IcebergSparkConnection unreachable("sc://127.0.0.1:9", "korvex", spark.namespace_name(), options);
    RecordingIcebergConnection connection{unreachable};
    IcebergHistoryTableSchemaService unreachable_service{connection};
    EXPECT_THROW(unreachable_service.register_table(person_schema("app#Person@2")), korvex::SparkConnectError);
    EXPECT_TRUE(connection.statements().empty());
}
