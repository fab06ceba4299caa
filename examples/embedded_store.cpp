// The same host code on a SQLite file, with no server: only the module, the class and the
// connect argument differ from the PostgreSQL store.
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/connections/transaction.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"

#include <iostream>

using korvex::Address;
using korvex::Value;

int main(int argc, char** argv) {
    const korvex::Module& module = korvex::import_module("korvex_data.connections.implementations.lite_history");
    auto store = module.create<korvex::HistoricalConnectionBase>("SqliteHistoricalConnection");
    store->connect(argc > 1 ? argv[1] : ":memory:");  // a file path or ":memory:"; an empty path is refused
    store->prepare_connection();  // internal tables, plus the metadata indexes of the latest-version read

    korvex::ClassVersionManager::register_class_version("Person", "1");
    korvex::TableSchema person{Address::from_string("app#Person@1"), {{"name", korvex::ValueKind::TEXT}}, {}, {}};
    store->table_schema_manager()->register_table(person);

    korvex::Transaction transaction(*store);
    for (const char* version : {"1", "2"}) {
        store->put(Address::from_string(std::string("app#Person@1/p-17@") + version),
                   {{"name", std::string("Ann, version ") + version}});
        store->put(Address::from_string(std::string("resource#Metadata/p-17:") + version),
                   {{"address", {{"object_id", "p-17"}, {"object_version", version}}},
                    {"prior_version", std::string(version) == "2" ? Value("1") : Value()}});
    }
    transaction.commit();

    for (const auto& row : store->query(Address::from_string("app#Person@LATEST/p-17@LATEST"))) {
        std::cout << row["name"].get<std::string>() << "\n";
    }
    store->disconnect();
}
