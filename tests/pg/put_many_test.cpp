// put_many: many versions in one round trip, all or nothing, recorded for revert like put; checked
// from a second connection.

#include "korvex/error.hpp"
#include "pg_fixture.hpp"

#include <functional>
#include <limits>

using namespace korvex;
using korvex::testing::map;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;

namespace {

struct PutMany : ::testing::Test {
    void SetUp() override {
        connection.connect(std::nullopt, db.parameters());
        connection.prepare_connection();
        TableSchema schema{Address::from_string("app#Person"),
                           {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"doc", ValueKind::MAPPING}},
                           {},
                           {}};
        connection.table_schema_manager()->register_table(schema);
    }

    static WriteItem person(const std::string& id, const char* data) {
        return {Address::from_string("app#Person/" + id + "@1"), map(data)};
    }
    std::vector<std::string> stored() const {
        return db.sql("SELECT partition_key || '=' || coalesce(name::text, '-') FROM person ORDER BY 1");
    }
    std::vector<std::string> logged() const {
        std::vector<std::string> addresses;
        for (const auto& level : connection.revert_data()) {
            for (const auto& [address, data] : level) addresses.push_back(address.to_string());
        }
        return addresses;
    }

    PgTestDatabase db;
    RecordingConnection connection;
};

}  // namespace

TEST_F(PutMany, WritesEveryItemAndRecordsEachForRevert) {
    connection.begin();
    connection.put_many({person("a", R"({"name":"A","doc":{"k":1}})"), person("b", R"({"name":"B","age":2})"),
                         {Address::from_string("resource#Metadata/a:1"),
                          map(R"({"address":{"object_id":"a","object_version":"1"},"is_deleted":false})")},
                         person("c", R"({"name":"C"})")});
    EXPECT_EQ(logged(), (std::vector<std::string>{"app#Person/a@1", "app#Person/b@1", "resource#Metadata/a:1",
                                                  "app#Person/c@1"}));
    EXPECT_TRUE(stored().empty());  // not committed yet
    connection.commit();
    EXPECT_EQ(stored(), (std::vector<std::string>{"a=A", "b=B", "c=C"}));
    EXPECT_EQ(db.sql("SELECT object_id FROM metadata"), std::vector<std::string>{"a"});
    EXPECT_EQ(connection.count_containing("INSERT INTO"), 0u);  // sent together, not one by one
}

TEST_F(PutMany, AFailingItemLeavesNothingOfTheCallAndTheTransactionUsable) {
    connection.begin();
    connection.put(Address::from_string("app#Person/before@1"), map(R"({"name":"kept"})"));
    const WriteItem metadata = {Address::from_string("resource#Metadata/m:1"),
                                map(R"({"address":{"object_id":"m","object_version":"1"},"is_deleted":false})")};
    const auto bad_items = std::vector<std::vector<WriteItem>>{
        {person("x", R"({"age":1})"), person("y", R"({"age":"not a number"})"), person("z", R"({"age":3})")},
        {person("x", R"({"name":"X"})"), person("before", R"({"name":"same key"})")},
        // The failing row is the second of its table but the third of the call.
        {person("x", R"({"age":1})"), metadata, person("y", R"({"age":"1.5"})")},
        {person("x", R"({"age":1})"), metadata, person("y", R"({"name":"Y"})"), person("x", R"({"age":2})")},
    };
    const std::vector<std::pair<std::string, std::string>> expected = {{"item 1 (app#Person/y@1)", "22P02"},
                                                                        {"item 1 (app#Person/before@1)", "23505"},
                                                                        {"item 2 (app#Person/y@1)", "22P02"},
                                                                        {"item 3 (app#Person/x@1)", "23505"}};
    for (std::size_t i = 0; i < bad_items.size(); ++i) {
        try {
            connection.put_many(bad_items[i]);
            ADD_FAILURE() << "put_many succeeded";
        } catch (const KorvexConnectionError& error) {
            EXPECT_NE(std::string(error.what()).find(expected[i].first), std::string::npos) << error.what();
            auto cause = korvex::testing::database_cause(error);
            ASSERT_TRUE(cause);
            EXPECT_EQ(cause->sqlstate(), expected[i].second);
        }
        EXPECT_EQ(logged(), std::vector<std::string>{"app#Person/before@1"});
    }
    connection.put_many({person("after", R"({"name":"after"})")});
    connection.commit();
    EXPECT_EQ(stored(), (std::vector<std::string>{"after=after", "before=kept"}));
}

