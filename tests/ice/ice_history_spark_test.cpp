// The Iceberg store against a real Spark Connect server, loaded by module path as a host loads
// it: what only this store does (its layout, exact values through Spark, one statement per table
// for a batch, what its transactions do today). One store and one namespace for the whole
// program; each test writes objects of its own.

#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"
#include "spark_test_support.hpp"
#include "store_engine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <limits>
#include <latch>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace korvex;

namespace {

const char* const MODULE = "korvex_data.connections.implementations.ice_history";

std::unique_ptr<HistoricalConnectionBase> open_store(const std::string& namespace_name,
                                                     const std::string& lease_seconds = "300") {
    ConstructionArgs args;
    args.named = {{"is_revert_supported", true}};
    auto store = import_module(MODULE).create<HistoricalConnectionBase>("SparkIcebergHistoricalConnection", args);
    store->connect(spark_connect_url(), {{"namespace", namespace_name}, {"commit_lease_seconds", lease_seconds}});
    return store;
}

class IceHistoryOnSpark : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        spark = std::make_unique<IcebergSparkConnection>(fresh_iceberg_connection());
        store = open_store(spark->namespace_name()).release();
        store->prepare_connection();
        store->table_schema_manager()->register_table(TableSchema{Address::from_string("app#Person@1"),
                                                                  {{"name", ValueKind::TEXT},
                                                                   {"age", ValueKind::INTEGER},
                                                                   {"score", ValueKind::FLOAT},
                                                                   {"active", ValueKind::BOOLEAN},
                                                                   {"doc", ValueKind::MAPPING},
                                                                   {"tags", ValueKind::SEQUENCE}},
                                                                  {},
                                                                  {}});
        store->table_schema_manager()->register_table(
            TableSchema{Address::from_string("app#Pet@1"), {{"name", ValueKind::TEXT}}, {}, {}});
    }
    static void TearDownTestSuite() {
        delete store;
        store = nullptr;
        spark.reset();
    }

    // A version and the metadata row that reads join it with, as this store's layout has it.
    static WriteItem version(const std::string& id, int number, DataMap data, const char* class_name = "Person") {
        return {Address::from_string(std::string("app#") + class_name + "@1/" + id + "@" + std::to_string(number)),
                std::move(data)};
    }
    static WriteItem metadata_of(const WriteItem& item, int number) {
        const Address& address = item.first;
        const Value reference = {{"ref", address.to_value()}};
        return {Address::from_string("resource#Metadata/" + address.object_id + ":" + std::to_string(number)),
                {{"address", address.to_value()},
                 {"class_schema_reference", reference},
                 {"class_schema_type", "object"},
                 {"is_deleted", false},
                 {"prior_version", number > 1 ? Value(std::to_string(number - 1)) : Value(nullptr)},
                 {"created_at", 1000.0 + number},
                 {"updated_at", 1000.0 + number}}};
    }
    // Writes versions 1..n of each id with their metadata, in one put_many.
    static void write(const std::vector<std::pair<std::string, std::vector<DataMap>>>& objects) {
        std::vector<WriteItem> items;
        for (const auto& [id, versions] : objects) {
            for (std::size_t v = 0; v < versions.size(); ++v) {
                items.push_back(version(id, static_cast<int>(v + 1), versions[v]));
                items.push_back(metadata_of(items.back(), static_cast<int>(v + 1)));
            }
        }
        store->begin();
        store->put_many(items);
        store->commit();
    }
    static std::vector<std::string> ids(const std::vector<DataMap>& rows, const char* key = "partition_key") {
        std::vector<std::string> result;
        for (const auto& row : rows) result.push_back(row.at(key).get<std::string>());
        return result;
    }

    static inline std::unique_ptr<IcebergSparkConnection> spark;
    static inline HistoricalConnectionBase* store = nullptr;
};

}  // namespace

