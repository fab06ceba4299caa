#pragma once

#include <string_view>

namespace korvex {

// Look-up operators of a condition.
enum class Lookup {
    EQ, NEQ, GT, GTE, LT, LTE, IN, CONTAINS, ICONTAINS, STARTSWITH, ISTARTSWITH, ENDSWITH, IENDSWITH, ISNULL
};

std::string_view to_string(Lookup lookup);

}  // namespace korvex