TEST_F(PutMany, OutsideATransactionAFailingItemLeavesNothingOfTheCall) {
    RecordingConnection writer({.is_revert_supported = false});
    writer.connect(std::nullopt, db.parameters());
    EXPECT_THROW(writer.put_many({person("x", R"({"name":"X"})"), person("y", R"({"age":"nan"})")}),
                 KorvexConnectionError);
    EXPECT_TRUE(stored().empty());
    writer.put_many({person("x", R"({"name":"X"})"), person("y", R"({"age":3})")});
    EXPECT_EQ(stored(), (std::vector<std::string>{"x=X", "y=-"}));
}

TEST_F(PutMany, InputIsCheckedBeforeAnythingIsWritten) {
    connection.begin();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<WriteItem>> refused = {
        {person("a", R"({"name":"A"})"), {Address::from_string("app#Person/b@1"), Value("not a map")}},
        {person("a", R"({"name":"A"})"), {Address::from_string("app#Person/b@1"), {{std::string("n\0m", 3), 1}}}},
        {person("a", R"({"name":"A"})"), {Address::from_string("app#Person/b@1"), {{"doc", {{"x", nan}}}}}},
        {person("a", R"({"name":"A"})"), {Address::from_string("app#Person/b@1"), {{std::string(64, 'c'), 1}}}},
        {person("a", R"({"name":"A"})"), {Address::from_string("resource#Metadata/b:1"), map(R"({"x":1})")}},
    };
    for (const auto& items : refused) EXPECT_THROW(connection.put_many(items), korvex::UsageError);
    EXPECT_TRUE(logged().empty());
    connection.commit();
    EXPECT_TRUE(stored().empty());

    // With revert on, a call outside every transaction level is refused like put.
    EXPECT_THROW(connection.put_many({person("a", R"({"name":"A"})")}), korvex::UsageError);
    EXPECT_TRUE(stored().empty());
}

TEST_F(PutMany, RevertDeletesWhatPutManyWrote) {
    connection.begin();
    connection.put(Address::from_string("app#Person/a@1"), map(R"({"name":"A"})"));
    connection.begin();
    connection.put_many({person("b", R"({"name":"B"})"), person("c", R"({"name":"C"})")});
    connection.revert();
    connection.commit();
    EXPECT_EQ(stored(), std::vector<std::string>{"a=A"});
}

// A table's columns are checked before its first COPY of a transaction; the check's lock keeps
// other sessions from changing the table until the transaction ends. A call that failed, a
// rollback to a savepoint or the transaction's end may have let go of that lock: the table is
// checked again.
TEST_F(PutMany, TheColumnsCheckRunsOncePerTransactionWhileItsLockHolds) {
    int next = 0;
    const auto call = [&] {
        connection.put_many({person("c" + std::to_string(next++), R"({"name":"n"})"),
                             person("c" + std::to_string(next++), R"({"name":"n"})")});
    };
    // The runs of the check so far (its first call only prepares it).
    const auto checks = [&] {
        const char* runs = "SELECT generic_plans + custom_plans FROM pg_prepared_statements"
                           " WHERE statement LIKE '%LIMIT 0%'";
        return connection.execute(runs)
            ->fetchall()
            .at(0)
            .at(0)
            .get<int>();
    };
    const std::vector<std::pair<std::function<void()>, int>> transactions = {
        {[&] { call(); call(); call(); }, 0},
        {[&] { call(); call(); }, 1},
        {[&] {
             call();
             connection.begin();
             connection.rollback();
             call();
         },
         2},
        {[&] {
             // c0 is written already: the call fails after its check ran.
             EXPECT_THROW(connection.put_many({person("c0", R"({"name":"n"})"), person("d", R"({"name":"n"})")}),
                          KorvexConnectionError);
             call();
         },
         2},
    };
    int expected = 0;
    for (std::size_t t = 0; t < transactions.size(); ++t) {
        connection.begin();
        transactions[t].first();
        connection.commit();
        EXPECT_EQ(checks(), expected += transactions[t].second) << "transaction " << t;
    }
}

