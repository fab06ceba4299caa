// Maintenance of the Iceberg store against a real Spark Connect server: compaction, snapshot
// expiry and commit-log trimming change no read, and dead transactions' branches go while a live
// transaction and an unfinished commit keep theirs.

#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex_data/connections/implementations/ice_history.hpp"
#include "spark_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <tuple>

using namespace korvex;
using korvex::ice_history::SparkIcebergHistoricalConnection;

namespace {

std::unique_ptr<SparkIcebergHistoricalConnection> open_store(const std::string& namespace_name,
                                                             const std::string& lease_seconds) {
    auto store = std::make_unique<SparkIcebergHistoricalConnection>();
    store->connect(spark_connect_url(), {{"namespace", namespace_name}, {"commit_lease_seconds", lease_seconds}});
    return store;
}

// A version of app#Person@1 and the metadata row reads join it with.
std::vector<WriteItem> person(const std::string& id, int number) {
    const Address address = Address::from_string("app#Person@1/" + id + "@" + std::to_string(number));
    return {{address, {{"name", id + "." + std::to_string(number)}}},
            {Address::from_string("resource#Metadata/" + id + ":" + std::to_string(number)),
             {{"address", address.to_value()},
              {"class_schema_reference", {{"ref", address.to_value()}}},
              {"class_schema_type", "object"},
              {"is_deleted", false},
              {"prior_version", number > 1 ? Value(std::to_string(number - 1)) : Value(nullptr)},
              {"created_at", 1000.0 + number},
              {"updated_at", 1000.0 + number}}}};
}

std::vector<std::string> column(IcebergSparkConnection& spark, const std::string& statement) {
    std::vector<std::string> values;
    for (const auto& row : spark.execute(statement)->fetchall()) values.push_back(row.at(0).dump());
    return values;
}

}  // namespace

TEST(IceHistoryMaintenance, ChangesNoReadAndDropsOnlyDeadTransactionsBranches) {
    IcebergSparkConnection spark = fresh_iceberg_connection();
    const std::string space = spark.namespace_name();
    const std::string person_table = spark.qualified_table_name("person_v_1");
    auto store = open_store(space, "0");
    store->prepare_connection();
    store->table_schema_manager()->register_table(
        TableSchema{Address::from_string("app#Person@1"), {{"name", ValueKind::TEXT}}, {}, {}});
    // Several commits, so that each table has small files to compact and snapshots to expire.
    for (const auto& [id, number] : std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 1}, {"a", 2}, {"a", 3}}) {
        store->begin();
        store->put_many(person(id, number));
        store->commit();
    }
    const auto reads = [&] {
        const Address scope = Address::from_string("app#Person@1");
        return std::make_tuple(store->query(scope, std::nullopt, Q("_address__object_version", Lookup::EQ, "LATEST"),
                                            {}, std::vector<OrderBy>{{"partition_key"}}),
                               store->query(Address::from_string("app#Person@1/a@ALL"), std::nullopt, std::nullopt,
                                            {}, std::vector<OrderBy>{{"range_key"}}),
                               store->count(scope));
    };

    // A transaction left without a write for longer than the branch age, and a commit stopped past its commit point whose
    // owner still holds its lease.
    auto dead = open_store(space, "300");
    dead->begin();
    dead->put_many(person("dead", 1));
    const auto left_behind = std::chrono::steady_clock::now();
    auto stopped = open_store(space, "3600");
    stopped->begin();
    stopped->put_many(person("stopped", 1));
    ::setenv(ice_history::COMMIT_STOP_VARIABLE, "commit_point", 1);
    EXPECT_THROW(stopped->commit(), KorvexConnectionError);
    ::unsetenv(ice_history::COMMIT_STOP_VARIABLE);
    const auto before = reads();
    std::this_thread::sleep_until(left_behind + std::chrono::seconds(6));
    // A transaction open on another connection across the maintenance.
    auto live = open_store(space, "300");
    live->begin();
    live->put_many(person("live", 1));
    live->put_many(person("b", 2));
    EXPECT_THROW(live->maintain(), UsageError);

    const auto snapshots = "SELECT count(*) FROM " + person_table + ".snapshots";
    const auto snapshots_before = column(spark, snapshots);
    const auto report = store->maintain({.compact = true,
                                         .min_input_files = 2,
                                         .snapshot_age_seconds = 0,
                                         .retain_last = 1,
                                         .branch_age_seconds = 5,
                                         .commit_log_age_seconds = 0});
    EXPECT_EQ(reads(), before);
    EXPECT_GT(report.rewritten_data_files, 0);
    EXPECT_LT(std::stoll(column(spark, snapshots).at(0)), std::stoll(snapshots_before.at(0)));
    EXPECT_EQ(report.trimmed_commits, 4);
    // The idle transaction's two branches went, and it cannot commit any more; the live one's and the stopped commit's stayed.
    ASSERT_EQ(report.dropped_branches.size(), 2u);
    EXPECT_THROW(dead->commit(), KorvexConnectionError);
    const auto branches = column(spark, "SELECT name FROM " + person_table + ".refs WHERE name <> 'main' ORDER BY 1");
    auto kept = column(spark, "SELECT branch FROM " + spark.qualified_table_name("korvex_commits") +
                                  " WHERE state = 'committed'");
    EXPECT_EQ(branches.size(), 2u);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(std::find(branches.begin(), branches.end(), kept[0]), branches.end());
    EXPECT_EQ(report.dropped_branches[0].find(kept[0].substr(1, kept[0].size() - 2)), std::string::npos);

    // The live transaction commits whole onto the compacted main; a version committed before the
    // log was trimmed is still refused.
    live->commit();
    const auto committed = reads();
    EXPECT_EQ(std::get<0>(committed).size(), std::get<0>(before).size() + 1);  // live, b at version 2
    EXPECT_EQ(store->query(Address::from_string("app#Person@1/b@LATEST")).at(0).at("name"), "b.2");
    live->begin();
    live->put_many(person("a", 3));
    EXPECT_THROW(live->commit(), KorvexConnectionError);
    EXPECT_EQ(reads(), committed);
}

