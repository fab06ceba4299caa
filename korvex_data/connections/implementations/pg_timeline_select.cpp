// PostgresHistoricalConnection: the SELECT statements that read versioned rows, each joined with
// the metadata of its own version, which is aggregated into one _metadata object per row.

#include "korvex/error.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <algorithm>
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
    const auto is_distinct = [&](const std::string& name) {
        const auto& distinct = query_specifier->distinct;
        return std::find(distinct.begin(), distinct.end(), name) != distinct.end();
    };

    if (!use_internal_meta_tables || is_internal_table) {
        std::string selection = "*";
        if (query_specifier && query_specifier->only && !query_specifier->only->empty()) {
            // std::set orders by code point, which puts the underscore of _metadata before letters.
            std::set<std::string> names(query_specifier->only->begin(), query_specifier->only->end());
            if (!is_internal_table) names.insert(METADATA_FIELD);
            selection.clear();
            for (const auto& name : names) {
                if (!selection.empty()) selection += ", ";
                selection += (is_distinct(name) ? "distinct " : "") + postgres_column_name(name);
            }
        }
        return _select_statement(table_name, selection, conditions, pagination, order_by, is_internal_table);
    }

    std::string selection;
    if (query_specifier) {
        if (!query_specifier->only) {
            throw UsageError("query_specifier.only must list the fields to select (an empty list for all)");
        }
        const std::set<std::string> names(query_specifier->only->begin(), query_specifier->only->end());
        for (const auto& name : names) {
            if (!selection.empty()) selection += ", ";
            selection += (is_distinct(name) ? "DISTINCT " : "") + MODEL_ALIAS + "." + postgres_column_name(name);
        }
    }
    if (selection.empty()) selection = MODEL_ALIAS + ".*";
    selection += ", " + METADATA_SELECT_FIELD;
    return _select_with_internal_meta_statement(table_name, selection, conditions, pagination, order_by);
}

Statement PostgresHistoricalConnection::_select_with_internal_meta_statement(
    const std::string& table_name, const std::string& select_only, const std::optional<Q>& conditions,
    const Pagination& pagination, const std::optional<std::vector<OrderBy>>& order_by) {
    Statement statement;
    std::string& text = statement.text;
    text.reserve(select_only.size() + METADATA_SELECT_STATEMENT.size() + 256);
    text += "SELECT " + select_only + " ";
    text += "FROM " + quote_postgres_identifier(table_name) + " AS " + MODEL_ALIAS + " ";
    text += "JOIN (" + METADATA_SELECT_STATEMENT + ") AS " + METADATA_ALIAS + " ";
    text += "ON " + MODEL_ALIAS + ".partition_key = " + METADATA_ALIAS + ".object_id ";
    text += "AND " + MODEL_ALIAS + ".range_key = " + METADATA_ALIAS + ".object_version";
    if (conditions && *conditions) {
        auto [condition_text, params] = _get_conditions_statement(*conditions, false, true);
        statement.params = std::move(params);
        if (!condition_text.empty()) text += " WHERE " + condition_text;
    }
    // An aggregate selection (a COUNT) is not grouped. Only the selection is looked at: a table
    // or a condition whose name holds COUNT is grouped like any other.
    if (select_only.find("COUNT") == std::string::npos) {
        text += _build_group_by_statement(order_by, false, true);
    }
    if (order_by && !order_by->empty()) {
        text += _build_order_by_statement(*order_by, false, true);
    }
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit) {
        text += " LIMIT %s OFFSET %s";
        statement.params.emplace_back(*numbers->limit);
        statement.params.emplace_back(numbers->offset.value_or(0));
    }
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
