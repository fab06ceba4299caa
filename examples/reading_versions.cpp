// Read versions back with query and count: three people, Ann in two versions.
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/connections/transaction.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"

#include <iostream>

using korvex::Address;
using korvex::Lookup;
using korvex::Q;
using korvex::Value;

// Writes one version of a Person and its metadata row (prior_version links the versions).
void save(korvex::HistoricalConnectionBase& store, const std::string& id, int version, const Value& data) {
    const std::string v = std::to_string(version);
    store.put(Address::from_string("app#Person@1/" + id + "@" + v), data);
    store.put(Address::from_string("resource#Metadata/" + id + ":" + v),
              {{"address", {{"object_id", id}, {"object_version", v}}},
               {"prior_version", version > 1 ? Value(std::to_string(version - 1)) : Value()},
               {"is_deleted", false},
               {"created_at", 1765000000.0 + version}});
}

int main() {
    auto store = korvex::import_module("korvex_data.connections.implementations.pg_timeline")
                     .create<korvex::HistoricalConnectionBase>("PostgresHistoricalConnection");
    store->connect();  // the POSTGRES_* variables name the server
    store->prepare_connection();

    // Queries with the class version LATEST or ALL need the class versions registered.
    korvex::ClassVersionManager::register_class_version("Person", "1");
    korvex::TableSchema person{Address::from_string("app#Person@1"),
                               {{"name", korvex::ValueKind::TEXT}, {"doc", korvex::ValueKind::MAPPING}}, {}, {}};
    store->table_schema_manager()->register_table(person);

    korvex::Transaction transaction(*store);
    save(*store, "p-17", 1, {{"name", "Ann"}, {"doc", {{"city", "Bergen"}}}});
    save(*store, "p-17", 2, {{"name", "Ann"}, {"doc", {{"city", "Oslo"}}}});
    save(*store, "p-18", 1, {{"name", "Bo"}, {"doc", {{"city", "Oslo"}}}});
    save(*store, "p-19", 1, {{"name", nullptr}, {"doc", {{"city", "Oslo"}}}});
    transaction.commit();

    // The newest version of every Person of the latest class version whose doc.city is Oslo
    // and who has a name, oldest first, first page of 20.
    auto rows = store->query(Address::from_string("app#Person@LATEST/@LATEST"), std::nullopt,
                             Q("doc__city", Lookup::EQ, "Oslo") & !Q("name", Lookup::ISNULL, true),
                             korvex::NumberPaginator{20, 0}, std::vector<korvex::OrderBy>{{"created_at"}});
    for (const auto& row : rows) {
        std::cout << row["partition_key"].get<std::string>() << " version " << row["range_key"].get<std::string>()
                  << ": " << row["name"].get<std::string>() << "\n";
    }

    auto how_many = store->count(Address::from_string("app#Person@ALL/p-17@ALL"));
    std::cout << "versions of p-17: " << how_many << "\n";
    store->disconnect();
}
