// PostgresHistoricalConnection: the INSERT and DELETE builders, the per-column value conversion, put, _delete and
// the memoised table description, with the host's _to_sql_value.

#include "korvex/error.hpp"
#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "pg_fixture.hpp"


using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::testing::expect_connection_error;
using korvex::testing::map;
using korvex::testing::OfflineConnection;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;

namespace {

// A person table: partition_key, range_key, name text, age bigint, doc json, tags json (a list),
// blob jsonb and flag boolean.
void create_person_table(PostgresHistoricalConnection& connection) {
    TableSchema schema{Address::from_string("app#Person"),
                       {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"doc", ValueKind::MAPPING},
                        {"tags", ValueKind::SEQUENCE}, {"flag", ValueKind::BOOLEAN}},
                       {},
                       {}};
    ASSERT_TRUE(connection.table_schema_manager()->register_table(schema).second);
}

struct WriteTest : ::testing::Test {
    void SetUp() override { connection.connect(std::nullopt, db.parameters()); }
    PgTestDatabase db;
    RecordingConnection connection;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Builders and conversions (no server)

TEST(BuildInsertStatement, QuotesColumnsAndConvertsEachValue) {
    PostgresHistoricalConnection connection;
    const auto statement = connection._build_insert_statement("person", map(R"({"name":"Ann","age":7,"doc":{"a":[1]}})"));
    EXPECT_EQ(statement.text, R"(INSERT INTO person ("name", "age", "doc") VALUES (%s, %s, %s))");
    EXPECT_EQ(statement.params, (std::vector<Value>{"Ann", 7, R"({"a":[1]})"}));
}

TEST(BuildInsertStatement, ColumnNameWithDoubleQuoteOrPercentCannotBreakOut) {
    PostgresHistoricalConnection connection;
    const auto statement = connection._build_insert_statement("t", map(R"({"a\"b":1,"50%s":2})"));
    EXPECT_EQ(statement.text, R"(INSERT INTO t ("a""b", "50%%s") VALUES (%s, %s))");
    EXPECT_EQ(statement.params, (std::vector<Value>{1, 2}));
}

TEST(BuildInsertStatement, EmptyDataGivesEmptyLists) {
    PostgresHistoricalConnection connection;
    EXPECT_EQ(connection._build_insert_statement("ghost", DataMap::object()).text, "INSERT INTO ghost () VALUES ()");
}

TEST(BuildDeleteStatement, QuotesTableAndColumnsAndJoinsWithAnd) {
    PostgresHistoricalConnection connection;
    const auto statement = connection._build_delete_statement("person", map(R"({"a":"x","b":[1]})"));
    EXPECT_EQ(statement.text, R"(DELETE FROM "person" WHERE "a" = %s AND "b" = %s)");
    EXPECT_EQ(statement.params, (std::vector<Value>{"x", "[1]"}));
    EXPECT_EQ(connection._build_delete_statement("t", map(R"({"x\"y":1})")).text, R"(DELETE FROM "t" WHERE "x""y" = %s)");
}

TEST(ToSqlValue, MapsAndListsBecomeJsonTextOthersUnchanged) {
    PostgresHistoricalConnection connection;
    EXPECT_EQ(connection._to_sql_value(map(R"({"b":1,"a":"é"})")), Value(R"({"b":1,"a":"\u00e9"})"));
    EXPECT_EQ(connection._to_sql_value(map("[1,\"x\",null]")), Value(R"([1,"x",null])"));
    for (const Value& plain : {Value("text"), Value(5), Value(1.5), Value(true), Value(nullptr)}) {
        EXPECT_EQ(connection._to_sql_value(plain), plain);
    }
}

TEST(ProcessValueBeforeInsert, JsonColumnsGetJsonDocuments) {
    PostgresHistoricalConnection connection;
    EXPECT_EQ(connection.process_value_before_insert("abc", "json"), Value("\"abc\""));
    EXPECT_EQ(connection.process_value_before_insert("é\"", "json"), Value(R"("\u00e9\"")"));
    EXPECT_EQ(connection.process_value_before_insert(5, "json"), Value("5"));
    EXPECT_EQ(connection.process_value_before_insert(true, "json"), Value("true"));
    EXPECT_EQ(connection.process_value_before_insert(map(R"({"a":1})"), "json"), map(R"({"a":1})"));
    EXPECT_EQ(connection.process_value_before_insert(1.5, "json"), Value(1.5));
    EXPECT_EQ(connection.process_value_before_insert(nullptr, "json"), Value(nullptr));
}

TEST(ProcessValueBeforeInsert, OtherColumnTypesKeepTheValue) {
    PostgresHistoricalConnection connection;
    for (const char* type : {"jsonb", "text", "JSON", "bigint"}) {
        EXPECT_EQ(connection.process_value_before_insert("abc", type), Value("abc")) << type;
        EXPECT_EQ(connection.process_value_before_insert(5, type), Value(5)) << type;
        EXPECT_EQ(connection.process_value_before_insert(true, type), Value(true)) << type;
    }
}

TEST(Put, WithRevertEnabledAndNoTransactionFailsAndSendsNothing) {
    OfflineConnection connection;
    EXPECT_THROW(connection.put(Address::from_string("app#Person/p1@v1"), map(R"({"name":"A"})")), korvex::UsageError);
    EXPECT_TRUE(connection.statements.empty());
}

TEST(Delete, SymbolicVersionRaisesAndSendsNothing) {
    OfflineConnection connection;
    expect_connection_error([&] { connection._delete(Address::from_string("app#Person/p1@LATEST")); },
                            "Deleting in reverse requires a specific version. Current version is LATEST.");
    expect_connection_error([&] { connection._delete(Address::from_string("app#Person/p1@ALL")); },
                            "Deleting in reverse requires a specific version. Current version is ALL.");
    EXPECT_TRUE(connection.statements.empty());
}

TEST(Delete, KeysByIdentityAndVersionOrByIdentityAloneForInternalTables) {
    OfflineConnection connection;
    connection._delete(Address::from_string("app#Person/p1@v2"));
    connection._delete(Address::from_string("resource#Metadata/p1:v2"));
    connection._delete(Address::from_string("app#ObjectReference/r1@v1"));
    ASSERT_EQ(connection.statements.size(), 3u);
    EXPECT_EQ(connection.statements[0],
              (Statement{R"(DELETE FROM "person" WHERE "partition_key" = %s AND "range_key" = %s)", {"p1", "v2"}}));
    EXPECT_EQ(connection.statements[1], (Statement{R"(DELETE FROM "metadata" WHERE "partition_key" = %s)", {"p1:v2"}}));
    EXPECT_EQ(connection.statements[2],
              (Statement{R"(DELETE FROM "objectreference" WHERE "partition_key" = %s)", {"r1"}}));
}

// ---------------------------------------------------------------------------------------------
// On the server

TEST_F(WriteTest, PutWritesKeyColumnsFromTheAddressAndDropsUnknownKeys) {
    create_person_table(connection);
    connection.begin();
    connection.put(Address::from_string("app#Person/p1@v1"),
                   map(R"({"name":"Ann","unknown":1,"partition_key":"other","range_key":"other"})"));
    connection.put(Address::from_string("app#Person/p2@v7"), map(R"({"age":3})"));
    connection.commit();
    EXPECT_EQ(db.sql("SELECT partition_key || '|' || range_key || '|' || coalesce(name, '-') || '|' ||"
                     " coalesce(age::text, '-') FROM person ORDER BY 1"),
              (std::vector<std::string>{"p1|v1|Ann|-", "p2|v7|-|3"}));
    // The INSERT carries only columns of the table, key columns overridden in place.
    EXPECT_EQ(connection.count_containing(R"(INSERT INTO person ("name", "partition_key", "range_key") VALUES (%s, %s, %s))"),
              1u)
        << ::testing::PrintToString(connection.texts());
}

TEST_F(WriteTest, JsonColumnsStoreTheJsonForms) {
    create_person_table(connection);
    db.sql("ALTER TABLE person ADD COLUMN blob jsonb, ADD COLUMN note text");
    connection.begin();
    connection.put(Address::from_string("app#Person/a@1"), map(R"({"doc":"abc","tags":[1,"é"],"note":"abc"})"));
    connection.put(Address::from_string("app#Person/b@1"), map(R"({"doc":5,"tags":true,"blob":{"k":"v"}})"));
    connection.put(Address::from_string("app#Person/c@1"), map(R"({"doc":{"a":{"b":null}},"blob":"\"s\""})"));
    connection.commit();
    EXPECT_EQ(db.sql("SELECT doc::text || ' ' || coalesce(tags::text, '-') || ' ' || coalesce(blob::text, '-') || ' ' ||"
                     " coalesce(note, '-') FROM person ORDER BY partition_key"),
              (std::vector<std::string>{R"("abc" [1,"\u00e9"] - abc)", R"(5 true {"k": "v"} -)",
                                        R"({"a":{"b":null}} - "s" -)"}));
}

TEST_F(WriteTest, MetadataWithoutAddressEntryFailsBeforeSending) {
    connection.prepare_connection();
    connection.begin();
    connection.statements.clear();
    EXPECT_THROW(connection.put(Address::from_string("resource#Metadata/o1:v1"), map(R"({"object_id":"o1"})")),
                 korvex::UsageError);
    EXPECT_TRUE(connection.statements.empty());
}

TEST_F(WriteTest, DescriptionIsReadOncePerTableAndConnection) {
    create_person_table(connection);
    connection.prepare_connection();
    connection.statements.clear();
    connection.begin();
    for (const char* id : {"a", "b", "c"}) {
        connection.put(Address::from_string(std::string("app#Person/") + id + "@1"), map(R"({"name":"n"})"));
    }
    connection.put(Address::from_string("resource#Reference/r@1"), map(R"({"from_address":{}})"));
    connection.put(Address::from_string("resource#Reference/s@1"), map(R"({"from_address":{}})"));
    connection.commit();
    EXPECT_EQ(connection.count_containing("information_schema.columns"), 2u);
    EXPECT_EQ(connection.count_containing("INSERT INTO"), 5u);

    // Kept across disconnect and connect, and not shared with another connection object.
    connection.disconnect();
    connection.connect(std::nullopt, db.parameters());
    connection.begin();
    connection.put(Address::from_string("app#Person/d@1"), map(R"({"name":"n"})"));
    connection.commit();
    EXPECT_EQ(connection.count_containing("information_schema.columns"), 2u);

    RecordingConnection other({.is_revert_supported = false});
    other.connect(std::nullopt, db.parameters());
    other.put(Address::from_string("app#Person/e@1"), map(R"({"name":"n"})"));
    EXPECT_EQ(other.count_containing("information_schema.columns"), 1u);
    EXPECT_EQ(db.sql("SELECT count(*) FROM person"), std::vector<std::string>{"5"});
}

TEST_F(WriteTest, DescriptionOfAMissingTableIsNotKept) {
    // The empty description of a missing table is not kept: it is read again, so that the
    // table can be written once it exists.
    RecordingConnection writer({.is_revert_supported = false});
    writer.connect(std::nullopt, db.parameters());
    EXPECT_THROW(writer.put(Address::from_string("app#Person/p1@v1"), map(R"({"name":"A"})")), UsageError);
    EXPECT_EQ(writer.count_containing("INSERT"), 0u);
    EXPECT_TRUE(writer._describe_table("person").empty());
    create_person_table(connection);
    writer.put(Address::from_string("app#Person/p1@v1"), map(R"({"name":"A"})"));
    EXPECT_EQ(db.sql("SELECT name FROM person"), std::vector<std::string>{"A"});
    EXPECT_EQ(writer.count_containing("information_schema.columns"), 3u);
    writer.put(Address::from_string("app#Person/p2@v1"), map(R"({"name":"B"})"));
    EXPECT_EQ(writer.count_containing("information_schema.columns"), 3u);
}

TEST_F(WriteTest, DescriptionIgnoresSameNamedTablesOfOtherSchemas) {
    create_person_table(connection);
    db.sql("CREATE SCHEMA other");
    db.sql("CREATE TABLE other.person (partition_key text, range_key text, extra json, name json)");
    const auto description = connection._describe_table("person");
    EXPECT_EQ(description.count("extra"), 0u);
    EXPECT_EQ(description.at("name"), "text");
    EXPECT_EQ(description.at("doc"), "json");
    connection.begin();
    connection.put(Address::from_string("app#Person/p1@v1"), map(R"({"name":"Ann","extra":{"x":1}})"));
    connection.commit();
    EXPECT_EQ(db.sql("SELECT name FROM public.person"), std::vector<std::string>{"Ann"});
}

TEST_F(WriteTest, DescriptionFollowsTheSearchPath) {
    db.sql("CREATE SCHEMA tenant");
    db.sql("CREATE TABLE tenant.person (partition_key text, range_key text, label text)");
    connection.execute("SET search_path TO tenant, public");
    EXPECT_EQ(connection._describe_table("person"),
              (TableDescription{{"label", "text"}, {"partition_key", "text"}, {"range_key", "text"}}));
}

TEST_F(WriteTest, RejectedInsertIsAConnectionError) {
    create_person_table(connection);
    connection.begin();
    try {
        connection.put(Address::from_string("app#Person/p1@v1"), map(R"({"age":"not a number"})"));
        FAIL() << "the insert succeeded";
    } catch (const KorvexConnectionError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Error executing query: INSERT INTO person (\"age\", \"partition_key\", \"range_key\") VALUES (%s, %s, %s)"
                  " with args: ('not a number', 'p1', 'v1')");
        auto cause = korvex::testing::database_cause(error);
        ASSERT_TRUE(cause);
        EXPECT_EQ(cause->sqlstate(), "22P02");
    }
}

TEST_F(WriteTest, DeleteRemovesExactlyOneVersionOrEveryMetadataRowOfTheIdentity) {
    create_person_table(connection);
    connection.prepare_connection();
    db.sql("INSERT INTO person (partition_key, range_key) VALUES ('p', '1'), ('p', '2'), ('q', '1')");
    db.sql("INSERT INTO metadata (partition_key, object_id) VALUES ('m', 'a'), ('m', 'b'), ('n', 'c')");
    connection._delete(Address::from_string("app#Person/p@1"));
    connection._delete(Address::from_string("resource#Metadata/m@1"));
    EXPECT_EQ(db.sql("SELECT partition_key || range_key FROM person ORDER BY 1"), (std::vector<std::string>{"p2", "q1"}));
    EXPECT_EQ(db.sql("SELECT partition_key FROM metadata"), std::vector<std::string>{"n"});
}

// Repeated INSERT texts run as statements prepared once per server session.
TEST_F(WriteTest, RepeatedInsertsSurviveTableChangesRollbacksAndReconnects) {
    create_person_table(connection);
    auto put_one = [&](const std::string& id) {
        connection.begin();
        connection.put(Address::from_string("app#Person/" + id + "@1"), map(R"({"name":"N","age":1})"));
        connection.commit();
    };
    put_one("p1");
    connection.begin();
    connection.put(Address::from_string("app#Person/rolled-back@1"), map(R"({"name":"N","age":1})"));
    connection.rollback();
    db.sql("ALTER TABLE person ADD COLUMN extra text, DROP COLUMN flag");
    put_one("p2");
    db.sql("DROP TABLE person");
    create_person_table(connection);
    put_one("p3");
    connection.disconnect();
    connection.connect(std::nullopt, db.parameters());
    put_one("p4");
    EXPECT_EQ(db.sql("SELECT partition_key FROM person ORDER BY 1"), (std::vector<std::string>{"p3", "p4"}));
}

TEST_F(WriteTest, AnInsertThatCannotBePreparedFailsLikeTheStatement) {
    create_person_table(connection);
    connection.begin();
    connection.put(Address::from_string("app#Person/p1@1"), map(R"({"name":"N"})"));
    connection.rollback();
    db.sql("DROP TABLE person");
    connection.begin();
    try {
        connection.put(Address::from_string("app#Person/p2@1"), map(R"({"name":"N"})"));
        FAIL() << "the insert into a dropped table succeeded";
    } catch (const KorvexConnectionError& error) {
        auto cause = korvex::testing::database_cause(error);
        ASSERT_TRUE(cause);
        EXPECT_EQ(cause->sqlstate(), "42P01");
    }
    connection.rollback();
}

// A prepared INSERT that no longer fits its table fails once, with the server's message; the next
// put prepares it afresh. Statements the host sends through execute can drop prepared ones.
TEST_F(WriteTest, AStalePreparedInsertFailsOnceAndDeallocateOrDiscardEmptyTheCache) {
    create_person_table(connection);
    auto put_one = [&](const std::string& id, const char* name) {
        connection.begin();
        connection.put(Address::from_string("app#Person/" + id + "@1"), {{"name", name}});
        connection.commit();
    };
    put_one("p1", "1");
    db.sql("DROP TABLE person; CREATE TABLE person (partition_key text, range_key text, name bigint)");
    EXPECT_THROW(put_one("p2", "2"), KorvexConnectionError);  // prepared with name as text
    connection.rollback();
    put_one("p3", "3");
    connection.execute("DEALLOCATE ALL");
    put_one("p4", "4");
    connection.execute("DISCARD ALL");
    put_one("p5", "5");
    EXPECT_EQ(db.sql("SELECT partition_key || '=' || name FROM person ORDER BY 1"),
              (std::vector<std::string>{"p3=3", "p4=4", "p5=5"}));
}

