#include "korvex_data/connections/implementations/pg_timeline_dialect.hpp"

#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace korvex::pg_timeline {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";

// Numbers compare as numeric whatever their mix of integer and real and however large (an
// integer cast would fail on 0.5 or on 3000000000, a real one would round); a JSON true or
// false reads as a boolean; everything else as the path's text.
std::string cast_type_of(ValueType value_type) {
    switch (value_type) {
        case ValueType::INTEGER:
        case ValueType::FLOAT: return "numeric";
        case ValueType::BOOLEAN: return "boolean";
        default: return "text";
    }
}

// The JSON kind (json_typeof) a path must hold to be compared as a number or a boolean; a
// value of another kind there (a text "true", a text that is no number) matches nothing rather
// than being read as that kind or failing the cast.
const char* json_kind_of(ValueType value_type) {
    switch (value_type) {
        case ValueType::INTEGER:
        case ValueType::FLOAT: return "number";
        case ValueType::BOOLEAN: return "boolean";
        default: return nullptr;
    }
}

// 'a'->>'b' for the path a__b: every step but the last keeps the JSON ("->"), the last yields
// its text ("->>"), which the cast reads; with `as_json` the last keeps the JSON too.
std::string json_path_selection(const std::string& path, bool as_json = false) {
    std::string selection;
    std::size_t start = 0;
    while (true) {
        const auto found = path.find(FIELD_PATH_SEPARATOR, start);
        const bool last = found == std::string::npos;
        selection += last && !as_json ? "->>" : "->";
        selection += quote_sql_literal(std::string_view(path).substr(start, last ? std::string::npos : found - start));
        if (last) return selection;
        start = found + FIELD_PATH_SEPARATOR.size();
    }
}

}  // namespace

std::string PostgresDialect::quote_name(const std::string& name) const { return quote_postgres_identifier(name); }

std::size_t PostgresDialect::identifier_max_bytes() const { return POSTGRES_IDENTIFIER_MAX_BYTES; }

std::string PostgresDialect::column_name(const std::string& name) const { return postgres_column_name(name); }

std::string PostgresDialect::metadata_source() const { return "(" + METADATA_SELECT_STATEMENT + ")"; }

const std::string& PostgresDialect::metadata_select_field() const { return METADATA_SELECT_FIELD; }

std::string PostgresDialect::latest_version_condition(bool joined) const {
    if (joined) {
        const std::string next_version = std::string(METADATA_TABLE_ALIAS) + ".\"next_version\"";
        return "(" + next_version + " IS NULL OR " + next_version + " = '')";
    }
    return "(cast(_metadata::json->'next_version' as text) IS NULL OR trim('\"' FROM "
           "cast(_metadata::json->'next_version' as text)) = '')";
}

namespace {

// A successor's version as next_version reads it.
const std::string SUCCESSOR_VERSION = "trim('\"' FROM cast(_m2.object_version as text))";

// The lateral join of one metadata row per version (of duplicates the one ordered first) with
// `next_version` computed beside it.
std::string metadata_lateral(const std::string& next_version) {
    return "JOIN LATERAL (SELECT _m.*, " + next_version + " AS next_version FROM metadata AS _m WHERE _m.object_id = " +
           MODEL_TABLE_ALIAS + ".partition_key AND _m.object_version = " + MODEL_TABLE_ALIAS +
           ".range_key ORDER BY _m.updated_at DESC NULLS LAST, _m.created_at DESC NULLS LAST, _m.partition_key,"
           " _m.prior_version, _m.is_deleted, _m.class_schema_type, cast(_m.address as text),"
           " cast(_m.class_schema_reference as text), cast(_m.class_meta_schema_reference as text),"
           " cast(_m.\"transaction\" as text) LIMIT 1) AS " + METADATA_TABLE_ALIAS + " ON true";
}

const std::string SUCCESSORS_OF_ROW =
    " FROM metadata AS _m2 WHERE _m2.object_id = _m.object_id AND _m2.prior_version = _m.object_version";

}  // namespace

std::string PostgresDialect::plain_metadata_join() const {
    static const std::string join =
        metadata_lateral("(SELECT coalesce(min(" + SUCCESSOR_VERSION + ") FILTER (WHERE " + SUCCESSOR_VERSION +
                         " <> ''), max('') FILTER (WHERE " + SUCCESSOR_VERSION + " = ''))" + SUCCESSORS_OF_ROW + ")");
    return join;
}

// Of a latest version's successors none has a non-empty version: its next_version is '' when one
// has an empty version, else none.
std::string PostgresDialect::plain_latest_metadata_join() const {
    static const std::string join = metadata_lateral("CASE WHEN EXISTS (SELECT 1" + SUCCESSORS_OF_ROW + " AND " +
                                                     SUCCESSOR_VERSION + " = '') THEN '' END");
    return join;
}

std::string PostgresDialect::plain_latest_version_condition() const {
    return std::string("NOT EXISTS (SELECT 1 FROM metadata AS _m2 WHERE _m2.object_id = ") + MODEL_TABLE_ALIAS +
           ".partition_key AND _m2.prior_version = " + MODEL_TABLE_ALIAS + ".range_key AND " + SUCCESSOR_VERSION +
           " <> '')";
}

namespace {

// The successors of the directly joined metadata row.
const std::string SUCCESSORS_OF_JOINED = std::string(" FROM metadata AS _m2 WHERE _m2.object_id = ") +
                                         METADATA_TABLE_ALIAS + ".object_id AND _m2.prior_version = " +
                                         METADATA_TABLE_ALIAS + ".object_version";

}  // namespace

