#pragma once
// How SQLite writes the store's statements.

#include "korvex/connections/sql_dialect.hpp"

namespace korvex::lite_history {

class SqliteDialect : public SqlDialect {
public:
    // Double-quoted with quotes doubled; refused when empty or holding a NUL byte.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override { return 0; }
    // Quoted, as every name.
    std::string insert_table_name(const std::string& table_name) const override;
    // What SQLite would keep as another kind of value than the column's type holds (it keeps any
    // value in any column); a text may hold a NUL byte: SQLite keeps every byte of a bound text.
    std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                          const std::string& data_type) const override;
    const char* engine_noun() const override { return "SQLite"; }
};

// The one instance every connection shares.
const SqliteDialect& sqlite_dialect();

}  // namespace korvex::lite_history
