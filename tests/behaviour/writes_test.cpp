// What a host sees of writes and transactions, on every engine: after any sequence of begin,
// put, commit, rollback and revert, another connection sees exactly what was committed, and no
// transaction stays open. Statement texts belong to each store's own tests.

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "store_engine.hpp"

#include <cmath>
#include <functional>
#include <limits>
#include <tuple>

using namespace korvex;
using korvex::testing::levels;
using korvex::testing::map;
using korvex::testing::StoreTest;

namespace {

class Writes : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        TableSchema schema{Address::from_string("app#Person"),
                           {{"name", ValueKind::TEXT},
                            {"age", ValueKind::INTEGER},
                            {"score", ValueKind::FLOAT},
                            {"doc", ValueKind::MAPPING},
                            {"tags", ValueKind::SEQUENCE}},
                           {},
                           {}};
        store->table_schema_manager()->register_table(schema);
    }
    std::vector<std::string> rows() {
        return engine->sql("SELECT partition_key || '@' || range_key || '=' || coalesce(name, '') FROM person ORDER BY 1");
    }
    void put(const std::string& id, const std::string& name) {
        store->put(Address::from_string("app#Person/" + id + "@1"), {{"name", name}});
    }
    // A version with the metadata row that reads join it with.
    void write(const std::string& id, const DataMap& data) {
        const Address address = Address::from_string("app#Person/" + id + "@1");
        store->put(address, data);
        store->put(Address::from_string("resource#Metadata/" + id + ":1"),
                   engine->metadata_row({{"address", address.to_value()}}));
    }
};

}  // namespace

TEST_P(Writes, BeginPutCommitIsSeenOnlyAfterCommit) {
    store->begin();
    put("a", "A");
    EXPECT_TRUE(rows().empty());
    store->commit();
    EXPECT_EQ(rows(), std::vector<std::string>{"a@1=A"});
    EXPECT_TRUE(levels(*store).revert_data().empty());
}

// Any sequence of begin, put, commit, rollback and revert: a rollback undoes exactly its own
// level, the outermost commit or rollback (or revert) ends the transaction, and what another
// connection sees afterwards is exactly what was committed.
TEST_P(Writes, SequencesLeaveExactlyTheCommittedRowsAndNoTransactionOpen) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> sequences = {
        {"begin put:a begin put:b rollback commit", {"a@1=a"}},
        {"begin put:a begin put:b revert rollback begin put:c commit", {"c@1=c"}},
        {"begin begin put:b begin revert rollback commit", {}},
        {"begin put:a begin put:b commit revert", {}},
        {"begin put:a begin put:b rollback begin put:c revert commit", {"a@1=a"}},
        {"begin put:a revert begin put:b commit", {"b@1=b"}},
        {"begin begin begin put:a commit commit put:b rollback", {}},
        {"begin put:a begin begin put:b rollback revert commit", {"a@1=a"}},
        {"begin begin begin begin begin begin rollback rollback rollback rollback rollback put:a commit", {"a@1=a"}},
    };
    for (const auto& [sequence, expected] : sequences) {
        SCOPED_TRACE(sequence);
        engine->sql("DELETE FROM person");
        korvex::testing::run_transaction_words(*store, sequence, [&](const std::string& id) { put(id, id); });
        EXPECT_EQ(rows(), expected);
        EXPECT_TRUE(levels(*store).revert_data().empty());
        EXPECT_TRUE(levels(*store).savepoints().empty());
        engine->expect_no_open_transaction("person");
    }
}

