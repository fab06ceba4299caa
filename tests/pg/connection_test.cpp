// PostgresHistoricalConnection: construction, environment defaults, connect/disconnect, execute and its cursor,
// table_schema_manager and prepare_connection.

#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"
#include "pg_fixture.hpp"

#include <cmath>

using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::testing::expect_connection_error;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;
using korvex::testing::ScopedEnv;

namespace detail = korvex::pg_timeline::detail;

namespace {

std::string current_database(PostgresHistoricalConnection& connection) {
    return connection.execute("SELECT current_database()")->fetchall().at(0).at(0).get<std::string>();
}

// The five variables pointing at the test database.
std::map<std::string, std::optional<std::string>> env_for(const PgTestDatabase& db) {
    auto parameters = db.parameters();
    return {{"POSTGRES_HOST", parameters["host"]},
            {"POSTGRES_PORT", parameters["port"]},
            {"POSTGRES_USER", parameters["user"]},
            {"POSTGRES_PASSWORD", std::nullopt},
            {"POSTGRES_DATABASE", parameters["database"]}};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and pure parts

TEST(Construction, StartsClosedWithEmptyStacks) {
    PostgresHistoricalConnection connection;
    EXPECT_TRUE(connection.is_revert_enabled());
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_TRUE(connection.savepoints().empty());
    EXPECT_FALSE(connection.is_connected());
    EXPECT_FALSE(PostgresHistoricalConnection({.is_revert_supported = false}).is_revert_enabled());
}

TEST(DefaultEnvs, ReadsTheFiveVariablesAsText) {
    ScopedEnv env({{"POSTGRES_HOST", "db.example"},
                   {"POSTGRES_PORT", "6543"},
                   {"POSTGRES_USER", "alice"},
                   {"POSTGRES_PASSWORD", "secret"},
                   {"POSTGRES_DATABASE", "store"}});
    const ConnectionParameters expected{
        {"host", "db.example"}, {"port", "6543"}, {"user", "alice"}, {"password", "secret"}, {"database", "store"}};
    EXPECT_EQ(PostgresHistoricalConnection()._default_envs(), expected);
}

TEST(DefaultEnvs, UnsetAndEmptyVariablesGiveNoEntry) {
    {
        ScopedEnv env(ScopedEnv::none());
        EXPECT_TRUE(PostgresHistoricalConnection()._default_envs().empty());
    }
    auto values = ScopedEnv::none();
    values["POSTGRES_HOST"] = "";
    values["POSTGRES_USER"] = "bob";
    ScopedEnv env(values);
    EXPECT_EQ(PostgresHistoricalConnection()._default_envs(), (ConnectionParameters{{"user", "bob"}}));
}

TEST(ConnectParameters, CallerParametersOverrideAndExtendDefaults) {
    const auto merged = detail::overlay_parameters({{"host", "a"}, {"port", "1"}}, {{"port", "2"}, {"sslmode", "disable"}});
    EXPECT_EQ(merged, (ConnectionParameters{{"host", "a"}, {"port", "2"}, {"sslmode", "disable"}}));
}

TEST(ConnectParameters, DsnComesFirstAsExpandedDbnameAndDatabaseBecomesDbname) {
    const auto keywords = detail::connect_keywords("host=h port=1", {{"database", "d"}, {"user", "u"}});
    EXPECT_TRUE(keywords.expand_dbname);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"client_encoding", "UTF8"}, {"dbname", "host=h port=1"}, {"dbname", "d"}, {"user", "u"}};
    EXPECT_EQ(keywords.entries, expected);
}

TEST(ConnectParameters, WithoutDsnOnlyTheGivenParametersFollowTheEncoding) {
    const auto keywords = detail::connect_keywords(std::nullopt, {{"host", "h"}});
    EXPECT_FALSE(keywords.expand_dbname);
    const std::vector<std::pair<std::string, std::string>> expected{{"client_encoding", "UTF8"}, {"host", "h"}};
    EXPECT_EQ(keywords.entries, expected);
}

TEST(StatementMarkers, NumbersPercentSAndUnescapesDoublePercent) {
    EXPECT_EQ(detail::number_markers("SELECT 1"), std::make_pair(std::string("SELECT 1"), std::size_t{0}));
    EXPECT_EQ(detail::number_markers("a = %s AND b = %s"), std::make_pair(std::string("a = $1 AND b = $2"), std::size_t{2}));
    EXPECT_EQ(detail::number_markers("7 %% %s, 5%"), std::make_pair(std::string("7 % $1, 5%"), std::size_t{1}));
}

