#pragma once
// Symbolic version markers. A member compares equal to its text form, so a plain text value
// "LATEST" or "ALL" matches the marker.

#include "korvex/value.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace korvex {

enum class Versions { LATEST, ALL };

std::string_view to_string(Versions marker);

// The marker whose text form equals `text`, if any.
std::optional<Versions> version_marker_from_text(std::string_view text);

inline bool operator==(Versions marker, std::string_view text) { return to_string(marker) == text; }

// A Value is a version marker when it holds the text of one.
std::optional<Versions> as_version_marker(const Value& value);

}  // namespace korvex