TEST_P(Writes, RevertDeletesTheLevelsWritesNewestFirstAndEndsTheOutermostLevel) {
    if (GetParam() == "spark") GTEST_SKIP() << "checks through the SQL stores' metadata layout";
    engine->sql("INSERT INTO metadata (partition_key, object_id) VALUES ('y:1', 'y')");
    const Address metadata = Address::from_string("resource#Metadata/x:1@1");
    const DataMap metadata_row = map(R"({"address":{"object_id":"x","object_version":"1"}})");
    store->begin();
    store->begin();
    put("a", "A");
    store->put(metadata, metadata_row);
    store->begin();
    put("b", "B");
    store->commit();  // hands b to the level below
    ASSERT_EQ(levels(*store).revert_data().back().size(), 3u);
    store->revert();
    EXPECT_EQ(levels(*store).revert_data().size(), 1u);
    EXPECT_TRUE(levels(*store).is_revert_enabled());
    put("c", "C");
    store->commit();
    EXPECT_EQ(rows(), std::vector<std::string>{"c@1=C"});
    EXPECT_EQ(engine->sql("SELECT object_id FROM metadata"), std::vector<std::string>{"y"});

    // At the outermost level revert ends the transaction: nothing stays, nothing holds a lock.
    store->begin();
    put("a", "A");
    store->put(metadata, metadata_row);
    // What each put was given, also where the log reuses what the last commit's log held.
    EXPECT_EQ(levels(*store).revert_data().back(),
              (RevertLevel{{Address::from_string("app#Person/a@1"), {{"name", "A"}}}, {metadata, metadata_row}}));
    store->revert();
    EXPECT_EQ(rows(), std::vector<std::string>{"c@1=C"});
    EXPECT_EQ(engine->sql("SELECT object_id FROM metadata"), std::vector<std::string>{"y"});
    engine->expect_no_open_transaction("person");
}

TEST_P(Writes, AFailedRevertKeepsItsLevelAndRevertUsable) {
    store->begin();
    store->put(Address::from_string("app#Person/a@LATEST"), map(R"({"name":"A"})"));
    try {
        store->revert();
        FAIL() << "revert of a symbolic version succeeded";
    } catch (const KorvexConnectionError& error) {
        EXPECT_EQ(std::string(error.what()), "Deleting in reverse requires a specific version. Current version is LATEST.");
    }
    EXPECT_EQ(levels(*store).revert_data().back().size(), 1u);
    EXPECT_TRUE(levels(*store).is_revert_enabled());
    put("c", "C");
    store->commit();
    EXPECT_EQ(rows(), (std::vector<std::string>{"a@LATEST=A", "c@1=C"}));
}

TEST_P(Writes, WithRevertOffNothingIsRecordedAndAPutNeedsNoTransaction) {
    auto writer = engine->connect(false);
    writer->put(Address::from_string("app#Person/a@1"), map(R"({"name":"A"})"));
    EXPECT_EQ(rows(), std::vector<std::string>{"a@1=A"});
    writer->begin();
    writer->put(Address::from_string("app#Person/b@1"), map(R"({"name":"B"})"));
    EXPECT_TRUE(levels(*writer).revert_data().back().empty());
    EXPECT_THROW(writer->revert(), KorvexConnectionError);
    writer->commit();
    EXPECT_EQ(rows(), (std::vector<std::string>{"a@1=A", "b@1=B"}));
    // With revert on, a put outside every level is refused.
    EXPECT_THROW(put("c", "C"), korvex::UsageError);
}