TEST_F(IceHistoryOnSpark, ClassTablesAreKeyedAndMarkTheirJsonColumns) {
    std::vector<std::string> described;
    for (const auto& column : spark->get_table_description(spark->qualified_table_name("person_v_1"))) {
        described.push_back(column.to_sql());
    }
    EXPECT_EQ(described, (std::vector<std::string>{"`partition_key` STRING NOT NULL", "`range_key` STRING NOT NULL",
                                                   "`name` STRING", "`age` BIGINT", "`score` DOUBLE",
                                                   "`active` BOOLEAN", "`doc` STRING", "`tags` STRING"}));
    std::vector<std::string> comments;
    for (const auto& row : spark->execute("DESCRIBE TABLE " + spark->qualified_table_name("person_v_1"))->fetchall()) {
        if (row.at(0) == "doc" || row.at(0) == "tags" || row.at(0) == "name") comments.push_back(row.at(2).dump());
    }
    EXPECT_EQ(comments, (std::vector<std::string>{"null", "\"JSON\"", "\"JSON\""}));
}

TEST_F(IceHistoryOnSpark, ValuesRoundTripExactly) {
    const std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    const std::vector<DataMap> cases = {
        Value::parse(R"({"name":"Zoë \\ 'quote' \"dq\" 𝄞","doc":{"a":{"b":[1,2.5,null,"x\\y"]},"ü":true},"tags":[]})"),
        {{"age", largest}, {"score", -0.0}, {"active", false}},
        {{"age", std::numeric_limits<std::int64_t>::min()}, {"score", 1e308}},
        {{"name", nullptr}, {"doc", nullptr}, {"tags", Value::parse(R"([{"k":[]}, "s", 3])")}},
        {{"doc", "just text"}, {"name", "%s ? :x"}},
    };
    std::vector<std::pair<std::string, std::vector<DataMap>>> objects;
    for (std::size_t i = 0; i < cases.size(); ++i) objects.push_back({"rt" + std::to_string(i), {cases[i]}});
    write(objects);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto rows = store->query(Address::from_string("app#Person@1/rt" + std::to_string(i) + "@1"));
        ASSERT_EQ(rows.size(), 1u);
        for (const auto& [key, value] : cases[i].items()) EXPECT_EQ(rows[0].at(key), value) << key;
    }
    // NaN only where a column holds it as a number.
    write({{"nan", {{{"score", std::nan("")}}}}});
    const auto nan = store->query(Address::from_string("app#Person@1/nan@1"));
    ASSERT_EQ(nan.size(), 1u);
    EXPECT_TRUE(std::isnan(nan[0].at("score").get<double>()));
    store->begin();
    EXPECT_THROW(store->put(version("nan2", 1, {{"doc", {{"x", std::nan("")}}}}).first,
                            {{"doc", {{"x", std::nan("")}}}}),
                 UsageError);
    EXPECT_THROW(store->put(version("big", 1, {}).first, {{"age", std::numeric_limits<std::uint64_t>::max()}}),
                 UsageError);
    store->commit();
}

TEST_F(IceHistoryOnSpark, ReadsLatestNamedAndAllVersionsWithTheVersionThatFollows) {
    write({{"v_a", {{{"name", "a1"}}, {{"name", "a2"}}, {{"name", "a3"}}}}, {"v_b", {{{"name", "b1"}}}}});
    const Q mine("_address__object_id", Lookup::IN, R"(["v_a","v_b"])");
    const Q latest("_address__object_version", Lookup::EQ, "LATEST");
    const Address person = Address::from_string("app#Person@1");
    EXPECT_EQ(ids(store->query(person, std::nullopt, mine & latest, {}, std::vector<OrderBy>{{"name"}}), "name"),
              (std::vector<std::string>{"a3", "b1"}));
    EXPECT_EQ(store->count(person, mine & latest), 2);
    const auto second = store->query(Address::from_string("app#Person@1/v_a@2"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].at(METADATA_FIELD).at("next_version"), "3");
    EXPECT_EQ(second[0].at(METADATA_FIELD).at("prior_version"), "1");
    EXPECT_EQ(second[0].at(METADATA_FIELD).at("address").at("object_id"), "v_a");
    const auto all = store->query(Address::from_string("app#Person@1/v_a@ALL"), std::nullopt, std::nullopt, {},
                                  std::vector<OrderBy>{{"name", true}});
    EXPECT_EQ(ids(all, "name"), (std::vector<std::string>{"a3", "a2", "a1"}));
    EXPECT_TRUE(all[0].at(METADATA_FIELD).at("next_version").is_null());
    EXPECT_EQ(store->count(Address::from_string("app#Person@1/v_a@ALL")), 3);
}

