#include "korvex_data/connections/implementations/ice_history_dialect.hpp"

#include "korvex/connections/constants.hpp"
#include "korvex/error.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/ice_history.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string_view>

namespace korvex::ice_history {

std::pair<std::string, std::size_t> question_markers(const std::string& query) {
    static const std::string_view PAGE_BOUNDS[] = {" LIMIT %s", " OFFSET %s"};
    std::string text;
    text.reserve(query.size());
    std::size_t markers = 0;
    std::size_t i = 0;
    while (i < query.size()) {
        // A quoted name is the name as written: its '%' is never doubled, so it holds no marker.
        if (query[i] == '`') {
            std::size_t end = i + 1;
            while (end < query.size()) {
                if (query[end] != '`') {
                    ++end;
                } else if (end + 1 < query.size() && query[end + 1] == '`') {
                    end += 2;
                } else {
                    break;
                }
            }
            end = std::min(end + 1, query.size());
            text.append(query, i, end - i);
            i = end;
            continue;
        }
        // A text literal's '%' is doubled like the statement's, but a backquote in it opens no name.
        if (query[i] == '\'' || query[i] == '"') {
            const char quote = query[i];
            text += query[i++];
            while (i < query.size() && query[i] != quote) {
                if (query[i] == '\\' && i + 1 < query.size()) {
                    text.append(query, i, 2);
                    i += 2;
                } else if (query[i] == '%' && i + 1 < query.size() && (query[i + 1] == '%' || query[i + 1] == 's')) {
                    if (query[i + 1] == 's') ++markers;
                    text += query[i + 1] == 's' ? '?' : '%';
                    i += 2;
                } else {
                    text += query[i++];
                }
            }
            if (i < query.size()) text += query[i++];
            continue;
        }
        // A page's bounds must be INT for Spark, and integer parameters travel as BIGINT; a bound
        // beyond INT's range (more rows than Spark returns) reads as INT's largest value.
        bool bound = false;
        for (const std::string_view clause : PAGE_BOUNDS) {
            if (query.compare(i, clause.size(), clause) == 0) {
                text += clause.substr(0, clause.size() - 2);
                text += "CAST(least(?, 2147483647) AS INT)";
                ++markers;
                i += clause.size();
                bound = true;
                break;
            }
        }
        if (bound) continue;
        if (query[i] == '%' && i + 1 < query.size() && query[i + 1] == 's') {
            text += '?';
            ++markers;
            i += 2;
        } else if (query[i] == '%' && i + 1 < query.size() && query[i + 1] == '%') {
            text += '%';
            i += 2;
        } else {
            text += query[i++];
        }
    }
    return {std::move(text), markers};
}
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";
const std::string METADATA_PREFIX = std::string(METADATA_TABLE_ALIAS) + ".";

std::vector<std::string> path_steps(const std::string& path) {
    std::vector<std::string> steps;
    std::size_t start = 0;
    while (true) {
        const auto found = path.find(FIELD_PATH_SEPARATOR, start);
        steps.push_back(path.substr(start, found == std::string::npos ? std::string::npos : found - start));
        if (found == std::string::npos) return steps;
        start = found + FIELD_PATH_SEPARATOR.size();
    }
}

// "$['a']['b']" for the path a__b, as a Spark string literal. A variant path reads a bracketed
// key up to its closing quote, escapes nothing, and takes either quote: a key holding a single
// quote is written in double quotes. A key holding both cannot be named, and is refused rather
// than read as another path.
std::string variant_path_literal(const std::string& path) {
    std::string selection = "$";
    for (const std::string& step : path_steps(path)) {
        const char quote = step.find('\'') == std::string::npos ? '\'' : '"';
        if (step.find(quote) != std::string::npos) {
            throw UsageError("the JSON path step " + printed(Value(step)) +
                             " holds both kinds of quote, which a Spark JSON path cannot name");
        }
        selection += std::string("[") + quote + step + quote + "]";
    }
    // '%' written as "%%", so that it cannot pose as a parameter marker.
    std::string literal;
    for (const char c : quote_spark_string(selection)) literal += c == '%' ? std::string("%%") : std::string(1, c);
    return literal;
}

const char* const METADATA_FIELDS[] = {"address",           "prior_version",
                                       "class_schema_reference", "class_meta_schema_reference",
                                       "class_schema_type", "is_deleted",
                                       "created_at",        "updated_at",
                                       "transaction"};

std::string build_metadata_select_field() {
    std::string field = "named_struct('next_version', t2.`next_version`, 'address', t2.`address`, 'object_id', "
                        "t2.`object_id`, 'object_version', t2.`object_version`";
    for (const char* name : METADATA_FIELDS) {
        if (std::string(name) == "address") continue;
        field += std::string(", '") + name + "', t2.`" + name + "`";
    }
    return field + ") AS _metadata";
}

const std::string METADATA_SELECT_FIELD = build_metadata_select_field();

bool above_integer_range(const Value& value) {
    return value.is_number_unsigned() &&
           value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

}  // namespace

void SparkDialect::locate(const std::string& catalog, const std::string& namespace_name) {
    catalog_ = catalog;
    namespace_ = namespace_name;
    write_metadata_source();
}

void SparkDialect::read_metadata_from(const std::optional<std::string>& branch) {
    metadata_branch_ = branch;
    write_metadata_source();
}

void SparkDialect::write_metadata_source() {
    std::string metadata = table_reference("metadata");
    if (metadata_branch_) metadata += "." + quote_name(*metadata_branch_);
    // One row per version, even when its metadata was written twice, and the version written
    // after it, found by an outer join rather than a sub-select per row.
    std::string grouped = "SELECT _m.address.object_id AS object_id, _m.address.object_version AS object_version";
    for (const char* name : METADATA_FIELDS) {
        grouped += std::string(", first(_m.`") + name + "`) AS `" + name + "`";
    }
    grouped += " FROM " + metadata + " AS _m GROUP BY _m.address.object_id, _m.address.object_version";
    const std::string following =
        "SELECT _m2.address.object_id AS object_id, _m2.prior_version AS prior_version, "
        "min(_m2.address.object_version) AS next_version FROM " +
        metadata + " AS _m2 GROUP BY _m2.address.object_id, _m2.prior_version";
    metadata_source_ = "(SELECT _g.*, _n.next_version FROM (" + grouped + ") AS _g LEFT JOIN (" + following +
                       ") AS _n ON _n.object_id = _g.object_id AND _n.prior_version = _g.object_version)";
}

std::string SparkDialect::table_reference(const std::string& table_name) const {
    std::string reference;
    for (const std::string* part : {&catalog_, &namespace_}) {
        if (!part->empty()) reference += spark_identifier(*part) + ".";
    }
    return reference + quote_name(table_name);
}

std::vector<SparkDialect::TableMention> SparkDialect::main_table_mentions(const std::string& text) const {
    std::string prefix;
    for (const std::string* part : {&catalog_, &namespace_}) {
        if (!part->empty()) prefix += spark_identifier(*part) + ".";
    }
    static const std::string AS = " AS ";
    std::vector<TableMention> mentions;
    std::size_t i = 0;
    // Skips a quoted run from its opening quote: a literal ('...' or "...", backslash escapes) or
    // a quoted name (`...`, doubled backticks). Returns the position after its closing quote.
    const auto skip_quoted = [&](std::size_t at) {
        const char quote = text[at];
        for (std::size_t j = at + 1; j < text.size(); ++j) {
            if (quote != '`' && text[j] == '\\') {
                ++j;
            } else if (text[j] == quote) {
                if (quote == '`' && j + 1 < text.size() && text[j + 1] == '`') {
                    ++j;
                    continue;
                }
                return j + 1;
            }
        }
        return text.size();
    };
    while (i < text.size()) {
        if (text.compare(i, prefix.size(), prefix) == 0 && i + prefix.size() < text.size() &&
            text[i + prefix.size()] == '`' && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '(')) {
            const std::size_t name_start = i + prefix.size();
            const std::size_t name_end = skip_quoted(name_start);
            if (text.compare(name_end, AS.size(), AS) == 0) {
                std::string table;
                for (std::size_t j = name_start + 1; j + 1 < name_end; ++j) {
                    table += text[j];
                    if (text[j] == '`') ++j;
                }
                mentions.push_back({i, name_end, std::move(table)});
            }
            i = name_end;
        } else if (text[i] == '\'' || text[i] == '"' || text[i] == '`') {
            i = skip_quoted(i);
        } else {
            ++i;
        }
    }
    return mentions;
}

