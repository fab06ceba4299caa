#pragma once
// A class or object version as an address carries it: absent, a specific version text, or a
// symbolic marker (LATEST, ALL). A marker compares equal to its text, so the text "LATEST" or
// "ALL" given as a version is the marker (other spellings, "latest" say, are ordinary versions);
// no class or object version can be named LATEST or ALL.

#include "korvex/models/versions.hpp"

#include <string>
#include <variant>

namespace korvex {

class Version {
public:
    Version() = default;
    Version(std::string text) {
        if (auto marker = version_marker_from_text(text)) {
            value_ = *marker;
        } else {
            value_ = std::move(text);
        }
    }
    Version(const char* text) : Version(std::string(text)) {}
    Version(Versions marker) : value_(marker) {}

    bool is_absent() const { return std::holds_alternative<std::monostate>(value_); }
    bool is_marker() const { return std::holds_alternative<Versions>(value_); }
    bool is_specific() const { return std::holds_alternative<std::string>(value_); }
    // Absent, or a specific version whose text is empty.
    bool is_empty() const { return is_absent() || (is_specific() && text().empty()); }

    // The marker; throws UsageError when this is not a marker.
    Versions marker() const;
    // The text form: the version itself, the marker's text, or "" when absent.
    std::string text() const;

    // As a Value: null when absent, otherwise the text form.
    Value to_value() const;
    static Version from_value(const Value& value);

    bool operator==(const Version&) const = default;
    bool operator==(Versions marker) const { return is_marker() && std::get<Versions>(value_) == marker; }

private:
    std::variant<std::monostate, std::string, Versions> value_;
};

}  // namespace korvex
