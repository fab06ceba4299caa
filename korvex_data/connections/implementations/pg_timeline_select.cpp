// PostgresHistoricalConnection: the SELECT statements that read versioned rows, each joined with
// the metadata of its own version, which is aggregated into one _metadata object per row.

#include "korvex/error.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>
#include <stdexcept>

namespace korvex::pg_timeline {
namespace {

// Thirteen pieces with the metadata alias between each two.
std::string build_metadata_select_field() {
    static const char* const PIECES[] = {
        "\njson_build_object(\n    'next_version', json_agg(",
        ".\"next_version\")->0,\n    'address', json_agg(to_json(",
        ".address))->0,\n    'object_id', json_agg(",
        ".object_id)->0,\n    'object_version', json_agg(",
        ".object_version)->0,\n    'prior_version', json_agg(",
        ".prior_version)->0,\n    'class_schema_reference', json_agg(to_json(",
        ".class_schema_reference))->0,\n    'class_meta_schema_reference', json_agg(to_json(",
        ".class_meta_schema_reference))->0,\n    'class_schema_type', json_agg(",
        ".class_schema_type)->0,\n    'is_deleted', json_agg(",
        ".is_deleted)->0,\n    'created_at', json_agg(",
        ".created_at)->0,\n    'updated_at', json_agg(",
        ".updated_at)->0,\n    'transaction', json_agg(to_json(",
        ".\"transaction\"))->0\n) AS _metadata\n",
    };
    std::string field;
    for (std::size_t i = 0; i < std::size(PIECES); ++i) {
        if (i > 0) field += METADATA_TABLE_ALIAS;
        field += PIECES[i];
    }
    return field;
}

const std::string MODEL_ALIAS = MODEL_TABLE_ALIAS;
const std::string METADATA_ALIAS = METADATA_TABLE_ALIAS;

}  // namespace

const std::string METADATA_SELECT_STATEMENT =
    "\nSELECT\n"
    "  _m.*,\n"
    "  trim('\"' FROM (\n"
    "    SELECT cast(_m2.object_version as text)\n"
    "    FROM metadata as _m2\n"
    "    WHERE\n"
    "        _m.object_version = _m2.prior_version\n"
    "        AND\n"
    "        _m.object_id = _m2.object_id\n"
    "    LIMIT 1\n"
    "  )::text) as next_version\n"
    "FROM metadata as _m\n";

const std::string METADATA_SELECT_FIELD = build_metadata_select_field();

namespace {

const std::string ORDER_KEY_PREFIX = "korvex_k";

std::string ordered_keys(const std::vector<OrderBy>& order_by) {
    std::string list;
    for (std::size_t i = 0; i < order_by.size(); ++i) {
        list += (i ? ", " : "") + ORDER_KEY_PREFIX + std::to_string(i) + (order_by[i].descending ? " DESC" : " ASC");
    }
    return list;
}

void append_page(Statement& statement, const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit) {
        statement.text += " LIMIT %s OFFSET %s";
        statement.params.emplace_back(*numbers->limit);
        statement.params.emplace_back(numbers->offset.value_or(0));
    }
}

}  // namespace

Statement order_rows(Statement rows, std::size_t distinct_count, const std::vector<OrderBy>& order_by,
                     const std::string& tiebreak, const Pagination& pagination) {
    Statement statement{std::move(rows.text), std::move(rows.params)};
    std::string order = ordered_keys(order_by);
    if (!tiebreak.empty()) order += (order.empty() ? "" : ", ") + tiebreak;
    if (distinct_count > 0) {
        const std::string distinct = distinct_key_names(distinct_count);
        statement.text = "SELECT * FROM (SELECT DISTINCT ON (" + distinct + ") * FROM (" + statement.text +
                         ") AS selected_rows ORDER BY " + distinct + (order.empty() ? "" : ", " + order) +
                         ") AS distinct_rows";
    }
    if (!order.empty()) statement.text += " ORDER BY " + order;
    append_page(statement, pagination);
    statement.helper_columns = distinct_count + order_by.size();
    return statement;
}

std::string distinct_key(const std::string& column, const std::string& data_type) {
    return data_type == "json" ? "CAST(" + column + " AS text)" : column;
}

