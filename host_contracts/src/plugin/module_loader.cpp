#include "korvex/plugin/module_loader.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#ifndef KORVEX_MODULE_SUBDIR
#define KORVEX_MODULE_SUBDIR "korvex/modules"
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

// Any object of this library: dladdr on its address names the file the host library was
// loaded from.
const int host_library_anchor = 0;

// The module folder beside the host library, in a build tree and an installed copy alike;
// empty when the loader cannot tell where the host library lives.
std::string bundled_module_folder() {
    Dl_info info{};
    if (dladdr(&host_library_anchor, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') return {};
    std::error_code error;
    const auto library = std::filesystem::absolute(info.dli_fname, error);
    if (error) return {};
    return (library.parent_path() / KORVEX_MODULE_SUBDIR).lexically_normal().string();
}

struct SearchFolder {
    std::string path;
    const char* origin;
};

std::vector<SearchFolder> search_folders() {
    std::vector<SearchFolder> folders;
    if (const char* path = std::getenv("KORVEX_MODULE_PATH")) {
        std::stringstream stream(path);
        std::string folder;
        while (std::getline(stream, folder, ':')) {
            if (!folder.empty()) folders.push_back({folder, "KORVEX_MODULE_PATH"});
        }
    }
    static const std::string bundled = bundled_module_folder();
    if (!bundled.empty()) folders.push_back({bundled, "beside libkorvex_host"});
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
        const auto candidate = std::filesystem::path(folder.path) / file_name;
        searched += (searched.empty() ? "" : ", ") + folder.path + " (" + folder.origin + ")";
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
