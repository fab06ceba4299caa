#include "korvex/error.hpp"
#include "korvex/models/version.hpp"
#include "korvex/models/versions.hpp"

#include <stdexcept>

namespace korvex {

std::string_view to_string(Versions marker) {
    switch (marker) {
        case Versions::LATEST: return "LATEST";
        case Versions::ALL: return "ALL";
    }
    return "";
}

std::optional<Versions> version_marker_from_text(std::string_view text) {
    if (text == "LATEST") return Versions::LATEST;
    if (text == "ALL") return Versions::ALL;
    return std::nullopt;
}

std::optional<Versions> as_version_marker(const Value& value) {
    if (!value.is_string()) {
        return std::nullopt;
    }
    return version_marker_from_text(value.get_ref<const std::string&>());
}

Versions Version::marker() const {
    if (!is_marker()) {
        throw UsageError("version '" + text() + "' is not a symbolic version marker");
    }
    return std::get<Versions>(value_);
}

std::string Version::text() const {
    if (is_marker()) return std::string(to_string(std::get<Versions>(value_)));
    if (is_specific()) return std::get<std::string>(value_);
    return "";
}

Value Version::to_value() const {
    if (is_absent()) return nullptr;
    // A specific version straight from its text, with no copy of it made first.
    if (is_specific()) return Value(std::get<std::string>(value_));
    return text();
}

Version Version::from_value(const Value& value) {
    if (value.is_null()) return Version();
    if (auto marker = as_version_marker(value)) return Version(*marker);
    if (value.is_string()) return Version(value.get<std::string>());
    if (value.is_number_integer()) return Version(value.dump());
    throw UsageError("a version is a text, a version marker or null, not " + value.dump());
}

}  // namespace korvex
