// PostgresHistoricalConnection: nested transactions, savepoints and the revert log.

#include "korvex/error.hpp"
#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "pg_fixture.hpp"

#include <regex>
#include <set>

using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::testing::expect_connection_error;
using korvex::testing::map;
using korvex::testing::OfflineConnection;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;

namespace {

bool is_savepoint_name(const std::string& name) { return std::regex_match(name, std::regex("[A-Za-z]{10}")); }

// The statements that are transaction or savepoint statements.
std::vector<std::string> transaction_statements(const std::vector<std::string>& texts) {
    std::vector<std::string> result;
    for (const auto& text : texts) {
        if (text == "BEGIN" || text == "COMMIT" || text == "ROLLBACK" || text.starts_with("SAVEPOINT ") ||
            text.starts_with("ROLLBACK TO SAVEPOINT ") || text.starts_with("RELEASE")) {
            result.push_back(text);
        }
    }
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Statement sequences and stack changes (no server)

TEST(SavepointName, IsTenAsciiLettersAndNew) {
    PostgresHistoricalConnection connection;
    std::set<std::string> names;
    std::set<char> letters;
    for (int i = 0; i < 200; ++i) {
        const std::string name = connection._savepoint_name();
        EXPECT_TRUE(is_savepoint_name(name)) << name;
        names.insert(name);
        letters.insert(name.begin(), name.end());
    }
    EXPECT_EQ(names.size(), 200u);
    // Both cases are drawn (2000 draws from 52 letters).
    EXPECT_TRUE(std::any_of(letters.begin(), letters.end(), ::islower));
    EXPECT_TRUE(std::any_of(letters.begin(), letters.end(), ::isupper));
}

TEST(Begin, SendsBeginThenASavepointPerNestedLevel) {
    OfflineConnection connection;
    connection.begin();
    connection.begin();
    connection.begin();
    const auto texts = connection.texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "BEGIN");
    ASSERT_TRUE(texts[1].starts_with("SAVEPOINT "));
    ASSERT_TRUE(texts[2].starts_with("SAVEPOINT "));
    EXPECT_TRUE(is_savepoint_name(texts[1].substr(10)));
    EXPECT_TRUE(is_savepoint_name(texts[2].substr(10)));
    EXPECT_NE(texts[1], texts[2]);
    EXPECT_EQ(connection.revert_data().size(), 3u);
    EXPECT_EQ(connection.savepoints(), (std::vector<std::string>{texts[1].substr(10), texts[2].substr(10)}));
    for (const auto& statement : connection.statements) EXPECT_TRUE(statement.params.empty());
}

TEST(Rollback, RollsBackToTheMatchingSavepointThenTheTransaction) {
    OfflineConnection connection;
    connection.begin();
    connection.begin();
    connection.rollback();
    connection.rollback();
    const auto texts = connection.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[2], "ROLLBACK TO SAVEPOINT " + texts[1].substr(10));
    EXPECT_EQ(texts[3], "ROLLBACK");
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_TRUE(connection.savepoints().empty());
}

TEST(Commit, InnerCommitSendsNothingAndOuterCommitSendsCommit) {
    OfflineConnection connection;
    connection.begin();
    connection.begin();
    connection.commit();
    EXPECT_EQ(connection.texts().size(), 2u);
    EXPECT_TRUE(connection.savepoints().empty());
    EXPECT_EQ(connection.revert_data().size(), 1u);
    connection.commit();
    EXPECT_EQ(connection.texts().back(), "COMMIT");
    EXPECT_TRUE(connection.revert_data().empty());
}

TEST(NoOpenLevel, CommitRollbackRevertFailAndSendNothing) {
    OfflineConnection connection;
    EXPECT_THROW(connection.commit(), korvex::UsageError);
    EXPECT_THROW(connection.rollback(), korvex::UsageError);
    EXPECT_THROW(connection.revert(), korvex::UsageError);
    EXPECT_THROW(connection._add_revert_data(Address::from_string("a#B/c@1"), DataMap::object()), korvex::UsageError);
    EXPECT_TRUE(connection.statements.empty());
    // The failed revert does not leave revert switched off.
    EXPECT_TRUE(connection.is_revert_enabled());
}

TEST(RevertDisabled, RecordsNothingRefusesRevertAndStillNests) {
    OfflineConnection connection({.is_revert_supported = false});
    connection.columns = {{"name", "text"}};
    connection.begin();
    connection.begin();
    connection.put(Address::from_string("app#Person/p1@v1"), map(R"({"name":"A"})"));
    ASSERT_EQ(connection.revert_data().size(), 2u);
    EXPECT_TRUE(connection.revert_data()[0].empty());
    EXPECT_TRUE(connection.revert_data()[1].empty());
    expect_connection_error([&] { connection.revert(); }, "Revert is not supported");
    EXPECT_EQ(connection.revert_data().size(), 2u);
    connection.commit();
    connection.rollback();
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_EQ(connection.texts().back(), "ROLLBACK");
}

TEST(Revert, EmptyLevelDeletesNothingAndClosesTheLevel) {
    OfflineConnection connection;
    connection.begin();
    connection.begin();
    connection.statements.clear();
    connection.revert();  // nested: its savepoint name goes with it, nothing is sent
    EXPECT_TRUE(connection.statements.empty());
    EXPECT_EQ(connection.revert_data().size(), 1u);
    EXPECT_TRUE(connection.savepoints().empty());
    EXPECT_TRUE(connection.is_revert_enabled());
    connection.revert();  // outermost: the server transaction ends
    EXPECT_EQ(connection.texts(), std::vector<std::string>{"ROLLBACK"});
    EXPECT_TRUE(connection.revert_data().empty());
}