std::string PostgresDialect::direct_metadata_join() const {
    static const std::string join = std::string("JOIN metadata AS ") + METADATA_TABLE_ALIAS + " ON " +
                                    METADATA_TABLE_ALIAS + ".object_id = " + MODEL_TABLE_ALIAS + ".partition_key AND " +
                                    METADATA_TABLE_ALIAS + ".object_version = " + MODEL_TABLE_ALIAS + ".range_key";
    return join;
}

std::string PostgresDialect::direct_metadata_column(const std::string& name, bool latest_only) const {
    if (name != "next_version") return metadata_column(name);
    static const std::string any = "(SELECT coalesce(min(" + SUCCESSOR_VERSION + ") FILTER (WHERE " +
                                   SUCCESSOR_VERSION + " <> ''), max('') FILTER (WHERE " + SUCCESSOR_VERSION +
                                   " = ''))" + SUCCESSORS_OF_JOINED + ")";
    static const std::string latest =
        "CASE WHEN EXISTS (SELECT 1" + SUCCESSORS_OF_JOINED + " AND " + SUCCESSOR_VERSION + " = '') THEN '' END";
    return latest_only ? latest : any;
}

std::string PostgresDialect::direct_latest_version_condition() const {
    static const std::string condition =
        "NOT EXISTS (SELECT 1" + SUCCESSORS_OF_JOINED + " AND " + SUCCESSOR_VERSION + " <> '')";
    return condition;
}

Value PostgresDialect::plain_metadata_number(double number) const {
    if (std::isnan(number)) return "NaN";
    if (std::isinf(number)) return number > 0 ? "Infinity" : "-Infinity";
    if (number == std::trunc(number) && std::fabs(number) < 1e15) {
        if (std::signbit(number)) return static_cast<std::int64_t>(number);
        return static_cast<std::uint64_t>(number);
    }
    return number;
}

std::string PostgresDialect::unjoined_model_column(const std::string& name) const {
    return std::string(MODEL_TABLE_ALIAS) + "." + quote_name(name);
}

std::string PostgresDialect::unjoined_object_id() const { return PRIMARY_PARTITION_KEY; }

std::string PostgresDialect::json_path_value(const std::string& column, const std::string& path,
                                             ValueType value_type) const {
    // The last step is read with ->>, which yields the text itself (a JSON string without its
    // quotes, escapes resolved), so no quote needs trimming: a value that itself begins or ends
    // with a double quote still compares as it is.
    const std::string cast =
        "cast(" + column + "::json" + json_path_selection(path) + " as " + cast_type_of(value_type) + ")";
    const char* kind = json_kind_of(value_type);
    if (kind == nullptr) return cast;
    return "CASE WHEN json_typeof(" + column + "::json" + json_path_selection(path, true) + ") = '" + kind + "' THEN " +
           cast + " END";
}

std::string PostgresDialect::distinct_key(const std::string& column, const std::string& data_type) const {
    return data_type == "json" ? "CAST(" + column + " AS text)" : column;
}

std::string PostgresDialect::first_of_each_group(const std::string& rows, const std::string& keys,
                                                 const std::string& order) const {
    return "SELECT * FROM (SELECT DISTINCT ON (" + keys + ") * FROM (" + rows + ") AS selected_rows ORDER BY " + keys +
           (order.empty() ? "" : ", " + order) + ") AS distinct_rows";
}

// A plain lower-case name reads the same bare; any other is quoted, so that neither a dot (a
// schema) nor a quote in a class name or version can change which table is written.
std::string PostgresDialect::insert_table_name(const std::string& table_name) const {
    return postgres_column_name(table_name);
}

// Text cannot hold a NUL byte (a JSON text can: it writes one as \u0000), and JSON has no NaN or
// infinity.
namespace {

// Whether `text` is ASCII without a NUL byte, which every check below passes; eight bytes at a time.
bool plain_ascii(const std::string& text) {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
    const char* at = text.data();
    const char* const end = at + text.size();
    for (; end - at >= 8; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        // A byte of 0x80 or more sets its high bit; with none, only a zero byte sets one in word - ONES.
        if (((word - ONES) | word) & HIGHS) return false;
    }
    for (; at != end; ++at) {
        if (*at == '\0' || static_cast<unsigned char>(*at) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> PostgresDialect::unstorable(const Value&, const Value& value, const std::string&) const {
    if (value.is_string() && plain_ascii(value.get_ref<const std::string&>())) return std::nullopt;
    if (value.is_string() && value.get_ref<const std::string&>().find('\0') != std::string::npos) {
        return "its text holds a NUL byte, which PostgreSQL text cannot store";
    }
    // The connection speaks UTF-8: the server would refuse the statement and fail the transaction.
    if (value.is_string() && holds_invalid_utf8(value)) {
        return "its text is not valid UTF-8";
    }
    if ((value.is_object() || value.is_array()) && holds_non_finite_number(value)) {
        return "it holds a NaN or an infinity inside a map or list, which JSON cannot store";
    }
    if ((value.is_object() || value.is_array()) && holds_invalid_utf8(value)) {
        return "it holds text that is not valid UTF-8 inside a map or list, which JSON cannot store";
    }
    return std::nullopt;
}

const PostgresDialect& postgres_dialect() {
    static const PostgresDialect dialect;
    return dialect;
}

}  // namespace korvex::pg_timeline