TEST_F(IceHistoryOnSpark, OperatorsJsonPathsOrderingAndPages) {
    write({{"q_ann", {Value::parse(R"({"name":"Ann","age":31,"score":1.5,"active":true,"doc":{"n":10,"s":"café","b":true}})")}},
           {"q_bob", {Value::parse(R"({"name":"bob","age":25,"active":false,"doc":{"n":9,"s":"say \"hi\"","b":false}})")}},
           {"q_cid", {Value::parse(R"({"name":"Cid 50%_off","age":null,"doc":{"n":"9","s":"x"}})")}}});
    const Q mine("_address__object_id", Lookup::STARTSWITH, "q_");
    const Address person = Address::from_string("app#Person@1");
    const std::vector<std::pair<Q, std::vector<std::string>>> cases = {
        {Q("name", Lookup::EQ, "Ann"), {"q_ann"}},
        {Q("age", Lookup::GT, 25), {"q_ann"}},
        {Q("age", Lookup::ISNULL, true), {"q_cid"}},
        {Q("active", Lookup::NEQ, true), {"q_bob", "q_cid"}},
        {Q("name", Lookup::CONTAINS, "50%_"), {"q_cid"}},
        {Q("name", Lookup::ICONTAINS, "B"), {"q_bob"}},
        {Q("name", Lookup::IENDSWITH, "OFF"), {"q_cid"}},
        {Q("age", Lookup::IN, "[25, 40]"), {"q_bob"}},
        {Q("doc__n", Lookup::GT, 9), {"q_ann"}},
        {Q("doc__n", Lookup::EQ, 9), {"q_bob"}},
        {Q("doc__n", Lookup::EQ, "9"), {"q_bob", "q_cid"}},
        {Q("doc__s", Lookup::EQ, "say \"hi\""), {"q_bob"}},
        {Q("doc__s", Lookup::ICONTAINS, "CAF"), {"q_ann"}},
        {Q("doc__b", Lookup::EQ, false), {"q_bob"}},
        {Q("doc__s' OR '1'='1", Lookup::EQ, "x"), {}},
        {Q("_metadata__is_deleted", Lookup::EQ, false), {"q_ann", "q_bob", "q_cid"}},
    };
    for (const auto& [condition, expected] : cases) {
        const auto rows = store->query(person, std::nullopt, mine & condition, {}, std::vector<OrderBy>{{"partition_key"}});
        EXPECT_EQ(ids(rows), expected) << ids(rows).size();
        EXPECT_EQ(store->count(person, mine & condition), static_cast<std::int64_t>(expected.size()));
    }
    // Text orders by code point, NULLs last ascending and first descending; pages on the server.
    EXPECT_EQ(ids(store->query(person, std::nullopt, mine, {}, std::vector<OrderBy>{{"name"}})),
              (std::vector<std::string>{"q_ann", "q_cid", "q_bob"}));
    EXPECT_EQ(ids(store->query(person, std::nullopt, mine, {}, std::vector<OrderBy>{{"age", true}})),
              (std::vector<std::string>{"q_cid", "q_ann", "q_bob"}));
    EXPECT_EQ(ids(store->query(person, std::nullopt, mine, NumberPaginator{1, 1}, std::vector<OrderBy>{{"age"}})),
              (std::vector<std::string>{"q_ann"}));
}

TEST_F(IceHistoryOnSpark, PutManyWritesThousandsOfRowsInOneStatementPerTable) {
    std::vector<WriteItem> items;
    for (int i = 0; i < 2000; ++i) {
        items.push_back(version("bulk" + std::to_string(i), 1, {{"name", "n" + std::to_string(i)}, {"age", i}}));
        items.push_back(metadata_of(items.back(), 1));
    }
    const auto started = std::chrono::steady_clock::now();
    store->begin();
    store->put_many(items);
    store->commit();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(store->count(Address::from_string("app#Person@1"), Q("_address__object_id", Lookup::STARTSWITH, "bulk")),
              2000);
    // Two statements (one a table); thousands of round trips would take far longer.
    EXPECT_LT(seconds, 20.0);
    const auto snapshots = spark->execute("SELECT count(*) FROM " + spark->qualified_table_name("person_v_1") +
                                          ".snapshots")->fetchall();
    const auto before = snapshots.at(0).at(0).get<std::int64_t>();
    store->begin();
    store->put_many({version("pm_x", 1, {{"name", "x"}}), version("pm_y", 1, {{"name", "y"}}),
                     version("pm_z", 1, {{"name", "z"}}, "Pet")});
    store->commit();
    const auto after = spark->execute("SELECT count(*) FROM " + spark->qualified_table_name("person_v_1") +
                                      ".snapshots")->fetchall().at(0).at(0).get<std::int64_t>();
    EXPECT_EQ(after, before + 1);
}