TEST(OnTransactionComplete, ForgetsTheRecordedWritesAndKeepsTheLevelsOpen) {
    OfflineConnection connection;
    connection.columns = {{"name", "text"}};
    connection.begin();
    connection.begin();
    connection.put(Address::from_string("app#Person/p1@v1"), map(R"({"name":"A"})"));
    connection.statements.clear();
    connection.on_transaction_complete();
    ASSERT_EQ(connection.revert_data().size(), 2u);
    EXPECT_TRUE(connection.revert_data()[1].empty());
    EXPECT_TRUE(connection.statements.empty());
    connection.commit();
    connection.commit();  // the transaction can still be ended
    EXPECT_EQ(connection.texts(), std::vector<std::string>{"COMMIT"});
}

// ---------------------------------------------------------------------------------------------
// On the server

namespace {

struct TransactionTest : ::testing::Test {
    void SetUp() override {
        connection.connect(std::nullopt, db.parameters());
        TableSchema schema{Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}};
        connection.table_schema_manager()->register_table(schema);
        connection.prepare_connection();
        connection.statements.clear();
    }
    std::vector<std::string> rows() const {
        return db.sql("SELECT partition_key || '@' || range_key || '=' || coalesce(name, '') FROM person ORDER BY 1");
    }
    PgTestDatabase db;
    RecordingConnection connection;
};

}  // namespace

TEST_F(TransactionTest, InnerCommitHandsEntriesToTheOuterLevelAndRevertDeletesNewestFirst) {
    connection.begin();  // outer transaction
    connection.begin();  // the level to revert
    connection.put(Address::from_string("app#Person/a@1"), map(R"({"name":"A"})"));
    connection.begin();
    connection.put(Address::from_string("app#Person/b@1"), map(R"({"name":"B"})"));
    connection.commit();
    ASSERT_EQ(connection.revert_data().size(), 2u);
    const auto& level = connection.revert_data().back();
    ASSERT_EQ(level.size(), 2u);
    EXPECT_EQ(level[0].first.object_id, "a");
    EXPECT_EQ(level[1].first.object_id, "b");

    connection.statements.clear();
    connection.revert();
    ASSERT_EQ(connection.statements.size(), 2u);
    EXPECT_EQ(connection.statements[0],
              (Statement{R"(DELETE FROM "person" WHERE "partition_key" = %s AND "range_key" = %s)", {"b", "1"}}));
    EXPECT_EQ(connection.statements[1].params, (std::vector<Value>{"a", "1"}));
    EXPECT_EQ(connection.revert_data().size(), 1u);
    EXPECT_TRUE(connection.is_revert_enabled());

    connection.commit();
    EXPECT_TRUE(rows().empty());
}

TEST_F(TransactionTest, RevertOfMetadataDeletesEveryRowOfTheIdentity) {
    db.sql("INSERT INTO metadata (partition_key, object_id) VALUES ('x:1', 'older'), ('y:1', 'y')");
    connection.begin();
    connection.begin();
    connection.put(Address::from_string("resource#Metadata/x:1@1"),
                   map(R"({"address":{"object_id":"x","object_version":"1"}})"));
    connection.revert();
    EXPECT_EQ(connection.statements.back(), (Statement{R"(DELETE FROM "metadata" WHERE "partition_key" = %s)", {"x:1"}}));
    connection.commit();
    EXPECT_EQ(db.sql("SELECT object_id FROM metadata"), std::vector<std::string>{"y"});
}

TEST_F(TransactionTest, RevertOfTheOutermostLevelEndsTheTransactionWithRollback) {
    db.sql("INSERT INTO metadata (partition_key, object_id) VALUES ('x:1', 'older')");
    connection.begin();
    connection.put(Address::from_string("app#Person/a@1"), map(R"({"name":"A"})"));
    connection.put(Address::from_string("resource#Metadata/x:1@1"),
                   map(R"({"address":{"object_id":"x","object_version":"1"}})"));
    connection.revert();
    EXPECT_EQ(transaction_statements(connection.texts()), (std::vector<std::string>{"BEGIN", "ROLLBACK"}));
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_TRUE(rows().empty());
    // The older row of the same identity is untouched, and no transaction holds a lock.
    EXPECT_EQ(db.sql("SELECT object_id FROM metadata"), std::vector<std::string>{"older"});
    db.sql("BEGIN; LOCK TABLE person IN ACCESS EXCLUSIVE MODE NOWAIT; COMMIT");
}

TEST_F(TransactionTest, FailedBeginAndDisconnectLeaveNoLevelOpen) {
    connection.begin();
    db.sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND pid <> "
           "pg_backend_pid()");
    EXPECT_THROW(connection.begin(), KorvexConnectionError);
    // The lost session took its transaction along: no level is left to write into.
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_TRUE(connection.savepoints().empty());
    EXPECT_THROW(connection.put(Address::from_string("app#Person/a@1"), map(R"({"name":"A"})")), korvex::UsageError);
    connection.disconnect();
    connection.connect(std::nullopt, db.parameters());
    connection.begin();
    connection.begin();
    connection.disconnect();
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_TRUE(connection.savepoints().empty());
    expect_connection_error([&] { connection.begin(); }, "Connection not established");
    EXPECT_TRUE(connection.revert_data().empty());
}

