// Loading ice_timeline by its module path, as a host does, and what it registers.

#include "korvex/error.hpp"
#include "recording_iceberg_connection.hpp"
#include "korvex/sqlite/sqlite_state.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex_data/table_schemas/implementations/ice_timeline.hpp"

#include <gtest/gtest.h>

namespace {

const korvex::Module& ice_module() {
    return korvex::import_module("korvex_data.table_schemas.implementations.ice_timeline");
}

}  // namespace

TEST(IceTimelineModule, CreatesTheServiceOnAnIcebergConnection) {
    korvex::RecordingIcebergConnection connection;
    korvex::ConstructionArgs args;
    args.connection = &connection;
    auto service = ice_module().create<korvex::TableSchemaServiceBase>("IcebergHistoryTableSchemaService", args);
    EXPECT_EQ(service->resolve_table_name(korvex::Address::from_string("iceberg#metadata")), "metadata");
    service->register_internal_tables();
    EXPECT_EQ(connection.statements().size(), 6u);
}

TEST(IceTimelineModule, RefusesAConnectionOfAnotherKind) {
    korvex::SqliteStateConnection sqlite(":memory:");
    korvex::ConstructionArgs args;
    args.connection = &sqlite;
    EXPECT_THROW(ice_module().create<korvex::TableSchemaServiceBase>("IcebergHistoryTableSchemaService", args),
                 korvex::UsageError);
    EXPECT_THROW(ice_module().create<korvex::TableSchemaServiceBase>("IcebergHistoryTableSchemaService"),
                 korvex::UsageError);
}

TEST(IceTimelineModule, OffersTheStructTypesOfTheInternalTables) {
    using Nested = std::shared_ptr<const korvex::NestedSchemaModel>;
    const Nested& address = ice_module().attribute<Nested>("address_struct");
    const Nested& reference = ice_module().attribute<Nested>("reference_struct");
    std::vector<std::string> names;
    for (const auto& [name, type] : address->properties) {
        names.push_back(name);
        EXPECT_EQ(std::get<korvex::ValueKind>(type), korvex::ValueKind::TEXT);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"resource", "class_name", "class_version", "object_id", "object_version"}));
    ASSERT_EQ(reference->properties.size(), 1u);
    EXPECT_EQ(reference->properties[0].first, "ref");
    EXPECT_EQ(std::get<Nested>(reference->properties[0].second), address);
}

TEST(IceTimelineModule, BuildsColumnRecordsWithPlainOrIcebergTypes) {
    korvex::ConstructionArgs args;
    args.named = {{"name", "born"}, {"type", "DATE"}, {"nullable", false}};
    const auto born = ice_module().create<korvex::IcebergTableColumnSchema>("IcebergTableColumnSchema", args);
    EXPECT_EQ(born->name, "born");
    EXPECT_FALSE(born->nullable);
    EXPECT_EQ(std::get<korvex::ComplexType>(born->type), korvex::ComplexType::primitive("DATE"));

    args.named = {{"name", "label"}, {"type", "text"}};
    const auto label = ice_module().create<korvex::IcebergTableColumnSchema>("IcebergTableColumnSchema", args);
    EXPECT_TRUE(label->nullable);
    EXPECT_EQ(std::get<korvex::ValueKind>(std::get<korvex::ColumnType>(label->type)), korvex::ValueKind::TEXT);
    args.named = {{"type", "text"}};
    EXPECT_THROW(ice_module().create<korvex::Object>("IcebergTableColumnSchema", args), korvex::UsageError);
}
