// Write throughput, 100 versions per transaction:
//  - put: PostgresHistoricalConnection::put against the identical INSERT statements over raw
//    libpq;
//  - put_many: one put_many call of 100 items against one put per item.
// The two sides of each comparison take turns block by block (ABBA), so that both meet the same
// machine and the same table; each round's rate is rows over the time its side spent, and the
// figures are the medians over the rounds.

#include "bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

using namespace korvex;
using korvex::bench::Clock;

namespace {

constexpr int BATCH = 100;

Value person_data(int n, const std::string& id) {
    return {{"name", "Person " + id}, {"age", n % 90}, {"profile", {{"city", "Town"}, {"n", n}}}};
}

struct Rates {
    double store;
    double baseline;
};

// Rounds of `transactions` transactions per side. Within a round the sides take turns in ABBA
// order, block by block, each block's transactions back to back on its side's connection:
// switching connections after every transaction changes how fast the server answers either side
// on this kind of machine, and whole rounds per side would let a change of load favour one.
// Each maker returns one transaction ready to run, its data made.
Rates compare(int rounds, int transactions, const std::function<std::function<void()>()>& make_store_transaction,
              const std::function<std::function<void()>()>& make_baseline_transaction) {
    constexpr int BLOCK = 10;
    std::vector<double> store_rates, baseline_rates;
    for (int round = 0; round < rounds; ++round) {
        double store_seconds = 0, baseline_seconds = 0;
        int store_done = 0, baseline_done = 0;
        for (int block = 0; store_done < transactions || baseline_done < transactions; ++block) {
            const bool store_turn = block % 4 == 0 || block % 4 == 3 ? store_done < transactions
                                                                      : baseline_done >= transactions;
            int& done = store_turn ? store_done : baseline_done;
            for (int t = 0; t < BLOCK && done < transactions; ++t, ++done) {
                const auto transaction = (store_turn ? make_store_transaction : make_baseline_transaction)();
                const auto start = Clock::now();
                transaction();
                (store_turn ? store_seconds : baseline_seconds) += bench::seconds_since(start);
            }
        }
        store_rates.push_back(transactions * BATCH / store_seconds);
        baseline_rates.push_back(transactions * BATCH / baseline_seconds);
    }
    return {bench::median(store_rates), bench::median(baseline_rates)};
}

}  // namespace

int main(int argc, char** argv) {
    const int rows_per_round = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int transactions = std::max(1, rows_per_round / BATCH);

    ClassVersionManager::register_class_version("BenchPerson", "1");
    pg_timeline::PostgresHistoricalConnection store;
    store.connect();
    store.table_schema_manager()->register_table(
        TableSchema{Address::from_string("bench#BenchPerson@1"),
                    {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"profile", ValueKind::MAPPING}},
                    {},
                    {}});
    bench::RawConnection raw;
    raw.exec("TRUNCATE benchperson_v_1");

    const std::string insert = bench::numbered_markers(
        R"(INSERT INTO benchperson_v_1 ("name", "age", "profile", "partition_key", "range_key") VALUES (%s, %s, %s, %s, %s))");

    // The versions each transaction writes are made before its clock starts, on both sides.
    int next_id = 0;
    auto next_items = [&](const char* prefix) {
        std::vector<WriteItem> items;
        items.reserve(BATCH);
        for (int i = 0; i < BATCH; ++i) {
            const std::string id = std::string(prefix).append(std::to_string(next_id++));
            items.emplace_back(Address::from_string("bench#BenchPerson@1/" + id + "@1"), person_data(i, id));
        }
        return items;
    };
    auto next_rows = [&] {
        std::vector<std::vector<std::string>> rows;
        for (int i = 0; i < BATCH; ++i) {
            const std::string id = std::string("r").append(std::to_string(next_id++));
            const Value profile = {{"city", "Town"}, {"n", i}};
            rows.push_back({"Person " + id, std::to_string(i % 90), profile.dump(), id, "1"});
        }
        return rows;
    };
    auto put_transaction = [&](const std::vector<WriteItem>& items) {
        store.begin();
        for (const auto& [address, data] : items) store.put(address, data);
        store.commit();
        store.on_transaction_complete();
    };
    auto raw_transaction = [&](const std::vector<std::vector<std::string>>& rows) {
        raw.exec("BEGIN");
        for (const auto& row : rows) raw.exec(insert, row);
        raw.exec("COMMIT");
    };
    auto put_many_transaction = [&](const std::vector<WriteItem>& items) {
        store.begin();
        store.put_many(items);
        store.commit();
        store.on_transaction_complete();
    };

    const Rates put = compare(
        rounds, transactions, [&] { return std::bind(put_transaction, next_items("s")); },
        [&] { return std::bind(raw_transaction, next_rows()); });
    const Rates batched = compare(
        rounds, transactions, [&] { return std::bind(put_many_transaction, next_items("m")); },
        [&] { return std::bind(put_transaction, next_items("p")); });
    store.disconnect();

    std::printf("put throughput (%d rounds of %d rows, %d per transaction, median round)\n", rounds,
                transactions * BATCH, BATCH);
    std::printf("  PostgresHistoricalConnection::put  %10.0f rows/s\n", put.store);
    std::printf("  raw libpq INSERT                   %10.0f rows/s\n", put.baseline);
    std::printf("  ratio put / raw                    %10.3f\n", put.store / put.baseline);
    std::printf("batched writes (put_many of %d items per transaction against one put per item)\n", BATCH);
    std::printf("  put_many                           %10.0f rows/s\n", batched.store);
    std::printf("  put per item                       %10.0f rows/s\n", batched.baseline);
    std::printf("  ratio put_many / put               %10.3f\n", batched.store / batched.baseline);
    bench::print_json_line("put", {{"store_rows_per_s", put.store},
                                   {"baseline_rows_per_s", put.baseline},
                                   {"ratio", put.store / put.baseline}});
    bench::print_json_line("put_many_100", {{"store_rows_per_s", batched.store},
                                            {"baseline_rows_per_s", batched.baseline},
                                            {"ratio", batched.store / batched.baseline}});
    return 0;
}
