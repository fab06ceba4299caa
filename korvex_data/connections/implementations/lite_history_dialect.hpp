#pragma once
// How SQLite writes the store's statements.

#include "korvex/connections/sql_dialect.hpp"

namespace korvex::lite_history {

class SqliteDialect : public SqlDialect {
public:
    // Double-quoted with quotes doubled; refused when empty or holding a NUL byte.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override { return 0; }
};

// The one instance every connection shares.
const SqliteDialect& sqlite_dialect();

}  // namespace korvex::lite_history
