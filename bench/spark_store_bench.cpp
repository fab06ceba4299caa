// The Iceberg store through Spark Connect against plain Spark SQL doing the same work on main, in
// the same run, the sides alternating ABBA:
// - a transaction of one class table and the metadata table, 1,000 versions each, commit
//   included (spark_transaction_2x1000);
// - put_many throughput in batches of versions, each with its metadata row, commit included
//   (spark_put_many);
// - a latest-version point read: query by id against the hand-written join with its metadata
//   where no metadata row names the version as its prior version (spark_point_read);
// - a transaction against the number of class tables it writes, 1, 2, 4 and 8, each with 100
//   versions, plus the metadata table (spark_commit_tables_<n>).
// The plain side writes the same rows into the same tables, on main, one INSERT per table per
// unit with the rows as one parameter (SparkConnectClient::insert_rows, the fastest client path
// spark_batch_bench measures), with no branch and no commit protocol; it reads by one statement
// with the id as its parameter. Each benchmark prints one JSON line (scripts/bench.sh).
//
// Usage: spark_store_bench [batch, 10000] [rounds, 3] [reads per side, 20]; a batch of 0 runs the
// point read alone. SPARK_CONNECT_URL names the server (scripts/spark_start.sh).

#include "bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/spark_connect/iceberg_spark_connection.hpp"
#include "korvex/table_schemas/base.hpp"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

using namespace korvex;

namespace {

const char* const MODULE = "korvex_data.connections.implementations.ice_history";

Value profile_of(int n) { return {{"city", "Town"}, {"n", n}}; }

// The metadata row of the object version at `address`, as both sides write it.
Value metadata_row(const Address& address, int version) {
    return {{"address", address.to_value()},
            {"class_schema_reference", {{"ref", address.to_value()}}},
            {"class_schema_type", "object"},
            {"is_deleted", false},
            {"prior_version", version > 1 ? Value(std::to_string(version - 1)) : Value()},
            {"created_at", 1000.0 + version},
            {"updated_at", 1000.0 + version}};
}

// The store's items: `count` new objects of `class_name` at `version`, each with its metadata row.
std::vector<WriteItem> store_items(const std::string& class_name, const std::string& prefix, int count, int& next,
                                   int version = 1) {
    std::vector<WriteItem> items;
    items.reserve(2 * static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i, ++next) {
        const std::string id = prefix + std::to_string(next);
        const Address address =
            Address::from_string("bench#" + class_name + "@1/" + id + "@" + std::to_string(version));
        items.emplace_back(address, Value{{"name", "Person " + id}, {"age", next % 90}, {"profile", profile_of(next)}});
        items.emplace_back(Address::from_string("resource#Metadata/" + id + ":" + std::to_string(version)),
                           metadata_row(address, version));
    }
    return items;
}

// The same versions as rows of the class table and of the metadata table, by column name.
struct PlainRows {
    std::vector<Value> versions;
    std::vector<Value> metadata;
};
PlainRows plain_rows(const std::string& class_name, const std::string& prefix, int count, int& next,
                     int version = 1) {
    PlainRows rows;
    for (int i = 0; i < count; ++i, ++next) {
        const std::string id = prefix + std::to_string(next);
        const Address address =
            Address::from_string("bench#" + class_name + "@1/" + id + "@" + std::to_string(version));
        rows.versions.push_back({{"partition_key", id},
                                 {"range_key", std::to_string(version)},
                                 {"name", "Person " + id},
                                 {"age", next % 90},
                                 {"profile", profile_of(next).dump()}});
        rows.metadata.push_back(metadata_row(address, version));
    }
    return rows;
}

class Bench {
public:
    Bench(const std::string& url, const std::string& ns) : spark_(url, "korvex", ns) {
        store_ = import_module(MODULE).create<HistoricalConnectionBase>("SparkIcebergHistoricalConnection", {});
        store_->connect(url, {{"namespace", ns}});
        store_->prepare_connection();
        prefix_ = "korvex." + ns + ".";
        for (int k = 0; k < 8; ++k) {
            const std::string name = class_name(k);
            ClassVersionManager::register_class_version(name, "1");
            store_->table_schema_manager()->register_table(TableSchema{
                Address::from_string("bench#" + name + "@1"),
                 {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"profile", ValueKind::MAPPING}},
                 {},
                 {}});
        }
        metadata_columns_ = spark_.get_table_description(prefix_ + "metadata");
    }
    ~Bench() {
        if (connected_) store_->disconnect();
    }
    // Before the namespace is dropped: disconnect drops the connection's commit-log branch.
    void disconnect() {
        connected_ = false;
        store_->disconnect();
    }