TEST_P(Writes, ACommitAfterAFailedStatementRollsBackAndSaysSo) {
    if (GetParam() == "spark") GTEST_SKIP() << "a failed Spark statement leaves no transaction to abort";
    store->begin();
    put("a", "A");
    EXPECT_THROW(store->execute("SELECT * FROM no_such_table"), KorvexConnectionError);
    try {
        store->commit();
        FAIL() << "the rolled-back commit reported success";
    } catch (const KorvexConnectionError& error) {
        EXPECT_NE(std::string(error.what()).find("answered with ROLLBACK"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(levels(*store).revert_data().empty());
    EXPECT_TRUE(rows().empty());
    // A rollback to a savepoint made before the failure recovers the transaction.
    store->begin();
    put("b", "B");
    store->begin();
    EXPECT_THROW(store->execute("SELECT * FROM no_such_table"), KorvexConnectionError);
    EXPECT_THROW(put("x", "X"), KorvexConnectionError);
    store->rollback();
    put("c", "C");
    store->commit();
    EXPECT_EQ(rows(), (std::vector<std::string>{"b@1=B", "c@1=C"}));
}

TEST_P(Writes, TransactionStatementsSentThroughExecuteAreMetLikeTheServerMeetsThem) {
    if (GetParam() == "spark") GTEST_SKIP() << "Spark SQL has no COMMIT or ROLLBACK";
    store->begin();
    store->execute("COMMIT");
    EXPECT_THROW(put("a", "A"), korvex::UsageError);  // it would commit by itself
    EXPECT_THROW(store->begin(), KorvexConnectionError);  // no savepoint outside a transaction
    store->rollback();
    EXPECT_TRUE(levels(*store).revert_data().empty());
    store->execute("BEGIN");
    store->begin();  // goes on in the transaction the host opened
    put("b", "B");
    store->commit();
    EXPECT_EQ(rows(), std::vector<std::string>{"b@1=B"});
    EXPECT_TRUE(levels(*store).savepoints().empty());
}

TEST_P(Writes, DisconnectEndsTheLevelsAndTheTransaction) {
    store->begin();
    store->begin();
    put("a", "A");
    store->disconnect();
    EXPECT_TRUE(levels(*store).revert_data().empty());
    EXPECT_TRUE(levels(*store).savepoints().empty());
    EXPECT_THROW(store->begin(), KorvexConnectionError);
    EXPECT_TRUE(levels(*store).revert_data().empty());
    EXPECT_TRUE(rows().empty());
    engine->expect_no_open_transaction("person");
}

TEST_P(Writes, PutKeysTheRowByTheAddressDropsUnknownKeysAndKeepsTheCallersMap) {
    if (GetParam() == "spark") GTEST_SKIP() << "checks in PostgreSQL's and SQLite's SQL";
    store->begin();
    const DataMap data = map(R"({"name":"Ann","unknown":1,"partition_key":"other","range_key":"other"})");
    const DataMap copy = data;
    store->put(Address::from_string("app#Person/p1@v1"), data);
    store->put(Address::from_string("app#Person/p2@v7"), map(R"({"age":3})"));
    // Rows in a row with the same keys, then the same keys in another order, land alike.
    store->put(Address::from_string("app#Person/p3@v1"), map(R"({"name":"Bo","unknown":1,"partition_key":"x","range_key":"x"})"));
    store->put(Address::from_string("app#Person/p4@v1"), map(R"({"name":"Cy","unknown":1,"partition_key":"x","range_key":"x"})"));
    store->put(Address::from_string("app#Person/p5@v2"), map(R"({"range_key":"x","age":5,"partition_key":"x","name":"Di"})"));
    store->commit();
    EXPECT_EQ(data, copy);
    EXPECT_EQ(engine->sql("SELECT partition_key || '|' || range_key || '|' || coalesce(name, '-') || '|' ||"
                          " coalesce(CAST(age AS TEXT), '-') FROM person ORDER BY 1"),
              (std::vector<std::string>{"p1|v1|Ann|-", "p2|v7|-|3", "p3|v1|Bo|-", "p4|v1|Cy|-", "p5|v2|Di|5"}));
}

TEST_P(Writes, JsonColumnsKeepTheJsonFormOfEveryValue) {
    store->begin();
    write("a", map(R"({"doc":"abc","tags":[1,"é"]})"));
    write("b", map(R"({"doc":5,"tags":true})"));
    write("c", map(R"({"doc":{"a":{"b":null}},"tags":null})"));
    store->commit();
    const auto read = store->query(Address::from_string("app#Person/@ALL"), QuerySpecifier{std::vector<std::string>{"doc", "tags"}, {}},
                                   std::nullopt, {}, std::vector<OrderBy>{{"partition_key"}});
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].at("doc"), "abc");
    EXPECT_EQ(read[0].at("tags"), map(R"([1,"é"])"));
    EXPECT_EQ(read[1].at("doc"), 5);
    EXPECT_EQ(read[1].at("tags"), true);
    EXPECT_EQ(read[2].at("doc"), map(R"({"a":{"b":null}})"));
    EXPECT_TRUE(read[2].at("tags").is_null());
}

TEST_P(Writes, InternalRowsAreKeyedByIdentityAndMetadataTakesItsAddress) {
    if (GetParam() == "spark") GTEST_SKIP() << "the Iceberg metadata row is keyed by its address struct";
    store->begin();
    store->put(Address::from_string("resource#Metadata/o1:v2@ignored"),
               map(R"({"address":{"object_id":"o1","object_version":"v2"},"prior_version":"v1",
                       "is_deleted":false,"created_at":1.5,"transaction":{"id":"t"}})"));
    store->put(Address::from_string("resource#Reference/r1@v1"), map(R"({"from_address":{"id":"a"},"to_address":{"id":"b"}})"));
    EXPECT_THROW(store->put(Address::from_string("resource#Metadata/o1:v1"), map(R"({"object_id":"o1"})")),
                 korvex::UsageError);
    store->commit();
    EXPECT_EQ(engine->sql("SELECT partition_key || '|' || object_id || '|' || object_version || '|' || prior_version"
                          " || '|' || CAST(created_at AS TEXT) FROM metadata"),
              (std::vector<std::string>{"o1:v2|o1|v2|v1|1.5"}));
    EXPECT_EQ(engine->sql("SELECT partition_key FROM reference"), std::vector<std::string>{"r1"});
}

TEST_P(Writes, ValuesTheStoreWouldChangeAreRefusedNamingTheColumn) {
    store->begin();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [column, value] : std::vector<std::pair<std::string, Value>>{
             {"doc", {{"x", nan}}}, {"doc", {{"deep", {{"y", -inf}}}}}, {"tags", {1.0, inf}},
             {"doc", {{"x", "not UTF-8 \xff"}}}, {"tags", {"\xc3"}}}) {
        for (const bool many : {false, true}) {
            try {
                const Address address = Address::from_string("app#Person/p@1");
                if (many) {
                    store->put_many({{address, {{column, value}}}});
                } else {
                    store->put(address, {{column, value}});
                }
                ADD_FAILURE() << "accepted " << column << (many ? " in put_many" : "");
            } catch (const korvex::UsageError& error) {
                EXPECT_NE(std::string(error.what()).find("column " + column), std::string::npos) << error.what();
            }
        }
    }
    // Text that is not UTF-8 in a text column is kept byte for byte by SQLite and refused, naming
    // the column, before anything is sent by the PostgreSQL store.
    const std::string not_utf8 = "not UTF-8 \xff";
    for (const bool many : {false, true}) {
        const Address address = Address::from_string(many ? "app#Person/u2@1" : "app#Person/u1@1");
        const auto write = [&] {
            if (many) {
                store->put_many({{address, {{"name", not_utf8}}}});
            } else {
                store->put(address, {{"name", not_utf8}});
            }
        };
        if (on_sqlite()) {
            write();
        } else {
            EXPECT_THROW(write(), korvex::UsageError);
        }
    }
    // A real column keeps an infinity on both engines; PostgreSQL keeps a NaN too, which SQLite
    // would turn into NULL, so there it is refused.
    store->put(Address::from_string("app#Person/q@1"), {{"score", -inf}});
    if (on_sqlite()) {
        EXPECT_THROW(store->put(Address::from_string("app#Person/p@1"), {{"score", nan}}), korvex::UsageError);
        EXPECT_THROW(store->put(Address::from_string("app#Person/p@1"), {{"age", "not a number"}}), korvex::UsageError);
    } else {
        store->put(Address::from_string("app#Person/p@1"), {{"score", nan}});
    }
    store->commit();
    EXPECT_EQ(store->count(Address::from_string("app#Person/@ALL")), 0);  // no metadata rows: nothing joins
    EXPECT_EQ(engine->sql("SELECT partition_key FROM person ORDER BY 1"),
              (on_sqlite() ? std::vector<std::string>{"q", "u1", "u2"} : std::vector<std::string>{"p", "q"}));
    if (on_sqlite()) {
        EXPECT_EQ(engine->sql("SELECT name FROM person WHERE partition_key = 'u2'"), std::vector<std::string>{not_utf8});
    }
}

