// The SQL store core: construction arguments.

#include "korvex/connections/sql_historical_store.hpp"

#include "korvex/error.hpp"

namespace korvex {

SqlStoreOptions parse_store_arguments(const std::string& class_name, const ConstructionArgs& args) {
    SqlStoreOptions options;
    if (!args.named.is_null() && !args.named.is_object()) {
        throw UsageError(class_name + ": named arguments must be a map");
    }
    for (const auto& [name, value] : args.named.items()) {
        if (name != "is_revert_supported") {
            throw UsageError(class_name + ": unexpected named argument " + name);
        }
        if (!value.is_boolean()) {
            throw UsageError(class_name + ": is_revert_supported must be a boolean");
        }
        options.is_revert_supported = value.get<bool>();
    }
    return options;
}

}  // namespace korvex