    static std::string class_name(int k) { return "BenchPerson" + std::to_string(k); }
    std::string table_of(int k) const { return prefix_ + "benchperson" + std::to_string(k) + "_v_1"; }
    SparkConnectClient& client() { return spark_.client(); }
    HistoricalConnectionBase& store() { return *store_; }
    const std::vector<IcebergTableColumn>& columns_of(const std::string& table) {
        auto found = columns_.find(table);
        if (found == columns_.end()) found = columns_.emplace(table, spark_.get_table_description(table)).first;
        return found->second;
    }

    // The store's side: one transaction of `per_table` new versions in each of the first
    // `tables` class tables, with their metadata, by one put_many; the commit's own seconds go
    // to `commit_seconds` when given.
    bench::Side store_side(int tables, int per_table, std::vector<double>* commit_seconds = nullptr) {
        return {"store", [this, tables, per_table, commit_seconds] {
                    std::vector<WriteItem> items;
                    for (int k = 0; k < tables; ++k) {
                        auto more = store_items(class_name(k), "s", per_table, next_);
                        items.insert(items.end(), more.begin(), more.end());
                    }
                    return [this, commit_seconds, items = std::move(items)] {
                        store_->begin();
                        store_->put_many(items);
                        const auto start = bench::Clock::now();
                        store_->commit();
                        if (commit_seconds) commit_seconds->push_back(bench::seconds_since(start));
                        store_->on_transaction_complete();
                    };
                }};
    }
    // Plain Spark SQL: one INSERT per class table and one into the metadata table, on main.
    bench::Side plain_side(int tables, int per_table) {
        return {"plain", [this, tables, per_table] {
                    std::vector<PlainRows> rows;
                    for (int k = 0; k < tables; ++k) rows.push_back(plain_rows(class_name(k), "p", per_table, next_));
                    return [this, rows = std::move(rows)] {
                        std::vector<Value> metadata;
                        for (std::size_t k = 0; k < rows.size(); ++k) {
                            const std::string table = table_of(static_cast<int>(k));
                            client().insert_rows(table, columns_of(table), rows[k].versions);
                            metadata.insert(metadata.end(), rows[k].metadata.begin(), rows[k].metadata.end());
                        }
                        client().insert_rows(prefix_ + "metadata", metadata_columns_, metadata);
                    };
                }};
    }

    // Objects r0..r<objects-1> with versions 1..versions in class table 0, written on main.
    void load_read_objects(int objects, int versions) {
        std::vector<Value> all_versions;
        std::vector<Value> metadata;
        for (int v = 1; v <= versions; ++v) {
            int next = 0;
            PlainRows rows = plain_rows(class_name(0), "r", objects, next, v);
            all_versions.insert(all_versions.end(), rows.versions.begin(), rows.versions.end());
            metadata.insert(metadata.end(), rows.metadata.begin(), rows.metadata.end());
        }
        client().insert_rows(table_of(0), columns_of(table_of(0)), all_versions);
        client().insert_rows(prefix_ + "metadata", metadata_columns_, metadata);
    }
    // The hand-written latest-version read of one object with its metadata.
    std::string latest_statement() const {
        return "SELECT t.*, m.* FROM " + table_of(0) + " AS t JOIN " + prefix_ +
               "metadata AS m ON m.address.object_id = t.partition_key AND m.address.object_version = "
               "t.range_key WHERE t.partition_key = ? AND NOT EXISTS (SELECT 1 FROM " +
               prefix_ +
               "metadata AS n WHERE n.address.object_id = m.address.object_id AND n.prior_version = "
               "m.address.object_version)";
    }

private:
    IcebergSparkConnection spark_;
    std::unique_ptr<HistoricalConnectionBase> store_;
    bool connected_ = true;
    std::string prefix_;
    std::vector<IcebergTableColumn> metadata_columns_;
    std::map<std::string, std::vector<IcebergTableColumn>> columns_;
    int next_ = 0;
};

std::vector<std::pair<std::string, double>> time_figures(const bench::Timings& timings) {
    const double store = bench::median_ms(timings[0]);
    const double plain = bench::median_ms(timings[1]);
    return {{"store_ms", store}, {"limit_ms", plain}, {"ratio", store / plain}};
}

}  // namespace

