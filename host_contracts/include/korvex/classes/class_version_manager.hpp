#pragma once
// Knows the class versions of the application's classes. Versions are registered process-wide
// (by the host when it loads class schemas); every manager object reads the same registry.
// Thread-safe.

#include <string>
#include <vector>

namespace korvex {

struct ClassVersionRecord {
    std::string class_name;
    std::string version;
};

class ClassVersionManager {
public:
    // Adds `version` as the newest version of `class_name` (a version registered again moves to
    // the end). Throws UsageError for the version LATEST or ALL: those texts are the markers.
    static void register_class_version(const std::string& class_name, const std::string& version);
    // Forgets every registered version (for tests and for hosts that reload their schemas).
    static void clear();

    // The newest registered version; throws UsageError naming the class when it has none.
    ClassVersionRecord get_latest_class_version(const std::string& class_name) const;
    // All registered versions of the class, oldest first (empty when none).
    std::vector<std::string> get_class_versions(const std::string& class_name) const;
};

}  // namespace korvex
