#include "korvex/error.hpp"
#include "korvex/connections/sql_history_connection_mixin.hpp"

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/models/versions.hpp"

#include "korvex/table_schemas/base.hpp"
#include "korvex/table_schemas/constants.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace korvex {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separator;
        text += parts[i];
    }
    return text;
}

// A version marker, or a list holding one (the value of an IN).
bool holds_version_marker(const Value& value) {
    if (as_version_marker(value)) return true;
    if (value.is_string()) {
        const Value decoded = Value::parse(value.get_ref<const std::string&>(), nullptr, false);
        if (decoded.is_array()) return holds_version_marker(decoded);
    }
    if (value.is_array()) {
        for (const auto& element : value) {
            if (as_version_marker(element)) return true;
        }
    }
    return false;
}

void append_param(std::vector<Value>& params, Lookup lookup, const ConditionParam& param) {
    if (!std::holds_alternative<Value>(param)) {
        return;  // none (no condition) or NoValue (a predicate without marker)
    }
    const Value& value = std::get<Value>(param);
    if (lookup == Lookup::IN && value.is_array()) {
        // One marker per element of the decoded list.
        for (const auto& element : value) params.push_back(element);
        return;
    }
    params.push_back(value);
}

}  // namespace

std::string SqlHistoryConnectionMixin::_quote_name(const std::string& name) { return quote_sql_identifier(name); }

Statement SqlHistoryConnectionMixin::_select_statement(const std::string& table_name, const std::string& select_only,
                                                       const std::optional<Q>& conditions, const Pagination& pagination,
                                                       const std::optional<std::vector<OrderBy>>& order_by,
                                                       bool is_internal_table) {
    Statement statement;
    statement.text = "SELECT " + select_only + " FROM " + _table_reference(table_name);
    if (conditions && *conditions) {
        auto [condition_text, params] = _get_conditions_statement(*conditions, is_internal_table, false);
        if (!condition_text.empty()) {
            statement.text += " WHERE " + condition_text;
            statement.params = std::move(params);
        }
    }
    if (order_by && !order_by->empty()) {
        statement.text += _build_order_by_statement(*order_by, is_internal_table, false);
    }
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit) {
        statement.text += " LIMIT %s OFFSET %s";
        statement.params.emplace_back(*numbers->limit);
        statement.params.emplace_back(numbers->offset.value_or(0));
    }
    return statement;
}

std::pair<std::string, ConditionParam> SqlHistoryConnectionMixin::_nested_filter_statement(
    const std::string& field_name, const std::string& nested_fields, const SqlOperatorTemplate& sql_operator_template,
    const Value& value, std::optional<ValueType> value_type, bool is_internal_table, bool use_internal_meta_tables,
    const ReadScope&) {
    return _nested_filter_statement(field_name, nested_fields, sql_operator_template, value, value_type,
                                    is_internal_table, use_internal_meta_tables);
}

std::string SqlHistoryConnectionMixin::_order_by_expression(const std::string& field_name, bool is_internal_table,
                                                            bool use_internal_meta_tables, const ReadScope&) {
    return _order_by_expression(field_name, is_internal_table, use_internal_meta_tables);
}

Statement SqlHistoryConnectionMixin::_build_select_statement(const std::string& table_name,
                                                             const std::optional<QuerySpecifier>& query_specifier,
                                                             const std::optional<Q>& conditions,
                                                             const Pagination& pagination,
                                                             const std::optional<std::vector<OrderBy>>& order_by,
                                                             bool use_internal_meta_tables, const ReadScope&) {
    return _build_select_statement(table_name, query_specifier, conditions, pagination, order_by,
                                   use_internal_meta_tables);
}

std::pair<std::string, std::vector<Value>> SqlHistoryConnectionMixin::_get_conditions_statement(
    const Q& conditions, bool is_internal_table, bool use_internal_meta_tables) {
    return _get_conditions_statement(conditions, is_internal_table, use_internal_meta_tables, ReadScope{});
}