// A value of another kind than its column's type reads back as the value put, in the column's
// own spelling, or is refused; never as another value (true as 1, 1.5 in a whole-number column).
TEST_P(Writes, ValuesOfAnotherKindReadBackAsPutOrAreRefused) {
    if (GetParam() == "spark") GTEST_SKIP() << "Spark keeps each column's type: another kind is refused";
    store->table_schema_manager()->register_table(
        {Address::from_string("app#Kinds"), {{"t", ValueKind::TEXT}, {"i", ValueKind::INTEGER}, {"f", ValueKind::FLOAT},
                                             {"b", ValueKind::BOOLEAN}}, {}, {}});
    const Value refused = "<refused>";
    const std::vector<std::tuple<std::string, Value, Value>> cases = {
        {"t", true, "true"},   {"t", -0.0, "-0.0"}, {"t", 1e300, "1e+300"}, {"t", 7, "7"},
        {"i", true, refused},  {"i", 1.5, refused}, {"i", 1e300, refused},  {"i", "1.5", refused}, {"i", 7, 7},
        {"i", "99999999999999999999", refused},     {"i", " -99999999999999999999", refused},
        {"f", true, refused},  {"f", 1.5, 1.5},
        {"b", 1.5, refused},   {"b", 7, refused},   {"b", -0.0, refused},   {"b", "12", refused},  {"b", false, false},
    };
    int n = 0;
    for (const auto& [column, value, expected] : cases) {
        SCOPED_TRACE(column + " <- " + value.dump());
        const Address address = Address::from_string("app#Kinds/o" + std::to_string(n) + "@1");
        store->begin();
        try {
            store->put(address, {{column, value}});
            store->put(Address::from_string("resource#Metadata/o" + std::to_string(n++) + ":1"), {{"address", address.to_value()}});
            store->commit();
        } catch (const korvex::Error&) {
            store->rollback();
            EXPECT_EQ(expected, refused);
            continue;
        }
        const auto read = store->query(address);
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(read[0].at(column), expected);
        EXPECT_EQ(read[0].at(column).type(), expected.type());
    }
}

