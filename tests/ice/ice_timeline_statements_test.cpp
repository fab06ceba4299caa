// IcebergHistoryTableSchemaService on the recording connection: the exact calls and statements
// of table registration, name resolution and the upkeep of the internal tables.

#include "korvex/error.hpp"
#include "korvex/classes/class_version_manager.hpp"
#include "recording_iceberg_connection.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"
#include "korvex_data/table_schemas/implementations/ice_timeline.hpp"

#include <gtest/gtest.h>

#include <tuple>

using korvex::Address;
using korvex::CapturedAnalysisException;
using korvex::ComplexType;
using korvex::ConnectAnalysisException;
using korvex::IcebergHistoryTableSchemaService;
using korvex::IcebergTableColumn;
using korvex::RecordingIcebergConnection;
using korvex::TableSchema;
using korvex::ValueKind;
using Call = RecordingIcebergConnection::Call;
using Statements = std::vector<std::string>;

namespace {

const std::string ADDRESS =
    "STRUCT<`resource`: STRING, `class_name`: STRING, `class_version`: STRING, `object_id`: STRING, `object_version`: STRING>";
const std::string REFERENCE = "STRUCT<`ref`: " + ADDRESS + ">";
const std::string WAP = " SET TBLPROPERTIES ('write.wap.enabled''true')";

const std::string METADATA = "korvex.db.metadata";
const std::string REFERENCE_TABLE = "korvex.db.reference";
const std::string TRANSACTION_TABLE = "korvex.db.transaction";

TableSchema person_schema() {
    return {Address::from_string("app#Person@2"), {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}}, {}, {}};
}

class IcebergServiceTest : public ::testing::Test {
protected:
    void SetUp() override { korvex::ClassVersionManager::clear(); }
    void TearDown() override { korvex::ClassVersionManager::clear(); }

    // The columns that the service declares for an internal table, read from a registration on
    // an empty store (the CREATE statement is built from them).
    std::map<std::string, std::vector<IcebergTableColumn>> declared_internal_tables() {
        RecordingIcebergConnection empty;
        std::map<std::string, std::vector<IcebergTableColumn>> declared;
        struct Capture : RecordingIcebergConnection {
            std::map<std::string, std::vector<IcebergTableColumn>>* out;
            std::vector<IcebergTableColumn> build_columns_from_schema(const TableSchema& schema) override {
                auto columns = RecordingIcebergConnection::build_columns_from_schema(schema);
                (*out)[get_full_table_name(schema.address)] = columns;
                return columns;
            }
        } capture;
        capture.out = &declared;
        IcebergHistoryTableSchemaService(capture).register_internal_tables();
        return declared;
    }

    // A connection on which all three internal tables exist exactly as declared.
    void with_internal_tables_as_declared() { connection.tables = declared_internal_tables(); }

    RecordingIcebergConnection connection;
    IcebergHistoryTableSchemaService service{connection};
};

}  // namespace

TEST_F(IcebergServiceTest, RegisteringAMissingTableCreatesItThenEnablesWriteAuditPublish) {
    const auto [table_name, is_created] = service.register_table(person_schema());
    EXPECT_EQ(table_name, "person_v_2");
    EXPECT_TRUE(is_created);
    const std::vector<Call> expected{
        {"get_full_table_name", "app#Person@2"},
        {"get_table_description", "korvex.db.person_v_2"},
        {"build_columns_from_schema", "app#Person@2"},
        {"execute", "CREATE TABLE korvex.db.person_v_2 (`name` STRING, `age` BIGINT) USING iceberg"},
        {"execute", "ALTER TABLE korvex.db.person_v_2" + WAP},
    };
    EXPECT_EQ(connection.calls(), expected);
}

// A class name, version or column name holding backticks, quotes, separators or comments stays
// one identifier: every backtick inside it is doubled and nothing follows the closing one.
TEST_F(IcebergServiceTest, HostileNamesStayOneIdentifierInEveryStatement) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"Per`son", "1`; DROP TABLE x --", "korvex.db.`per``son_v_1``; drop table x --`"},
        {"public.person", "", "korvex.db.`public.person`"},
        {"Person", "2'); --", "korvex.db.`person_v_2'); --`"},
        {"Person", "ü /* x */", "korvex.db.`person_v_ü /* x */`"},
    };
    for (const auto& [class_name, version, table] : cases) {
        SCOPED_TRACE(table);
        RecordingIcebergConnection recording;
        Address address = Address::from_string("app#Person");
        address.class_name = class_name;
        address.class_version = korvex::Version(version);
        IcebergHistoryTableSchemaService(recording).register_table({address, {{"a`b; --", ValueKind::TEXT}}, {}, {}});
        EXPECT_EQ(recording.statements(),
                  (Statements{"CREATE TABLE " + table + " (`a``b; --` STRING) USING iceberg", "ALTER TABLE " + table + WAP}));
    }
}