TEST(StatementParameters, TextFormOfEachKind) {
    EXPECT_EQ(detail::parameter_text(nullptr), std::nullopt);
    EXPECT_EQ(detail::parameter_text(true), "true");
    EXPECT_EQ(detail::parameter_text(false), "false");
    EXPECT_EQ(detail::parameter_text(-42), "-42");
    EXPECT_EQ(detail::parameter_text(1.5), "1.5");
    EXPECT_EQ(detail::parameter_text(std::nan("")), "NaN");
    EXPECT_EQ(detail::parameter_text(-INFINITY), "-Infinity");
    EXPECT_EQ(detail::parameter_text("it's"), "it's");
    EXPECT_EQ(detail::parameter_text(Value::parse(R"({"b":1,"a":"é"})")), R"({"b":1,"a":"\u00e9"})");
    EXPECT_EQ(detail::parameter_text(Value::parse("[1,null]")), "[1,null]");
}

TEST(ResultFields, DecodedByColumnType) {
    auto decode = [](const std::string& text, unsigned oid) { return detail::decode_field(text.data(), text.size(), oid); };
    EXPECT_EQ(decode("t", 16), Value(true));
    EXPECT_EQ(decode("f", 16), Value(false));
    EXPECT_EQ(decode("-7", 21), Value(-7));
    EXPECT_EQ(decode("9000000000", 20), Value(9000000000LL));
    EXPECT_EQ(decode("2.5", 701), Value(2.5));
    EXPECT_EQ(decode("12", 1700), Value(12));
    EXPECT_EQ(decode("12.25", 1700), Value(12.25));
    EXPECT_EQ(decode(R"({"a": [1, "x"]})", 114), Value::parse(R"({"a":[1,"x"]})"));
    EXPECT_EQ(decode("[true]", 3802), Value::parse("[true]"));
    EXPECT_EQ(decode("2024-01-01", 1082), Value("2024-01-01"));
    EXPECT_EQ(decode("abc", 25), Value("abc"));
}

TEST(TableSchemaManager, EveryReadGivesANewServiceBoundToTheConnection) {
    PostgresHistoricalConnection connection;
    auto first = connection.table_schema_manager();
    auto second = connection.table_schema_manager();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(dynamic_cast<PostgresHistoricalTableSchemaService*>(first.get()), nullptr);
    EXPECT_EQ(&first->connection(), static_cast<Connection*>(&connection));
}

TEST(Closed, ExecuteAndDisconnectRefuse) {
    PostgresHistoricalConnection connection;
    expect_connection_error([&] { connection.execute("SELECT 1"); }, "Connection not established");
    expect_connection_error([&] { connection.disconnect(); }, "Connection not established");
    expect_connection_error([&] { connection.prepare_connection(); }, "Connection not established");
}

// ---------------------------------------------------------------------------------------------
// On the server

TEST(Connect, ByEnvironmentVariables) {
    PgTestDatabase db;
    ScopedEnv env(env_for(db));
    PostgresHistoricalConnection connection;
    connection.connect();
    EXPECT_TRUE(connection.is_connected());
    EXPECT_EQ(current_database(connection), db.name());
}

TEST(Connect, ByConnectionString) {
    PgTestDatabase db;
    const std::string dsn = db.dsn();
    ScopedEnv env(ScopedEnv::none());
    PostgresHistoricalConnection connection;
    connection.connect(dsn);
    EXPECT_EQ(current_database(connection), db.name());
}

// The variables travel as named parameters: a keyword of the string fills in only what they
// leave unset, and a set variable wins over the same keyword in the string.
TEST(Connect, ConnectionStringFillsInWhatTheVariablesLeaveUnset) {
    PgTestDatabase db;
    ScopedEnv env(env_for(db));
    PostgresHistoricalConnection connection;
    connection.connect("dbname=no_such_database_korvex application_name=korvex_dsn_test");
    EXPECT_EQ(current_database(connection), db.name());
    EXPECT_EQ(connection.execute("SHOW application_name")->fetchall().at(0).at(0), Value("korvex_dsn_test"));
}

TEST(Connect, NamedParametersOverrideVariablesAndTheConnectionString) {
    PgTestDatabase db;
    auto values = env_for(db);
    values["POSTGRES_DATABASE"] = "no_such_database_korvex";
    ScopedEnv env(values);
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, {{"database", db.name()}});
    EXPECT_EQ(current_database(connection), db.name());

    PostgresHistoricalConnection by_dsn;
    by_dsn.connect("dbname=no_such_database_korvex", {{"database", db.name()}, {"application_name", "named"}});
    EXPECT_EQ(current_database(by_dsn), db.name());
    EXPECT_EQ(by_dsn.execute("SHOW application_name")->fetchall().at(0).at(0), Value("named"));
}

