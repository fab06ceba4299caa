#include "korvex/error.hpp"
#include "korvex/models/address.hpp"

#include "korvex/utils/text.hpp"

namespace korvex {
namespace {

[[noreturn]] void malformed(const std::string& text, const std::string& what) {
    throw UsageError("address text '" + printable_name(text) + "' " + what +
                     " (expected resource#ClassName[@classVersion][/objectId[@objectVersion]])");
}

Version parse_version(const std::string& text) {
    if (auto marker = version_marker_from_text(text)) return Version(*marker);
    return Version(text);
}

// Splits "name@version" into its two parts; no "@" means no version, and "@" must be followed
// by a version.
std::pair<std::string, Version> split_versioned(const std::string& text, const std::string& part,
                                                const std::string& whole) {
    const auto at = text.find('@');
    if (at == std::string::npos) return {text, Version()};
    const std::string version = text.substr(at + 1);
    if (version.empty()) malformed(whole, "has an empty " + part + " version after '@'");
    if (version.find('@') != std::string::npos) malformed(whole, "has more than one '@' in its " + part + " part");
    return {text.substr(0, at), parse_version(version)};
}

}  // namespace

Address Address::from_string(const std::string& text) {
    if (text.find('\0') != std::string::npos) malformed(text, "holds a NUL byte");
    const auto hash = text.find('#');
    if (hash == std::string::npos) malformed(text, "lacks the '#' between resource and class name");
    Address address;
    address.resource = text.substr(0, hash);
    std::string rest = text.substr(hash + 1);
    if (rest.find('#') != std::string::npos) malformed(text, "has more than one '#'");
    std::string object_part;
    const auto slash = rest.find('/');
    if (slash != std::string::npos) {
        object_part = rest.substr(slash + 1);
        rest = rest.substr(0, slash);
        if (object_part.empty()) malformed(text, "has an empty object part after '/'");
        if (object_part.find('/') != std::string::npos) malformed(text, "has more than one '/'");
    }
    auto [class_name, class_version] = split_versioned(rest, "class", text);
    if (class_name.empty()) malformed(text, "has no class name");
    address.class_name = class_name;
    address.class_version = class_version;
    if (!object_part.empty()) {
        auto [object_id, object_version] = split_versioned(object_part, "object", text);
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

void check_write_address(std::string_view operation, const Address& address) {
    if (address.object_id.empty()) {
        throw UsageError(std::string(operation) + ": " + printable_name(address.to_string()) +
                         " names no object: a write needs an object id (resource#Class@version/objectId@version)");
    }
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
