#pragma once

#include <string>

namespace korvex {

// One ordering entry. `field_name` may name a path below a field with "__" between steps.
struct OrderBy {
    std::string field_name;
    bool descending = false;
};

}  // namespace korvex
