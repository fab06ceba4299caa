#include "korvex_data/connections/implementations/lite_history_dialect.hpp"

#include "korvex/connections/sql_quoting.hpp"

namespace korvex::lite_history {

std::string SqliteDialect::quote_name(const std::string& name) const { return quote_sql_identifier(name); }

const SqliteDialect& sqlite_dialect() {
    static const SqliteDialect dialect;
    return dialect;
}

}  // namespace korvex::lite_history