std::pair<std::string, std::vector<Value>> SqlHistoryConnectionMixin::_get_conditions_statement(
    const Q& conditions, bool is_internal_table, bool use_internal_meta_tables, const ReadScope& scope) {
    switch (conditions.kind()) {
        case Q::Kind::EMPTY:
            return {"", {}};
        case Q::Kind::LEAF: {
            const auto found = SQL_OPERATOR_MAP().find(conditions.lookup());
            if (found == SQL_OPERATOR_MAP().end()) {
                throw UsageError("no SQL operator for the look-up " +
                                            std::string(to_string(conditions.lookup())));
            }
            const SqlOperatorTemplate& sql_operator = found->second;
            const std::string& path = conditions.field();
            const auto split = path.find(FIELD_PATH_SEPARATOR);
            const std::string field = path.substr(0, split);
            const std::string nested =
                split == std::string::npos ? "" : path.substr(split + FIELD_PATH_SEPARATOR.size());

            if (field == ADDRESS_FIELD && nested == "object_version" && conditions.lookup() != Lookup::EQ &&
                holds_version_marker(conditions.value())) {
                throw UsageError("the version marker in " + printed(conditions.value()) + " can only be compared with " +
                                 "eq on " + path + ", not with " + std::string(to_string(conditions.lookup())));
            }
            std::pair<std::string, ConditionParam> predicate;
            if (split != std::string::npos || field == ADDRESS_FIELD || field == METADATA_FIELD) {
                if (nested.empty()) {
                    throw UsageError("the condition on " + path + " names no part below the field (write " +
                                                field + "__<part>, for example _address__object_id)");
                }
                predicate = _nested_filter_statement(field, nested, sql_operator, conditions.value(),
                                                     type_of(conditions.value()), is_internal_table,
                                                     use_internal_meta_tables, scope);
            } else {
                const std::string prefix =
                    use_internal_meta_tables && !is_internal_table ? std::string(MODEL_TABLE_ALIAS) + "." : "";
                predicate = {sql_operator.build_statement(_filter_column(field, conditions.value(), prefix, scope),
                                                          conditions.value(), "", "\""),
                             sql_operator.build_value(conditions.value())};
            }
            std::vector<Value> params;
            if (!predicate.first.empty()) append_param(params, conditions.lookup(), predicate.second);
            return {predicate.first, std::move(params)};
        }
        case Q::Kind::AND:
        case Q::Kind::OR: {
            // A child without condition restricts nothing: AND leaves it out, and an OR with one
            // such child restricts nothing at all.
            std::vector<std::string> texts;
            std::vector<Value> params;
            for (const auto& child : conditions.children()) {
                auto [text, child_params] =
                    _get_conditions_statement(child, is_internal_table, use_internal_meta_tables, scope);
                if (text.empty()) {
                    if (conditions.kind() == Q::Kind::OR) return {"", {}};
                    continue;
                }
                texts.push_back(std::move(text));
                params.insert(params.end(), child_params.begin(), child_params.end());
            }
            if (texts.size() <= 1) {
                return {texts.empty() ? "" : texts.front(), std::move(params)};
            }
            const char* separator = conditions.kind() == Q::Kind::AND ? " AND " : " OR ";
            return {"(" + joined(texts, separator) + ")", std::move(params)};
        }
        case Q::Kind::NOT: {
            auto [text, params] =
                _get_conditions_statement(conditions.children().at(0), is_internal_table, use_internal_meta_tables,
                                      scope);
            // Nothing is outside "no restriction".
            if (text.empty()) return {"FALSE", {}};
            return {"NOT (" + text + ")", std::move(params)};
        }
    }
    return {"", {}};
}

std::string SqlHistoryConnectionMixin::_filter_column(const std::string& field, const Value&,
                                                      const std::string& prefix) {
    return prefix + _quote_name(field);
}

std::string SqlHistoryConnectionMixin::_filter_column(const std::string& field, const Value& value,
                                                      const std::string& prefix, const ReadScope& scope) {
    // Beside the metadata, a column that the table at hand lacks reads as what stands in for it.
    if (!prefix.empty()) {
        if (const std::string* stand_in = scope.stand_in(field)) return *stand_in;
    }
    return _filter_column(field, value, prefix);
}

std::string SqlHistoryConnectionMixin::_build_order_by_statement(const std::vector<OrderBy>& order_by,
                                                                 bool is_internal_table,
                                                                 bool use_internal_meta_tables) {
    if (order_by.empty()) return "";
    std::vector<std::string> items;
    items.reserve(order_by.size());
    for (const auto& item : order_by) {
        items.push_back(_order_by_expression(item.field_name, is_internal_table, use_internal_meta_tables) +
                        (item.descending ? " DESC" : " ASC"));
    }
    return " ORDER BY " + joined(items, ", ");
}

