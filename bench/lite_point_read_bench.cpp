// SQLite latest-version point read: one object's newest version with its metadata, by id,
// through SqliteHistoricalConnection::query against the fastest hand-written sqlite3 code for the
// same rows: the class table joined with its metadata where no metadata row names the version as
// its prior version, prepared once and bound again for every read. Two stores ten times apart in
// size. The sides take turns in blocks of reads (ABBA); the figures are the median reads.

#include "lite_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

using namespace korvex;

namespace {

constexpr int BLOCK = 50;  // reads per turn

// Fills the store's tables with `objects` objects of `versions` versions each, with metadata.
void load(bench::RawSqlite& raw, int objects, int versions) {
    const std::string series = "WITH RECURSIVE i(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM i WHERE n < " +
                               std::to_string(objects) + "), v(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM v WHERE n < " +
                               std::to_string(versions) + ") ";
    raw.exec("BEGIN");
    raw.exec(series +
             "INSERT INTO benchperson_v_1 (partition_key, range_key, name, age, profile) "
             "SELECT 'o' || i.n, CAST(v.n AS TEXT), 'Person ' || i.n, i.n % 90, json_object('city', 'Town', 'n', i.n) "
             "FROM i, v");
    raw.exec(series +
             "INSERT INTO metadata (partition_key, address, object_id, object_version, prior_version, "
             "class_schema_reference, class_schema_type, is_deleted, created_at, updated_at) "
             "SELECT 'o' || i.n || ':' || v.n, json_object('object_id', 'o' || i.n, 'object_version', CAST(v.n AS TEXT)), "
             "'o' || i.n, CAST(v.n AS TEXT), CASE WHEN v.n > 1 THEN CAST(v.n - 1 AS TEXT) END, '{}', 'model', 0, v.n, v.n "
             "FROM i, v");
    raw.exec("COMMIT");
    raw.exec("ANALYZE");
}

bench::ReadFigures measure(int objects, int versions, int reads) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("korvex-lite-read-bench-" + std::to_string(objects) + ".sqlite")).string();
    std::filesystem::remove(path);
    lite_history::SqliteHistoricalConnection store;
    store.connect(path);
    store.prepare_connection();
    store.table_schema_manager()->register_table(bench::bench_person_schema());
    bench::RawSqlite raw(path);
    load(raw, objects, versions);
    sqlite3_stmt* latest = raw.prepare(bench::latest_version_statement("?"));

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(1, objects);
    auto next_id = [&] { return std::string("o").append(std::to_string(pick(random))); };
    const bench::Side store_side = bench::store_latest_read_side(store, next_id, versions);
    const bench::Side limit_side{"prepared", [&] {
                                     return [&, id = next_id()] {
                                         sqlite3_bind_text(latest, 1, id.c_str(), static_cast<int>(id.size()),
                                                           SQLITE_STATIC);
                                         if (raw.run(latest) != 1) {
                                             throw std::runtime_error("the hand-written read of " + id +
                                                                      " did not return one row");
                                         }
                                     };
                                 }};
    // The first blocks warm the page cache.
    const auto timings = bench::alternate({store_side, limit_side}, 1, reads, BLOCK, 4 * BLOCK);
    sqlite3_finalize(latest);
    store.disconnect();
    std::filesystem::remove(path);
    return {static_cast<long>(objects) * versions, bench::median_ms(timings[0]), bench::median_ms(timings[1])};
}

}  // namespace

int main(int argc, char** argv) {
    const int objects = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int versions = argc > 2 ? std::atoi(argv[2]) : 5;
    const int reads = argc > 3 ? std::atoi(argv[3]) : 2000;
    ClassVersionManager::register_class_version("BenchPerson", "1");

    const bench::ReadFigures small = measure(objects, versions, reads);
    const bench::ReadFigures large = measure(objects * 10, versions, reads);
    bench::report_point_reads("lite", "SQLite", reads, versions, small, large);
    return 0;
}
