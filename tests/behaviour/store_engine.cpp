#include "store_engine.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "pg_test_database.hpp"
#ifdef KORVEX_BEHAVIOUR_ON_SPARK
#include "spark_test_support.hpp"
#endif

#include <atomic>
#include <filesystem>
#include <unistd.h>

namespace korvex::testing {
namespace {

std::unique_ptr<HistoricalConnectionBase> create(const char* module, const char* class_name, bool revert) {
    ConstructionArgs args;
    args.named = {{"is_revert_supported", revert}};
    return import_module(module).create<HistoricalConnectionBase>(class_name, args);
}

class PostgresEngine : public StoreEngine {
public:
    std::unique_ptr<HistoricalConnectionBase> connect(bool revert) override {
        auto store = create("korvex_data.connections.implementations.pg_timeline", "PostgresHistoricalConnection", revert);
        store->connect(std::nullopt, db_.parameters());
        return store;
    }
    std::vector<std::string> sql(const std::string& statement) override { return db_.sql(statement); }
    void expect_no_open_transaction(const std::string& table) override {
        EXPECT_NO_THROW(db_.sql("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE NOWAIT; COMMIT"));
    }

private:
    PgTestDatabase db_;
};

class SqliteEngine : public StoreEngine {
public:
    SqliteEngine() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("korvex-store-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".sqlite");
        remove_files();
    }
    ~SqliteEngine() override {
        checker_.reset();
        remove_files();
    }
    std::unique_ptr<HistoricalConnectionBase> connect(bool revert) override {
        auto store = create("korvex_data.connections.implementations.lite_history", "SqliteHistoricalConnection", revert);
        store->connect(path_.string());
        return store;
    }
    std::vector<std::string> sql(const std::string& statement) override {
        std::vector<std::string> rows;
        for (const auto& row : checker().execute(statement)->fetchall()) {
            const Value& value = row.at(0);
            rows.push_back(value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump());
        }
        return rows;
    }
    void expect_no_open_transaction(const std::string&) override {
        // Another connection gets the write lock at once only when no transaction holds it.
        SqliteStateConnection other(path_.string(), 0);
        EXPECT_NO_THROW({
            other.execute("BEGIN IMMEDIATE");
            other.execute("COMMIT");
        });
    }

private:
    SqliteStateConnection& checker() {
        if (!checker_) checker_ = std::make_unique<SqliteStateConnection>(path_.string());
        return *checker_;
    }
    void remove_files() {
        std::error_code ignored;
        for (const char* suffix : {"", "-journal", "-wal", "-shm", "-writer-lock"}) {
            std::filesystem::remove(path_.string() + suffix, ignored);
        }
    }
    std::filesystem::path path_;
    std::unique_ptr<SqliteStateConnection> checker_;
};

#ifdef KORVEX_BEHAVIOUR_ON_SPARK
// The Iceberg store on the Spark Connect server of SPARK_CONNECT_URL, in a namespace of its own.
class SparkEngine : public StoreEngine {
public:
    std::unique_ptr<HistoricalConnectionBase> connect(bool revert) override {
        auto store = create("korvex_data.connections.implementations.ice_history", "SparkIcebergHistoricalConnection",
                            revert);
        store->connect(url_, {{"namespace", checker_.namespace_name()}});
        return store;
    }
    std::vector<std::string> sql(const std::string& statement) override {
        std::vector<std::string> rows;
        for (const auto& row : checker_.execute(statement)->fetchall()) {
            const Value& value = row.at(0);
            rows.push_back(value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump());
        }
        return rows;
    }
    // Spark holds no lock between statements.
    void expect_no_open_transaction(const std::string&) override {}
    DataMap metadata_row(DataMap row) const override {
        // The Iceberg metadata table requires a schema reference and type; a row without them
        // gets the object's own address and "object".
        const Value reference = row.contains("class_schema_reference")
                                    ? row["class_schema_reference"]
                                    : (row.contains("address") ? row["address"] : Value(Value::object()));
        row["class_schema_reference"] = {{"ref", reference}};
        if (!row.contains("class_schema_type")) row["class_schema_type"] = "object";
        if (!row.contains("is_deleted")) row["is_deleted"] = false;
        return row;
    }
    std::string metadata_keys_query() const override { return "SELECT address.object_id FROM metadata"; }

private:
    std::string url_ = spark_connect_url();
    IcebergSparkConnection checker_ = make_checker();

    // Its session reads and writes the namespace's tables by their bare names.
    static IcebergSparkConnection make_checker() {
        IcebergSparkConnection checker = fresh_iceberg_connection();
        checker.execute("USE korvex." + checker.namespace_name());
        return checker;
    }
};
#endif

}  // namespace

std::unique_ptr<StoreEngine> make_engine(const std::string& name) {
    if (name == "postgresql") return std::make_unique<PostgresEngine>();
    if (name == "sqlite") return std::make_unique<SqliteEngine>();
#ifdef KORVEX_BEHAVIOUR_ON_SPARK
    if (name == "spark") return std::make_unique<SparkEngine>();
#endif
    throw std::invalid_argument("no store engine " + name);
}

}  // namespace korvex::testing
