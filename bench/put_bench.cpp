// put throughput: the same number of object versions written through
// PostgresHistoricalConnection::put and as the identical INSERT statements over raw libpq, with
// the same transaction batching, rounds interleaved so that both see the same machine.

#include "bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace korvex;
using korvex::bench::Clock;

int main(int argc, char** argv) {
    const int rows_per_round = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int batch = 100;

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

    std::vector<double> store_rates, raw_rates;
    int next_id = 0;
    auto store_round = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < rows_per_round; ++i) {
            if (i % batch == 0) store.begin();
            const std::string id = "s" + std::to_string(next_id++);
            Value data = {{"name", "Person " + id}, {"age", i % 90}, {"profile", {{"city", "Town"}, {"n", i}}}};
            store.put(Address::from_string("bench#BenchPerson@1/" + id + "@1"), data);
            if (i % batch == batch - 1 || i == rows_per_round - 1) {
                store.commit();
                store.on_transaction_complete();
            }
        }
        store_rates.push_back(rows_per_round / bench::seconds_since(start));
    };
    auto raw_round = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < rows_per_round; ++i) {
            if (i % batch == 0) raw.exec("BEGIN");
            const std::string id = "r" + std::to_string(next_id++);
            Value profile = {{"city", "Town"}, {"n", i}};
            raw.exec(insert, {"Person " + id, std::to_string(i % 90), profile.dump(), id, "1"});
            if (i % batch == batch - 1 || i == rows_per_round - 1) raw.exec("COMMIT");
        }
        raw_rates.push_back(rows_per_round / bench::seconds_since(start));
    };
    // Which side goes first alternates, so that neither always meets the fuller table.
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            store_round();
            raw_round();
        } else {
            raw_round();
            store_round();
        }
    }
    store.disconnect();

    const double store_rate = bench::median(store_rates);
    const double raw_rate = bench::median(raw_rates);
    std::printf("put throughput (%d rounds of %d rows, %d per transaction, median round)\n", rounds, rows_per_round,
                batch);
    std::printf("  PostgresHistoricalConnection::put  %10.0f rows/s\n", store_rate);
    std::printf("  raw libpq INSERT                   %10.0f rows/s\n", raw_rate);
    std::printf("  ratio put / raw                    %10.3f\n", store_rate / raw_rate);
    return 0;
}
