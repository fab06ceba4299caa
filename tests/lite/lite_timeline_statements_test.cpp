// The exact statements the SQLite table-schema service runs, in order, on a recording connection.
#include "korvex/error.hpp"
#include "korvex_data/table_schemas/implementations/lite_timeline.hpp"

#include "recording_connection.hpp"

#include <gtest/gtest.h>

using korvex::Address;
using korvex::SqliteHistoricalTableSchemaService;
using korvex::SqlTableColumn;
using korvex::TableSchema;
using korvex::ValueKind;
using Statements = std::vector<std::string>;

namespace {

TableSchema person_schema(std::vector<korvex::TableIndexSchema> indexed) {
    return {Address::from_string("app#Person@1"),
            {{"name", ValueKind::TEXT, nullptr, true}, {"updated_at", ValueKind::FLOAT, nullptr, true}},
            std::move(indexed),
            {}};
}

const std::string PERSON_PROBE = "PRAGMA table_info(`person_v_1`)";
const std::string PERSON_CREATE =
    "CREATE TABLE `person_v_1` (`partition_key` TEXT NOT NULL, `range_key` TEXT NOT NULL, `name` TEXT, "
    "`updated_at` REAL, PRIMARY KEY (`partition_key`, `range_key`))";

const std::string METADATA_CREATE =
    "CREATE TABLE `metadata` (`partition_key` TEXT NOT NULL, `address` JSON, `object_id` TEXT, "
    "`object_version` TEXT, `class_schema_reference` JSON, `class_meta_schema_reference` JSON, "
    "`transaction` JSON, `class_schema_type` TEXT, `is_deleted` BOOLEAN NOT NULL DEFAULT 0, "
    "`prior_version` TEXT, `created_at` REAL, `updated_at` REAL, PRIMARY KEY (`partition_key`))";
const std::string REFERENCE_CREATE =
    "CREATE TABLE `reference` (`partition_key` TEXT NOT NULL, `from_address` JSON, `to_address` JSON, "
    "PRIMARY KEY (`partition_key`))";
const std::string TRANSACTION_CREATE =
    "CREATE TABLE `transaction` (`partition_key` TEXT NOT NULL, `address` JSON, `label` TEXT, `tags` JSON, "
    "`started_at` REAL, `ended_at` REAL, PRIMARY KEY (`partition_key`))";

// Records the flags and answers of the builders it overrides.
class ObservedService : public SqliteHistoricalTableSchemaService {
public:
    using SqliteHistoricalTableSchemaService::SqliteHistoricalTableSchemaService;

    std::string _build_create_table_statement(const std::string& table_name, const TableSchema& table_schema,
                                              bool is_internal_table, bool is_historical_table) override {
        create_flags.emplace_back(is_internal_table, is_historical_table);
        return SqliteHistoricalTableSchemaService::_build_create_table_statement(table_name, table_schema,
                                                                                 is_internal_table, is_historical_table);
    }

    std::vector<std::string> _build_update_table_statements(const std::string& table_name,
                                                            const TableSchema& /*table_schema*/,
                                                            const std::vector<SqlTableColumn>& existing_columns,
                                                            bool is_internal_table) override {
        update_calls.push_back({table_name, existing_columns.size(), is_internal_table});
        return update_statements;
    }

    struct UpdateCall {
        std::string table_name;
        std::size_t column_count;
        bool is_internal_table;
    };
    std::vector<std::pair<bool, bool>> create_flags;
    std::vector<UpdateCall> update_calls;
    Statements update_statements;
};

}  // namespace

TEST(LiteTimelineStatements, ProbeIsTableInfoWithoutParameters) {
    RecordingConnection connection;
    SqliteHistoricalTableSchemaService service(connection);
    const korvex::Statement probe = service._build_select_table_name_statement("person");
    EXPECT_EQ(probe.text, "PRAGMA table_info(`person`)");
    EXPECT_TRUE(probe.params.empty());
}

TEST(LiteTimelineStatements, AbsentTableIsCreatedThenIndexedInEntryOrder) {
    RecordingConnection connection;
    SqliteHistoricalTableSchemaService service(connection);
    EXPECT_EQ(service.register_table(person_schema({{"updated_at"}, {"name"}})),
              std::make_pair(std::string("person_v_1"), true));
    EXPECT_EQ(connection.statements,
              (Statements{PERSON_PROBE, PERSON_CREATE,
                          "CREATE INDEX `person_v_1__updated_at_idx` ON `person_v_1` (`updated_at`)",
                          "CREATE INDEX `person_v_1__name_idx` ON `person_v_1` (`name`)"}));
    for (const auto& params : connection.parameters) EXPECT_TRUE(params.empty());

    RecordingConnection without_indexes;
    SqliteHistoricalTableSchemaService(without_indexes).register_table(person_schema({}));
    EXPECT_EQ(without_indexes.statements, (Statements{PERSON_PROBE, PERSON_CREATE}));
}