QueriesByVersion SqlHistoryConnectionMixin::_build_queries_by_version(const Address& address,
                                                                      const std::optional<Q>& conditions) {
    std::vector<Q> parts;
    const std::string address_path = std::string(ADDRESS_FIELD) + FIELD_PATH_SEPARATOR;
    if (!address.object_id.empty()) {
        parts.emplace_back(address_path + "object_id", Lookup::EQ, address.object_id);
    }
    // ALL and an absent object version ask for every version: no condition.
    if (address.object_version == Versions::LATEST) {
        parts.emplace_back(address_path + "object_version", Lookup::EQ, std::string(to_string(Versions::LATEST)));
    } else if (address.object_version.is_specific() && !address.object_version.is_empty()) {
        parts.emplace_back(address_path + "object_version", Lookup::EQ, address.object_version.text());
    }
    if (conditions) parts.push_back(*conditions);
    Q combined = Q::all_of(std::move(parts));
    std::optional<Q> per_version = combined ? std::optional<Q>(std::move(combined)) : std::nullopt;

    std::vector<std::string> class_versions;
    if (address.class_version == Versions::ALL) {
        class_versions = ClassVersionManager().get_class_versions(address.class_name);
    } else if (address.class_version == Versions::LATEST) {
        class_versions.push_back(ClassVersionManager().get_latest_class_version(address.class_name).version);
    } else {
        // A named class version, or none: the one table of that version (or the unversioned one).
        QueriesByVersion one;
        one.emplace_back(address.class_version, std::move(per_version));
        return one;
    }
    QueriesByVersion queries;
    queries.reserve(class_versions.size());
    for (auto& version : class_versions) {
        queries.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::move(version)),
                             std::forward_as_tuple(per_version));
    }
    return queries;
}

Statement SqlHistoryConnectionMixin::_build_count_statement(const std::string& table_name,
                                                            const std::optional<Q>& conditions,
                                                            bool use_internal_meta_tables) {
    return _build_count_statement(table_name, conditions, use_internal_meta_tables, ReadScope{});
}

Statement SqlHistoryConnectionMixin::_build_count_statement(const std::string& table_name,
                                                            const std::optional<Q>& conditions,
                                                            bool use_internal_meta_tables, const ReadScope& scope) {
    // Counting the rows of the select itself keeps the count equal to what a query returns,
    // grouping included; the server drops the projection the count does not read.
    Statement rows = _build_select_statement(table_name, std::nullopt, conditions, Pagination{}, std::nullopt,
                                             use_internal_meta_tables, scope);
    return {"SELECT COUNT(*) FROM (" + rows.text + ") AS counted_rows", std::move(rows.params)};
}

DataMap SqlHistoryConnectionMixin::_process_result(DataMap result, const TableDescription&) {
    if (auto metadata = result.find(METADATA_FIELD); metadata != result.end() && metadata->is_string()) {
        // Text the JSON reader cannot hold (a number beyond the range of a double) stays text,
        // as the cursor left it, rather than failing the whole read.
        Value parsed = parse_json(metadata->get_ref<const std::string&>());
        if (!parsed.is_discarded()) *metadata = std::move(parsed);
    }
    return result;
}

std::vector<OrderBy> SqlHistoryConnectionMixin::_resolve_ordering(const std::string& table_name,
                                                                  const std::vector<OrderBy>& order_by) {
    std::vector<OrderBy> resolved = order_by;
    std::optional<TableDescription> model;
    std::optional<TableDescription> metadata;
    for (auto& item : resolved) {
        if (item.field_name.find(FIELD_PATH_SEPARATOR) != std::string::npos) continue;
        // Described only when a bare name asks, and once per call.
        if (!model) model = _describe_table(table_name);
        if (model->count(item.field_name) > 0) continue;
        if (!metadata) {
            metadata = _describe_table("metadata");
            (*metadata)["next_version"] = "text";  // computed by the join, not stored
        }
        if (metadata->count(item.field_name) > 0) {
            item.field_name = std::string(METADATA_FIELD) + FIELD_PATH_SEPARATOR + item.field_name;
        }
    }
    return resolved;
}

}  // namespace korvex

