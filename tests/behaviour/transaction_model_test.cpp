// Random sequences of transaction operations against a small model of what must be visible: after
// every outermost end, another connection sees exactly the committed versions and their
// metadata rows, and no transaction stays open. Seeded, so a failure replays.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/transaction.hpp"
#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "store_engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>

using namespace korvex;
using korvex::testing::levels;
using korvex::testing::StoreTest;

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

class TransactionModel : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        store->table_schema_manager()->register_table(
            {Address::from_string("app#Person"), {{"name", ValueKind::TEXT}, {"doc", ValueKind::MAPPING}}, {}, {}});
    }

    static Address object(const std::string& id) { return Address::from_string("app#Person/" + id + "@1"); }
    std::vector<WriteItem> version(const std::string& id) const {
        return {{object(id), {{"name", id}}},
                {Address::from_string("resource#Metadata/" + id + ":1"),
                 engine->metadata_row({{"address", object(id).to_value()}})}};
    }
    // Spark runs each statement by itself: a refused one leaves no server transaction to abort.
    bool refusal_aborts() const { return GetParam() != "spark"; }

    // What another connection sees: the class rows and metadata rows, as ids.
    std::pair<std::set<std::string>, std::set<std::string>> visible() {
        std::set<std::string> metadata;
        for (std::string key : engine->sql(engine->metadata_keys_query())) {
            metadata.insert(key.substr(0, key.find(':')));
        }
        const auto rows = engine->sql("SELECT partition_key FROM person");
        return {{rows.begin(), rows.end()}, metadata};
    }

    void expect_ended(const std::set<std::string>& committed, const std::string& trace) {
        SCOPED_TRACE(trace);
        const auto [rows, metadata] = visible();
        EXPECT_EQ(rows, committed);
        EXPECT_EQ(metadata, committed);
        EXPECT_TRUE(levels(*store).revert_data().empty());
        EXPECT_TRUE(levels(*store).savepoints().empty());
        engine->expect_no_open_transaction("person");
    }
};

// The operations and what each does to the model: open levels with the versions each wrote, the
// committed versions, and whether a refused statement aborted the server transaction (until a
// rollback to a savepoint or the outermost end).
TEST_P(TransactionModel, RandomSequencesLeaveExactlyWhatWasCommitted) {
    // Each Spark statement takes a good part of a second: one shorter sequence there.
    const bool on_spark = GetParam() == "spark";
    const std::vector<unsigned> seeds = on_spark ? std::vector<unsigned>{1u} : std::vector<unsigned>{1u, 2u, 3u};
    for (const unsigned seed : seeds) {
        engine->sql("DELETE FROM person");
        engine->sql("DELETE FROM metadata");
        std::mt19937 random(seed);
        std::vector<std::vector<std::string>> open;
        std::set<std::string> committed;
        bool aborted = false;
        int next_id = 0;
        std::string trace = "seed " + std::to_string(seed) + ":";
        const auto fresh = [&] { return "k" + std::to_string(next_id++); };
        const auto pending = [&] {
            std::vector<std::string> all(committed.begin(), committed.end());
            for (const auto& level : open) all.insert(all.end(), level.begin(), level.end());
            return all;
        };
        const auto ended = [&] {
            aborted = false;
            expect_ended(committed, trace);
        };
        for (int step = 0; step < (on_spark ? 30 : 70); ++step) try {
            const int choice = static_cast<int>(random() % 9);
            if (open.empty() || choice == 0) {
                trace += " begin";
                if (aborted) {
                    EXPECT_THROW(store->begin(), KorvexConnectionError) << trace;
                } else {
                    store->begin();
                    open.emplace_back();
                }
                continue;
            }
            if (choice <= 2 && !aborted) {
                const std::string id = fresh();
                trace += " put:" + id;
                for (const auto& [address, data] : version(id)) store->put(address, data);
                open.back().push_back(id);
            } else if (choice == 3 && !aborted) {
                std::vector<WriteItem> items;
                std::vector<std::string> ids;
                for (int i = 0; i < 3; ++i) {
                    ids.push_back(fresh());
                    for (auto& item : version(ids.back())) items.push_back(std::move(item));
                }
                const int failing = static_cast<int>(random() % 3);
                const auto existing = pending();
                if (failing == 1) items[2].second["doc"] = {{"x", NOT_A_NUMBER}};
                if (failing == 2 && !existing.empty()) items[2] = version(existing[random() % existing.size()])[0];
                trace += " put_many" + std::string(failing == 1 ? ":refused" : failing == 2 && !existing.empty() ? ":duplicate" : "");
                if (failing == 1) {
                    EXPECT_THROW(store->put_many(items), korvex::UsageError) << trace;
                } else if (failing == 2 && !existing.empty()) {
                    EXPECT_THROW(store->put_many(items), KorvexConnectionError) << trace;
                } else {
                    store->put_many(items);
                    open.back().insert(open.back().end(), ids.begin(), ids.end());
                }
            } else if (choice == 4 && !aborted) {
                const auto existing = pending();
                if (random() % 2 == 0 || existing.empty()) {
                    trace += " put:refused";
                    EXPECT_THROW(store->put(object(fresh()), {{"doc", {{"x", NOT_A_NUMBER}}}}), korvex::UsageError) << trace;
                } else {
                    trace += " put:duplicate";
                    EXPECT_THROW(store->put(object(existing[random() % existing.size()]), {{"name", "again"}}),
                                 KorvexConnectionError)
                        << trace;
                    aborted = refusal_aborts();
                }
            } else if (choice == 5) {
                trace += " commit";
                std::vector<std::string> level = std::move(open.back());
                open.pop_back();
                if (!open.empty()) {
                    store->commit();
                    open.back().insert(open.back().end(), level.begin(), level.end());
                } else if (aborted) {
                    EXPECT_THROW(store->commit(), KorvexConnectionError) << trace;
                    ended();
                } else {
                    store->commit();
                    committed.insert(level.begin(), level.end());
                    ended();
                }
            } else if (choice == 6 || choice == 7) {
                trace += " rollback";
                store->rollback();
                open.pop_back();
                aborted = false;
                if (open.empty()) ended();
            } else if (choice == 8) {
                trace += " revert";
                if (aborted && !open.back().empty()) {
                    EXPECT_THROW(store->revert(), KorvexConnectionError) << trace;  // the deletes cannot run
                    continue;
                }
                store->revert();
                open.pop_back();
                if (open.empty()) ended();
            }
        } catch (const std::exception& error) {
            FAIL() << trace << ": " << error.what();
        }
        while (!open.empty()) {
            store->rollback();
            open.pop_back();
        }
        aborted = false;
        expect_ended(committed, trace + " rollback*");
    }
}

