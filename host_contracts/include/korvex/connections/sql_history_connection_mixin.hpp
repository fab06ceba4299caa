#pragma once
// Shared SQL building of the historical connections: value conversion, plain selects,
// condition trees, ordering, the split of a request by class version, counts and result rows.
// A store supplies its operator vocabulary, its nested-field translation, its select statement
// and its ordering expressions. Keeps no state; every builder is a pure function of its inputs.

#include "korvex/connections/absent_columns.hpp"
#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/models/address.hpp"
#include "korvex/query/lookup.hpp"
#include "korvex/query/order_by.hpp"
#include "korvex/query/paginator.hpp"
#include "korvex/query/q.hpp"
#include "korvex/query/selected_fields.hpp"
#include "korvex/value.hpp"

#include <map>
#include <optional>
#include <set>
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
    // The statement that reads rows of one table (counts are taken over it).
    virtual Statement _build_select_statement(const std::string& table_name,
                                              const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                                              const std::optional<Q>& conditions = std::nullopt,
                                              const Pagination& pagination = {},
                                              const std::optional<std::vector<OrderBy>>& order_by = std::nullopt,
                                              bool use_internal_meta_tables = false) = 0;
    // The SQL expression that orders by `field_name` (a column, or a path below one after "__").
    virtual std::string _order_by_expression(const std::string& field_name, bool is_internal_table,
                                             bool use_internal_meta_tables) = 0;
    // The table's columns with their data types as the store names them; empty for a missing table.
    virtual TableDescription _describe_table(const std::string& table_name) = 0;

    // The builders of a read, told the table they write for (ReadScope: its name, the columns it
    // lacks); each overload without a scope builds for no table in particular. By default these
    // leave the scope aside and call that overload.
    virtual std::pair<std::string, ConditionParam> _nested_filter_statement(
        const std::string& field_name, const std::string& nested_fields,
        const SqlOperatorTemplate& sql_operator_template, const Value& value, std::optional<ValueType> value_type,
        bool is_internal_table, bool use_internal_meta_tables, const ReadScope& scope);
    virtual std::string _order_by_expression(const std::string& field_name, bool is_internal_table,
                                             bool use_internal_meta_tables, const ReadScope& scope);
    virtual Statement _build_select_statement(const std::string& table_name,
                                              const std::optional<QuerySpecifier>& query_specifier,
                                              const std::optional<Q>& conditions, const Pagination& pagination,
                                              const std::optional<std::vector<OrderBy>>& order_by,
                                              bool use_internal_meta_tables, const ReadScope& scope);
    // A plain column that the table lacks reads as what stands in for it, beside the metadata.
    virtual std::string _filter_column(const std::string& field, const Value& value, const std::string& prefix,
                                       const ReadScope& scope);
    virtual std::pair<std::string, std::vector<Value>> _get_conditions_statement(
        const Q& conditions, bool is_internal_table, bool use_internal_meta_tables, const ReadScope& scope);
    virtual Statement _build_count_statement(const std::string& table_name, const std::optional<Q>& conditions,
                                             bool use_internal_meta_tables, const ReadScope& scope);

    // Maps and lists become JSON text; everything else is handed over unchanged. Throws
    // UsageError for a map or list holding a NaN or an infinity, which JSON cannot carry.
    virtual Value _to_sql_value(Value value);
    // The same form, with no copy of a value handed over as it is: `value` itself then, otherwise
    // `room` holding the new form. By default _to_sql_value's, in `room`; a store that answers
    // here itself gives the same values from both.
    virtual const Value& sql_value_for(const Value& value, Value& room);

    // A table or column name as this store's statements write it: double-quoted with its quotes
    // doubled. Throws UsageError for a name the store could not hold as given (a NUL byte; a
    // store may also limit the length).
    virtual std::string _quote_name(const std::string& name);
    // A table as a statement reads or deletes from it (by default its quoted name); a store whose
    // tables live under a catalog, or whose transaction reads another ref of them, says so here.
    virtual std::string _table_reference(const std::string& table_name) { return _quote_name(table_name); }

    // DELETE FROM "table" WHERE "key" = %s AND ..., one equality per entry of `data`.
    virtual Statement _build_delete_statement(const std::string& table_name, const DataMap& data);

    // SELECT select_only FROM "table" [WHERE ...] [ORDER BY ...] [LIMIT %s OFFSET %s].
    virtual Statement _select_statement(const std::string& table_name, const std::string& select_only,
                                        const std::optional<Q>& conditions, const Pagination& pagination,
                                        const std::optional<std::vector<OrderBy>>& order_by,
                                        bool is_internal_table = false);
    // (condition text, parameters); ("", {}) when there is no condition. Leaves of a field path
    // with "__", and leaves on the address or metadata field, go to _nested_filter_statement; a
    // plain field is a quoted column, behind the model table's alias when the meta tables are
    // joined. AND and OR are parenthesised. A condition without predicate (such as
    // _address__object_version = ALL) restricts nothing wherever it stands: AND leaves it out,
    // OR with it restricts nothing, NOT of it is FALSE. The version markers LATEST and ALL on
    // _address__object_version take EQ only; any other operator with one is a UsageError.
    virtual std::pair<std::string, std::vector<Value>> _get_conditions_statement(
        const Q& conditions, bool is_internal_table = false, bool use_internal_meta_tables = false);
    // The expression a condition on the plain column `field` compares with `value`: the quoted
    // name behind `prefix`. A store whose column would refuse the value's kind may cast it here.
    virtual std::string _filter_column(const std::string& field, const Value& value, const std::string& prefix);
    // " ORDER BY expression ASC|DESC, ..." or "".
    virtual std::string _build_order_by_statement(const std::vector<OrderBy>& order_by, bool is_internal_table = false,
                                                  bool use_internal_meta_tables = false);
    // The class versions whose tables hold the address's objects, each with its condition: the
    // caller's conditions, and the object's identity and version when the address names them.
    virtual QueriesByVersion _build_queries_by_version(const Address& address, const std::optional<Q>& conditions);
    // SELECT COUNT(*) over the store's select statement for the table and conditions.
    virtual Statement _build_count_statement(const std::string& table_name, const std::optional<Q>& conditions,
                                             bool use_internal_meta_tables = false);
    // The finished row: the _metadata object parsed when it arrives as JSON text.
    virtual DataMap _process_result(DataMap row, const TableDescription& table_description);
    // The ordering with each bare name that the table lacks but the metadata has (created_at)
    // turned into its metadata path (_metadata__created_at); a name both have is the table's.
    virtual std::vector<OrderBy> _resolve_ordering(const std::string& table_name, const std::vector<OrderBy>& order_by);

    // The row one put inserts: the caller's entries with the object's identity as partition_key
    // and, for a versioned table, its version as range_key; a metadata row also takes object_id
    // and object_version from its address entry. Throws UsageError for a metadata row without
    // one. The caller's map is not changed.
    virtual DataMap _keyed_row(const Address& address, const DataMap& data, const std::string& table_name);
    // The tables that hold the address's objects, each once (two class versions that differ in
    // case only share one table), in class-version order, each with its condition.
    virtual std::vector<std::pair<std::string, std::optional<Q>>> _tables_to_read(const Address& address,
                                                                                  const std::optional<Q>& conditions);
    // The table an address resolves to: the table-schema services' shared rule
    // (versioned_table_name); a store may ask its own service instead.
    virtual std::string _resolve_table_name(const Address& address);

