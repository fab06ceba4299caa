#pragma once
// How PostgreSQL writes the store's statements.

#include "korvex/connections/sql_dialect.hpp"

namespace korvex::pg_timeline {

class PostgresDialect : public SqlDialect {
public:
    // Double-quoted, and refused when PostgreSQL would cut it (over 63 bytes) or cannot hold it.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override;
};

// The one instance every connection shares.
const PostgresDialect& postgres_dialect();

}  // namespace korvex::pg_timeline
