#pragma once
// The look-up operators whose predicates read alike in every SQL store: the orderings, IN and
// ISNULL. A store starts its operator map from these and adds its own equality and text matching.

#include "korvex/connections/sql_history_connection_mixin.hpp"

namespace korvex {

// GT, GTE, LT, LTE, IN (FALSE for an empty list, which "IN ()" cannot say) and ISNULL.
OperatorMap common_sql_operators();

}  // namespace korvex