// A class whose name lowers differently by Unicode's rules than by A to Z alone is probed under
// both spellings: created under the new one, or refused with both names when Spark knows a table
// under the former one; never created beside it.
TEST_F(IcebergServiceTest, TableUnderTheFormerSpellingIsRefusedNotDuplicated) {
    const TableSchema schema{Address::from_string("app#Äpfel@2"), {{"name", ValueKind::TEXT}}, {}, {}};
    for (const bool former_exists : {false, true}) {
        SCOPED_TRACE(former_exists);
        RecordingIcebergConnection recording;
        if (former_exists) recording.tables["korvex.db.`Äpfel_v_2`"] = {};
        std::vector<Call> expected{{"get_full_table_name", "app#Äpfel@2"},
                                   {"get_table_description", "korvex.db.`äpfel_v_2`"},
                                   {"get_table_description", "korvex.db.`Äpfel_v_2`"}};
        try {
            EXPECT_EQ(IcebergHistoryTableSchemaService(recording).register_table(schema),
                      std::make_pair(std::string("äpfel_v_2"), true));
            EXPECT_FALSE(former_exists);
            expected.push_back({"build_columns_from_schema", "app#Äpfel@2"});
            expected.push_back({"execute", "CREATE TABLE korvex.db.`äpfel_v_2` (`name` STRING) USING iceberg"});
            expected.push_back({"execute", "ALTER TABLE korvex.db.`äpfel_v_2`" + WAP});
        } catch (const korvex::UsageError& error) {
            EXPECT_TRUE(former_exists) << error.what();
            EXPECT_NE(std::string(error.what()).find("named äpfel_v_2"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("named Äpfel_v_2"), std::string::npos) << error.what();
        }
        EXPECT_EQ(recording.calls(), expected);
    }
}

TEST_F(IcebergServiceTest, RegisteringAnExistingTableOnlyProbesItEvenWhenColumnsDiffer) {
    connection.tables["korvex.db.person_v_2"] = {IcebergTableColumn("name", ComplexType::primitive("STRING"))};
    const auto [table_name, is_created] = service.register_table(person_schema());
    EXPECT_EQ(table_name, "person_v_2");
    EXPECT_FALSE(is_created);
    EXPECT_TRUE(connection.statements().empty());
    EXPECT_EQ(connection.calls().back(), (Call{"get_table_description", "korvex.db.person_v_2"}));
}

TEST_F(IcebergServiceTest, EitherClassOfAnalysisErrorWithBothFragmentsMeansMissing) {
    connection.description_errors["korvex.db.person_v_2"] = std::make_exception_ptr(
        CapturedAnalysisException("[TABLE_OR_VIEW_NOT_FOUND] The table or view person_v_2 cannot be found. Verify ..."));
    EXPECT_TRUE(service.register_table(person_schema()).second);
    EXPECT_EQ(connection.statements().size(), 2u);
}

TEST_F(IcebergServiceTest, AnalysisErrorsLackingAFragmentAreRaisedAgainUnchanged) {
    for (const std::string message : {"[X] The table or view `t` is gone.", "[X] The column `c` cannot be found.",
                                      "the table or view `t` cannot be found."}) {
        connection.clear_calls();
        const auto planted = std::make_exception_ptr(ConnectAnalysisException(message, "X"));
        connection.description_errors["korvex.db.person_v_2"] = planted;
        try {
            service.register_table(person_schema());
            FAIL() << "no error for: " << message;
        } catch (const ConnectAnalysisException& error) {
            EXPECT_EQ(std::string(error.what()), message);
            EXPECT_EQ(error.error_class(), "X");
        }
        EXPECT_TRUE(connection.statements().empty()) << message;
    }
}

TEST_F(IcebergServiceTest, OtherProbeFailuresPropagateAndCreateNothing) {
    connection.description_errors["korvex.db.person_v_2"] =
        std::make_exception_ptr(std::runtime_error("The table or view x cannot be found. (but the session is lost)"));
    EXPECT_THROW(service.register_table(person_schema()), std::runtime_error);
    EXPECT_TRUE(connection.statements().empty());
}

TEST_F(IcebergServiceTest, AFailedCreateSendsNoPropertyStatement) {
    connection.statement_errors["CREATE TABLE korvex.db.person_v_2 (`name` STRING, `age` BIGINT) USING iceberg"] =
        std::make_exception_ptr(std::runtime_error("create failed"));
    EXPECT_THROW(service.register_table(person_schema()), std::runtime_error);
    EXPECT_EQ(connection.statements().size(), 1u);
}

TEST_F(IcebergServiceTest, CreateStatementJoinsNameAndColumnDefinitionsVerbatim) {
    EXPECT_EQ(service._build_create_table_statement("any.Name`x", person_schema()),
              "CREATE TABLE any.Name`x (`name` STRING, `age` BIGINT) USING iceberg");
    const TableSchema no_columns{Address::from_string("app#Empty"), {}, {}, {}};
    EXPECT_EQ(service._build_create_table_statement("t", no_columns), "CREATE TABLE t () USING iceberg");
}

TEST_F(IcebergServiceTest, UnregisterSendsNothing) {
    service.unregister_table(Address::from_string("app#Person@2"));
    EXPECT_TRUE(connection.calls().empty());
}

TEST_F(IcebergServiceTest, ResolvesClassAndVersionToALowerCaseTableName) {
    korvex::ClassVersionManager::register_class_version("order_line", "7B");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#order_line@LATEST")), "orderline_v_7b");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Person@V2")), "person_v_v2");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Person")), "person");
    Address empty_version = Address::from_string("app#Person");
    empty_version.class_version = korvex::Version("");
    EXPECT_EQ(service.resolve_table_name(empty_version), "person");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Transaction@9")), "transaction");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#transaction@LATEST")), "transaction");
    // The registry is asked with the address's own class name, not the camel-cased one.
    EXPECT_THROW(service.resolve_table_name(Address::from_string("app#OrderLine@LATEST")), korvex::UsageError);
    EXPECT_TRUE(connection.calls().empty());
}