// A table registered again with other columns, or altered through execute, is written by its new
// columns: the kept description must not drop the value of a column it has not seen.
TEST_P(Writes, APutAfterItsTableChangedWritesTheNewColumns) {
    if (GetParam() == "spark") GTEST_SKIP() << "alters the table in PostgreSQL's and SQLite's SQL";
    const Address person = Address::from_string("app#Person");
    const auto ages = [&] { return engine->sql("SELECT partition_key || '=' || coalesce(CAST(age AS TEXT), '-') FROM person ORDER BY 1"); };
    store->begin();
    put("a", "A");
    store->commit();
    store->table_schema_manager()->unregister_table(person);
    store->table_schema_manager()->register_table({person, {{"name", ValueKind::TEXT}}, {}, {}});
    store->begin();
    store->put(Address::from_string("app#Person/b@1"), {{"name", "B"}, {"age", 3}});
    store->commit();
    store->execute("ALTER TABLE person ADD COLUMN age INTEGER");
    store->begin();
    store->put(Address::from_string("app#Person/c@1"), {{"name", "C"}, {"age", 4}});
    store->commit();
    EXPECT_EQ(ages(), (std::vector<std::string>{"b=-", "c=4"}));
    // A column added in a transaction that was rolled back is gone again.
    store->begin();
    store->execute("ALTER TABLE person ADD COLUMN extra TEXT");
    store->put(Address::from_string("app#Person/d@1"), {{"name", "D"}, {"extra", "x"}});
    store->rollback();
    store->begin();
    store->put(Address::from_string("app#Person/e@1"), {{"name", "E"}, {"extra", "x"}});
    store->commit();
    EXPECT_EQ(ages(), (std::vector<std::string>{"b=-", "c=4", "e=-"}));
}

