#include "korvex_data/connections/implementations/pg_timeline_dialect.hpp"

#include "korvex/connections/sql_quoting.hpp"

namespace korvex::pg_timeline {

std::string PostgresDialect::quote_name(const std::string& name) const { return quote_postgres_identifier(name); }

std::size_t PostgresDialect::identifier_max_bytes() const { return POSTGRES_IDENTIFIER_MAX_BYTES; }

// A plain lower-case name reads the same bare; any other is quoted, so that neither a dot (a
// schema) nor a quote in a class name or version can change which table is written.
std::string PostgresDialect::insert_table_name(const std::string& table_name) const {
    return postgres_column_name(table_name);
}

// Text cannot hold a NUL byte (a JSON text can: it writes one as \u0000), and JSON has no NaN or
// infinity.
std::optional<std::string> PostgresDialect::unstorable(const Value&, const Value& value, const std::string&) const {
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