TEST_F(IcebergServiceTest, OnAnEmptyStoreTheThreeInternalTablesAreCreatedInOrder) {
    service.register_internal_tables();
    const Statements expected{
        "CREATE TABLE " + METADATA + " (`address` " + ADDRESS + ", `class_schema_reference` " + REFERENCE +
            " NOT NULL, `class_meta_schema_reference` " + REFERENCE +
            ", `class_schema_type` STRING NOT NULL, `is_deleted` BOOLEAN NOT NULL, `prior_version` STRING, "
            "`created_at` DOUBLE, `updated_at` DOUBLE, `transaction` " + ADDRESS + ") USING iceberg",
        "ALTER TABLE " + METADATA + WAP,
        "CREATE TABLE " + REFERENCE_TABLE + " (`from_address` " + ADDRESS + " NOT NULL, `to_address` " + ADDRESS +
            " NOT NULL) USING iceberg",
        "ALTER TABLE " + REFERENCE_TABLE + WAP,
        "CREATE TABLE " + TRANSACTION_TABLE + " (`address` " + ADDRESS +
            " NOT NULL, `label` STRING NOT NULL, `tags` ARRAY<STRING> NOT NULL, `started_at` DOUBLE NOT NULL, "
            "`ended_at` DOUBLE NOT NULL) USING iceberg",
        "ALTER TABLE " + TRANSACTION_TABLE + WAP,
    };
    EXPECT_EQ(connection.statements(), expected);
    // A table created now is not updated: one description (the probe) per table.
    int probes = 0;
    for (const auto& call : connection.calls()) probes += call.operation == "get_table_description";
    EXPECT_EQ(probes, 3);
}

