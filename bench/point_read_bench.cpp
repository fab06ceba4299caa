// PostgreSQL latest-version point read: one object's newest version with its metadata, by id,
// through PostgresHistoricalConnection::query against the fastest hand-written code for the same
// rows: the class table joined with its metadata where no metadata row names the version as its
// prior version, prepared once and run with the id bound per call. Two stores ten times apart in
// size. The sides take turns in blocks of reads (ABBA); the figures are the median reads.

#include "pg_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>

using namespace korvex;

namespace {

constexpr int BLOCK = 50;  // reads per turn

// Fills a fresh database with `objects` objects of `versions` versions each, with metadata.
void load(bench::RawConnection& raw, int objects, int versions) {
    raw.exec("TRUNCATE benchperson_v_1");
    raw.exec("TRUNCATE metadata");
    raw.exec("INSERT INTO benchperson_v_1 (partition_key, range_key, name, age, profile) "
             "SELECT 'o' || i, v::text, 'Person ' || i, (i % 90), json_build_object('city', 'Town', 'n', i) "
             "FROM generate_series(1, $1::int) AS i, generate_series(1, $2::int) AS v",
             {std::to_string(objects), std::to_string(versions)});
    raw.exec("INSERT INTO metadata (partition_key, address, object_id, object_version, prior_version, "
             "class_schema_reference, class_meta_schema_reference, class_schema_type, is_deleted, created_at, "
             "updated_at, \"transaction\") "
             "SELECT 'o' || i || ':' || v, json_build_object('object_id', 'o' || i, 'object_version', v::text), "
             "'o' || i, v::text, CASE WHEN v > 1 THEN (v - 1)::text END, '{}'::json, NULL, 'model', false, v, v, NULL "
             "FROM generate_series(1, $1::int) AS i, generate_series(1, $2::int) AS v",
             {std::to_string(objects), std::to_string(versions)});
    // A store in use is vacuumed (autovacuum gets to a load like this about a minute later): read
    // before that, both sides would be timed on a plan and heap visits no running store keeps.
    raw.exec("VACUUM (ANALYZE)");
}

bench::ReadFigures measure(const std::string& database, int objects, int versions, int reads) {
    setenv("POSTGRES_DATABASE", database.c_str(), 1);
    pg_timeline::PostgresHistoricalConnection store;
    store.connect();
    store.prepare_connection();
    store.table_schema_manager()->register_table(bench::bench_person_schema());
    bench::RawConnection raw;
    load(raw, objects, versions);
    raw.prepare("latest", bench::latest_version_statement("$1"));

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(1, objects);
    auto next_id = [&] { return std::string("o").append(std::to_string(pick(random))); };
    const bench::Side store_side = bench::store_latest_read_side(store, next_id, versions);
    const bench::Side limit_side{"prepared", [&] {
                                     return [&, id = next_id()] {
                                         if (raw.exec_prepared("latest", {id.c_str()}) != 1) {
                                             throw std::runtime_error("the hand-written read of " + id +
                                                                      " did not return one row");
                                         }
                                     };
                                 }};
    const auto timings = bench::alternate({store_side, limit_side}, 1, reads, BLOCK, BLOCK);
    store.disconnect();
    return {static_cast<long>(objects) * versions, bench::median_ms(timings[0]), bench::median_ms(timings[1])};
}

}  // namespace

int main(int argc, char** argv) {
    const int objects = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int versions = argc > 2 ? std::atoi(argv[2]) : 5;
    const int reads = argc > 3 ? std::atoi(argv[3]) : 1000;
    ClassVersionManager::register_class_version("BenchPerson", "1");

    const std::string home = std::getenv("POSTGRES_DATABASE") ? std::getenv("POSTGRES_DATABASE") : "postgres";
    {
        bench::RawConnection admin;
        for (const char* name : {"korvex_bench_small", "korvex_bench_large"}) {
            admin.exec(std::string("DROP DATABASE IF EXISTS ") + name);
            admin.exec(std::string("CREATE DATABASE ") + name);
        }
    }
    const bench::ReadFigures small = measure("korvex_bench_small", objects, versions, reads);
    const bench::ReadFigures large = measure("korvex_bench_large", objects * 10, versions, reads);
    setenv("POSTGRES_DATABASE", home.c_str(), 1);
    bench::report_point_reads("pg", "PostgreSQL", reads, versions, small, large);
    return 0;
}
