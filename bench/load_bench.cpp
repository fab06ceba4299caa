// Load: N writers at once, each a thread with a connection object of its own, each transaction
// writing 100 new versions (50 by put, one at a time, then 50 by one put_many), against raw driver
// code doing the same writes at the same concurrency in the same run: single-row INSERTs prepared
// once and a COPY of the batch on PostgreSQL; one INSERT prepared once and bound again per row on
// SQLite, whose connections wait for the file's lock up to the store's default busy timeout.
//
//     load_bench pg   [writers = 16] [transactions per writer and phase = 10]
//     load_bench lite [writers = 8]  [transactions per writer and phase = 10]   (file in TMPDIR)
//
// The sides run in phases ABBA; every writer's data is made before its phase starts. Prints the
// versions per second of each side (committed versions over the phases' time), the p50 and p99 of
// put, put_many and commit, the transactions that failed (and were rolled back), and the
// versions lost (committed but not in the table afterwards) and stray (in the table though not
// committed).
// Not pinned to a processor: the writers are meant to contend.

#include "lite_bench_support.hpp"
#include "pg_bench_support.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <latch>
#include <memory>
#include <thread>

using namespace korvex;

namespace {

constexpr int PUTS = 50;      // versions each transaction writes by put
constexpr int PUT_MANY = 50;  // then by one put_many
constexpr int VERSIONS = PUTS + PUT_MANY;

// The message of `error` and of the errors nested in it, outermost first.
std::string describe(const std::exception& error) {
    std::string text = error.what();
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& cause) {
        text += ": " + describe(cause);
    } catch (...) {
    }
    return text;
}

// What the writers of one side recorded, in seconds.
struct Record {
    long committed = 0;
    long failed = 0;
    std::vector<double> put, put_many, commit;
    std::string first_failure;  // what the first failed transaction was told

    void fail(const std::exception& error) {
        ++failed;
        if (first_failure.empty()) first_failure = describe(error);
    }
    void add(const Record& other) {
        if (first_failure.empty()) first_failure = other.first_failure;
        committed += other.committed;
        failed += other.failed;
        put.insert(put.end(), other.put.begin(), other.put.end());
        put_many.insert(put_many.end(), other.put_many.begin(), other.put_many.end());
        commit.insert(commit.end(), other.commit.begin(), other.commit.end());
    }
};

// Times one call into `times`.
template <class Call>
void timed(std::vector<double>& times, Call&& call) {
    const auto start = bench::Clock::now();
    call();
    times.push_back(bench::seconds_since(start));
}

// One writer: its connection and its transactions, made before the phase starts.
class Writer {
public:
    virtual ~Writer() = default;
    // Runs the transactions one after another; a failed one is ended and counted.
    virtual void run(Record& record) = 0;
};

// The store's side: any historical connection, revert on (the default).
class StoreWriter : public Writer {
public:
    StoreWriter(std::unique_ptr<HistoricalConnectionBase> store, const std::string& prefix, int transactions)
        : store_(std::move(store)) {
        int next_id = 0;
        for (int t = 0; t < transactions; ++t) {
            auto items = bench::person_items(prefix, VERSIONS, next_id);
            batches_.emplace_back(std::make_move_iterator(items.begin() + PUTS), std::make_move_iterator(items.end()));
            items.resize(PUTS);
            singles_.push_back(std::move(items));
        }
    }
    ~StoreWriter() override { store_->disconnect(); }

    void run(Record& record) override {
        for (std::size_t t = 0; t < singles_.size(); ++t) {
            try {
                store_->begin();
                for (const auto& [address, data] : singles_[t]) timed(record.put, [&] { store_->put(address, data); });
                timed(record.put_many, [&] { store_->put_many(batches_[t]); });
                timed(record.commit, [&] { store_->commit(); });
                store_->on_transaction_complete();
                ++record.committed;
            } catch (const std::exception& error) {
                record.fail(error);
                try {
                    store_->rollback();  // a failed commit has ended its level and transaction already
                } catch (const std::exception&) {
                }
                store_->on_transaction_complete();
            }
        }
    }

private:
    std::unique_ptr<HistoricalConnectionBase> store_;
    std::vector<std::vector<WriteItem>> singles_, batches_;
};

// The raw side: how it writes rows one at a time and as a batch, and how it ends a transaction.
class RawWriter : public Writer {
public:
    RawWriter(const std::string& prefix, int transactions) {
        int next_id = 0;
        for (int t = 0; t < transactions; ++t) transactions_.push_back(bench::person_rows(prefix, VERSIONS, next_id));
    }