std::string SparkDialect::pin_snapshots(const std::string& text, const std::vector<TableMention>& mentions,
                                        const std::map<std::string, std::optional<std::int64_t>>& snapshots) {
    std::string pinned;
    std::size_t copied = 0;
    for (const auto& mention : mentions) {
        const auto found = snapshots.find(mention.table);
        if (found == snapshots.end()) continue;
        pinned.append(text, copied, mention.begin - copied);
        const std::string reference = text.substr(mention.begin, mention.end - mention.begin);
        if (found->second) {
            pinned += reference + " VERSION AS OF " + std::to_string(*found->second);
        } else {
            pinned += "(SELECT * FROM " + reference + " WHERE false)";
        }
        copied = mention.end;
    }
    return pinned.append(text, copied, std::string::npos);
}

std::string SparkDialect::quote_name(const std::string& name) const {
    if (name.empty()) throw UsageError("an empty name cannot name a Spark table or column");
    if (name.find('\0') != std::string::npos) {
        throw UsageError("the name " + printed(Value(name)) + " holds a NUL byte, which Spark cannot hold");
    }
    return quote_spark_identifier(name);
}

const std::string& SparkDialect::metadata_select_field() const { return METADATA_SELECT_FIELD; }

std::string SparkDialect::latest_version_condition(bool joined) const {
    if (joined) return "(t2.`next_version` IS NULL OR t2.`next_version` = '')";
    return "(_metadata.next_version IS NULL OR _metadata.next_version = '')";
}

