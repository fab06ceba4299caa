#pragma once
// The look-up operators whose predicates read alike in every SQL store: equality, the orderings,
// IN and ISNULL. A store starts its operator map from these and adds its own text matching.

#include "korvex/connections/sql_history_connection_mixin.hpp"

namespace korvex {

// EQ and NEQ (= and !=; a boolean compared null-safely with the engine's `boolean_equal` and
// `boolean_not_equal`, which take the parameter after them), GT, GTE, LT, LTE, IN (FALSE for an
// empty list, which "IN ()" cannot say) and ISNULL.
OperatorMap common_sql_operators(const std::string& boolean_equal, const std::string& boolean_not_equal);

}  // namespace korvex