    void run(Record& record) override {
        for (const auto& rows : transactions_) {
            try {
                exec("BEGIN");
                for (int i = 0; i < PUTS; ++i) timed(record.put, [&] { insert(rows[i]); });
                timed(record.put_many, [&] { insert_batch(rows.data() + PUTS, PUT_MANY); });
                timed(record.commit, [&] { exec("COMMIT"); });
                ++record.committed;
            } catch (const std::exception& error) {
                record.fail(error);
                try {
                    exec("ROLLBACK");
                } catch (const std::exception&) {
                }
            }
        }
    }

protected:
    virtual void exec(const char* statement) = 0;
    virtual void insert(const bench::PersonRow& row) = 0;
    virtual void insert_batch(const bench::PersonRow* rows, int count) = 0;

private:
    std::vector<std::vector<bench::PersonRow>> transactions_;
};

class PgRawWriter : public RawWriter {
public:
    PgRawWriter(const std::string& prefix, int transactions) : RawWriter(prefix, transactions) {
        raw_.prepare("insert_1", bench::person_insert());
    }

protected:
    void exec(const char* statement) override { raw_.exec(statement); }
    void insert(const bench::PersonRow& row) override {
        values_.clear();
        bench::append_person_values(values_, row);
        raw_.exec_prepared("insert_1", values_);
    }
    void insert_batch(const bench::PersonRow* rows, int count) override {
        std::string data;
        for (int i = 0; i < count; ++i) bench::append_copy_row(data, rows[i]);
        raw_.copy(bench::person_copy(), data);
    }

private:
    bench::RawConnection raw_;
    std::vector<const char*> values_;
};

class LiteRawWriter : public RawWriter {
public:
    LiteRawWriter(const std::string& path, const std::string& prefix, int transactions)
        : RawWriter(prefix, transactions), raw_(path), insert_(raw_.prepare(bench::lite_person_insert())) {}
    ~LiteRawWriter() override { sqlite3_finalize(insert_); }

protected:
    void exec(const char* statement) override { raw_.exec(statement); }
    void insert(const bench::PersonRow& row) override {
        bench::bind_person(insert_, row);
        raw_.run(insert_);
    }
    void insert_batch(const bench::PersonRow* rows, int count) override {
        for (int i = 0; i < count; ++i) insert(rows[i]);
    }

private:
    bench::RawSqlite raw_;
    sqlite3_stmt* insert_;
};

// The store under test: how to open a writer of each side, and how to count rows by id prefix.
struct Target {
    std::string name;
    std::function<std::unique_ptr<Writer>(bool store, const std::string& prefix, int transactions)> writer;
    std::function<long(const std::string& prefix)> rows;
};

// One phase: every writer runs its transactions at once; returns the seconds from the start
// signal until the last writer finished.
double phase(const Target& target, bool store, int writers, int transactions, const std::string& prefix,
             Record& record) {
    // Connections are opened one after another on this thread, and the data made, before the clock.
    std::vector<std::unique_ptr<Writer>> opened;
    for (int w = 0; w < writers; ++w) {
        opened.push_back(target.writer(store, prefix + "w" + std::to_string(w) + "n", transactions));
    }
    std::vector<Record> records(static_cast<std::size_t>(writers));
    std::latch start(1);
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            start.wait();
            opened[static_cast<std::size_t>(w)]->run(records[static_cast<std::size_t>(w)]);
        });
    }
    const auto begun = bench::Clock::now();
    start.count_down();
    for (auto& thread : threads) thread.join();
    const double seconds = bench::seconds_since(begun);
    for (const auto& one : records) record.add(one);
    return seconds;
}

Target postgres_target() {
    {
        pg_timeline::PostgresHistoricalConnection store;
        store.connect();
        store.table_schema_manager()->register_table(bench::bench_person_schema());
        store.disconnect();
    }
    auto counter = std::make_shared<bench::RawConnection>();
    counter->exec("TRUNCATE benchperson_v_1");
    return {"pg",
            [](bool store, const std::string& prefix, int transactions) -> std::unique_ptr<Writer> {
                if (!store) return std::make_unique<PgRawWriter>(prefix, transactions);
                auto connection = std::make_unique<pg_timeline::PostgresHistoricalConnection>();
                connection->connect();
                return std::make_unique<StoreWriter>(std::move(connection), prefix, transactions);
            },
            [counter](const std::string& prefix) {
                return static_cast<long>(
                    counter->exec("SELECT 1 FROM benchperson_v_1 WHERE partition_key LIKE $1", {prefix + "%"}));
            }};
}