private:
    // The last name the shared rule gave, for the class name and version it was given (a class
    // version of LATEST is resolved by the registry, each time).
    std::string resolved_class_name_;
    Version resolved_class_version_;
    std::optional<std::string> resolved_table_name_;
};

// Whether a resolved table name is one of the internal tables keyed by identity alone.
bool is_internal_table_name(const std::string& table_name);

// The key columns a row of `table_name` takes from the address, in this order: the object's
// identity as partition_key; for a versioned table its version as range_key; for a metadata row
// object_id and object_version from the data's address entry. Throws UsageError, naming
// `operation`, for a metadata row without one.
std::vector<std::pair<std::string, Value>> address_keys(const std::string& operation, const Address& address,
                                                         const DataMap& data, const std::string& table_name);
// A metadata row's address entry, which must hold object_id and object_version; throws
// UsageError, naming `operation`, when the row has none.
const Value& metadata_row_address(const std::string& operation, const DataMap& data);

// ", expression AS korvex_d0, ..." and ", expression AS korvex_k0, ...": the distinct and the
// ordering keys a select hands to the statement around it as its last columns.
std::string distinct_key_columns(const std::vector<std::string>& expressions);
std::string order_key_columns(const std::vector<std::string>& expressions);
// "korvex_d0, korvex_d1, ..." for `count` distinct keys.
std::string distinct_key_names(std::size_t count);
// The names of `selected` that `query_specifier` selects distinct, in the order of `selected`.
std::vector<std::string> selected_distinct(const std::set<std::string>& selected,
                                           const std::optional<QuerySpecifier>& query_specifier);

// Whether the selection calls COUNT( outside quoted names and literals: such an aggregate
// selection is not grouped. A column named COUNTER is still grouped.
bool calls_count(const std::string& selection);

// Throws UsageError for a negative limit or offset of a number paginator.
void check_pagination(const Pagination& pagination);

// `pagination`, except that an offset without a limit takes every row after the skipped ones:
// the select statements write an offset only beside a limit, and would otherwise ignore it.
Pagination rest_after_offset(const Pagination& pagination);

// Orders rows by the OrderBy items, stably, the way the stores' SQL orders them: nulls (and
// missing fields) last ascending and first descending; a value below a JSON path (a field name
// with "__") by its text form; a plain field by value. A plain field a row lacks is looked up
// in the row's _metadata. None keeps the order.
std::vector<DataMap> sort_items(std::vector<DataMap> items, const std::optional<std::vector<OrderBy>>& order_by);

}  // namespace korvex
