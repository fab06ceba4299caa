// SQLite put throughput: the same number of object versions written through
// SqliteHistoricalConnection::put and as the identical INSERT statements with hand-written
// sqlite3 calls, into the same file with the same transaction batching, rounds interleaved so
// that both see the same machine and the same table. Two hand-written baselines: the INSERT
// prepared for every row (as a program that runs statements by text does), and prepared once
// per round and re-bound (the fastest hand-written loop).

#include "lite_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

using namespace korvex;
using korvex::bench::LiteClock;

int main(int argc, char** argv) {
    const int rows_per_round = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int batch = 100;
    const std::string path = (std::filesystem::temp_directory_path() / "korvex-lite-put-bench.sqlite").string();
    std::filesystem::remove(path);

    ClassVersionManager::register_class_version("BenchPerson", "1");
    lite_history::SqliteHistoricalConnection store;
    store.connect(path);
    store.prepare_connection();
    store.table_schema_manager()->register_table(bench::bench_person_schema());
    bench::RawSqlite raw(path);
    const std::string insert =
        R"(INSERT INTO "benchperson_v_1" ("name", "age", "profile", "partition_key", "range_key") VALUES (?, ?, ?, ?, ?))";

    int next_id = 0;
    auto store_round = [&] {
        const auto start = LiteClock::now();
        for (int i = 0; i < rows_per_round; ++i) {
            if (i % batch == 0) store.begin();
            const std::string id = std::string("s").append(std::to_string(next_id++));
            Value data = {{"name", "Person " + id}, {"age", i % 90}, {"profile", {{"city", "Town"}, {"n", i}}}};
            store.put(Address::from_string("bench#BenchPerson@1/" + id + "@1"), data);
            if (i % batch == batch - 1 || i == rows_per_round - 1) {
                store.commit();
                store.on_transaction_complete();
            }
        }
        return rows_per_round / bench::lite_seconds_since(start);
    };
    // The hand-written loop builds the same values (the JSON text of the profile included).
    auto raw_round = [&](bool prepare_each_row) {
        const auto start = LiteClock::now();
        sqlite3_stmt* statement = prepare_each_row ? nullptr : raw.prepare(insert);
        for (int i = 0; i < rows_per_round; ++i) {
            if (i % batch == 0) raw.exec("BEGIN");
            const std::string id = std::string("r").append(std::to_string(next_id++));
            const std::string name = "Person " + id;
            const std::string profile = Value{{"city", "Town"}, {"n", i}}.dump();
            if (prepare_each_row) statement = raw.prepare(insert);
            sqlite3_bind_text(statement, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(statement, 2, i % 90);
            sqlite3_bind_text(statement, 3, profile.c_str(), static_cast<int>(profile.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(statement, 4, id.c_str(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(statement, 5, "1", 1, SQLITE_STATIC);
            raw.run(statement);
            if (prepare_each_row) sqlite3_finalize(statement);
            if (i % batch == batch - 1 || i == rows_per_round - 1) raw.exec("COMMIT");
        }
        if (!prepare_each_row) sqlite3_finalize(statement);
        return rows_per_round / bench::lite_seconds_since(start);
    };
    std::vector<double> store_rates, per_row_rates, once_rates;
    const std::vector<std::function<void()>> sides = {[&] { store_rates.push_back(store_round()); },
                                                      [&] { per_row_rates.push_back(raw_round(true)); },
                                                      [&] { once_rates.push_back(raw_round(false)); }};
    // Which side goes first rotates, so that none always meets the fuller table.
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < sides.size(); ++k) sides[(round + k) % sides.size()]();
    }
    store.disconnect();
    std::filesystem::remove(path);

    const double store_rate = bench::lite_median(store_rates);
    const double per_row_rate = bench::lite_median(per_row_rates);
    const double once_rate = bench::lite_median(once_rates);
    std::printf("SQLite put throughput (%d rounds of %d rows, %d per transaction, median round)\n", rounds,
                rows_per_round, batch);
    std::printf("  SqliteHistoricalConnection::put        %10.0f rows/s\n", store_rate);
    std::printf("  sqlite3, INSERT prepared per row       %10.0f rows/s   ratio put / this %.3f\n", per_row_rate,
                store_rate / per_row_rate);
    std::printf("  sqlite3, INSERT prepared once          %10.0f rows/s   ratio put / this %.3f\n", once_rate,
                store_rate / once_rate);
    bench::print_json_line("lite_put", {{"rows_per_round", rows_per_round},
                                        {"store_rows_per_s", store_rate},
                                        {"sqlite3_prepared_per_row_rows_per_s", per_row_rate},
                                        {"sqlite3_prepared_once_rows_per_s", once_rate},
                                        {"ratio_per_row", store_rate / per_row_rate},
                                        {"ratio_prepared_once", store_rate / once_rate}});
    return 0;
}
