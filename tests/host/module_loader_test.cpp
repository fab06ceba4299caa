#include "korvex/plugin/module_loader.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets KORVEX_MODULE_PATH (or unsets it, with nullopt) for one scope.
class ModulePathScope {
public:
    explicit ModulePathScope(const std::optional<std::string>& value) {
        if (const char* old = std::getenv("KORVEX_MODULE_PATH")) saved_ = old;
        apply(value);
    }
    ~ModulePathScope() { apply(saved_); }

private:
    static void apply(const std::optional<std::string>& value) {
        if (value) {
            setenv("KORVEX_MODULE_PATH", value->c_str(), 1);
        } else {
            unsetenv("KORVEX_MODULE_PATH");
        }
    }
    std::optional<std::string> saved_;
};

std::string load_error(const std::string& module_path) {
    try {
        korvex::import_module(module_path);
    } catch (const korvex::ModuleLoadError& error) {
        return error.what();
    }
    ADD_FAILURE() << "loading " << module_path << " succeeded";
    return {};
}

}  // namespace

TEST(ModuleLoader, MapsModulePathToLibraryName) {
    EXPECT_EQ(korvex::library_file_name("korvex_data.connections.implementations.pg_timeline"), "libpg_timeline.so");
    EXPECT_EQ(korvex::library_file_name("solo"), "libsolo.so");
}

TEST(ModuleLoader, MissingModuleNamesItsPathAndEveryFolderSearchedInOrder) {
    const std::string beside_host = std::string(KORVEX_HOST_LIBRARY_DIR) + "/korvex/modules (beside libkorvex_host)";
    const std::string missing = "korvex_data.connections.implementations.no_such_module";
    const std::string prefix = "module " + missing + " not found: no libno_such_module.so in ";
    struct Case {
        std::optional<std::string> module_path;
        std::string searched;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, beside_host},
             {"", beside_host},
             {"/nowhere/a::/nowhere/b",
              "/nowhere/a (KORVEX_MODULE_PATH), /nowhere/b (KORVEX_MODULE_PATH), " + beside_host}}) {
        ModulePathScope scope(c.module_path);
        EXPECT_EQ(load_error(missing), prefix + c.searched);
    }
}

TEST(ModuleLoader, LibraryWithoutEntryPointIsRefused) {
    // The host library itself is a shared library without the plug-in entry point.
    ModulePathScope scope(std::string(KORVEX_HOST_LIBRARY_DIR));
    EXPECT_NE(load_error("korvex.korvex_host").find("korvex_module_init"), std::string::npos);
}
