// PostgresHistoricalConnection: the columns of the class-version tables a read merges.

#include "korvex/connections/sql_quoting.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

namespace korvex::pg_timeline {

// The columns of every table in column order with their types (as format_type writes them, for
// a NULL of that type), in one statement. A table that does not exist has none (the statement
// that reads it then reports it missing).
std::vector<std::vector<TableColumn>> PostgresHistoricalConnection::_read_table_columns(const TablesToRead& tables) {
    std::string values;
    std::vector<Value> params;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        check_sql_name(tables[i].first, POSTGRES_IDENTIFIER_MAX_BYTES);
        values += (i ? ", (" : "(") + std::to_string(i) + ", %s)";
        params.emplace_back(tables[i].first);
    }
    const auto cursor = execute(
        "SELECT t.branch, a.attname, format_type(a.atttypid, a.atttypmod) FROM (VALUES " + values +
            ") AS t(branch, name) JOIN pg_attribute AS a ON a.attrelid = to_regclass(quote_ident(t.name))"
            " WHERE a.attnum > 0 AND NOT a.attisdropped ORDER BY t.branch, a.attnum",
        params);
    std::vector<std::vector<TableColumn>> columns(tables.size());
    for (const auto& row : cursor->fetchall()) {
        columns.at(row.at(0).get<std::size_t>()).push_back({row.at(1).get<std::string>(), row.at(2).get<std::string>()});
    }
    return columns;
}

}  // namespace korvex::pg_timeline