// Guards nested in each other, with exceptions thrown inside: each unwound guard rolls back
// exactly its own level, and what the outermost guard commits is what another connection sees.
TEST_P(TransactionModel, NestedGuardsRollBackExactlyTheLevelsAnExceptionLeaves) {
    const auto put = [&](const std::string& id) {
        for (const auto& [address, data] : version(id)) store->put(address, data);
    };
    {
        Transaction outer(*store);
        put("a");
        try {
            Transaction middle(*store);
            put("b");
            {
                Transaction inner(*store);
                put("c");
                inner.commit();
            }
            throw std::runtime_error("middle fails");
        } catch (const std::runtime_error&) {
        }
        try {
            Transaction middle(*store);
            put("d");
            Transaction inner(*store);
            put("e");
            store->put(object("a"), {{"name", "duplicate"}});  // refused by the store: aborts the transaction
        } catch (const KorvexConnectionError&) {
        }
        put("f");  // the rollback to the middle savepoint recovered the transaction
        outer.commit();
    }
    expect_ended({"a", "f"}, "guards");
    try {
        Transaction outer(*store);
        put("g");
        Transaction inner(*store);
        put("h");
        inner.commit();
        throw std::runtime_error("outer fails");
    } catch (const std::runtime_error&) {
    }
    expect_ended({"a", "f"}, "unwound outer guard");
}

// A guard whose level was ended another way ends nothing more: not after a revert, nor after a
// plain rollback followed by a new level, nor once a disconnect ended every level.
TEST_P(TransactionModel, AGuardWhoseLevelEndedOtherwiseLeavesTheOtherLevelsAlone) {
    const auto put = [&](const std::string& id) {
        for (const auto& [address, data] : version(id)) store->put(address, data);
    };
    {
        Transaction outer(*store);
        put("a");
        {
            Transaction inner(*store);
            put("b");
            store->revert();
            EXPECT_FALSE(inner.is_open());
            EXPECT_THROW(inner.commit(), UsageError);
        }
        {
            Transaction inner(*store);
            put("c");
            store->rollback();
            store->begin();  // a new level where the guard's was: not the guard's to end
            put("d");
        }
        EXPECT_TRUE(outer.is_open());
        store->commit();
        put("e");
        outer.commit();
    }
    expect_ended({"a", "d", "e"}, "levels ended around the guards");
    {
        Transaction outer(*store);
        Transaction inner(*store);
        put("f");
        store->disconnect();
        EXPECT_FALSE(outer.is_open());
        EXPECT_FALSE(inner.is_open());
    }
    expect_ended({"a", "d", "e"}, "disconnected");
}

INSTANTIATE_TEST_SUITE_P(Engines, TransactionModel, ::testing::ValuesIn(korvex::testing::ENGINES),
                         [](const auto& info) { return info.param; });

}  // namespace
