// Latest-version point read: one object's newest version by id, through
// PostgresHistoricalConnection::query and through a hand-written statement that reads the same
// row through the indexes, in two stores whose sizes are ten times apart.

#include "bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>

using namespace korvex;
using korvex::bench::Clock;

namespace {

const char* const HAND_WRITTEN = R"(SELECT t.*, m.*
FROM benchperson_v_1 AS t
JOIN metadata AS m ON m.object_id = t.partition_key AND m.object_version = t.range_key
WHERE t.partition_key = $1
  AND NOT EXISTS (SELECT 1 FROM metadata AS n WHERE n.object_id = m.object_id AND n.prior_version = m.object_version))";

struct Figures {
    double store_ms;
    double hand_ms;
};

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
    raw.exec("ANALYZE");
}

Figures measure(const std::string& database, int objects, int versions, int reads) {
    setenv("POSTGRES_DATABASE", database.c_str(), 1);
    pg_timeline::PostgresHistoricalConnection store;
    store.connect();
    store.prepare_connection();
    store.table_schema_manager()->register_table(
        TableSchema{Address::from_string("bench#BenchPerson@1"),
                    {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"profile", ValueKind::MAPPING}},
                    {},
                    {}});
    bench::RawConnection raw;
    load(raw, objects, versions);

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(1, objects);
    std::vector<double> store_ms, hand_ms;
    const Address address = Address::from_string("bench#BenchPerson@1");
    auto store_read = [&](const std::string& id) {
        const Q latest = Q("_address__object_id", Lookup::EQ, id) & Q("_address__object_version", Lookup::EQ, "LATEST");
        const auto start = Clock::now();
        const auto rows = store.query(address, std::nullopt, latest);
        const double ms = bench::seconds_since(start) * 1000;
        if (rows.size() != 1 || rows[0].value("range_key", Value()) != std::to_string(versions)) {
            throw std::runtime_error("point read of " + id + " did not return the newest version alone");
        }
        return ms;
    };
    auto hand_read = [&](const std::string& id) {
        const auto start = Clock::now();
        const int rows = raw.exec_rows(HAND_WRITTEN, {id});
        const double ms = bench::seconds_since(start) * 1000;
        if (rows != 1) throw std::runtime_error("the hand-written read of " + id + " did not return one row");
        return ms;
    };
    // The sides take turns block by block (ABBA), each block's reads back to back on one
    // connection: switching connections after every read changes how fast the server answers on
    // this kind of machine. The first block of each side warms caches and plans.
    constexpr int BLOCK = 50;
    for (int block = 0; block < reads / BLOCK + 2; ++block) {
        std::vector<std::string> ids;
        for (int i = 0; i < BLOCK; ++i) ids.push_back(std::string("o").append(std::to_string(pick(random))));
        const bool warming = block < 2;
        auto run = [&](bool store_side) {
            for (const auto& id : ids) {
                const double ms = store_side ? store_read(id) : hand_read(id);
                if (!warming) (store_side ? store_ms : hand_ms).push_back(ms);
            }
        };
        const bool store_first = block % 4 == 0 || block % 4 == 3;
        run(store_first);
        run(!store_first);
    }
    store.disconnect();
    return {bench::median(store_ms), bench::median(hand_ms)};
}

// 100000 as "100k", 1000000 as "1m", anything else as its digits.
std::string size_label(int rows) {
    if (rows % 1000000 == 0) return std::to_string(rows / 1000000) + "m";
    if (rows % 1000 == 0) return std::to_string(rows / 1000) + "k";
    return std::to_string(rows);
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
    const Figures small = measure("korvex_bench_small", objects, versions, reads);
    const Figures large = measure("korvex_bench_large", objects * 10, versions, reads);
    setenv("POSTGRES_DATABASE", home.c_str(), 1);

    std::printf("latest-version point read (median of %d reads; %d versions per object, with metadata)\n", reads,
                versions);
    for (const auto& [rows, figures] : {std::pair{objects * versions, small}, std::pair{objects * versions * 10, large}}) {
        std::printf("  store of %7d rows: query %.3f ms, hand-written %.3f ms, ratio %.2f\n", rows, figures.store_ms,
                    figures.hand_ms, figures.store_ms / figures.hand_ms);
    }
    std::printf("  ratio query large / small store           %.2f\n", large.store_ms / small.store_ms);
    for (const auto& [rows, figures] : {std::pair{objects * versions, small}, std::pair{objects * versions * 10, large}}) {
        bench::print_json_line("point_read_" + size_label(rows), {{"store_ms", figures.store_ms},
                                                                  {"baseline_ms", figures.hand_ms},
                                                                  {"ratio", figures.store_ms / figures.hand_ms}});
    }
    bench::print_json_line("point_read_growth", {{"ratio", large.store_ms / small.store_ms}});
    return 0;
}