int main(int argc, char** argv) {
    const int batch = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int reads = argc > 3 ? std::atoi(argv[3]) : 20;
    const char* url = std::getenv("SPARK_CONNECT_URL");
    if (url == nullptr || *url == '\0') {
        std::fprintf(stderr, "SPARK_CONNECT_URL is not set: start a server with scripts/spark_start.sh\n");
        return 2;
    }
    std::random_device device;
    const std::string ns = "store_bench_" + std::to_string(device() % 1000000);
    Bench bench(url, ns);
    int status = 0;
    try {
        if (batch > 0) {
            // 2 tables x 1,000 rows: 1,000 versions and their 1,000 metadata rows.
            std::vector<double> commits;
            auto timings =
                bench::alternate({bench.store_side(1, 1000, &commits), bench.plain_side(1, 1000)}, 1, 2 * rounds, 1, 1);
            auto figures = time_figures(timings);
            commits.erase(commits.begin());  // the untimed first transaction
            figures.emplace_back("store_commit_ms", bench::median(commits) * 1000);
            std::printf("transaction of 1,000 versions + 1,000 metadata rows: store %.0f ms (commit %.0f ms), plain "
                        "%.0f ms, ratio %.2f\n", figures[0].second, figures[3].second, figures[1].second,
                        figures[2].second);
            bench::print_json_line("spark_transaction_2x1000", figures);

            // put_many of `batch` versions, each with its metadata row, commit included.
            commits.clear();
            timings =
                bench::alternate({bench.store_side(1, batch, &commits), bench.plain_side(1, batch)}, rounds, 2, 1);
            const double store_rate = bench::median_rate(timings[0], batch);
            const double plain_rate = bench::median_rate(timings[1], batch);
            std::printf("put_many of %d versions + their metadata rows: store %.0f versions/s (commit %.0f ms), "
                        "plain %.0f, ratio %.2f\n", batch, store_rate, bench::median(commits) * 1000, plain_rate,
                        store_rate / plain_rate);
            bench::print_json_line("spark_put_many", {{"versions_per_batch", batch},
                                                      {"store_versions_per_s", store_rate},
                                                      {"limit_versions_per_s", plain_rate},
                                                      {"ratio", store_rate / plain_rate},
                                                      {"store_commit_ms", bench::median(commits) * 1000}});

            // Commit time against the number of class tables.
            for (int tables : {1, 2, 4, 8}) {
                commits.clear();
                timings = bench::alternate({bench.store_side(tables, 100, &commits), bench.plain_side(tables, 100)}, 1,
                                           rounds, 1);
                figures = time_figures(timings);
                figures.emplace_back("store_commit_ms", bench::median(commits) * 1000);
                std::printf("transaction of 100 versions in each of %d class tables + metadata: store %.0f ms (commit "
                            "%.0f ms), plain %.0f ms, ratio %.2f\n",
                            tables, figures[0].second, figures[3].second, figures[1].second, figures[2].second);
                bench::print_json_line("spark_commit_tables_" + std::to_string(tables), figures);
            }
        }

        // Latest-version point read: 2,000 objects of 3 versions each, besides what was written.
        constexpr int OBJECTS = 2000;
        constexpr int VERSIONS = 3;
        bench.load_read_objects(OBJECTS, VERSIONS);
        std::mt19937 random(42);
        std::uniform_int_distribution<int> pick(0, OBJECTS - 1);
        auto next_id = [&] { return "r" + std::to_string(pick(random)); };
        const Address address = Address::from_string("bench#" + Bench::class_name(0) + "@1");
        const bench::Side store_read{"query", [&] {
                                         return [&, id = next_id()] {
                                             const Q latest = Q("_address__object_id", Lookup::EQ, id) &
                                                              Q("_address__object_version", Lookup::EQ, "LATEST");
                                             const auto rows = bench.store().query(address, std::nullopt, latest);
                                             if (rows.size() != 1 || rows[0].value("range_key", Value()) != "3") {
                                                 throw std::runtime_error("the store's read of " + id +
                                                                          " did not return its newest version alone");
                                             }
                                         };
                                     }};
        const std::string statement = bench.latest_statement();
        const bench::Side plain_read{"plain", [&] {
                                         return [&, id = next_id()] {
                                             const auto rows =
                                                 bench.client().sql(statement, {SparkParameter(id)})->fetchall();
                                             if (rows.size() != 1) {
                                                 throw std::runtime_error("the plain read of " + id +
                                                                          " did not return one row");
                                             }
                                         };
                                     }};
        const auto timings = bench::alternate({store_read, plain_read}, 1, reads, 1, 2);
        const auto figures = time_figures(timings);
        std::printf("latest-version point read: store %.0f ms, plain %.0f ms, ratio %.2f\n", figures[0].second,
                    figures[1].second, figures[2].second);
        bench::print_json_line("spark_point_read", figures);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "spark_store_bench: %s\n", error.what());
        status = 1;
    }
    bench.disconnect();
    try {
        // The Iceberg catalog drops no namespace that holds tables: each table first.
        for (const auto& row : bench.client().sql("SHOW TABLES IN korvex." + ns)->fetchall()) {
            bench.client().sql("DROP TABLE korvex." + ns + "." + quote_spark_identifier(row.at(1).get<std::string>()) +
                               " PURGE");
        }
        bench.client().sql("DROP NAMESPACE korvex." + ns);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "spark_store_bench: the namespace %s stays: %s\n", ns.c_str(), error.what());
    }
    return status;
}
