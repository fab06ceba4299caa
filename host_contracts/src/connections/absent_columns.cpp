#include "korvex/connections/absent_columns.hpp"

#include "korvex/connections/constants.hpp"

#include <algorithm>

namespace korvex {
namespace {
// The table being read by this thread's statement builder, innermost first.
thread_local const AbsentColumns* current = nullptr;
}  // namespace

AbsentColumns::AbsentColumns(std::map<std::string, std::string> stand_ins)
    : stand_ins_(std::move(stand_ins)), outer_(current) {
    current = this;
}

AbsentColumns::~AbsentColumns() { current = outer_; }

const std::string* AbsentColumns::stand_in(const std::string& name) {
    if (current == nullptr) return nullptr;
    const auto found = current->stand_ins_.find(name);
    return found != current->stand_ins_.end() ? &found->second : nullptr;
}

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