// The first call of a transaction writes in the transaction itself, with no savepoint of its own
// (its rows carry the transaction's id); refused, pipelined or by COPY, it leaves the transaction
// as it found it: usable, and still holding nothing.
TEST_F(PutMany, AsATransactionsFirstStatementItNeedsNoSavepoint) {
    const auto own_rows = [&] {
        return connection.execute("SELECT count(*) FROM person WHERE xmin = pg_current_xact_id()::xid")
            ->fetchall()
            .at(0)
            .at(0)
            .get<int>();
    };
    connection.begin();
    EXPECT_THROW(connection.put_many({person("x", R"({"age":"x"})")}), KorvexConnectionError);
    EXPECT_THROW(connection.put_many({person("x", R"({"age":1})"), person("y", R"({"age":"y"})")}),
                 KorvexConnectionError);
    connection.put_many({person("a", R"({"name":"A"})"), person("b", R"({"name":"B"})")});
    EXPECT_EQ(own_rows(), 2);
    connection.put_many({person("c", R"({"name":"C"})"), person("d", R"({"name":"D"})")});
    EXPECT_EQ(own_rows(), 2);  // in a savepoint: not the first statement
    connection.commit();
    EXPECT_EQ(stored(), (std::vector<std::string>{"a=A", "b=B", "c=C", "d=D"}));
}

// A call's savepoint stays open after it; a level begun later is rolled back alone, with what
// the calls inside it wrote (pipelined and by COPY), and the calls before it stay.
TEST_F(PutMany, ALevelBegunAfterACallIsRolledBackAlone) {
    connection.begin();
    connection.put(Address::from_string("app#Person/x@1"), map(R"({"name":"X"})"));
    connection.put_many({person("a", R"({"name":"A"})"), person("b", R"({"name":"B"})")});
    connection.begin();
    connection.put_many({person("c", R"({"name":"C"})")});
    connection.put_many({person("d", R"({"name":"D"})"), person("e", R"({"name":"E"})")});
    connection.rollback();
    connection.put_many({person("f", R"({"name":"F"})"), person("g", R"({"name":"G"})")});
    connection.commit();
    EXPECT_EQ(stored(), (std::vector<std::string>{"a=A", "b=B", "f=F", "g=G", "x=X"}));
}

// A prepared INSERT that no longer fits its table is prepared afresh within the same call.
TEST_F(PutMany, AStalePreparedInsertIsPreparedAfresh) {
    connection.begin();
    connection.put_many({person("a", R"({"name":"1"})")});
    connection.commit();
    db.sql("DROP TABLE person; CREATE TABLE person (partition_key text, range_key text, name bigint)");
    connection.begin();
    connection.put_many({person("b", R"({"name":"2"})")});
    connection.commit();
    EXPECT_EQ(stored(), std::vector<std::string>{"b=2"});
}