Statement PostgresHistoricalConnection::_build_select_statement(const std::string& table_name,
                                                                const std::optional<QuerySpecifier>& query_specifier,
                                                                const std::optional<Q>& conditions,
                                                                const Pagination& pagination,
                                                                const std::optional<std::vector<OrderBy>>& order_by,
                                                                bool use_internal_meta_tables) {
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        throw KorvexConnectionError("Cursor pagination is not supported");
    }
    const bool is_internal_table = is_internal_table_name(table_name);
    const bool joined = use_internal_meta_tables && !is_internal_table;
    if (joined && query_specifier && !query_specifier->only) {
        throw UsageError("query_specifier.only must list the fields to select (an empty list for all)");
    }
    // The selected names (sorted by code point, which puts the underscore of _metadata before
    // letters) and those of them selected distinct.
    std::set<std::string> names;
    if (query_specifier && query_specifier->only) names.insert(query_specifier->only->begin(), query_specifier->only->end());
    if (!joined && !is_internal_table && !names.empty()) names.insert(METADATA_FIELD);
    const std::vector<std::string> distinct = selected_distinct(names, query_specifier);
    const std::vector<OrderBy> ordering =
        order_by ? (joined ? _resolve_ordering(table_name, *order_by) : *order_by) : std::vector<OrderBy>{};
    const std::string prefix = joined ? MODEL_ALIAS + "." : "";

    std::string selection;
    for (const auto& name : names) selection += (selection.empty() ? "" : ", ") + prefix + postgres_column_name(name);
    if (selection.empty()) selection = joined ? MODEL_ALIAS + ".*" : "*";
    if (joined) selection += ", " + METADATA_SELECT_FIELD;

    if (distinct.empty()) {
        if (!joined) return _select_statement(table_name, selection, conditions, pagination, order_by, is_internal_table);
        return _select_with_internal_meta_statement(table_name, selection, conditions, pagination, ordering);
    }
    // Rows distinct on the names selected distinct: the first row of each group in the requested
    // order. The distinct and ordering keys ride along as the last columns, which the reader drops.
    const TableDescription description = _describe_table(table_name);
    std::vector<std::string> distinct_expressions;
    for (const auto& name : distinct) {
        const auto found = description.find(name);
        distinct_expressions.push_back(
            distinct_key(prefix + postgres_column_name(name), found != description.end() ? found->second : ""));
    }
    std::vector<std::string> order_expressions;
    for (const auto& item : ordering) {
        order_expressions.push_back(_order_by_expression(item.field_name, is_internal_table, joined));
    }
    selection += distinct_key_columns(distinct_expressions) + order_key_columns(order_expressions);
    Statement rows;
    if (joined) {
        rows = _select_joined_rows(table_name, selection, conditions, ordering);
    } else {
        rows = _select_statement(table_name, selection, conditions, Pagination{}, std::nullopt, is_internal_table);
    }
    return order_rows(std::move(rows), distinct.size(), ordering, "", pagination);
}

Statement PostgresHistoricalConnection::_select_joined_rows(const std::string& table_name,
                                                             const std::string& select_only,
                                                             const std::optional<Q>& conditions,
                                                             const std::optional<std::vector<OrderBy>>& order_by) {
    Statement statement;
    std::string& text = statement.text;
    text.reserve(select_only.size() + METADATA_SELECT_STATEMENT.size() + 256);
    text += "SELECT " + select_only + " ";
    text += "FROM " + _quote_name(table_name) + " AS " + MODEL_ALIAS + " ";
    text += "JOIN (" + METADATA_SELECT_STATEMENT + ") AS " + METADATA_ALIAS + " ";
    text += "ON " + MODEL_ALIAS + ".partition_key = " + METADATA_ALIAS + ".object_id ";
    text += "AND " + MODEL_ALIAS + ".range_key = " + METADATA_ALIAS + ".object_version";
    if (conditions && *conditions) {
        struct FilteredTable {
            std::optional<std::string>& slot;
            ~FilteredTable() { slot.reset(); }
        } filtered{filtered_table_ = table_name};
        auto [condition_text, params] = _get_conditions_statement(*conditions, false, true);
        statement.params = std::move(params);
        if (!condition_text.empty()) text += " WHERE " + condition_text;
    }
    // An aggregate selection (a COUNT call) is not grouped. Only calls are looked for: a table,
    // a column or a condition whose name holds COUNT is grouped like any other.
    if (!calls_count(select_only)) {
        text += _build_group_by_statement(order_by, false, true);
    }
    return statement;
}

Statement PostgresHistoricalConnection::_select_with_internal_meta_statement(
    const std::string& table_name, const std::string& select_only, const std::optional<Q>& conditions,
    const Pagination& pagination, const std::optional<std::vector<OrderBy>>& order_by) {
    Statement statement = _select_joined_rows(table_name, select_only, conditions, order_by);
    if (order_by && !order_by->empty()) {
        statement.text += _build_order_by_statement(*order_by, false, true);
    }
    append_page(statement, pagination);
    return statement;
}

std::string PostgresHistoricalConnection::_build_group_by_statement(const std::optional<std::vector<OrderBy>>& order_by,
                                                                    bool is_internal_table,
                                                                    bool use_internal_meta_tables) {
    std::string clause = " GROUP BY t1.partition_key, t1.range_key";
    if (order_by) {
        // Every ordering expression is grouped too, so that a metadata column can order the rows.
        for (const auto& item : *order_by) {
            clause += ", " + _order_by_expression(item.field_name, is_internal_table, use_internal_meta_tables);
        }
    }
    return clause;
}

}  // namespace korvex::pg_timeline