// Rows of person_v_1 on main (what another session sees) for ids starting with `prefix`.
static std::vector<std::string> on_main(IcebergSparkConnection& spark, const std::string& prefix) {
    std::vector<std::string> rows;
    for (const auto& row : spark.execute("SELECT partition_key FROM " + spark.qualified_table_name("person_v_1") +
                                         " WHERE startswith(partition_key, '" + prefix + "') ORDER BY 1")
                               ->fetchall()) {
        rows.push_back(row.at(0).get<std::string>());
    }
    return rows;
}

// An error's message with those of the errors nested in it.
static std::string all_messages(const std::exception& error) {
    std::string text = error.what();
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& nested) {
        text += ": " + all_messages(nested);
    }
    return text;
}

// Object ids of the metadata rows on main starting with `prefix`, one per row.
static std::vector<std::string> metadata_on_main(IcebergSparkConnection& spark, const std::string& prefix) {
    std::vector<std::string> rows;
    for (const auto& row : spark.execute("SELECT address.object_id FROM " + spark.qualified_table_name("metadata") +
                                         " WHERE startswith(address.object_id, '" + prefix + "') ORDER BY 1")
                               ->fetchall()) {
        rows.push_back(row.at(0).get<std::string>());
    }
    return rows;
}

TEST_F(IceHistoryOnSpark, TransactionsWriteOnBranchesAndPublishAtCommit) {
    const Address person = Address::from_string("app#Person@1");
    const Q mine("_address__object_id", Lookup::STARTSWITH, "tx_");
    const std::vector<std::pair<std::string, std::vector<std::string>>> sequences = {
        {"begin put:tx_a begin put:tx_b rollback commit", {"tx_a"}},
        {"begin put:tx_c rollback", {}},
        {"begin begin put:tx_d begin put:tx_e rollback put:tx_f commit commit", {"tx_d", "tx_f"}},
        {"begin put:tx_g revert", {}},
    };
    std::vector<std::string> committed;
    for (const auto& [sequence, expected] : sequences) {
        SCOPED_TRACE(sequence);
        std::vector<std::string> written;
        korvex::testing::run_transaction_words(*store, sequence, [&](const std::string& id) {
            const auto item = version(id, 1, {{"name", id}});
            store->put_many({item, metadata_of(item, 1)});
            written.push_back(id);
            // The transaction reads its own writes; main does not hold them yet.
            EXPECT_EQ(store->count(person, Q("_address__object_id", Lookup::EQ, id)), 1);
            EXPECT_EQ(on_main(*spark, id), std::vector<std::string>{});
        });
        committed.insert(committed.end(), expected.begin(), expected.end());
        EXPECT_EQ(on_main(*spark, "tx_"), committed);
        EXPECT_EQ(store->count(person, mine), static_cast<std::int64_t>(committed.size()));
    }
    // No branch stays behind.
    EXPECT_EQ(spark->execute("SELECT name FROM " + spark->qualified_table_name("person_v_1") + ".refs")->fetchall().size(),
              1u);
}