TEST_F(IcebergServiceTest, MatchingInternalTablesAreProbedDescribedAndLeftAlone) {
    with_internal_tables_as_declared();
    service.register_internal_tables();
    std::vector<Call> expected;
    for (const auto& [address, table] : {std::pair{"iceberg#metadata", METADATA}, {"iceberg#Reference", REFERENCE_TABLE},
                                         {"iceberg#Transaction", TRANSACTION_TABLE}}) {
        expected.push_back({"get_full_table_name", address});
        expected.push_back({"get_table_description", table});
        expected.push_back({"get_full_table_name", address});
        expected.push_back({"get_table_description", table});
        expected.push_back({"build_columns_from_schema", address});
    }
    EXPECT_EQ(connection.calls(), expected);
}

TEST_F(IcebergServiceTest, AMetadataTableLackingTransactionGetsExactlyThatColumn) {
    with_internal_tables_as_declared();
    auto& metadata = connection.tables[METADATA];
    metadata.pop_back();
    service.register_internal_tables();
    EXPECT_EQ(connection.statements(), Statements{"ALTER TABLE " + METADATA + " ADD COLUMN `transaction` " + ADDRESS});
}

TEST_F(IcebergServiceTest, AReferenceTableWithAnExtraColumnGetsExactlyItsDrop) {
    with_internal_tables_as_declared();
    connection.tables[REFERENCE_TABLE].emplace_back("x", ComplexType::primitive("STRING"));
    service.register_internal_tables();
    EXPECT_EQ(connection.statements(), Statements{"ALTER TABLE " + REFERENCE_TABLE + " DROP COLUMN x"});

    connection.clear_calls();
    connection.tables[REFERENCE_TABLE].back().name = "odd `name";
    service.register_internal_tables();
    EXPECT_EQ(connection.statements(), Statements{"ALTER TABLE " + REFERENCE_TABLE + " DROP COLUMN `odd ``name`"});
}

TEST_F(IcebergServiceTest, AdditionsGoBeforeDrops) {
    with_internal_tables_as_declared();
    auto& transaction = connection.tables[TRANSACTION_TABLE];
    transaction.erase(transaction.begin() + 1);  // label
    transaction.emplace_back("old", ComplexType::primitive("BIGINT"));
    transaction.emplace_back("older", ComplexType::primitive("BIGINT"));
    service.update_internal_table(TableSchema{Address::from_string("iceberg#Transaction"), {}, {}, {}});
    // An empty declaration drops every present column.
    EXPECT_EQ(connection.statements().size(), 6u);
    connection.clear_calls();

    service.register_internal_tables();
    // label is declared NOT NULL, which Iceberg cannot add to an existing table: it comes nullable.
    EXPECT_EQ(connection.statements(), (Statements{"ALTER TABLE " + TRANSACTION_TABLE + " ADD COLUMN `label` STRING",
                                                   "ALTER TABLE " + TRANSACTION_TABLE + " DROP COLUMN old",
                                                   "ALTER TABLE " + TRANSACTION_TABLE + " DROP COLUMN older"}));
}

// A column that keeps its name but differs otherwise is changed in place: adding its name again
// fails on Spark, and dropping it afterwards would lose the column with its data.
TEST_F(IcebergServiceTest, AChangedStructColumnGainsAndLosesFieldsInPlace) {
    with_internal_tables_as_declared();
    const auto address_without_version = ComplexType::struct_of({
        ComplexType::field("resource", ComplexType::primitive("STRING")),
        ComplexType::field("class_name", ComplexType::primitive("STRING")),
        ComplexType::field("class_version", ComplexType::primitive("STRING")),
        ComplexType::field("object_id", ComplexType::primitive("STRING")),
        ComplexType::field("legacy", ComplexType::primitive("STRING")),
    });
    connection.tables[REFERENCE_TABLE][1] = IcebergTableColumn("to_address", address_without_version, false);
    service.register_internal_tables();
    EXPECT_EQ(connection.statements(),
              (Statements{"ALTER TABLE " + REFERENCE_TABLE + " ADD COLUMN `to_address`.`object_version` STRING",
                          "ALTER TABLE " + REFERENCE_TABLE + " DROP COLUMN `to_address`.`legacy`"}));
}

