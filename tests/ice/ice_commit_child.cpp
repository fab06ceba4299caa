// Commits one version of app#Person@1 with its metadata row on the Iceberg store, as a separate
// process that a test can let die at a step of the commit (KORVEX_ICE_COMMIT_KILL).
// Usage: ice_commit_child <namespace> <object id>. Exits 0 once committed.

#include "korvex/connections/historical_base.hpp"
#include "korvex/plugin/module_loader.hpp"

#include <cstdlib>
#include <exception>
#include <iostream>

using namespace korvex;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ice_commit_child <namespace> <object id>\n";
        return 2;
    }
    try {
        const std::string id = argv[2];
        ConstructionArgs args;
        args.named = {{"is_revert_supported", true}};
        auto store = import_module("korvex_data.connections.implementations.ice_history")
                         .create<HistoricalConnectionBase>("SparkIcebergHistoricalConnection", args);
        const char* url = std::getenv("SPARK_CONNECT_URL");
        store->connect(url ? std::string(url) : std::string(),
                       {{"namespace", argv[1]}, {"commit_lease_seconds", "1"}});
        const Address address = Address::from_string("app#Person@1/" + id + "@1");
        store->begin();
        store->put_many({{address, {{"name", id}}},
                         {Address::from_string("resource#Metadata/" + id + ":1"),
                          {{"address", address.to_value()},
                           {"class_schema_reference", {{"ref", address.to_value()}}},
                           {"class_schema_type", "object"},
                           {"is_deleted", false}}}});
        store->commit();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "ice_commit_child: " << error.what() << "\n";
        return 1;
    }
}
