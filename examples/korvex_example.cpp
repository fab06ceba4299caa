// An example host program: loads the storage plug-ins by module path and shows the versioned
// store at work on PostgreSQL (the POSTGRES_* variables name the server), on a SQLite file, and on
// Iceberg tables when a Spark Connect server is named (SPARK_CONNECT_URL) and that plug-in is
// built; then prepares a SQLite store.

#include "text_table.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/models/address.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/query/q.hpp"
#include "korvex/table_schemas/base.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

using namespace korvex;
using korvex::example::cell;
using korvex::example::TextTable;

namespace {

const char* const PG_MODULE = "korvex_data.connections.implementations.pg_timeline";
const char* const LITE_MODULE = "korvex_data.table_schemas.implementations.lite_timeline";
const char* const LITE_STORE_MODULE = "korvex_data.connections.implementations.lite_history";
const char* const ICE_STORE_MODULE = "korvex_data.connections.implementations.ice_history";

void run_session(HistoricalConnectionBase& connected_store);

void step(const std::string& text) { std::cout << "\n== " << text << "\n"; }

// Writes one object version and its metadata row. The metadata table is keyed by identity
// alone, so every version's metadata row gets its own identity: "<object id>:<version>".
void save_version(HistoricalConnectionBase& store, const std::string& object_id, const std::string& version,
                  const std::string& prior_version, const Value& data, const Address& transaction) {
    Address address = Address::from_string("app#Person@1/" + object_id + "@" + version);
    store.put(address, data);

    Value metadata = Value::object();
    metadata["address"] = address.to_value();
    metadata["prior_version"] = prior_version.empty() ? Value(nullptr) : Value(prior_version);
    metadata["class_schema_reference"] = {{"ref", Address::from_string("schema#Person@1").to_value()}};
    metadata["class_meta_schema_reference"] = nullptr;
    metadata["class_schema_type"] = "model";
    metadata["is_deleted"] = false;
    metadata["created_at"] = 1765000000.0 + std::stod(version);
    metadata["updated_at"] = 1765000000.0 + std::stod(version);
    metadata["transaction"] = transaction.to_value();
    store.put(Address::from_string("resource#Metadata/" + object_id + ":" + version), metadata);
    std::cout << "  put " << object_id << " version " << version << ": " << data.dump() << "\n";
}

void print_rows(const std::vector<DataMap>& rows) {
    TextTable table{{"object", "version", "name", "age", "profile", "prior", "next"}, {}};
    for (const auto& row : rows) {
        const Value& metadata = row.contains("_metadata") ? row["_metadata"] : Value(nullptr);
        auto meta = [&](const char* key) { return metadata.is_object() && metadata.contains(key) ? cell(metadata[key]) : "-"; };
        table.rows.push_back({cell(row.value("partition_key", Value())), cell(row.value("range_key", Value())),
                              cell(row.value("name", Value())), cell(row.value("age", Value())),
                              cell(row.value("profile", Value())), meta("prior_version"), meta("next_version")});
    }
    table.print(std::cout);
}

void print_sql_rows(SqlConnection& connection, const std::string& sql) {
    auto cursor = connection.execute(sql);
    TextTable table;
    for (const auto& column : cursor->description()) table.headers.push_back(column.name);
    for (const auto& row : cursor->fetchall()) {
        std::vector<std::string> cells;
        for (const auto& value : row) cells.push_back(cell(value));
        table.rows.push_back(cells);
    }
    table.print(std::cout);
}

void run_postgres() {
    step("Load " + std::string(PG_MODULE));
    const Module& module = import_module(PG_MODULE);
    std::cout << "  from " << module.library_path() << "\n";
    auto store = module.create<HistoricalConnectionBase>("PostgresHistoricalConnection");

    step("Connect (POSTGRES_* variables) and prepare the internal tables");
    store->connect();
    store->prepare_connection();
    print_sql_rows(*store,
                   "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                   "ORDER BY table_name");

    run_session(*store);
}

// The versioned-store session of a host program, the same on every store: it ends with
// disconnect.
void run_session(HistoricalConnectionBase& connected_store) {
    HistoricalConnectionBase* store = &connected_store;
    step("Register the class table of Person, class version 1");
    ClassVersionManager::register_class_version("Person", "1");
    TableSchema person{Address::from_string("app#Person@1"),
                       {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"profile", ValueKind::MAPPING}},
                       {},
                       {}};
    auto [table_name, created] = store->table_schema_manager()->register_table(person);
    std::cout << "  table " << table_name << (created ? " created" : " already there") << "\n";

    const Address tx1 = Address::from_string("resource#Transaction/tx-1@1");
    step("Transaction 1: two objects, versions 1 and 2");
    store->begin();
    save_version(*store, "ada", "1", "", {{"name", "Ada"}, {"age", 36}, {"profile", {{"city", "London"}}}}, tx1);
    save_version(*store, "alan", "1", "", {{"name", "Alan"}, {"age", 41}, {"profile", {{"city", "Wilmslow"}}}}, tx1);
    save_version(*store, "ada", "2", "1", {{"name", "Ada"}, {"age", 37}, {"profile", {{"city", "Paris"}}}}, tx1);
    save_version(*store, "alan", "2", "1", {{"name", "Alan"}, {"age", 42}, {"profile", {{"city", "Manchester"}}}}, tx1);

    step("Nested savepoint: write version 3 of alan, then roll the savepoint back");
    store->begin();
    save_version(*store, "alan", "3", "2", {{"name", "Alan T."}, {"age", 99}, {"profile", {{"city", "Nowhere"}}}}, tx1);
    store->rollback();
    std::cout << "  rolled back to the savepoint\n";
    store->commit();
    store->on_transaction_complete();
    std::cout << "  committed\n";

    step("Transaction 2: version 3 of both objects");
    const Address tx2 = Address::from_string("resource#Transaction/tx-2@1");
    store->begin();
    save_version(*store, "ada", "3", "2", {{"name", "Ada"}, {"age", 38}, {"profile", {{"city", "Rome"}}}}, tx2);
    save_version(*store, "alan", "3", "2", {{"name", "Alan"}, {"age", 43}, {"profile", {{"city", "Cambridge"}}}}, tx2);
    store->commit();
    store->on_transaction_complete();

    step("Transaction 3: inside an outer transaction, write version 4 of ada, then revert those writes");
    const Address tx3 = Address::from_string("resource#Transaction/tx-3@1");
    store->begin();
    store->begin();
    save_version(*store, "ada", "4", "3", {{"name", "Ada"}, {"age", 0}, {"profile", {{"city", "Mistake"}}}}, tx3);
    store->revert();
    std::cout << "  reverted: the version 4 rows are deleted again, newest first\n";
    store->commit();
    store->on_transaction_complete();
    std::cout << "  outer transaction committed\n";

    step("Latest version of every Person");
    print_rows(store->query(Address::from_string("app#Person@1"), std::nullopt,
                            Q("_address__object_version", Lookup::EQ, "LATEST"), {},
                            std::vector<OrderBy>{{"_address__object_id"}}));

    step("All versions, ordered by object and version");
    print_rows(store->query(Address::from_string("app#Person@1"), std::nullopt, std::nullopt, {},
                            std::vector<OrderBy>{{"_address__object_id"}, {"_address__object_version"}}));

    step("Version 2 of every Person");
    print_rows(store->query(Address::from_string("app#Person@1"), std::nullopt,
                            Q("_address__object_version", Lookup::EQ, "2"), {},
                            std::vector<OrderBy>{{"_address__object_id"}}));

    step("JSON path: latest versions whose profile city starts with \"Ro\"");
    const Q city_filter = Q("profile__city", Lookup::STARTSWITH, "Ro") & Q("_address__object_version", Lookup::EQ, "LATEST");
    print_rows(store->query(Address::from_string("app#Person@1"), std::nullopt, city_filter));

    step("Count");
    std::cout << "  all versions: " << store->count(Address::from_string("app#Person@1")) << "\n";
    std::cout << "  latest versions: "
              << store->count(Address::from_string("app#Person@1"), Q("_address__object_version", Lookup::EQ, "LATEST"))
              << "\n";

    store->disconnect();
}

// The same session on a SQLite file: no server.
void run_sqlite_session(const std::string& path) {
    step("Load " + std::string(LITE_STORE_MODULE));
    const Module& module = import_module(LITE_STORE_MODULE);
    std::cout << "  from " << module.library_path() << "\n";
    auto store = module.create<HistoricalConnectionBase>("SqliteHistoricalConnection");

    step("Open the SQLite file " + path + " (emptied first) and prepare the internal tables");
    std::filesystem::remove(path);  // the session writes versions 1 to 3 afresh
    store->connect(path);
    store->prepare_connection();
    print_sql_rows(*store, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    run_session(*store);
}

// A name as Spark SQL text: in backticks, a backtick doubled.
std::string spark_name(const std::string& name) {
    std::string quoted = "`";
    for (char c : name) quoted += c == '`' ? std::string("``") : std::string(1, c);
    return quoted + "`";
}

// The same session on Iceberg tables, through the Spark Connect server of SPARK_CONNECT_URL, in a
// namespace of the store's default catalog (korvex) that it empties first.
void run_iceberg_session(const std::string& namespace_name) {
    const char* url = std::getenv("SPARK_CONNECT_URL");
    step("Load " + std::string(ICE_STORE_MODULE));
    if (url == nullptr || *url == '\0') {
        std::cout << "  left out: SPARK_CONNECT_URL names no Spark Connect server\n";
        return;
    }
    const Module* module = nullptr;
    try {
        module = &import_module(ICE_STORE_MODULE);
    } catch (const ModuleLoadError& error) {
        std::cout << "  not built here (" << error.what() << ")\n";
        return;
    }
    std::cout << "  from " << module->library_path() << "\n";
    auto store = module->create<HistoricalConnectionBase>("SparkIcebergHistoricalConnection");

    step("Connect to " + std::string(url) + ", empty the namespace korvex." + namespace_name +
         " and prepare the internal tables");
    store->connect(std::nullopt, {{"namespace", namespace_name}});
    const std::string space = spark_name("korvex") + "." + spark_name(namespace_name);
    store->execute("CREATE NAMESPACE IF NOT EXISTS " + space);
    for (const auto& row : store->execute("SHOW TABLES IN " + space)->fetchall()) {
        store->execute("DROP TABLE " + space + "." + spark_name(row.at(1).get<std::string>()) + " PURGE");
    }
    store->prepare_connection();
    print_sql_rows(*store, "SHOW TABLES IN " + space);
    run_session(*store);
}

void run_sqlite(const std::string& path) {
    step("Load " + std::string(LITE_MODULE));
    const Module* module = nullptr;
    try {
        module = &import_module(LITE_MODULE);
    } catch (const ModuleLoadError& error) {
        std::cout << "  not built here (" << error.what() << ")\n";
        return;
    }
    step("Prepare the SQLite store " + path);
    SqliteStateConnection connection(path);
    ConstructionArgs args;
    args.connection = &connection;
    auto service = module->create<TableSchemaServiceBase>("SqliteHistoricalTableSchemaService", args);
    service->register_internal_tables();
    print_sql_rows(connection, "SELECT type, name, tbl_name FROM sqlite_master ORDER BY tbl_name, type DESC, name");
}

}  // namespace

int main(int argc, char** argv) {
    std::string sqlite_file = "korvex_example.sqlite";
    std::string store_file;  // beside the --sqlite-file unless named
    std::string iceberg_namespace = "korvex_example";
    bool sqlite_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sqlite-file") == 0 && i + 1 < argc) sqlite_file = argv[++i];
        if (std::strcmp(argv[i], "--sqlite-store-file") == 0 && i + 1 < argc) store_file = argv[++i];
        if (std::strcmp(argv[i], "--iceberg-namespace") == 0 && i + 1 < argc) iceberg_namespace = argv[++i];
        if (std::strcmp(argv[i], "--sqlite-only") == 0) sqlite_only = true;  // no server needed
    }
    if (store_file.empty()) store_file = sqlite_file + ".store";
    try {
        if (!sqlite_only) run_postgres();
        run_sqlite_session(store_file);
        if (!sqlite_only) run_iceberg_session(iceberg_namespace);
        run_sqlite(sqlite_file);
    } catch (const std::exception& error) {
        std::cerr << "korvex_example: " << error.what() << "\n";
        try {
            std::rethrow_if_nested(error);
        } catch (const std::exception& cause) {
            std::cerr << "  caused by: " << cause.what() << "\n";
        }
        return 1;
    }
    std::cout << "\ndone\n";
    return 0;
}
