// SqliteHistoricalConnection: the SELECT statements that read versioned rows, each joined with
// the metadata row of its own version, and query and count across the class versions of a
// class. SQLite orders, merges and pages: one class-version table is read by its own statement,
// several by one statement over the union of their rows. Rows are never sorted in memory.

#include "korvex/connections/absent_columns.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <algorithm>
#include <map>
#include <iterator>
#include <set>

namespace korvex::lite_history {
namespace {

const std::string MODEL_ALIAS = MODEL_TABLE_ALIAS;
const std::string METADATA_ALIAS = METADATA_TABLE_ALIAS;

std::string build_metadata_select_field() {
    // Each metadata column under its name; JSON columns as JSON, is_deleted as a boolean.
    const std::pair<const char*, const char*> FIELDS[] = {
        {"next_version", nullptr},     {"address", "json"},
        {"object_id", ""},             {"object_version", ""},
        {"prior_version", ""},         {"class_schema_reference", "json"},
        {"class_meta_schema_reference", "json"}, {"class_schema_type", ""},
        {"is_deleted", "boolean"},     {"created_at", ""},
        {"updated_at", ""},            {"transaction", "json"},
    };
    std::string field = "\njson_object(";
    for (std::size_t i = 0; i < std::size(FIELDS); ++i) {
        const auto& [name, kind] = FIELDS[i];
        const std::string column = METADATA_ALIAS + ".\"" + name + "\"";
        std::string value;
        if (kind == nullptr) {
            value = NEXT_VERSION_EXPRESSION;
        } else if (std::string(kind) == "json") {
            value = "json(" + column + ")";
        } else if (std::string(kind) == "boolean") {
            value = "json(CASE " + column + " WHEN 1 THEN 'true' WHEN 0 THEN 'false' END)";
        } else {
            value = column;
        }
        field += std::string(i ? ",\n    " : "\n    ") + "'" + name + "', " + value;
    }
    return field + "\n) AS _metadata\n";
}

void append_page(Statement& statement, const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit) {
        statement.text += " LIMIT %s OFFSET %s";
        statement.params.emplace_back(*numbers->limit);
        statement.params.emplace_back(numbers->offset.value_or(0));
    }
}

std::string ordered_keys(const std::vector<OrderBy>& order_by) {
    std::string list;
    for (std::size_t i = 0; i < order_by.size(); ++i) {
        list += (i ? ", korvex_k" : "korvex_k") + std::to_string(i) +
                (order_by[i].descending ? " DESC NULLS FIRST" : " ASC NULLS LAST");
    }
    return list;
}

// `rows` (whose last columns are `distinct_count` distinct keys, then one ordering key per
// `order_by` item) ordered by those keys and then `tiebreak`, keeping the first row of each
// group of equal distinct keys, and paged. The result says how many helper columns it carries.
Statement order_rows(Statement rows, std::size_t distinct_count, const std::vector<OrderBy>& order_by,
                     const std::string& tiebreak, const Pagination& pagination) {
    Statement statement{std::move(rows.text), std::move(rows.params)};
    std::string order = ordered_keys(order_by);
    if (!tiebreak.empty()) order += (order.empty() ? "" : ", ") + tiebreak;
    statement.helper_columns = distinct_count + order_by.size();
    if (distinct_count > 0) {
        // SQLite has no DISTINCT ON: the first row of each group by a window's row number.
        statement.text = "SELECT * FROM (SELECT *, row_number() OVER (PARTITION BY " +
                         distinct_key_names(distinct_count) + (order.empty() ? "" : " ORDER BY " + order) +
                         ") AS korvex_rank FROM (" + statement.text +
                         ") AS selected_rows) AS distinct_rows WHERE korvex_rank = 1";
        statement.helper_columns += 1;
    }
    if (!order.empty()) statement.text += " ORDER BY " + order;
    append_page(statement, pagination);
    return statement;
}

}  // namespace

const std::string NEXT_VERSION_EXPRESSION =
    "(SELECT _m2.object_version FROM metadata AS _m2 WHERE _m2.object_id = t2.object_id"
    " AND _m2.prior_version = t2.object_version LIMIT 1)";

const std::string METADATA_SELECT_FIELD = build_metadata_select_field();

Value decode_stored(Value value, const std::string& declared_type) {
    if (declared_type == "JSON" && value.is_string()) {
        Value parsed = Value::parse(value.get_ref<const std::string&>(), nullptr, false);
        if (!parsed.is_discarded()) return parsed;  // text that is not JSON stays as stored
    } else if (declared_type == "BOOLEAN" && value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number == 0 || number == 1) return Value(number == 1);
    }
    return value;
}

