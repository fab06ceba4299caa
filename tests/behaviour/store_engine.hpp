#pragma once
// One historical store on its real engine, as a host gets it: loaded by module path, connected
// to a fresh database, with its internal tables prepared. Checks go through a second,
// independent connection to the same database. The behaviour tests run once per engine.

#include "korvex/connections/historical_base.hpp"
#include "korvex/connections/transaction_levels_mixin.hpp"
#include "korvex/value.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace korvex::testing {

class StoreEngine {
public:
    virtual ~StoreEngine() = default;

    // A new store object of the engine's plug-in, connected to this database and not prepared.
    virtual std::unique_ptr<HistoricalConnectionBase> connect(bool is_revert_supported = true) = 0;
    // Runs SQL on the database through a separate connection; the first column of every row as
    // text ("" for NULL).
    virtual std::vector<std::string> sql(const std::string& statement) = 0;
    // Fails the test when any transaction still holds a write lock on `table`.
    virtual void expect_no_open_transaction(const std::string& table) = 0;
    // A metadata row as the engine's metadata table lays it out (the Iceberg table wraps the
    // schema's address as `ref`).
    virtual DataMap metadata_row(DataMap row) const { return row; }
    // A query of the metadata rows' keys, each starting with the object id (then ':' and more).
    virtual std::string metadata_keys_query() const { return "SELECT partition_key FROM metadata"; }
};

// "postgresql", "sqlite" or (in the Spark build of the suites) "spark".
std::unique_ptr<StoreEngine> make_engine(const std::string& name);

// The engines the suites run on. The Spark build of the suites runs on the Iceberg store only,
// as a Spark test of its own.
#ifdef KORVEX_BEHAVIOUR_ON_SPARK
inline const std::vector<std::string> ENGINES = {"spark"};
#else
inline const std::vector<std::string> ENGINES = {"postgresql", "sqlite"};
#endif

// A data map from its JSON text.
inline DataMap map(const char* json) { return Value::parse(json); }

// The levels of a store, which both stores keep in TransactionLevelsMixin.
inline const TransactionLevelsMixin& levels(const HistoricalConnectionBase& store) {
    return dynamic_cast<const TransactionLevelsMixin&>(store);
}

// Runs a sequence of words on the store: begin, commit, rollback, revert, and put:<id>, which
// calls `put` with the id.
inline void run_transaction_words(HistoricalConnectionBase& store, const std::string& sequence,
                                  const std::function<void(const std::string&)>& put) {
    std::istringstream words(sequence);
    for (std::string word; words >> word;) {
        if (word == "begin") store.begin();
        if (word == "commit") store.commit();
        if (word == "rollback") store.rollback();
        if (word == "revert") store.revert();
        if (word.starts_with("put:")) put(word.substr(4));
    }
}

// A fixture holding one engine and its prepared store.
class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        engine = make_engine(GetParam());
        store = engine->connect();
        store->prepare_connection();
    }
    bool on_sqlite() const { return GetParam() == "sqlite"; }

    std::unique_ptr<StoreEngine> engine;
    std::unique_ptr<HistoricalConnectionBase> store;
};

}  // namespace korvex::testing