Target sqlite_target() {
    const std::string path = (std::filesystem::temp_directory_path() / "korvex-load-bench.sqlite").string();
    std::filesystem::remove(path);
    {
        lite_history::SqliteHistoricalConnection store;
        store.connect(path);
        store.prepare_connection();
        store.table_schema_manager()->register_table(bench::bench_person_schema());
        store.disconnect();
    }
    auto counter = std::make_shared<bench::RawSqlite>(path);
    auto count = std::shared_ptr<sqlite3_stmt>(counter->prepare("SELECT 1 FROM benchperson_v_1 WHERE partition_key LIKE ?"),
                                               sqlite3_finalize);
    return {"lite",
            [path](bool store, const std::string& prefix, int transactions) -> std::unique_ptr<Writer> {
                if (!store) return std::make_unique<LiteRawWriter>(path, prefix, transactions);
                auto connection = std::make_unique<lite_history::SqliteHistoricalConnection>();
                connection->connect(path);  // the default busy timeout
                return std::make_unique<StoreWriter>(std::move(connection), prefix, transactions);
            },
            [counter, count](const std::string& prefix) {
                const std::string pattern = prefix + "%";
                sqlite3_bind_text(count.get(), 1, pattern.c_str(), static_cast<int>(pattern.size()), SQLITE_TRANSIENT);
                return static_cast<long>(counter->run(count.get()));
            }};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "";
    if (which != "pg" && which != "lite") {
        std::fprintf(stderr, "usage: load_bench pg|lite [writers] [transactions per writer and phase]\n");
        return 2;
    }
    const int writers = argc > 2 ? std::atoi(argv[2]) : (which == "pg" ? 16 : 8);
    const int transactions = argc > 3 ? std::atoi(argv[3]) : 10;
    ClassVersionManager::register_class_version("BenchPerson", "1");
    const Target target = which == "pg" ? postgres_target() : sqlite_target();

    // Per side: what its writers recorded, the time its phases took, and the versions lost.
    struct Side {
        Record record;
        double seconds = 0;
        long lost = 0;   // committed but not found afterwards
        long stray = 0;  // found afterwards though not committed
    } sides[2];  // 0 the store, 1 raw
    const bool order[] = {true, false, false, true};
    for (int p = 0; p < 4; ++p) {
        Side& side = sides[order[p] ? 0 : 1];
        const std::string prefix = std::string(order[p] ? "s" : "r") + std::to_string(p);
        Record record;
        side.seconds += phase(target, order[p], writers, transactions, prefix, record);
        const long missing = record.committed * VERSIONS - target.rows(prefix);
        (missing >= 0 ? side.lost : side.stray) += std::labs(missing);
        side.record.add(record);
    }

    const double rate[2] = {sides[0].record.committed * VERSIONS / sides[0].seconds,
                            sides[1].record.committed * VERSIONS / sides[1].seconds};
    const char* const names[2] = {"store", "raw"};
    std::printf("%s load: %d writers, %d transactions each per phase (ABBA), %d versions per transaction "
                "(%d put, one put_many of %d)\n",
                which == "pg" ? "PostgreSQL" : "SQLite", writers, transactions, VERSIONS, PUTS, PUT_MANY);
    std::vector<std::pair<std::string, double>> figures = {{"writers", writers}};
    for (int s = 0; s < 2; ++s) {
        const Record& r = sides[s].record;
        auto ms = [](const std::vector<double>& times, double share) { return bench::percentile(times, share) * 1000; };
        std::printf("  %-5s %9.0f versions/s; put p50 %.3f p99 %.3f ms; put_many p50 %.3f p99 %.3f ms; "
                    "commit p50 %.3f p99 %.3f ms; %ld transactions failed, %ld versions lost, %ld stray\n",
                    names[s], rate[s], ms(r.put, 0.5), ms(r.put, 0.99), ms(r.put_many, 0.5), ms(r.put_many, 0.99),
                    ms(r.commit, 0.5), ms(r.commit, 0.99), r.failed, sides[s].lost, sides[s].stray);
        const std::string n = names[s];
        figures.insert(figures.end(), {{n + "_versions_per_s", rate[s]},
                                       {n + "_put_p50_ms", ms(r.put, 0.5)},
                                       {n + "_put_p99_ms", ms(r.put, 0.99)},
                                       {n + "_put_many_p50_ms", ms(r.put_many, 0.5)},
                                       {n + "_put_many_p99_ms", ms(r.put_many, 0.99)},
                                       {n + "_commit_p50_ms", ms(r.commit, 0.5)},
                                       {n + "_commit_p99_ms", ms(r.commit, 0.99)},
                                       {n + "_failed_transactions", static_cast<double>(r.failed)},
                                       {n + "_lost_versions", static_cast<double>(sides[s].lost)},
                                       {n + "_stray_versions", static_cast<double>(sides[s].stray)}});
        if (r.failed > 0) std::printf("        first failure: %s\n", r.first_failure.c_str());
    }
    std::printf("  ratio store / raw %.3f\n", rate[0] / rate[1]);
    figures.emplace_back("ratio", rate[0] / rate[1]);
    bench::print_json_line("load_" + which, figures);
    return 0;
}
