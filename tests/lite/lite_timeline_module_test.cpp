// A host loads the SQLite table-schema service by its module path and prepares a fresh file.
#include "korvex/error.hpp"
#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"

#include "temp_database.hpp"

#include <gtest/gtest.h>

namespace {

constexpr const char* MODULE_PATH = "korvex_data.table_schemas.implementations.lite_timeline";
constexpr const char* CLASS_NAME = "SqliteHistoricalTableSchemaService";

}  // namespace

TEST(LiteTimelineModule, PreparesAFreshFile) {
    TempDatabase database;
    {
        korvex::SqliteStateConnection connection(database.path());
        korvex::ConstructionArgs args;
        args.connection = &connection;
        auto service = korvex::import_module(MODULE_PATH).create<korvex::TableSchemaServiceBase>(CLASS_NAME, args);
        service->register_internal_tables();
        EXPECT_EQ(service->register_table({korvex::Address::from_string("app#Person@2"), {}, {}, {}}),
                  std::make_pair(std::string("person_v_2"), true));
    }

    korvex::SqliteStateConnection reader(database.path());
    std::vector<std::string> objects;
    for (const auto& row : reader.execute("SELECT type || ' ' || name FROM sqlite_master WHERE name NOT LIKE "
                                          "'sqlite_autoindex%' ORDER BY type, name")
                               ->fetchall()) {
        objects.push_back(row[0].get<std::string>());
    }
    EXPECT_EQ(objects, (std::vector<std::string>{
                           "index metadata__is_deleted_idx",
                           "index metadata__object_id_idx",
                           "index metadata__object_version_idx",
                           "index metadata__prior_version_idx",
                           "index metadata__updated_at_idx",
                           "table metadata",
                           "table person_v_2",
                           "table reference",
                           "table transaction",
                       }));
}

TEST(LiteTimelineModule, RefusesAConnectionOfAnotherKind) {
    korvex::ConstructionArgs args;
    EXPECT_THROW(korvex::import_module(MODULE_PATH).create<korvex::TableSchemaServiceBase>(CLASS_NAME, args),
                 korvex::UsageError);
}
