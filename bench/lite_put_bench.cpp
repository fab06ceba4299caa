// SQLite write throughput, 100 versions per transaction: SqliteHistoricalConnection::put per
// version, and one put_many of 100, each against the fastest hand-written sqlite3 loop doing the
// same writes in the same transactions on the same file: the INSERT prepared once and bound
// again for every row. The store starts from its maps with revert on (its default), the loop from
// ready values; both are made before the clock starts. The sides take turns block by block
// (ABBA); each round's rate is rows over the time its side spent, the figures are median rounds.

#include "lite_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

using namespace korvex;

namespace {

constexpr int BATCH = 100;
constexpr int BLOCK = 10;  // transactions per turn

}  // namespace

int main(int argc, char** argv) {
    const int rows_per_round = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int transactions = std::max(1, rows_per_round / BATCH);
    const std::string path = (std::filesystem::temp_directory_path() / "korvex-lite-put-bench.sqlite").string();
    std::filesystem::remove(path);

    ClassVersionManager::register_class_version("BenchPerson", "1");
    lite_history::SqliteHistoricalConnection store;
    store.connect(path);
    store.prepare_connection();
    store.table_schema_manager()->register_table(bench::bench_person_schema());
    bench::RawSqlite raw(path);
    sqlite3_stmt* insert = raw.prepare(bench::lite_person_insert());

    int next_id = 0;
    auto store_side = [&](const char* name, const char* prefix, bool many) {
        return bench::store_write_side(store, name, prefix, many, BATCH, next_id);
    };
    auto raw_side = [&](const char* prefix) {
        return bench::Side{"insert", [&, prefix] {
                               return [&, rows = bench::person_rows(prefix, BATCH, next_id)] {
                                   raw.exec("BEGIN");
                                   for (const auto& row : rows) {
                                       bench::bind_person(insert, row);
                                       raw.run(insert);
                                   }
                                   raw.exec("COMMIT");
                               };
                           }};
    };
    const auto put = bench::alternate({store_side("put", "s", false), raw_side("r")}, rounds, transactions, BLOCK, BLOCK);
    const auto many =
        bench::alternate({store_side("put_many", "m", true), raw_side("q")}, rounds, transactions, BLOCK, BLOCK);
    sqlite3_finalize(insert);
    store.disconnect();
    std::filesystem::remove(path);

    std::printf("SQLite writes (%d rounds of %d rows, %d per transaction, median round)\n", rounds,
                transactions * BATCH, BATCH);
    for (const auto& [name, label, timings] :
         {std::tuple{"lite_put", "put per version", &put}, std::tuple{"lite_put_many_100", "put_many of 100", &many}}) {
        const auto figures = bench::write_figures((*timings)[0], (*timings)[1], BATCH);
        std::printf("  %-16s %10.0f rows/s; INSERT prepared once, re-bound per row %10.0f rows/s; ratio %.3f "
                    "(median transactions %.3f)\n",
                    label, figures[0].second, figures[1].second, figures[2].second, figures[3].second);
        bench::print_json_line(name, figures);
    }
    return 0;
}