TEST_F(IceHistoryOnSpark, TwoTransactionsThatMovedMainBothPublish) {
    auto other = open_store(spark->namespace_name());
    store->begin();
    other->begin();
    const auto first = version("race_1", 1, {{"name", "1"}});
    const auto second = version("race_2", 1, {{"name", "2"}});
    const auto third = version("race_3", 1, {{"name", "3"}});
    store->put_many({first, metadata_of(first, 1)});
    store->put_many({third, metadata_of(third, 1)});  // a second snapshot on each branch
    other->put_many({second, metadata_of(second, 1)});
    other->commit();
    const auto metadata_snapshots = [&] {
        return spark->execute("SELECT count(*) FROM " + spark->qualified_table_name("metadata") + ".snapshots")
            ->fetchall().at(0).at(0).get<std::int64_t>();
    };
    const auto before = metadata_snapshots();
    store->commit();  // main moved since this branch was made: its rows are applied onto main
    // ... in one table commit, so no reader sees race_1 without race_3.
    EXPECT_EQ(metadata_snapshots(), before + 1);
    EXPECT_EQ(on_main(*spark, "race_"), (std::vector<std::string>{"race_1", "race_2", "race_3"}));
    EXPECT_EQ(metadata_on_main(*spark, "race_"), (std::vector<std::string>{"race_1", "race_2", "race_3"}));
    EXPECT_EQ(store->count(Address::from_string("app#Person@1"), Q("_address__object_id", Lookup::STARTSWITH, "race_")), 3);
}

// Two transactions writing one (object, version): the second to commit is refused, whole.
TEST_F(IceHistoryOnSpark, ADuplicateVersionIsRefusedAndNothingOfItIsPublished) {
    auto other = open_store(spark->namespace_name());
    store->begin();
    other->begin();
    const auto first = version("dup_1", 1, {{"name", "first"}});
    const auto twin = version("dup_1", 1, {{"name", "twin"}});
    const auto also = version("dup_2", 1, {{"name", "twin"}}, "Pet");
    store->put_many({first, metadata_of(first, 1)});
    other->put_many({twin, also, metadata_of(twin, 1), metadata_of(also, 1)});
    store->commit();
    EXPECT_THROW(other->commit(), KorvexConnectionError);
    EXPECT_EQ(on_main(*spark, "dup_"), std::vector<std::string>{"dup_1"});
    const auto items = store->query(Address::from_string("app#Person@1/dup_1@LATEST"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().at("name"), "first");
    EXPECT_EQ(store->count(Address::from_string("app#Pet@1"), Q("_address__object_id", Lookup::EQ, "dup_2")), 0);
}

// A commit stopped after its commit point, as a dead process leaves it, is finished exactly once
// by the next commit (which then refuses its twin) and prepare_connection finds nothing left.
TEST_F(IceHistoryOnSpark, ACommitStoppedPastItsCommitPointIsFinishedByTheNextPrepare) {
    const std::vector<std::string> steps = {"commit_point", "table:person_v_1", "table:metadata", "done"};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(steps[i]);
        const std::string id = "stop_" + std::to_string(i);
        {
            auto dying = open_store(spark->namespace_name(), "0");
            dying->begin();
            const auto item = version(id, 1, {{"name", id}});
            dying->put_many({item, metadata_of(item, 1)});
            ::setenv("KORVEX_ICE_COMMIT_STOP", steps[i].c_str(), 1);
            EXPECT_THROW(dying->commit(), KorvexConnectionError);
            ::unsetenv("KORVEX_ICE_COMMIT_STOP");
        }
        auto next = open_store(spark->namespace_name());
        next->begin();
        const auto twin = version(id, 1, {{"name", "twin"}});
        next->put_many({twin, metadata_of(twin, 1)});
        EXPECT_THROW(next->commit(), KorvexConnectionError);
        next->prepare_connection();
        next->prepare_connection();
        EXPECT_EQ(on_main(*spark, id), std::vector<std::string>{id});
        EXPECT_EQ(store->count(Address::from_string("app#Person@1"), Q("_address__object_id", Lookup::EQ, id)), 1);
    }
    for (const char* table : {"person_v_1", "metadata"}) {
        EXPECT_EQ(spark->execute("SELECT name FROM " + spark->qualified_table_name(table) + ".refs")->fetchall().size(),
                  1u)
            << table;
    }
}