TEST_F(IcebergServiceTest, NotNullIsDroppedWhereTheDeclarationAllowsNulls) {
    with_internal_tables_as_declared();
    auto& metadata = connection.tables[METADATA];
    metadata[2].nullable = false;  // class_meta_schema_reference
    metadata[5].nullable = false;  // prior_version
    connection.tables[TRANSACTION_TABLE][2] =
        IcebergTableColumn("tags", ComplexType::array_of(ComplexType::primitive("STRING"), false), false);
    service.register_internal_tables();
    EXPECT_EQ(connection.statements(),
              (Statements{"ALTER TABLE " + METADATA + " ALTER COLUMN `class_meta_schema_reference` DROP NOT NULL",
                          "ALTER TABLE " + METADATA + " ALTER COLUMN `prior_version` DROP NOT NULL",
                          "ALTER TABLE " + TRANSACTION_TABLE + " ALTER COLUMN `tags`.`element` DROP NOT NULL"}));
}

TEST_F(IcebergServiceTest, NarrowerNumbersWidenAndNullableColumnsDeclaredNotNullStay) {
    with_internal_tables_as_declared();
    auto& metadata = connection.tables[METADATA];
    metadata[6] = IcebergTableColumn("created_at", ComplexType::primitive("FLOAT"));
    metadata[4].nullable = true;  // is_deleted, declared NOT NULL
    service.register_internal_tables();
    EXPECT_EQ(connection.statements(), Statements{"ALTER TABLE " + METADATA + " ALTER COLUMN `created_at` TYPE DOUBLE"});
}

TEST_F(IcebergServiceTest, AChangeIcebergCannotMakeFailsBeforeAnyStatementOfTheTable) {
    with_internal_tables_as_declared();
    auto& metadata = connection.tables[METADATA];
    metadata.pop_back();                                                           // transaction: would be added
    metadata[3] = IcebergTableColumn("class_schema_type", ComplexType::primitive("BIGINT"), false);  // text wanted
    try {
        service.register_internal_tables();
        FAIL() << "no error";
    } catch (const korvex::IcebergSchemaChangeError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot change `class_schema_type` of table korvex.db.metadata from BIGINT to STRING: Iceberg cannot "
                  "make that change in place without losing data");
    }
    EXPECT_TRUE(connection.statements().empty());
    // The later internal tables are not touched.
    for (const auto& call : connection.calls()) {
        EXPECT_TRUE(call.argument == METADATA || call.argument == "iceberg#metadata") << call.argument;
    }
}

TEST_F(IcebergServiceTest, UpdatingAMissingTableRaisesTheAnalysisErrorInsteadOfCreating) {
    EXPECT_THROW(service.update_internal_table(TableSchema{Address::from_string("iceberg#Reference"), {}, {}, {}}),
                 ConnectAnalysisException);
    EXPECT_TRUE(connection.statements().empty());
}

TEST_F(IcebergServiceTest, TheFirstFailureStopsTheRegistrationOfInternalTables) {
    with_internal_tables_as_declared();
    connection.tables[METADATA].pop_back();
    connection.tables[REFERENCE_TABLE].emplace_back("x", ComplexType::primitive("STRING"));
    connection.tables[TRANSACTION_TABLE].emplace_back("y", ComplexType::primitive("STRING"));
    connection.statement_errors["ALTER TABLE " + REFERENCE_TABLE + " DROP COLUMN x"] =
        std::make_exception_ptr(std::runtime_error("drop failed"));
    EXPECT_THROW(service.register_internal_tables(), std::runtime_error);
    EXPECT_EQ(connection.statements().size(), 2u);  // the metadata ADD, then the failed DROP
    for (const auto& call : connection.calls()) EXPECT_NE(call.argument, TRANSACTION_TABLE);
}

TEST_F(IcebergServiceTest, DuplicateDescriptorsCollapse) {
    with_internal_tables_as_declared();
    connection.tables[REFERENCE_TABLE].emplace_back("x", ComplexType::primitive("STRING"));
    connection.tables[REFERENCE_TABLE].emplace_back("x", ComplexType::primitive("STRING"));
    service.update_internal_table(TableSchema{Address::from_string("iceberg#Reference"),
                                              {{"from_address", korvex::address_struct, nullptr, false},
                                               {"to_address", korvex::address_struct, nullptr, false},
                                               {"y", ValueKind::TEXT},
                                               {"y", ValueKind::TEXT}},
                                              {},
                                              {}});
    EXPECT_EQ(connection.statements(), (Statements{"ALTER TABLE " + REFERENCE_TABLE + " ADD COLUMN `y` STRING",
                                                   "ALTER TABLE " + REFERENCE_TABLE + " DROP COLUMN x"}));
}
