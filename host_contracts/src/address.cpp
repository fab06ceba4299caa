#include "korvex/error.hpp"
#include "korvex/models/address.hpp"

#include <stdexcept>

namespace korvex {
namespace {

Version parse_version(const std::string& text) {
    if (auto marker = version_marker_from_text(text)) return Version(*marker);
    return Version(text);
}

// Splits "name@version" into its two parts; no "@" means no version.
std::pair<std::string, Version> split_versioned(const std::string& text) {
    const auto at = text.find('@');
    if (at == std::string::npos) return {text, Version()};
    return {text.substr(0, at), parse_version(text.substr(at + 1))};
}

}  // namespace

Address Address::from_string(const std::string& text) {
    const auto hash = text.find('#');
    if (hash == std::string::npos) {
        throw UsageError("address text '" + text + "' lacks the '#' between resource and class name");
    }
    Address address;
    address.resource = text.substr(0, hash);
    std::string rest = text.substr(hash + 1);
    std::string object_part;
    const auto slash = rest.find('/');
    if (slash != std::string::npos) {
        object_part = rest.substr(slash + 1);
        rest = rest.substr(0, slash);
        if (object_part.empty()) {
            throw UsageError("address text '" + text + "' has an empty object part after '/'");
        }
    }
    auto [class_name, class_version] = split_versioned(rest);
    if (class_name.empty()) {
        throw UsageError("address text '" + text + "' has no class name");
    }
    address.class_name = class_name;
    address.class_version = class_version;
    if (!object_part.empty()) {
        auto [object_id, object_version] = split_versioned(object_part);
        address.object_id = object_id;
        address.object_version = object_version;
    }
    return address;
}

std::string Address::to_string() const {
    std::string text = resource + "#" + class_name;
    if (!class_version.is_absent()) text += "@" + class_version.text();
    if (!object_id.empty() || !object_version.is_absent()) {
        text += "/" + object_id;
        if (!object_version.is_absent()) text += "@" + object_version.text();
    }
    return text;
}

Value Address::to_value() const {
    Value value = Value::object();
    value["resource"] = resource;
    value["class_name"] = class_name;
    value["class_version"] = class_version.to_value();
    value["object_id"] = object_id;
    value["object_version"] = object_version.to_value();
    return value;
}

}  // namespace korvex