// Two connections committing at the same moment on one table, each from its own thread: without a
// shared (object, version) both commit; with one, exactly one commits and the other is refused
// whole. Nothing is published twice.
TEST_F(IceHistoryOnSpark, TwoConnectionsRacingCommitsLoseNothingAndPublishNothingTwice) {
    struct Round {
        std::string prefix;
        std::vector<std::string> first, second;  // the ids each connection writes
        std::vector<std::string> expected;       // on main afterwards, without the refused side
    };
    const std::vector<Round> rounds = {
        {"rc_", {"rc_a1", "rc_a2"}, {"rc_b1"}, {"rc_a1", "rc_a2", "rc_b1"}},
        {"rd_", {"rd_x"}, {"rd_x", "rd_y"}, {}},
    };
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.prefix);
        std::unique_ptr<HistoricalConnectionBase> stores[2] = {open_store(spark->namespace_name()),
                                                               open_store(spark->namespace_name())};
        const std::vector<std::string>* ids[2] = {&round.first, &round.second};
        for (int i = 0; i < 2; ++i) {
            std::vector<WriteItem> items;
            for (const auto& id : *ids[i]) {
                items.push_back(version(id, 1, {{"name", std::to_string(i)}}));
                items.push_back(metadata_of(items.back(), 1));
            }
            stores[i]->begin();
            stores[i]->put_many(items);
        }
        std::latch start(2);
        std::string outcome[2];
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                try {
                    stores[i]->commit();
                    outcome[i] = "committed";
                } catch (const KorvexConnectionError& error) {
                    outcome[i] = all_messages(error);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        std::vector<std::string> expected = round.expected;
        if (expected.empty()) {
            // The duplicate: one side commits, the other is told why it was refused.
            const int winner = outcome[0] == "committed" ? 0 : 1;
            EXPECT_EQ(outcome[winner], "committed");
            EXPECT_NE(outcome[1 - winner].find("COMMIT refused: version 1 of object rd_x"), std::string::npos)
                << outcome[1 - winner];
            expected = *ids[winner];
        } else {
            EXPECT_EQ(outcome[0], "committed");
            EXPECT_EQ(outcome[1], "committed");
        }
        EXPECT_EQ(on_main(*spark, round.prefix), expected);
        EXPECT_EQ(metadata_on_main(*spark, round.prefix), expected);
    }
}

// A commit whose process is killed at each of its steps: a fresh connection's prepare_connection
// or next commit, once the dead owner's lease ran out, publishes it whole when the kill came past the commit point
// and leaves nothing of it before. Nothing is published twice.
TEST_F(IceHistoryOnSpark, ACommitKilledAtEachStepIsFinishedOrLeftOutWhole) {
    const std::vector<std::pair<std::string, bool>> steps = {{"intent", false},
                                                             {"commit_point", true},
                                                             {"table:person_v_1", true},
                                                             {"table:metadata", true},
                                                             {"done", true}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& [step, committed] = steps[i];
        SCOPED_TRACE(step);
        const std::string id = "kill_" + std::to_string(i);
        std::vector<std::string> environment;
        for (char** variable = environ; *variable != nullptr; ++variable) environment.emplace_back(*variable);
        environment.push_back("KORVEX_ICE_COMMIT_KILL=" + step);
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string program = ICE_COMMIT_CHILD, namespace_name = spark->namespace_name(), object = id;
        char* argv[] = {program.data(), namespace_name.data(), object.data(), nullptr};
        pid_t child = 0;
        ASSERT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the child's lease of 1 s runs out
        auto next = open_store(spark->namespace_name(), "1");
        if (i % 2 == 1) {
            // The next commit, of another object, finishes it before its own commit point.
            const auto other = version("after_" + id, 1, {{"name", id}});
            next->begin();
            next->put_many({other, metadata_of(other, 1)});
            next->commit();
        } else {
            next->prepare_connection();
            next->prepare_connection();
        }
        const std::vector<std::string> expected = committed ? std::vector<std::string>{id} : std::vector<std::string>{};
        EXPECT_EQ(on_main(*spark, id), expected);
        EXPECT_EQ(metadata_on_main(*spark, id), expected);
    }
}

TEST_F(IceHistoryOnSpark, ConnectNamesWhatIsWrong) {
    ConstructionArgs args;
    auto other = import_module(MODULE).create<HistoricalConnectionBase>("SparkIcebergHistoricalConnection", args);
    EXPECT_THROW(other->connect(spark_connect_url(), {{"schema", "x"}}), UsageError);
    EXPECT_THROW(other->connect(spark_connect_url(), {{"namespace", ""}}), UsageError);
    EXPECT_THROW(other->connect(spark_connect_url(), {{"commit_lease_seconds", "5s"}}), UsageError);
    EXPECT_THROW(other->prepare_connection(), KorvexConnectionError);
}