std::string SparkDialect::unjoined_object_id() const { return quote_name(PRIMARY_PARTITION_KEY); }

std::string SparkDialect::json_path_value(const std::string& column, const std::string& path,
                                          ValueType value_type) const {
    if (column.starts_with(METADATA_PREFIX)) {
        // A metadata column is a struct: its fields are read by name.
        std::string field = column;
        for (const std::string& step : path_steps(path)) field += "." + quote_name(step);
        switch (value_type) {
            case ValueType::INTEGER:
            case ValueType::FLOAT: return "try_cast(" + field + " AS DOUBLE)";
            case ValueType::BOOLEAN: return "try_cast(" + field + " AS BOOLEAN)";
            default: return "CAST(" + field + " AS STRING)";
        }
    }
    const std::string literal = variant_path_literal(path);
    const std::string variant = "try_parse_json(" + column + ")";
    const std::string kind = "schema_of_variant(variant_get(" + variant + ", " + literal + "))";
    switch (value_type) {
        case ValueType::INTEGER:
        case ValueType::FLOAT:
            return "CASE WHEN " + kind + " IN ('BIGINT', 'INT', 'SMALLINT', 'TINYINT', 'DOUBLE', 'FLOAT') OR " + kind +
                   " LIKE 'DECIMAL%%' THEN try_variant_get(" + variant + ", " + literal + ", 'double') END";
        case ValueType::BOOLEAN:
            return "CASE WHEN " + kind + " = 'BOOLEAN' THEN try_variant_get(" + variant + ", " + literal +
                   ", 'boolean') END";
        default: return "try_variant_get(" + variant + ", " + literal + ", 'string')";
    }
}

ConditionParam SparkDialect::json_path_param(ConditionParam param, ValueType kind) const {
    if (kind == ValueType::INTEGER || kind == ValueType::FLOAT || kind == ValueType::BOOLEAN) return param;
    return as_text_param(std::move(param));
}

std::string SparkDialect::first_of_each_group(const std::string& rows, const std::string& keys,
                                              const std::string& order) const {
    return "SELECT * FROM (SELECT *, row_number() OVER (PARTITION BY " + keys +
           (order.empty() ? " ORDER BY " + keys : " ORDER BY " + order) + ") AS korvex_rank FROM (" + rows +
           ") AS selected_rows) AS distinct_rows WHERE korvex_rank = 1";
}

std::string SparkDialect::null_of_type(const std::string& type) const {
    return "CAST(NULL AS " + (type == JSON_TYPE ? std::string("STRING") : type) + ")";
}

std::optional<std::string> SparkDialect::unstorable(const Value& given, const Value& value,
                                                    const std::string& type) const {
    if (holds_invalid_utf8(given)) return "its text is not valid UTF-8";
    if (value.is_null()) return std::nullopt;
    if (type == JSON_TYPE || type == "STRING") {
        if (holds_non_finite_number(given) || (given.is_number_float() && !std::isfinite(given.get<double>()))) {
            return "it is or holds a NaN or an infinity, which a " + std::string(type == JSON_TYPE ? "JSON" : "text") +
                   " column cannot store";
        }
        return std::nullopt;
    }
    if (type == "BIGINT") {
        if (above_integer_range(value)) return "it is an integer above the 64-bit range";
        if (!value.is_number_integer()) return printed(given) + " is not a whole number, which a BIGINT column holds";
        return std::nullopt;
    }
    if (type == "DOUBLE" || type == "FLOAT") {
        if (!value.is_number()) return printed(given) + " is not a number, which a DOUBLE column holds";
        return std::nullopt;
    }
    if (type == "BOOLEAN") {
        if (!value.is_boolean()) return printed(given) + " is not true or false, which a BOOLEAN column holds";
        return std::nullopt;
    }
    if (type.starts_with("STRUCT") && !value.is_object() && !value.is_string()) {
        return printed(given) + " is not a map, which a struct column holds";
    }
    if (type.starts_with("ARRAY") && !value.is_array() && !value.is_string()) {
        return printed(given) + " is not a list, which an array column holds";
    }
    return std::nullopt;
}

}  // namespace korvex::ice_history
