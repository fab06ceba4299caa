// SQLite latest-version point read: one object's newest version by id, through
// SqliteHistoricalConnection::query and through a hand-written sqlite3 statement that reads the
// same row through the same indexes, in two stores whose sizes are ten times apart. Two
// hand-written baselines: the statement prepared for every read (as a program that runs
// statements by text does), and prepared once and re-bound.

#include "lite_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

using namespace korvex;
using korvex::bench::LiteClock;

namespace {

const char* const HAND_WRITTEN = R"(SELECT t.*, m.*
FROM benchperson_v_1 AS t
JOIN metadata AS m ON m.object_id = t.partition_key AND m.object_version = t.range_key
WHERE t.partition_key = ?
  AND NOT EXISTS (SELECT 1 FROM metadata AS n WHERE n.object_id = m.object_id AND n.prior_version = m.object_version))";

struct Figures {
    double store_ms;
    double per_read_ms;
    double once_ms;
};

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

Figures measure(int objects, int versions, int reads) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("korvex-lite-read-bench-" + std::to_string(objects) + ".sqlite")).string();
    std::filesystem::remove(path);
    lite_history::SqliteHistoricalConnection store;
    store.connect(path);
    store.prepare_connection();
    store.table_schema_manager()->register_table(bench::bench_person_schema());
    bench::RawSqlite raw(path);
    load(raw, objects, versions);
    sqlite3_stmt* prepared_once = raw.prepare(HAND_WRITTEN);

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(1, objects);
    std::vector<double> store_ms, per_read_ms, once_ms;
    const Address address = Address::from_string("bench#BenchPerson@1");
    for (int i = 0; i < reads + 200; ++i) {
        const std::string id = std::string("o").append(std::to_string(pick(random)));
        const Q latest = Q("_address__object_id", Lookup::EQ, id) & Q("_address__object_version", Lookup::EQ, "LATEST");

        auto start = LiteClock::now();
        const auto rows = store.query(address, std::nullopt, latest);
        const double store_time = bench::lite_seconds_since(start) * 1000;

        start = LiteClock::now();
        sqlite3_stmt* statement = raw.prepare(HAND_WRITTEN);
        sqlite3_bind_text(statement, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        const int per_read_rows = raw.run(statement);
        sqlite3_finalize(statement);
        const double per_read_time = bench::lite_seconds_since(start) * 1000;

        start = LiteClock::now();
        sqlite3_bind_text(prepared_once, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        const int once_rows = raw.run(prepared_once);
        const double once_time = bench::lite_seconds_since(start) * 1000;

        if (rows.size() != 1 || per_read_rows != 1 || once_rows != 1 ||
            rows[0].value("range_key", Value()) != std::to_string(versions)) {
            throw std::runtime_error("point read of " + id + " did not return the newest version alone");
        }
        if (i >= 200) {  // the first reads warm the page cache
            store_ms.push_back(store_time);
            per_read_ms.push_back(per_read_time);
            once_ms.push_back(once_time);
        }
    }
    sqlite3_finalize(prepared_once);
    store.disconnect();
    std::filesystem::remove(path);
    return {bench::lite_median(store_ms), bench::lite_median(per_read_ms), bench::lite_median(once_ms)};
}

}  // namespace

int main(int argc, char** argv) {
    const int objects = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int versions = argc > 2 ? std::atoi(argv[2]) : 5;
    const int reads = argc > 3 ? std::atoi(argv[3]) : 2000;
    ClassVersionManager::register_class_version("BenchPerson", "1");

    const Figures small = measure(objects, versions, reads);
    const Figures large = measure(objects * 10, versions, reads);

    std::printf("SQLite latest-version point read (median of %d reads; %d versions per object, with metadata)\n",
                reads, versions);
    for (const auto& [rows, figures] : {std::pair{objects * versions, small}, std::pair{objects * versions * 10, large}}) {
        std::printf("  store of %8d rows: query %.4f ms; sqlite3 prepared per read %.4f ms (ratio %.2f), "
                    "prepared once %.4f ms (ratio %.2f)\n",
                    rows, figures.store_ms, figures.per_read_ms, figures.store_ms / figures.per_read_ms,
                    figures.once_ms, figures.store_ms / figures.once_ms);
    }
    std::printf("  ratio query large / small store                %.2f\n", large.store_ms / small.store_ms);
    bench::print_json_line("lite_point_read",
                           {{"small_rows", objects * versions},
                            {"large_rows", objects * versions * 10},
                            {"small_store_ms", small.store_ms},
                            {"small_sqlite3_prepared_per_read_ms", small.per_read_ms},
                            {"small_sqlite3_prepared_once_ms", small.once_ms},
                            {"large_store_ms", large.store_ms},
                            {"large_sqlite3_prepared_per_read_ms", large.per_read_ms},
                            {"large_sqlite3_prepared_once_ms", large.once_ms},
                            {"ratio_small_per_read", small.store_ms / small.per_read_ms},
                            {"ratio_large_per_read", large.store_ms / large.per_read_ms},
                            {"ratio_small_prepared_once", small.store_ms / small.once_ms},
                            {"ratio_large_prepared_once", large.store_ms / large.once_ms},
                            {"ratio_large_over_small", large.store_ms / small.store_ms}});
    return 0;
}