// Maintenance dropping a transaction's branches meets its commit between the commit's read of
// its branches and its claim ("claim"), or the commit claims between maintenance's read of the
// log and its drop ("drop"): the first to reach the log wins, and the transaction is refused
// whole or published whole, never in part.
TEST(IceHistoryMaintenance, DropAndClaimOfOneTransactionExcludeEachOther) {
    IcebergSparkConnection spark = fresh_iceberg_connection();
    const std::string space = spark.namespace_name();
    auto store = open_store(space, "0");
    store->prepare_connection();
    store->table_schema_manager()->register_table(
        TableSchema{Address::from_string("app#Person@1"), {{"name", ValueKind::TEXT}}, {}, {}});
    store->begin();
    store->put_many(person("seed", 1));
    store->commit();
    const auto count = [&](const std::string& table, const std::string& where) {
        return column(spark, "SELECT count(*) FROM " + spark.qualified_table_name(table) + " WHERE " + where).at(0);
    };
    for (const std::string step : {"claim", "drop"}) {
        SCOPED_TRACE(step);
        auto transaction = open_store(space, "0");
        transaction->begin();
        transaction->put_many(person(step, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // its branches older than the maintenance
        bool ran = false;
        ice_history::set_step_hook([&](const std::string& at) {
            if (at != step || ran) return;
            ran = true;
            if (step == "claim") {
                store->maintain({.compact = false, .branch_age_seconds = 0});
                return;
            }
            // Claimed and stopped before publishing; its lease of 0 s lets prepare_connection finish it.
            ::setenv(ice_history::COMMIT_STOP_VARIABLE, "commit_point", 1);
            EXPECT_THROW(transaction->commit(), KorvexConnectionError);
            ::unsetenv(ice_history::COMMIT_STOP_VARIABLE);
        });
        if (step == "claim") {
            EXPECT_THROW(transaction->commit(), KorvexConnectionError);
        } else {
            store->maintain({.compact = false, .branch_age_seconds = 0});
        }
        ice_history::set_step_hook(nullptr);
        EXPECT_TRUE(ran);
        store->prepare_connection();
        const std::string claimed =
            count("korvex_commits", "state = 'committed' AND pairs LIKE '%\"" + step + "\"%'");
        const std::string rows = count("person_v_1", "name = '" + step + ".1'");
        const std::string metadata = count("metadata", "address.object_id = '" + step + "'");
        // claimed / class rows / metadata rows: the maintenance wins the first race, the claim the second.
        EXPECT_EQ(claimed + "/" + rows + "/" + metadata, step == "claim" ? "0/0/0" : "1/1/1");
    }
}
