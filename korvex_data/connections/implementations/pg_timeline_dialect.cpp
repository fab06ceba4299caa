#include "korvex_data/connections/implementations/pg_timeline_dialect.hpp"

#include "korvex/connections/sql_quoting.hpp"

namespace korvex::pg_timeline {

std::string PostgresDialect::quote_name(const std::string& name) const { return quote_postgres_identifier(name); }

std::size_t PostgresDialect::identifier_max_bytes() const { return POSTGRES_IDENTIFIER_MAX_BYTES; }

const PostgresDialect& postgres_dialect() {
    static const PostgresDialect dialect;
    return dialect;
}

}  // namespace korvex::pg_timeline