TEST(Connect, LeavesTheServerDefaultIsolationLevelAndSendsNothing) {
    PgTestDatabase db;
    RecordingConnection connection;
    connection.connect(std::nullopt, db.parameters());
    EXPECT_TRUE(connection.statements.empty());
    EXPECT_EQ(connection.execute("SHOW transaction_isolation")->fetchall().at(0).at(0), Value("read committed"));
}

TEST(Connect, TwiceRefusesAndKeepsTheOpenConnection) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    expect_connection_error([&] { connection.connect(std::nullopt, db.parameters()); }, "Connection already established");
    EXPECT_EQ(current_database(connection), db.name());
}

TEST(Connect, FailureToOpenPropagatesTheClientErrorAndStaysClosed) {
    PgTestDatabase db;
    auto parameters = db.parameters();
    parameters["database"] = "no_such_database_korvex";
    PostgresHistoricalConnection connection;
    try {
        connection.connect(std::nullopt, parameters);
        FAIL() << "connecting to a missing database succeeded";
    } catch (const KorvexConnectionError&) {
        FAIL() << "an opening error must not be wrapped";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("no_such_database_korvex"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(connection.is_connected());
    connection.connect(std::nullopt, db.parameters());
    EXPECT_TRUE(connection.is_connected());
}

TEST(Connect, UnknownParameterNameReachesTheClient) {
    PgTestDatabase db;
    auto parameters = db.parameters();
    parameters["no_such_option"] = "1";
    PostgresHistoricalConnection connection;
    EXPECT_THROW(connection.connect(std::nullopt, parameters), DatabaseError);
    EXPECT_FALSE(connection.is_connected());
}

TEST(Disconnect, ThenConnectAgainStartsWithoutTransactionLevels) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    connection.begin();
    connection.disconnect();
    EXPECT_FALSE(connection.is_connected());
    EXPECT_TRUE(connection.revert_data().empty());  // the server ended the transaction
    expect_connection_error([&] { connection.execute("SELECT 1"); }, "Connection not established");

    connection.connect(std::nullopt, db.parameters());
    EXPECT_EQ(connection.execute("SELECT 1")->fetchall().at(0).at(0), Value(1));
}

TEST(Execute, ServerNoticesGoToTheModuleLoggerAtDebugLevel) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    korvex::testing::CapturedLog log;
    connection.execute("BEGIN");
    connection.execute("BEGIN");
    EXPECT_NE(log.text().find("[debug] server notice: WARNING:  there is already a transaction in progress"),
              std::string::npos)
        << log.text();
}

TEST(Disconnect, IssuesNoCommit) {
    PgTestDatabase db;
    db.sql("CREATE TABLE t (a integer)");
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    connection.execute("BEGIN");
    connection.execute("INSERT INTO t VALUES (%s)", {1});
    connection.disconnect();
    EXPECT_EQ(db.sql("SELECT count(*) FROM t"), std::vector<std::string>{"0"});
}

TEST(Execute, StatementWithoutMarkersRunsWithNoParameters) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    auto cursor = connection.execute("SELECT 1");
    ASSERT_EQ(cursor->description().size(), 1u);
    EXPECT_EQ(cursor->description()[0].name, "?column?");
    EXPECT_EQ(cursor->description()[0].type_code, 23u);
    EXPECT_EQ(cursor->fetchall(), std::vector<Row>{Row{Value(1)}});
    EXPECT_EQ(cursor->fetchone(), std::nullopt);
}

TEST(Execute, ParametersTravelSeparatelyAndComeBackDecoded) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    const std::string hostile = "x'); DROP TABLE pg_class; --";
    auto cursor = connection.execute(
        "SELECT %s::text AS t, %s::int8 + 1 AS i, %s::float8 AS f, %s::boolean AS b, %s::json AS j, %s::text IS NULL AS n,"
        " 7 %% 4 AS m, 2.50::numeric AS d",
        {hostile, 41, 0.25, true, Value::parse(R"({"k":["é"]})"), nullptr});
    std::vector<std::string> names;
    for (const auto& column : cursor->description()) names.push_back(column.name);
    EXPECT_EQ(names, (std::vector<std::string>{"t", "i", "f", "b", "j", "n", "m", "d"}));
    auto row = cursor->fetchone();
    ASSERT_TRUE(row);
    EXPECT_EQ(*row, (Row{Value(hostile), Value(42), Value(0.25), Value(true), Value::parse(R"({"k":["é"]})"), Value(true),
                         Value(3), Value(2.5)}));
    EXPECT_EQ(cursor->fetchone(), std::nullopt);
}

TEST(Execute, CommandWithoutRowsHasAnEmptyDescription) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    auto cursor = connection.execute("CREATE TABLE t (a integer)");
    EXPECT_TRUE(cursor->description().empty());
    EXPECT_TRUE(cursor->fetchall().empty());
}

