#include "korvex/connections/absent_columns.hpp"

#include "korvex/connections/constants.hpp"

#include <algorithm>

namespace korvex {

bool names_object_fields(const std::optional<Q>& conditions) {
    if (!conditions) return false;
    if (conditions->kind() == Q::Kind::LEAF) {
        const std::string& field = conditions->field();
        return !field.starts_with(std::string(ADDRESS_FIELD) + "__") &&
               !field.starts_with(std::string(METADATA_FIELD) + "__");
    }
    return std::any_of(conditions->children().begin(), conditions->children().end(),
                       [](const Q& child) { return names_object_fields(child); });
}

}  // namespace korvex