// This class converts values straight into libpq's text; a subclass converts them through the
// hooks. Both store the same, and put_many (by COPY) stores what put (by INSERT) stores.
TEST_F(PutMany, ConvertingHereAndThroughTheHooksStoresTheSame) {
    db.sql("ALTER TABLE person ADD COLUMN score double precision, ADD COLUMN blob jsonb, ADD COLUMN flag boolean,"
           " ADD COLUMN big numeric, ADD COLUMN at timestamptz");
    // Which statement wrote each row: put_many's rows go by COPY.
    db.sql("CREATE TABLE sent (copied boolean); CREATE FUNCTION note_sent() RETURNS trigger LANGUAGE plpgsql AS"
           " $$BEGIN INSERT INTO sent VALUES (current_query() LIKE '%FROM STDIN%'); RETURN NULL; END$$;"
           " CREATE TRIGGER note_sent AFTER INSERT ON person FOR EACH ROW EXECUTE FUNCTION note_sent()");
    const std::vector<const char*> rows = {
        R"({"name":"é\"\\\n","age":-7,"doc":"text","score":2.0,"blob":{"k":[1,"é",null]},"flag":true,"big":18446744073709551615})",
        R"({"name":"","age":9007199254740993,"doc":5,"score":-0.5,"blob":"\"s\"","flag":false,"big":1.5})",
        R"({"name":null,"age":null,"doc":true,"score":1e300,"blob":[],"flag":null,"big":-3})",
        R"({"doc":{"a":{"b":[1.25,2]}},"score":null,"unknown":1})",
        R"({"doc":[1,"x"],"age":0})",
        R"({"doc":null,"partition_key":"ignored","name":"n"})",
        R"({"name":"\\N","doc":"tab\there\r\n\\.","blob":{"t":"a\tb\\c"},"big":-9223372036854775808,"at":"2024-02-29 23:59:59.123456+00"})",
        R"({"name":"0123456789\\abc\tdefghij\nklmnopq\rstu\u0001vwxyz\\","doc":"\\\\\\\\\t\t\t\t\t\t\t\t0123456"})",
        R"({"name":"\\.","age":9223372036854775807,"doc":"\u2603 \ud83d\ude00","big":9223372036854775807,"at":"1999-12-31T23:00:00-05:00"})",
    };
    pg_timeline::PostgresHistoricalConnection plain;
    plain.connect(std::nullopt, db.parameters());
    std::vector<WriteItem> here, hooks;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        here.push_back(person("h" + std::to_string(i), rows[i]));
        hooks.push_back(person("k" + std::to_string(i), rows[i]));
    }
    for (const double special : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity()}) {
        const std::string id = std::to_string(here.size());
        here.push_back({Address::from_string("app#Person/h" + id + "@1"), {{"score", special}}});
        hooks.push_back({Address::from_string("app#Person/k" + id + "@1"), {{"score", special}}});
    }
    plain.begin();
    plain.put_many(here);
    ASSERT_EQ(plain.revert_data().back().size(), here.size());
    EXPECT_EQ(plain.revert_data().back()[3], here[3]);
    for (std::size_t i = 0; i < here.size(); ++i) {
        plain.put(Address::from_string("app#Person/p" + std::to_string(i) + "@1"), here[i].second);
    }
    plain.commit();
    EXPECT_EQ(db.sql("SELECT copied FROM sent GROUP BY 1 ORDER BY 1"), (std::vector<std::string>{"f", "t"}));
    connection.begin();
    connection.put_many(hooks);
    connection.commit();
    const auto stored_by = [&](const char* prefix) {
        return db.sql(std::string("SELECT concat_ws('|', substr(partition_key, 2), name, age, doc::text, score, blob::text,"
                                  " flag, big, at) FROM person WHERE partition_key LIKE '") + prefix + "%' ORDER BY 1");
    };
    EXPECT_EQ(stored_by("h").size(), here.size());
    EXPECT_EQ(stored_by("h"), stored_by("k"));
    EXPECT_EQ(stored_by("h"), stored_by("p"));
    plain.begin();
    EXPECT_THROW(plain.put_many({person("x", R"({"doc":{"n":"a"}})"),
                                 {Address::from_string("app#Person/y@1"),
                                  {{"doc", {{"n", std::numeric_limits<double>::infinity()}}}}}}),
                 korvex::UsageError);
    plain.rollback();
}

TEST_F(PutMany, AHookASubclassReplacesConvertsEveryRowOfPutAndPutMany) {
    // put and put_many keep the INSERT text per table and column list; each row's values still go
    // through the hooks, however many rows share the text.
    struct Hooked : RecordingConnection {
        Value process_value_before_insert(const Value& value, const std::string& data_type) override {
            if (value.is_string() && data_type == "text") return "hooked " + value.get<std::string>();
            return RecordingConnection::process_value_before_insert(value, data_type);
        }
    } hooked;
    hooked.connect(std::nullopt, db.parameters());
    hooked.begin();
    hooked.put(Address::from_string("app#Person/a@1"), map(R"({"name":"a","age":1})"));
    hooked.put(Address::from_string("app#Person/b@1"), map(R"({"name":"b","age":2})"));
    hooked.put_many({person("c", R"({"name":"c","age":3})"), person("d", R"({"name":"d","age":4})")});
    hooked.commit();
    // The object id's column is text as well.
    EXPECT_EQ(stored(),
              (std::vector<std::string>{"hooked a=hooked a", "hooked b=hooked b", "hooked c=hooked c", "hooked d=hooked d"}));
}
