#pragma once
// Loads plug-in modules by module path and creates their classes by class name.
//
// "korvex_data.connections.implementations.pg_timeline" maps to libpg_timeline.so, searched
// in the folders of KORVEX_MODULE_PATH (colon-separated), then in the module folder beside the
// host library: korvex/modules under the folder libkorvex_host was loaded from, which is
// lib/korvex/modules of a build tree and <libdir>/korvex/modules of an installed copy. The
// first folder that holds the file wins; Module::library_path tells which file was loaded.
// The library exports `korvex_module_init`, which fills a ModuleRegistry. Modules stay loaded
// for the life of the process. Thread-safe.

#include "korvex/error.hpp"
#include "korvex/object.hpp"
#include "korvex/value.hpp"

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace korvex {

class ModuleLoadError : public Error {
public:
    using Error::Error;
};

// Constructor arguments arrive as a map of named values (for example is_revert_supported), or
// as a pointer the host hands over (a table-schema service's connection).
struct ConstructionArgs {
    Value named = Value::object();
    Object* connection = nullptr;
};

using Factory = std::function<std::unique_ptr<Object>(const ConstructionArgs&)>;

class ModuleRegistry {
public:
    void add_class(const std::string& class_name, Factory factory);
    void add_attribute(const std::string& name, std::any value);

    bool has_class(const std::string& class_name) const;
    const Factory& factory(const std::string& class_name) const;
    const std::any& attribute(const std::string& name) const;

private:
    std::map<std::string, Factory> classes_;
    std::map<std::string, std::any> attributes_;
};

class Module {
public:
    Module(std::string module_path, std::string library_path, const ModuleRegistry* registry)
        : module_path_(std::move(module_path)), library_path_(std::move(library_path)), registry_(registry) {}

    const std::string& module_path() const { return module_path_; }
    const std::string& library_path() const { return library_path_; }

    // Creates the class `class_name` as T; throws ModuleLoadError naming the module when the
    // module has no such class or the class is not a T.
    template <class T>
    std::unique_ptr<T> create(const std::string& class_name, const ConstructionArgs& args = {}) const {
        if (!registry_->has_class(class_name)) {
            throw ModuleLoadError("module " + module_path_ + " has no class " + class_name);
        }
        std::unique_ptr<Object> object = registry_->factory(class_name)(args);
        if (auto* typed = dynamic_cast<T*>(object.get())) {
            object.release();
            return std::unique_ptr<T>(typed);
        }
        throw ModuleLoadError("module " + module_path_ + ": class " + class_name + " is not of the requested type");
    }

    // A module-level value (for example a constant table) by name.
    template <class T>
    const T& attribute(const std::string& name) const {
        const std::any& value = registry_->attribute(name);
        if (const T* typed = std::any_cast<T>(&value)) {
            return *typed;
        }
        throw ModuleLoadError("module " + module_path_ + ": attribute " + name + " is not of the requested type");
    }

    const ModuleRegistry& registry() const { return *registry_; }

private:
    std::string module_path_;
    std::string library_path_;
    const ModuleRegistry* registry_;
};

// Loads (once) and returns the module; throws ModuleLoadError naming the module path when its
// library (the message lists every folder searched) or its entry point cannot be found.
const Module& import_module(const std::string& module_path);

// "a.b.pg_timeline" -> "libpg_timeline.so"
std::string library_file_name(const std::string& module_path);

}  // namespace korvex

// Every plug-in defines this entry point.
#define KORVEX_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) void korvex_module_init(::korvex::ModuleRegistry& registry)