namespace korvex {

bool is_internal_table_name(const std::string& table_name) {
    return table_name.ends_with("metadata") || table_name.ends_with("reference");
}

Statement SqlHistoryConnectionMixin::_build_delete_statement(const std::string& table_name, const DataMap& data) {
    Statement statement;
    std::string conditions;
    for (const auto& [key, value] : data.items()) {
        if (!conditions.empty()) conditions += " AND ";
        conditions += _quote_name(key) + " = %s";
        statement.params.push_back(_to_sql_value(value));
    }
    statement.text = "DELETE FROM " + _table_reference(table_name) + " WHERE " + conditions;
    return statement;
}

std::vector<std::pair<std::string, Value>> address_keys(const std::string& operation, const Address& address,
                                                         const DataMap& data, const std::string& table_name) {
    std::vector<std::pair<std::string, Value>> keys;
    keys.reserve(4);  // a metadata row's are the most: room made once
    keys.emplace_back(PRIMARY_PARTITION_KEY, address.object_id);
    if (!is_internal_table_name(table_name)) {
        keys.emplace_back(SECONDARY_PARTITION_KEY, address.object_version.to_value());
    }
    if (table_name == "metadata") {
        const Value& entry = metadata_row_address(operation, data);
        keys.emplace_back("object_id", entry.at("object_id"));
        keys.emplace_back("object_version", entry.at("object_version"));
    }
    return keys;
}

const Value& metadata_row_address(const std::string& operation, const DataMap& data) {
    const auto entry = data.find("address");
    if (entry == data.end() || !entry->is_object() || !entry->contains("object_id") ||
        !entry->contains("object_version")) {
        throw UsageError(operation +
                         ": a metadata row needs an address entry holding object_id and object_version, got " +
                         printed(data));
    }
    return *entry;
}

DataMap SqlHistoryConnectionMixin::_keyed_row(const Address& address, const DataMap& data,
                                              const std::string& table_name) {
    DataMap row = data;
    for (auto& [column, value] : address_keys("put", address, data, table_name)) row[column] = std::move(value);
    return row;
}

std::string SqlHistoryConnectionMixin::_resolve_table_name(const Address& address) {
    // The rule reads the class name and version only; writes in a row mostly name one class.
    const bool fixed = !(address.class_version == Versions::LATEST);
    if (fixed && resolved_table_name_ && address.class_name == resolved_class_name_ &&
        address.class_version == resolved_class_version_) {
        return *resolved_table_name_;
    }
    std::string table_name = versioned_table_name(address);
    if (fixed) {
        resolved_class_name_ = address.class_name;
        resolved_class_version_ = address.class_version;
        resolved_table_name_ = table_name;
    }
    return table_name;
}

std::vector<std::pair<std::string, std::optional<Q>>> SqlHistoryConnectionMixin::_tables_to_read(
    const Address& address, const std::optional<Q>& conditions) {
    std::vector<std::pair<std::string, std::optional<Q>>> tables;
    QueriesByVersion queries = _build_queries_by_version(address, conditions);
    tables.reserve(queries.size());
    for (auto& [class_version, version_conditions] : queries) {
        // The address itself names the table when it asks for that class version (no copy).
        std::string table_name;
        if (class_version == address.class_version) {
            table_name = _resolve_table_name(address);
        } else {
            Address location = address.model_copy();
            location.class_version = class_version;
            table_name = _resolve_table_name(location);
        }
        const bool seen = std::any_of(tables.begin(), tables.end(), [&](const auto& t) { return t.first == table_name; });
        if (!seen) tables.emplace_back(std::move(table_name), std::move(version_conditions));
    }
    return tables;
}

namespace {

const std::string DISTINCT_KEY_PREFIX = "korvex_d";
const std::string ORDER_KEY_PREFIX = "korvex_k";

std::string key_columns(const std::string& prefix, const std::vector<std::string>& expressions) {
    std::string list;
    for (std::size_t i = 0; i < expressions.size(); ++i) {
        list += ", " + expressions[i] + " AS " + prefix + std::to_string(i);
    }
    return list;
}

}  // namespace

std::string distinct_key_columns(const std::vector<std::string>& expressions) {
    return key_columns(DISTINCT_KEY_PREFIX, expressions);
}

std::string order_key_columns(const std::vector<std::string>& expressions) {
    return key_columns(ORDER_KEY_PREFIX, expressions);
}

std::string distinct_key_names(std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) list += (i ? ", " : "") + DISTINCT_KEY_PREFIX + std::to_string(i);
    return list;
}

std::vector<std::string> selected_distinct(const std::set<std::string>& selected,
                                           const std::optional<QuerySpecifier>& query_specifier) {
    std::vector<std::string> distinct;
    if (!query_specifier) return distinct;
    const auto& wanted = query_specifier->distinct;
    for (const auto& name : selected) {
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) distinct.push_back(name);
    }
    return distinct;
}

bool calls_count(const std::string& selection) {
    char quote = 0;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        const char c = selection[i];
        if (quote != 0) {
            if (c == quote) quote = 0;  // a doubled quote closes and reopens: same outcome
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (selection.compare(i, 5, "COUNT") != 0) continue;
        const bool starts_word = i == 0 || !(std::isalnum(static_cast<unsigned char>(selection[i - 1])) ||
                                             selection[i - 1] == '_' || selection[i - 1] == '.');
        std::size_t next = i + 5;
        while (next < selection.size() && std::isspace(static_cast<unsigned char>(selection[next]))) ++next;
        if (starts_word && next < selection.size() && selection[next] == '(') return true;
    }
    return false;
}

Pagination rest_after_offset(const Pagination& pagination) {
    const auto* numbers = std::get_if<NumberPaginator>(&pagination);
    if (numbers && !numbers->limit && numbers->offset.value_or(0) > 0) {
        return NumberPaginator{std::numeric_limits<std::int64_t>::max(), numbers->offset};
    }
    return pagination;
}

void check_pagination(const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination)) {
        if (numbers->limit && *numbers->limit < 0) {
            throw UsageError("pagination limit must not be negative, got " + std::to_string(*numbers->limit));
        }
        if (numbers->offset && *numbers->offset < 0) {
            throw UsageError("pagination offset must not be negative, got " + std::to_string(*numbers->offset));
        }
    }
}

}  // namespace korvex
