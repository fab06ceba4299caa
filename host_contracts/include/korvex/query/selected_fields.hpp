#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvex {

// QuerySpecifier: which fields a query returns: `only` the named ones (none: every field), those in
// `distinct` selected distinct.
struct QuerySpecifier {
    std::optional<std::vector<std::string>> only = std::vector<std::string>{};
    std::vector<std::string> distinct;
};

}  // namespace korvex
