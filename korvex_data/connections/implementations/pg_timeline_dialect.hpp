#pragma once
// How PostgreSQL writes the store's statements.

#include "korvex/connections/sql_dialect.hpp"

namespace korvex::pg_timeline {

class PostgresDialect : public SqlDialect {
public:
    // Double-quoted, and refused when PostgreSQL would cut it (over 63 bytes) or cannot hold it.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override;
    // A plain lower-case name bare, any other quoted.
    std::string insert_table_name(const std::string& table_name) const override;
    // Text with a NUL byte or not UTF-8; a map or list with a NaN, an infinity or such text.
    std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                          const std::string& data_type) const override;
    const char* engine_noun() const override { return "the server"; }
};

// The one instance every connection shares.
const PostgresDialect& postgres_dialect();

}  // namespace korvex::pg_timeline
