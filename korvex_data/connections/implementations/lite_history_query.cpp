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

std::vector<OrderBy> SqliteHistoricalConnection::_resolve_ordering(const std::string& table_name,
                                                                   const std::vector<OrderBy>& order_by) {
    std::vector<OrderBy> resolved = order_by;
    std::optional<TableDescription> model;
    std::optional<TableDescription> metadata;
    for (auto& item : resolved) {
        if (item.field_name.find("__") != std::string::npos) continue;
        if (!model) model = _describe_table(table_name);
        if (model->count(item.field_name) > 0) continue;
        if (!metadata) {
            metadata = _describe_table("metadata");
            (*metadata)["next_version"] = "TEXT";
        }
        if (metadata->count(item.field_name) > 0) item.field_name = std::string(METADATA_FIELD) + "__" + item.field_name;
    }
    return resolved;
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
    std::vector<std::string> distinct;
    for (const auto& name : names) {
        const auto& wanted = query_specifier->distinct;
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) distinct.push_back(name);
    }
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

std::vector<std::map<std::string, std::string>> SqliteHistoricalConnection::absent_column_stand_ins(
    const std::vector<std::pair<std::string, std::optional<Q>>>& tables) {
    std::set<std::string> every_column;
    for (const auto& table : tables) {
        for (const auto& column : _table_columns(table.first)) every_column.insert(column.name);
    }
    std::vector<std::map<std::string, std::string>> absent(tables.size());
    for (std::size_t table = 0; table < tables.size(); ++table) {
        for (const auto& name : every_column) absent[table].emplace(name, "NULL");
        for (const auto& column : _table_columns(tables[table].first)) absent[table].erase(column.name);
    }
    return absent;
}

