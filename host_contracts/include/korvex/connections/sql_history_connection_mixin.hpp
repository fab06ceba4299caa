#pragma once
// Shared SQL building of the historical connections: value conversion, plain selects,
// condition trees, ordering, the split of a request by class version, counts and result rows.
// A store supplies its operator vocabulary and its nested-field translation.

#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/models/address.hpp"
#include "korvex/query/lookup.hpp"
#include "korvex/query/order_by.hpp"
#include "korvex/query/paginator.hpp"
#include "korvex/query/q.hpp"
#include "korvex/value.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

using OperatorMap = std::map<Lookup, SqlOperatorTemplate>;
// Column name to data type name, as the server reports them.
using TableDescription = std::map<std::string, std::string>;
// Class version to the condition for that version's table, in the order to query them.
using QueriesByVersion = std::vector<std::pair<Version, std::optional<Q>>>;

class SqlHistoryConnectionMixin {
public:
    virtual ~SqlHistoryConnectionMixin() = default;

    // Hooks the store supplies.
    virtual const OperatorMap& SQL_OPERATOR_MAP() const = 0;
    virtual std::pair<std::string, ConditionParam> _nested_filter_statement(
        const std::string& field_name, const std::string& nested_fields,
        const SqlOperatorTemplate& sql_operator_template, const Value& value, std::optional<ValueType> value_type,
        bool is_internal_table = false, bool use_internal_meta_tables = false) = 0;

    // Maps and lists become JSON text; everything else is handed over unchanged.
    virtual Value _to_sql_value(const Value& value);

    virtual Statement _select_statement(const std::string& table_name, const std::string& select_only,
                                        const std::optional<Q>& conditions, const Pagination& pagination,
                                        const std::optional<std::vector<OrderBy>>& order_by,
                                        bool is_internal_table = false);
    // (condition text, parameters); ("", {}) when there is no condition.
    virtual std::pair<std::string, std::vector<Value>> _get_conditions_statement(
        const Q& conditions, bool is_internal_table = false, bool use_internal_meta_tables = false);
    // " ORDER BY ..." or "".
    virtual std::string _build_order_by_statement(const std::vector<OrderBy>& order_by, bool is_internal_table = false,
                                                  bool use_internal_meta_tables = false);
    virtual QueriesByVersion _build_queries_by_version(const Address& address, const std::optional<Q>& conditions);
    virtual Statement _build_count_statement(const std::string& table_name, const std::optional<Q>& conditions,
                                             bool use_internal_meta_tables = false);
    virtual DataMap _process_result(const DataMap& row, const TableDescription& table_description);
};

// Orders rows by the OrderBy items (stable; none keeps the order).
std::vector<DataMap> sort_items(std::vector<DataMap> items, const std::optional<std::vector<OrderBy>>& order_by);

}  // namespace korvex