TEST(Execute, FailingStatementIsWrappedWithTheServerErrorAsCause) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    const std::string statement = "SELECT * FROM missing_table WHERE a = %s AND b = %s";
    try {
        connection.execute(statement, {1, "x"});
        FAIL() << "the statement succeeded";
    } catch (const KorvexConnectionError& error) {
        EXPECT_EQ(std::string(error.what()), "Error executing query: " + statement + " with args: (1, 'x')");
        auto cause = korvex::testing::database_cause(error);
        ASSERT_TRUE(cause);
        EXPECT_EQ(cause->sqlstate(), "42P01");
        EXPECT_NE(std::string(cause->what()).find("missing_table"), std::string::npos) << cause->what();
    }
}

TEST(Execute, MarkerCountMismatchIsAStatementError) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    try {
        connection.execute("SELECT %s", {});
        FAIL() << "a statement with a marker and no parameter ran";
    } catch (const KorvexConnectionError& error) {
        EXPECT_EQ(std::string(error.what()), "Error executing query: SELECT %s with args: ()");
        EXPECT_TRUE(cause_of(error));
    }
}

TEST(Execute, SendsNoTransactionStatementsOfItsOwn) {
    PgTestDatabase db;
    db.sql("CREATE TABLE t (a integer)");
    PostgresHistoricalConnection connection;
    connection.connect(std::nullopt, db.parameters());
    connection.execute("INSERT INTO t VALUES (%s)", {1});
    // Outside BEGIN the server runs each statement in its own transaction: another session
    // sees the row at once, and this session is not left inside a transaction.
    EXPECT_EQ(db.sql("SELECT count(*) FROM t"), std::vector<std::string>{"1"});
    EXPECT_EQ(db.sql("SELECT count(*) FROM pg_stat_activity WHERE state = 'idle in transaction'"
                     " AND datname = current_database()"),
              std::vector<std::string>{"0"});
}

// ---------------------------------------------------------------------------------------------
// prepare_connection

namespace {

// Every column and index of the public schema, as "table.column type" / index definitions.
std::vector<std::string> catalog(const PgTestDatabase& db) {
    auto columns = db.sql(
        "SELECT table_name || '.' || column_name || ' ' || data_type || ' ' || is_nullable || ' ' ||"
        " coalesce(column_default, '-') FROM information_schema.columns WHERE table_schema = 'public'"
        " ORDER BY table_name, ordinal_position");
    auto indexes = db.sql("SELECT indexdef FROM pg_indexes WHERE schemaname = 'public' ORDER BY indexname");
    columns.insert(columns.end(), indexes.begin(), indexes.end());
    return columns;
}

}  // namespace

TEST(PrepareConnection, CreatesTheThreeInternalTablesAndASecondCallChangesNothing) {
    PgTestDatabase db;
    RecordingConnection connection;
    connection.connect(std::nullopt, db.parameters());
    connection.prepare_connection();

    EXPECT_EQ(db.sql("SELECT table_name FROM information_schema.tables WHERE table_schema = 'public' ORDER BY 1"),
              (std::vector<std::string>{"metadata", "reference", "transaction"}));
    EXPECT_EQ(db.sql("SELECT column_name || ' ' || data_type FROM information_schema.columns"
                     " WHERE table_name = 'metadata' ORDER BY ordinal_position"),
              (std::vector<std::string>{"partition_key text", "address json", "object_id text", "object_version text",
                                        "prior_version text", "class_schema_reference json",
                                        "class_meta_schema_reference json", "class_schema_type text",
                                        "is_deleted boolean", "created_at double precision",
                                        "updated_at double precision", "transaction json"}));
    EXPECT_EQ(db.sql("SELECT column_name || ' ' || data_type FROM information_schema.columns"
                     " WHERE table_name = 'reference' ORDER BY ordinal_position"),
              (std::vector<std::string>{"partition_key text", "from_address json", "to_address json"}));
    EXPECT_EQ(db.sql("SELECT column_name || ' ' || data_type FROM information_schema.columns"
                     " WHERE table_name = 'transaction' ORDER BY ordinal_position"),
              (std::vector<std::string>{"partition_key text", "range_key text", "address json", "label text",
                                        "tags json", "started_at double precision", "ended_at double precision"}));
    // No transaction statement: the service neither begins nor commits.
    EXPECT_EQ(connection.count_containing("BEGIN") + connection.count_containing("COMMIT"), 0u);

    const auto before = catalog(db);
    connection.statements.clear();
    connection.prepare_connection();
    EXPECT_EQ(catalog(db), before);
    EXPECT_EQ(connection.count_containing("CREATE") + connection.count_containing("ALTER"), 0u)
        << ::testing::PrintToString(connection.texts());
}
