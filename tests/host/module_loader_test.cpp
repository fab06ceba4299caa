#include "korvex/plugin/module_loader.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ModuleLoader, MapsModulePathToLibraryName) {
    EXPECT_EQ(korvex::library_file_name("korvex_data.connections.implementations.pg_timeline"), "libpg_timeline.so");
    EXPECT_EQ(korvex::library_file_name("solo"), "libsolo.so");
}

TEST(ModuleLoader, MissingModuleNamesItsPath) {
    try {
        korvex::import_module("korvex_data.connections.implementations.no_such_module");
        FAIL() << "loading a missing module succeeded";
    } catch (const korvex::ModuleLoadError& error) {
        EXPECT_NE(std::string(error.what()).find("korvex_data.connections.implementations.no_such_module"),
                  std::string::npos);
    }
}

TEST(ModuleLoader, LibraryWithoutEntryPointIsRefused) {
    // The host library itself is a shared library without the plug-in entry point.
    try {
        korvex::import_module("korvex.korvex_host");
        FAIL() << "a library without entry point was accepted";
    } catch (const korvex::ModuleLoadError& error) {
        EXPECT_NE(std::string(error.what()).find("korvex_module_init"), std::string::npos) << error.what();
    }
}