std::int64_t SqliteHistoricalConnection::count(const Address& address, const std::optional<Q>& conditions) {
    std::int64_t total = 0;
    const auto tables = _tables_to_read(address, conditions);
    // Over several class-version tables, a condition on a field that some lack reads it as NULL
    // there, as the merged query does.
    const auto absent = tables.size() > 1 && names_object_fields(conditions) ? absent_column_stand_ins(tables)
                                          : std::vector<std::map<std::string, std::string>>(tables.size());
    for (std::size_t table = 0; table < tables.size(); ++table) {
        const auto& [table_name, version_conditions] = tables[table];
        const AbsentColumns absent_here(absent[table]);
        const Statement statement = _build_count_statement(table_name, version_conditions, true);
        const auto row = execute(statement.text, statement.params)->fetchone();
        if (row && !row->empty() && row->front().is_number_integer()) total += row->front().get<std::int64_t>();
    }
    return total;
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

// One statement over all tables: each branch lays its row out in its own columns (NULLs in every
// other branch's), beside its metadata and its ordering keys; SQLite orders the union by those
// keys (then by table, as the tables were listed) and takes the page. The columns are read
// undecoded (unary plus) and decoded by their table's declared types.
std::vector<DataMap> SqliteHistoricalConnection::_query_merged(
    const std::vector<std::pair<std::string, std::optional<Q>>>& tables,
    const std::optional<QuerySpecifier>& query_specifier, const Pagination& pagination,
    const std::optional<std::vector<OrderBy>>& order_by) {
    if (query_specifier && !query_specifier->only) {
        throw UsageError("query_specifier.only must list the fields to select (an empty list for all)");
    }
    std::set<std::string> only;
    if (query_specifier) only.insert(query_specifier->only->begin(), query_specifier->only->end());
    std::vector<std::string> distinct;
    for (const auto& name : only) {
        const auto& names = query_specifier->distinct;
        if (std::find(names.begin(), names.end(), name) != names.end()) distinct.push_back(name);
    }
    // A branch reads the columns its table lacks as NULL (AbsentColumns).
    const auto absent = absent_column_stand_ins(tables);
    std::map<std::string, std::string> union_types;  // every column some table has, with its type
    for (const auto& table : tables) {
        for (const auto& column : _table_columns(table.first)) union_types.emplace(column.name, column.type);
    }
    // The columns each branch returns, with their declared types: the selected names, or all of
    // the table's.
    std::vector<std::vector<ColumnInfo>> layouts;
    for (const auto& table : tables) {
        const std::vector<ColumnInfo>& columns = _table_columns(table.first);
        if (only.empty()) {
            layouts.push_back(columns);
            continue;
        }
        std::vector<ColumnInfo> selected;
        for (const auto& name : only) {
            const auto found = std::find_if(columns.begin(), columns.end(), [&](const ColumnInfo& c) { return c.name == name; });
            const auto elsewhere = union_types.find(name);
            selected.push_back({name, found != columns.end()        ? found->type
                                      : elsewhere != union_types.end() ? elsewhere->second
                                                                       : "TEXT"});
        }
        layouts.push_back(std::move(selected));
    }
    const std::vector<OrderBy> ordering = order_by.value_or(std::vector<OrderBy>{});

    Statement merged;
    for (std::size_t branch = 0; branch < tables.size(); ++branch) {
        const auto& [table_name, conditions] = tables[branch];
        const AbsentColumns absent_here(absent[branch]);
        std::string selection = std::to_string(branch) + " AS korvex_branch";
        for (std::size_t other = 0; other < layouts.size(); ++other) {
            for (const auto& column : layouts[other]) {
                selection += other != branch                          ? ", NULL"
                             : absent[branch].count(column.name) > 0 ? ", NULL"
                                                                     : ", +" + MODEL_ALIAS + "." + _quote_name(column.name);
            }
        }
        selection += ", " + METADATA_SELECT_FIELD;
        std::vector<std::string> distinct_expressions;
        for (const auto& name : distinct) {
            distinct_expressions.push_back(absent[branch].count(name) > 0 ? "NULL" : MODEL_ALIAS + "." + _quote_name(name));
        }
        // A bare name that some table of the read has names that column in every branch.
        std::vector<OrderBy> resolved = _resolve_ordering(table_name, ordering);
        for (std::size_t i = 0; i < resolved.size(); ++i) {
            if (union_types.count(ordering[i].field_name) > 0) resolved[i].field_name = ordering[i].field_name;
        }
        std::vector<std::string> order_expressions;
        for (const auto& item : resolved) order_expressions.push_back(_order_by_expression(item.field_name, false, true));
        selection += distinct_key_columns(distinct_expressions) + order_key_columns(order_expressions);

        Statement rows = _select_joined_rows(table_name, selection, conditions, resolved);
        merged.text += (branch ? " UNION ALL " : "") + std::string("SELECT * FROM (") + rows.text + ")";
        merged.params.insert(merged.params.end(), rows.params.begin(), rows.params.end());
    }
    const Statement statement = order_rows(std::move(merged), distinct.size(), ordering, "korvex_branch", pagination);
    const auto cursor = execute(statement.text, statement.params);

    std::vector<std::size_t> offsets;  // where each branch's columns begin
    std::size_t next = 1;
    for (const auto& layout : layouts) {
        offsets.push_back(next);
        next += layout.size();
    }
    const std::size_t metadata_column = next;
    std::vector<TableDescription> descriptions;
    for (const auto& table : tables) descriptions.push_back(_describe_table(table.first));

    std::vector<DataMap> results;
    for (auto& row : cursor->fetchall()) {
        if (row.size() < metadata_column + 1) {
            throw Error("a merged result row has " + std::to_string(row.size()) + " values for at least " +
                        std::to_string(metadata_column + 1) + " columns");
        }
        const auto branch = row.at(0).get<std::size_t>();
        DataMap item = DataMap::object();
        for (std::size_t column = 0; column < layouts.at(branch).size(); ++column) {
            const ColumnInfo& info = layouts[branch][column];
            if (absent[branch].count(info.name) > 0) continue;  // the object's class version has no such field
            item[info.name] = decode_stored(std::move(row[offsets[branch] + column]), info.type);
        }
        item[METADATA_FIELD] = std::move(row[metadata_column]);
        results.push_back(_process_result(item, descriptions[branch]));
    }
    return results;
}

}  // namespace korvex::lite_history