Statement SqliteHistoricalConnection::_build_select_statement(const std::string& table_name,
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
    std::set<std::string> names;
    if (query_specifier && query_specifier->only) names.insert(query_specifier->only->begin(), query_specifier->only->end());
    const std::vector<std::string> distinct = selected_distinct(names, query_specifier);
    const std::vector<OrderBy> ordering =
        order_by ? (joined ? _resolve_ordering(table_name, *order_by) : *order_by) : std::vector<OrderBy>{};
    const std::string prefix = joined ? MODEL_ALIAS + "." : "";

    std::string selection;
    for (const auto& name : names) selection += (selection.empty() ? "" : ", ") + prefix + _quote_name(name);
    if (selection.empty()) selection = joined ? MODEL_ALIAS + ".*" : "*";
    if (joined) selection += ", " + METADATA_SELECT_FIELD;

    if (distinct.empty()) {
        if (!joined) return _select_statement(table_name, selection, conditions, pagination, order_by, is_internal_table);
        Statement statement = _select_joined_rows(table_name, selection, conditions, ordering);
        statement.text += _build_order_by_statement(ordering, false, true);
        append_page(statement, pagination);
        return statement;
    }
    // Rows distinct on the names selected distinct: the first row of each group in the requested
    // order. The distinct and ordering keys ride along as the last columns, which the reader drops.
    std::vector<std::string> distinct_expressions;
    for (const auto& name : distinct) distinct_expressions.push_back(prefix + _quote_name(name));
    std::vector<std::string> order_expressions;
    for (const auto& item : ordering) {
        order_expressions.push_back(_order_by_expression(item.field_name, is_internal_table, joined));
    }
    selection += distinct_key_columns(distinct_expressions) + order_key_columns(order_expressions);
    Statement rows = joined ? _select_joined_rows(table_name, selection, conditions, ordering)
                            : _select_statement(table_name, selection, conditions, Pagination{}, std::nullopt,
                                                is_internal_table);
    return order_rows(std::move(rows), distinct.size(), ordering, "", pagination);
}

Statement SqliteHistoricalConnection::_select_joined_rows(const std::string& table_name,
                                                           const std::string& select_only,
                                                           const std::optional<Q>& conditions,
                                                           const std::optional<std::vector<OrderBy>>& order_by) {
    Statement statement;
    std::string& text = statement.text;
    text = "SELECT " + select_only + " FROM " + _quote_name(table_name) + " AS " + MODEL_ALIAS + " JOIN metadata AS " +
           METADATA_ALIAS + " ON " + MODEL_ALIAS + ".partition_key = " + METADATA_ALIAS + ".object_id AND " +
           MODEL_ALIAS + ".range_key = " + METADATA_ALIAS + ".object_version";
    if (conditions && *conditions) {
        auto [condition_text, params] = _get_conditions_statement(*conditions, false, true);
        statement.params = std::move(params);
        if (!condition_text.empty()) text += " WHERE " + condition_text;
    }
    // One row per version even when its metadata was written twice; an aggregate selection (a
    // COUNT call) is not grouped.
    if (!calls_count(select_only)) {
        text += " GROUP BY t1.partition_key, t1.range_key";
        for (const auto& item : order_by.value_or(std::vector<OrderBy>{})) {
            text += ", " + _order_by_expression(item.field_name, false, true);
        }
    }
    return statement;
}

std::vector<DataMap> SqliteHistoricalConnection::query(const Address& address,
                                                       const std::optional<QuerySpecifier>& query_specifier,
                                                       const std::optional<Q>& conditions,
                                                       const Pagination& pagination,
                                                       const std::optional<std::vector<OrderBy>>& order_by) {
    check_pagination(pagination);
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        throw KorvexConnectionError("Cursor pagination is not supported");
    }
    const auto tables = _tables_to_read(address, conditions);
    if (tables.empty()) return {};
    const Pagination page = rest_after_offset(pagination);
    if (tables.size() == 1) {
        return _query(tables.front().first, query_specifier, tables.front().second, page, order_by);
    }
    return _query_merged(tables, query_specifier, page, order_by);
}

std::vector<std::vector<TableColumn>> SqliteHistoricalConnection::_read_table_columns(const TablesToRead& tables) {
    std::vector<std::vector<TableColumn>> columns;
    for (const auto& table : tables) columns.push_back(_table_columns(table.first));
    return columns;
}

std::int64_t SqliteHistoricalConnection::count(const Address& address, const std::optional<Q>& conditions) {
    return _count_tables(_tables_to_read(address, conditions), conditions);
}

std::vector<DataMap> SqliteHistoricalConnection::_query(const std::string& table_name,
                                                        const std::optional<QuerySpecifier>& query_specifier,
                                                        const std::optional<Q>& conditions,
                                                        const Pagination& pagination,
                                                        const std::optional<std::vector<OrderBy>>& order_by) {
    const Statement statement =
        _build_select_statement(table_name, query_specifier, conditions, pagination, order_by, true);
    const auto cursor = execute(statement.text, statement.params);
    const TableDescription table_description = _describe_table(table_name);
    const auto& description = cursor->description();
    // The ordering and distinct keys at the end are the statement's, not the row's.
    const std::size_t kept = description.size() - std::min(statement.helper_columns, description.size());
    std::vector<DataMap> results;
    for (auto& row : cursor->fetchall()) {
        DataMap item = DataMap::object();
        for (std::size_t column = 0; column < kept; ++column) {
            item[description[column].name] = std::move(row[column]);
        }
        results.push_back(_process_result(item, table_description));
    }
    return results;
}

std::string SqliteHistoricalConnection::_merged_column(const TableColumn& column) {
    if (const std::string* stand_in = AbsentColumns::stand_in(column.name)) return *stand_in;
    return "+" + MODEL_ALIAS + "." + _quote_name(column.name);
}

std::string SqliteHistoricalConnection::_merged_distinct_key(const TableColumn& column) {
    if (const std::string* stand_in = AbsentColumns::stand_in(column.name)) return *stand_in;
    return MODEL_ALIAS + "." + _quote_name(column.name);
}

Statement SqliteHistoricalConnection::_order_rows(Statement rows, std::size_t distinct_count,
                                                  const std::vector<OrderBy>& order_by, const std::string& tiebreak,
                                                  const Pagination& pagination) {
    return order_rows(std::move(rows), distinct_count, order_by, tiebreak, pagination);
}

}  // namespace korvex::lite_history
