// PostgreSQL write throughput, 100 versions per transaction, each side against the fastest
// hand-written libpq code doing the same writes in the same transactions:
//  - put: PostgresHistoricalConnection::put per version against the same single-row INSERT,
//    prepared once and run with PQexecPrepared;
//  - put_many: one put_many of 100 versions against COPY of the 100 rows, and beside it one
//    100-row INSERT prepared once.
// The store starts from its maps with revert on (its default), the hand-written code from ready
// parameter values; both are made before the clock starts. The sides take turns block by block
// (ABBA); each round's rate is rows over the time its side spent, the figures are median rounds.

#include "pg_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cstdio>
#include <cstdlib>

using namespace korvex;

namespace {

constexpr int BATCH = 100;
constexpr int BLOCK = 10;  // transactions per turn

}  // namespace

int main(int argc, char** argv) {
    const int rows_per_round = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int transactions = std::max(1, rows_per_round / BATCH);

    ClassVersionManager::register_class_version("BenchPerson", "1");
    pg_timeline::PostgresHistoricalConnection store;
    store.connect();
    store.table_schema_manager()->register_table(bench::bench_person_schema());
    bench::RawConnection raw;
    raw.exec("TRUNCATE benchperson_v_1");
    raw.prepare("insert_1", bench::person_insert());
    raw.prepare("insert_100", bench::person_insert(BATCH));

    int next_id = 0;
    auto store_side = [&](const char* name, const char* prefix, bool many) {
        return bench::store_write_side(store, name, prefix, many, BATCH, next_id);
    };
    // How a hand-written transaction writes its ready rows.
    enum class Raw { INSERT_EACH, COPY, INSERT_100 };
    auto raw_side = [&](const char* name, const char* prefix, Raw how) {
        return bench::Side{name, [&, prefix, how] {
                               return [&, how, rows = bench::person_rows(prefix, BATCH, next_id)] {
                                   std::vector<const char*> values;
                                   raw.exec("BEGIN");
                                   if (how == Raw::INSERT_EACH) {
                                       for (const auto& row : rows) {
                                           values.clear();
                                           bench::append_person_values(values, row);
                                           raw.exec_prepared("insert_1", values);
                                       }
                                   } else if (how == Raw::INSERT_100) {
                                       for (const auto& row : rows) bench::append_person_values(values, row);
                                       raw.exec_prepared("insert_100", values);
                                   } else {
                                       std::string data;
                                       for (const auto& row : rows) bench::append_copy_row(data, row);
                                       raw.copy(bench::person_copy(), data);
                                   }
                                   raw.exec("COMMIT");
                               };
                           }};
    };

    const auto put = bench::alternate({store_side("put", "s", false), raw_side("insert", "r", Raw::INSERT_EACH)},
                                      rounds, transactions, BLOCK, BLOCK);
    const auto many = bench::alternate({store_side("put_many", "m", true), raw_side("copy", "c", Raw::COPY),
                                        raw_side("insert_100", "i", Raw::INSERT_100)},
                                       rounds, transactions, BLOCK, BLOCK);
    store.disconnect();

    const auto put_figures = bench::write_figures(put[0], put[1], BATCH);
    auto many_figures = bench::write_figures(many[0], many[1], BATCH);
    const auto insert_100 = bench::write_figures(many[0], many[2], BATCH);
    many_figures.insert(many_figures.end(), {{"insert_100_rows_per_s", insert_100[1].second},
                                             {"ratio_insert_100", insert_100[2].second}});
    std::printf("PostgreSQL writes (%d rounds of %d rows, %d per transaction, median round)\n", rounds,
                transactions * BATCH, BATCH);
    std::printf("  put per version                       %10.0f rows/s\n", put_figures[0].second);
    std::printf("  INSERT prepared once, per row         %10.0f rows/s   put / this %.3f (median transactions %.3f)\n",
                put_figures[1].second, put_figures[2].second, put_figures[3].second);
    std::printf("  put_many of %d                       %10.0f rows/s\n", BATCH, many_figures[0].second);
    std::printf("  COPY of the %d rows                  %10.0f rows/s   put_many / this %.3f (median transactions "
                "%.3f)\n",
                BATCH, many_figures[1].second, many_figures[2].second, many_figures[3].second);
    std::printf("  one %d-row INSERT prepared once      %10.0f rows/s   put_many / this %.3f\n", BATCH,
                insert_100[1].second, insert_100[2].second);
    bench::print_json_line("pg_put", put_figures);
    bench::print_json_line("pg_put_many_100", many_figures);
    return 0;
}