// A write that cannot land is named before anything is sent, and the transaction goes on: a class
// version without a table, and an address naming no object (the read form "every object").
TEST_P(Writes, AWriteThatCannotLandSaysWhyAndSendsNothing) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"app#Ghost@1/g@1", "app#Ghost@1 has no table"},
        {"app#Person/@1", "names no object"},
        {"app#Person@ALL/@LATEST", "names no object"},
        {"resource#Metadata/o1:v1", "a metadata row needs an address entry"}};
    store->begin();
    for (const auto& [text, says] : cases) {
        const Address address = Address::from_string(text);
        // Each error names the operation that was called.
        const std::vector<std::pair<std::string, std::function<void()>>> writes = {
            {"put: ", [&] { store->put(address, {{"name", "G"}}); }},
            {"put_many: ", [&] {
                 store->put_many({{Address::from_string("app#Person/b@1"), {{"name", "B"}}}, {address, {{"name", "G"}}}});
             }}};
        for (const auto& [operation, write] : writes) {
            try {
                write();
                ADD_FAILURE() << "a write to " << text << " succeeded";
            } catch (const UsageError& error) {
                EXPECT_NE(std::string(error.what()).find(says), std::string::npos) << error.what();
                EXPECT_TRUE(std::string(error.what()).starts_with(operation)) << error.what();
            }
        }
    }
    put("a", "A");
    store->commit();
    EXPECT_EQ(rows(), std::vector<std::string>{"a@1=A"});
}

// Another session re-creates the table with other column types after this one wrote to it: the
// next put writes to the new table, or fails saying that the table changed, and then the host's
// retry of the transaction writes it.
TEST_P(Writes, APutAfterAnotherSessionRecreatedItsTableWithOtherTypes) {
    if (GetParam() == "spark") GTEST_SKIP() << "re-creates the table in PostgreSQL's and SQLite's SQL";
    const Address person = Address::from_string("app#Person");
    struct Case {
        ValueKind before;
        Value before_value;
        ValueKind after;
        Value value;
        std::string stored;
        // Whether a failure must say that the table changed. A value that the old column type
        // cannot even read is refused as the server refuses it: the session cannot tell that
        // from a value that does not fit.
        bool says_changed = true;
    };
    const std::vector<Case> cases = {{ValueKind::TEXT, "x", ValueKind::MAPPING, "abc", "\"abc\""},
                                     {ValueKind::INTEGER, 1, ValueKind::TEXT, "12", "12"},
                                     {ValueKind::INTEGER, 1, ValueKind::TEXT, "12 apples", "12 apples", false}};
    // Writes in a transaction of its own, retried once when the put fails.
    bool many = false;  // through put_many
    const auto put_retried = [&](const char* id, const Value& value, bool says_changed = true) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            store->begin();
            try {
                const Address address = Address::from_string(std::string("app#Person/") + id + "@1");
                const DataMap data = {{"doc", value}};
                if (many) {
                    // Two items, so that a store writing many rows otherwise than one by one does.
                    const Address second = Address::from_string(std::string("app#Person/") + id + "@2");
                    store->put_many({{address, data}, {second, data}});
                } else {
                    store->put(address, data);
                }
                store->commit();
                return;
            } catch (const Error& error) {
                if (says_changed) {
                    EXPECT_NE(std::string(error.what()).find("changed under this session"), std::string::npos)
                        << error.what();
                }
                store->rollback();
            }
        }
        ADD_FAILURE() << "the retried put failed again";
    };
    auto other = engine->connect();
    for (std::size_t i = 0; i < 2 * cases.size(); ++i) {
        const Case& c = cases[i % cases.size()];
        many = i >= cases.size();
        SCOPED_TRACE(i);
        other->table_schema_manager()->unregister_table(person);
        other->table_schema_manager()->register_table({person, {{"doc", c.before}}, {}, {}});
        put_retried("old", c.before_value);
        other->table_schema_manager()->unregister_table(person);
        other->table_schema_manager()->register_table({person, {{"doc", c.after}}, {}, {}});
        put_retried("new", c.value, c.says_changed);
        EXPECT_EQ(engine->sql("SELECT CAST(doc AS TEXT) FROM person"), std::vector<std::string>(many ? 2 : 1, c.stored));
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Writes, ::testing::ValuesIn(korvex::testing::ENGINES),
                         [](const auto& info) { return info.param; });
