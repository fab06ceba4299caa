#include "korvex/plugin/module_loader.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#ifndef KORVEX_DEFAULT_MODULE_DIR
#define KORVEX_DEFAULT_MODULE_DIR ""
#endif

namespace korvex {

void ModuleRegistry::add_class(const std::string& class_name, Factory factory) {
    classes_[class_name] = std::move(factory);
}

void ModuleRegistry::add_attribute(const std::string& name, std::any value) { attributes_[name] = std::move(value); }

bool ModuleRegistry::has_class(const std::string& class_name) const { return classes_.count(class_name) > 0; }

const Factory& ModuleRegistry::factory(const std::string& class_name) const {
    auto found = classes_.find(class_name);
    if (found == classes_.end()) throw ModuleLoadError("no class " + class_name + " in this module");
    return found->second;
}

const std::any& ModuleRegistry::attribute(const std::string& name) const {
    auto found = attributes_.find(name);
    if (found == attributes_.end()) throw ModuleLoadError("no attribute " + name + " in this module");
    return found->second;
}

std::string library_file_name(const std::string& module_path) {
    const auto dot = module_path.rfind('.');
    const std::string last = dot == std::string::npos ? module_path : module_path.substr(dot + 1);
    return "lib" + last + ".so";
}

namespace {

struct LoadedModule {
    std::unique_ptr<ModuleRegistry> registry;
    std::unique_ptr<Module> module;
};

std::vector<std::string> search_folders() {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("KORVEX_MODULE_PATH")) {
        std::stringstream stream(path);
        std::string folder;
        while (std::getline(stream, folder, ':')) {
            if (!folder.empty()) folders.push_back(folder);
        }
    }
    if (std::string(KORVEX_DEFAULT_MODULE_DIR).size() > 0) folders.push_back(KORVEX_DEFAULT_MODULE_DIR);
    return folders;
}

}  // namespace

const Module& import_module(const std::string& module_path) {
    static std::mutex mutex;
    static std::map<std::string, LoadedModule> loaded;
    std::lock_guard lock(mutex);
    if (auto found = loaded.find(module_path); found != loaded.end()) {
        return *found->second.module;
    }

    const std::string file_name = library_file_name(module_path);
    std::string searched;
    for (const auto& folder : search_folders()) {
        const auto candidate = std::filesystem::path(folder) / file_name;
        searched += (searched.empty() ? "" : ", ") + folder;
        if (!std::filesystem::exists(candidate)) continue;

        // Never closed: the registry's factories point into the library.
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            throw ModuleLoadError("cannot load module " + module_path + " from " + candidate.string() + ": " + dlerror());
        }
        using Init = void (*)(ModuleRegistry&);
        auto init = reinterpret_cast<Init>(dlsym(handle, "korvex_module_init"));
        if (init == nullptr) {
            throw ModuleLoadError("module " + module_path + " (" + candidate.string() +
                                  ") has no entry point korvex_module_init");
        }
        LoadedModule entry;
        entry.registry = std::make_unique<ModuleRegistry>();
        init(*entry.registry);
        entry.module = std::make_unique<Module>(module_path, candidate.string(), entry.registry.get());
        return *loaded.emplace(module_path, std::move(entry)).first->second.module;
    }
    throw ModuleLoadError("module " + module_path + " not found: no " + file_name + " in " +
                          (searched.empty() ? std::string("any folder (set KORVEX_MODULE_PATH)") : searched));
}

}  // namespace korvex
