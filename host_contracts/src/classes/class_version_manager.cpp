#include "korvex/error.hpp"
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/models/versions.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>

namespace korvex {
namespace {

std::mutex& registry_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::vector<std::string>>& registry() {
    static std::map<std::string, std::vector<std::string>> versions;
    return versions;
}

}  // namespace

void ClassVersionManager::register_class_version(const std::string& class_name, const std::string& version) {
    if (version_marker_from_text(version)) {
        throw UsageError("class " + class_name + " cannot have a version named " + version +
                         ": LATEST and ALL are the version markers (the latest version, every version); "
                         "name the version otherwise");
    }
    std::lock_guard lock(registry_mutex());
    auto& versions = registry()[class_name];
    versions.erase(std::remove(versions.begin(), versions.end(), version), versions.end());
    versions.push_back(version);
}

void ClassVersionManager::clear() {
    std::lock_guard lock(registry_mutex());
    registry().clear();
}

ClassVersionRecord ClassVersionManager::get_latest_class_version(const std::string& class_name) const {
    std::lock_guard lock(registry_mutex());
    auto found = registry().find(class_name);
    if (found == registry().end() || found->second.empty()) {
        throw UsageError("class " + class_name +
                                " has no registered version; register one with ClassVersionManager::register_class_version");
    }
    return {class_name, found->second.back()};
}

std::vector<std::string> ClassVersionManager::get_class_versions(const std::string& class_name) const {
    std::lock_guard lock(registry_mutex());
    auto found = registry().find(class_name);
    return found == registry().end() ? std::vector<std::string>{} : found->second;
}

}  // namespace korvex
