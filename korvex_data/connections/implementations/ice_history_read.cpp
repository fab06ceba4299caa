// SparkIcebergHistoricalConnection: how a read of query or count sees one state of the store.
//
// With the catalog's cache off, Spark loads each table a statement names when it analyses the
// statement, in an order of its own, and nothing in Iceberg promises that two mentions of one
// table share a load: a statement could read the metadata at two snapshots while a commit
// publishes, or a class table before the metadata, and join a version with metadata of another
// moment. Each read therefore resolves the snapshot of main of the tables it names, and reads
// every mention of a table at that one snapshot (VERSION AS OF). The metadata table is resolved
// first, the class-version tables after it: a commit publishes the class tables before the
// metadata, so every version whose metadata row is in the metadata snapshot has its row in the
// class tables resolved later. A table the statement names once is resolved by the statement
// itself, after the metadata, and costs no round trip; those named more than once are resolved
// together in one statement. The branches of the open transaction are read as they are: only
// this connection writes them.

#include "korvex_data/connections/implementations/ice_history.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>

namespace korvex::ice_history {

std::optional<std::int64_t> SparkIcebergHistoricalConnection::current_snapshot(const std::string& table_name) {
    // A table property that the server answers from the table's metadata, without a job as a
    // query of the table's refs would start: several times faster. "none" before the first snapshot.
    const auto rows = connection_->client()
                          .sql("SHOW TBLPROPERTIES " + qualified_name(table_name) + " ('current-snapshot-id')")
                          ->fetchall();
    const bool told = !rows.empty() && rows.front().size() > 1 && rows.front().at(1).is_string();
    const std::string value = told ? rows.front().at(1).get<std::string>() : "";
    if (value == "none") return std::nullopt;
    if (value.empty() || value.find_first_not_of("-0123456789") != std::string::npos) {
        throw KorvexConnectionError("the table " + qualified_name(table_name) +
                                    " did not tell its current snapshot (it said " + printed(Value(value)) +
                                    "): is it an Iceberg table?");
    }
    return std::stoll(value);
}

std::shared_ptr<Cursor> SparkIcebergHistoricalConnection::_execute_read(const Statement& statement) {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    const auto mentions = spark_dialect.main_table_mentions(statement.text);
    std::map<std::string, int> named;
    for (const auto& mention : mentions) ++named[mention.table];
    std::map<std::string, std::optional<std::int64_t>> snapshots;
    if (named.contains("metadata")) snapshots["metadata"] = current_snapshot("metadata");
    std::vector<std::string> later;
    for (const auto& [table, times] : named) {
        if (table != "metadata" && times > 1) later.push_back(table);
    }
    if (!later.empty()) {
        std::string text;
        for (std::size_t i = 0; i < later.size(); ++i) {
            snapshots[later[i]] = std::nullopt;  // no row: the table had no snapshot yet
            text += (i > 0 ? " UNION ALL " : "") + std::string("SELECT ") + std::to_string(i) +
                    " AS korvex_table, snapshot_id FROM " + qualified_name(later[i]) + ".refs WHERE name = 'main'";
        }
        for (const auto& row : connection_->client().sql(text)->fetchall()) {
            if (row.at(1).is_null()) continue;
            snapshots[later.at(row.at(0).get<std::size_t>())] = row.at(1).get<std::int64_t>();
        }
    }
    if (snapshots.empty()) return execute(statement.text, statement.params);
    return execute(SparkDialect::pin_snapshots(statement.text, mentions, snapshots), statement.params);
}

}  // namespace korvex::ice_history