TEST(LiteTimelineStatements, ExistingTableRunsNothingAfterTheProbe) {
    RecordingConnection connection;
    connection.answer(PERSON_PROBE, table_info_description(), table_info_rows({{"partition_key", "TEXT"}}));
    SqliteHistoricalTableSchemaService service(connection);
    EXPECT_EQ(service.register_table(person_schema({{"name"}})), std::make_pair(std::string("person_v_1"), false));
    EXPECT_EQ(connection.statements, (Statements{PERSON_PROBE}));
}

TEST(LiteTimelineStatements, InternalFlagReachesTheBuilderAndTablesAreAlwaysHistorical) {
    RecordingConnection connection;
    ObservedService service(connection);
    service.register_table(person_schema({}));
    service.register_table(person_schema({}), true);
    EXPECT_EQ(service.create_flags, (std::vector<std::pair<bool, bool>>{{false, true}, {true, true}}));
}

TEST(LiteTimelineStatements, ReadBackPairsResultColumnsStrictly) {
    RecordingConnection connection;
    SqliteHistoricalTableSchemaService service(connection);

    connection.answer(PERSON_PROBE, table_info_description(), {{0, "name", "TEXT", 0, nullptr}});
    EXPECT_THROW(service.register_table(person_schema({})), std::runtime_error) << "a short row";

    auto renamed = table_info_description();
    renamed[4].name = "default_value";
    connection.answer(PERSON_PROBE, renamed, table_info_rows({{"name", "TEXT"}}));
    EXPECT_THROW(service.register_table(person_schema({})), korvex::UsageError) << "an unknown result column";

    connection.answer(PERSON_PROBE, table_info_description(), table_info_rows({{"name", "TEXT"}, {"age", ""}}));
    const auto columns = service._get_table_columns("person_v_1");
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[1].cid, 1);
    EXPECT_EQ(columns[1].name, "age");
    EXPECT_EQ(columns[1].type, "");
}

TEST(LiteTimelineStatements, UnregisterDropsTheResolvedTable) {
    RecordingConnection connection;
    SqliteHistoricalTableSchemaService service(connection);
    service.unregister_table(Address::from_string("app#order_line@2"));
    EXPECT_EQ(connection.statements, (Statements{"DROP TABLE IF EXISTS `orderline_v_2`"}));
}

TEST(LiteTimelineStatements, InternalTablesOnAnEmptyDatabase) {
    RecordingConnection connection;
    ObservedService service(connection);
    service.register_internal_tables();
    EXPECT_EQ(connection.statements,
              (Statements{
                  "PRAGMA table_info(`metadata`)",
                  METADATA_CREATE,
                  "CREATE INDEX `metadata__object_id_idx` ON `metadata` (`object_id`)",
                  "CREATE INDEX `metadata__object_version_idx` ON `metadata` (`object_version`)",
                  "CREATE INDEX `metadata__is_deleted_idx` ON `metadata` (`is_deleted`)",
                  "CREATE INDEX `metadata__updated_at_idx` ON `metadata` (`updated_at`)",
                  "CREATE INDEX `metadata__prior_version_idx` ON `metadata` (`prior_version`)",
                  "PRAGMA table_info(`reference`)",
                  REFERENCE_CREATE,
                  "PRAGMA table_info(`transaction`)",
                  TRANSACTION_CREATE,
              }));
    EXPECT_TRUE(service.update_calls.empty());
    EXPECT_EQ(service.create_flags, (std::vector<std::pair<bool, bool>>(3, {true, true})));
}

TEST(LiteTimelineStatements, ExistingInternalTablesAreProbedTwiceThenUpdated) {
    RecordingConnection connection;
    for (const char* table : {"metadata", "reference", "transaction"}) {
        connection.answer(std::string("PRAGMA table_info(`") + table + "`)", table_info_description(),
                          table_info_rows({{"partition_key", "TEXT"}, {"legacy", "TEXT"}}));
    }
    ObservedService service(connection);
    service.update_statements = {"ALTER TABLE first", "ALTER TABLE second"};
    service.register_internal_tables();

    Statements expected;
    for (const char* table : {"metadata", "reference", "transaction"}) {
        const std::string probe = std::string("PRAGMA table_info(`") + table + "`)";
        expected.insert(expected.end(), {probe, probe, "ALTER TABLE first", "ALTER TABLE second"});
    }
    EXPECT_EQ(connection.statements, expected);
    ASSERT_EQ(service.update_calls.size(), 3u);
    EXPECT_EQ(service.update_calls[2].table_name, "transaction");
    for (const auto& call : service.update_calls) {
        EXPECT_EQ(call.column_count, 2u);
        EXPECT_TRUE(call.is_internal_table);
    }
    EXPECT_TRUE(service.create_flags.empty());
}
