// Write an object version in a transaction and read it back: the plug-in is loaded by module
// path at run time; the program links only the host library.
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/connections/transaction.hpp"
#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"

#include <iostream>

using korvex::Address;
using korvex::Value;

int main() try {
    const korvex::Module& module = korvex::import_module("korvex_data.connections.implementations.pg_timeline");
    std::cout << "pg_timeline from " << module.library_path() << "\n";
    korvex::ConstructionArgs args;
    args.named = {{"is_revert_supported", true}};  // the default; false records no revert log
    auto store = module.create<korvex::HistoricalConnectionBase>("PostgresHistoricalConnection", args);

    // The server comes from POSTGRES_HOST, POSTGRES_PORT, POSTGRES_USER, POSTGRES_PASSWORD and
    // POSTGRES_DATABASE. Named parameters override them; a libpq connection string fills in only
    // what they leave unset, for a set variable wins over the same keyword in the string, as in
    // connect("host=/var/run/postgresql port=5432", {{"user", "app"}, {"database", "store"}}).
    store->connect();
    store->prepare_connection();  // creates the metadata, reference and transaction tables

    // One versioned table per class version (person_v_1): partition_key, range_key, the columns.
    korvex::ClassVersionManager::register_class_version("Person", "1");
    korvex::TableSchema person{Address::from_string("app#Person@1"), {{"name", korvex::ValueKind::TEXT}}, {}, {}};
    store->table_schema_manager()->register_table(person);

    {
        korvex::Transaction transaction(*store);  // BEGIN; a guard inside another one is a savepoint
        store->put(Address::from_string("app#Person@1/p-17@1"), Value::parse(R"({"name": "Ann"})"));
        // Metadata rows are keyed by identity alone: give each version its own identity.
        store->put(Address::from_string("resource#Metadata/p-17:1"),
                   Value::parse(R"({"address": {"object_id": "p-17", "object_version": "1"}, "is_deleted": false})"));
        transaction.commit();  // COMMIT; a guard left uncommitted (an exception, a return) rolls back
    }

    auto rows = store->execute("SELECT name FROM person_v_1 WHERE partition_key = %s", {"p-17"})->fetchall();
    std::cout << "p-17 is named " << rows.at(0).at(0).get<std::string>() << "\n";
    store->disconnect();
    return 0;
} catch (const korvex::Error& error) {  // anything the library raises on purpose
    std::cerr << "quickstart: " << error.what() << "\n";
    return 1;
}
