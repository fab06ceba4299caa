// The host loads pg_timeline by its module path and drives PostgresHistoricalConnection through
// the host's interfaces only (this program does not link the plug-in).

#include "korvex/error.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "pg_test_database.hpp"

#include <gtest/gtest.h>

namespace {

constexpr const char* MODULE = "korvex_data.connections.implementations.pg_timeline";

std::unique_ptr<korvex::HistoricalConnectionBase> create(const korvex::Value& named = korvex::Value::object()) {
    korvex::ConstructionArgs args;
    args.named = named;
    return korvex::import_module(MODULE).create<korvex::HistoricalConnectionBase>("PostgresHistoricalConnection", args);
}

}  // namespace

TEST(ModuleLoad, CreatesTheConnectionAndRunsSelectOne) {
    korvex::testing::PgTestDatabase db;
    const auto& module = korvex::import_module(MODULE);
    EXPECT_NE(module.library_path().find("libpg_timeline.so"), std::string::npos);

    auto connection = create();
    connection->connect(std::nullopt, db.parameters());
    auto cursor = connection->execute("SELECT 1");
    EXPECT_EQ(cursor->fetchall(), std::vector<korvex::Row>{korvex::Row{korvex::Value(1)}});
    connection->disconnect();
}

TEST(ModuleLoad, IsRevertSupportedIsANamedConstructionArgument) {
    // Revert is refused before any statement, so no server is needed.
    auto disabled = create({{"is_revert_supported", false}});
    try {
        disabled->revert();
        FAIL() << "revert ran on a connection built without revert support";
    } catch (const korvex::KorvexConnectionError& error) {
        EXPECT_STREQ(error.what(), "Revert is not supported");
    }
    // With the default (true) revert gets past the flag and fails for want of an open level.
    auto enabled = create();
    EXPECT_THROW(enabled->revert(), korvex::UsageError);
}

TEST(ModuleLoad, UnknownOrMistypedNamedArgumentsAreRefused) {
    EXPECT_THROW(create({{"no_such_argument", 1}}), korvex::UsageError);
    EXPECT_THROW(create({{"is_revert_supported", "yes"}}), korvex::UsageError);
}
