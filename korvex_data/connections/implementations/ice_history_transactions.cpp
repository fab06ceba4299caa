// SparkIcebergHistoricalConnection: transactions as Iceberg branches. A transaction writes each
// table through a branch of its own (made on its first write there), reads that branch, and
// publishes it onto main at commit; rollback drops the branches, and rolling back to a savepoint
// puts each branch back to the snapshot it had then.

#include "korvex_data/connections/implementations/ice_history.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>
#include <random>

namespace korvex::ice_history {
namespace {

// A branch name that no other transaction takes; it starts with a letter, so that Iceberg never
// reads it as a snapshot id.
std::string new_branch_name(std::mt19937_64& generator) {
    static const char digits[] = "0123456789abcdef";
    std::string name = "korvex_tx_";
    for (int i = 0; i < 16; ++i) name += digits[generator() % 16];
    return name;
}

}  // namespace

std::string SparkIcebergHistoricalConnection::_table_reference(const std::string& table_name) {
    const std::string reference = spark_dialect.table_reference(table_name);
    if (branch_.empty() || std::find(branched_.begin(), branched_.end(), table_name) == branched_.end()) {
        return reference;
    }
    return reference + "." + spark_dialect.quote_name("branch_" + branch_);
}

void SparkIcebergHistoricalConnection::branches_changed() {
    const bool metadata = !branch_.empty() && std::find(branched_.begin(), branched_.end(), "metadata") != branched_.end();
    spark_dialect.read_metadata_from(metadata ? std::optional<std::string>("branch_" + branch_) : std::nullopt);
    forget_read_shapes();
}

std::string SparkIcebergHistoricalConnection::procedure_table(const std::string& table_name) const {
    return quote_spark_string(spark_identifier(namespace_) + "." + spark_identifier(table_name));
}

void SparkIcebergHistoricalConnection::ensure_branch(const std::string& table_name) {
    if (branch_.empty() || std::find(branched_.begin(), branched_.end(), table_name) != branched_.end()) return;
    connection_->client().sql("ALTER TABLE " + qualified_name(table_name) + " CREATE BRANCH " +
                              spark_dialect.quote_name(branch_));
    branched_.push_back(table_name);
    branches_changed();
}

std::optional<std::int64_t> SparkIcebergHistoricalConnection::branch_head(const std::string& table_name) {
    const auto rows = connection_->client()
                          .sql("SELECT snapshot_id FROM " + qualified_name(table_name) + ".refs WHERE name = ?",
                               {SparkParameter(branch_)})
                          ->fetchall();
    if (rows.empty() || rows.front().at(0).is_null()) return std::nullopt;
    return rows.front().at(0).get<std::int64_t>();
}

void SparkIcebergHistoricalConnection::drop_branch(const std::string& table_name) {
    connection_->client().sql("ALTER TABLE " + qualified_name(table_name) + " DROP BRANCH IF EXISTS " +
                              spark_dialect.quote_name(branch_));
}

void SparkIcebergHistoricalConnection::publish(const std::string& table_name) {
    auto& client = connection_->client();
    const std::string procedures = spark_identifier(catalog_) + ".system.";
    const std::string table = procedure_table(table_name);
    const std::optional<std::int64_t> head = branch_head(table_name);
    if (!head) return;  // nothing was written on this branch
    try {
        client.sql("CALL " + procedures + "fast_forward(table => " + table + ", branch => 'main', to => " +
                   quote_spark_string(branch_) + ")");
        return;
    } catch (const SparkConnectError& error) {
        if (std::string(error.what()).find("not an ancestor") == std::string::npos) throw;
    }
    // Main moved since the fork: the branch's own snapshots, those main does not hold, are
    // applied to main one by one, oldest first.
    const auto ancestors = [&](const std::string& ref) {
        std::vector<std::int64_t> ids;
        const auto rows = client
                              .sql("SELECT snapshot_id FROM " + qualified_name(table_name) + ".refs WHERE name = ?",
                                   {SparkParameter(ref)})
                              ->fetchall();
        if (rows.empty() || rows.front().at(0).is_null()) return ids;
        for (const auto& row : client.sql("CALL " + procedures + "ancestors_of(table => " + table + ", snapshot_id => " +
                                          std::to_string(rows.front().at(0).get<std::int64_t>()) + ")")
                                   ->fetchall()) {
            ids.push_back(row.at(0).get<std::int64_t>());
        }
        return ids;
    };
    const std::vector<std::int64_t> on_main = ancestors("main");
    std::vector<std::int64_t> own = ancestors(branch_);
    own.erase(std::remove_if(own.begin(), own.end(),
                             [&](std::int64_t id) { return std::find(on_main.begin(), on_main.end(), id) != on_main.end(); }),
              own.end());
    for (auto id = own.rbegin(); id != own.rend(); ++id) {
        client.sql("CALL " + procedures + "cherrypick_snapshot(table => " + table + ", snapshot_id => " +
                   std::to_string(*id) + ")");
    }
}

void SparkIcebergHistoricalConnection::run_transaction_statement(const std::string& statement, const std::string&) {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    try {
        if (statement == "BEGIN") {
            branch_ = new_branch_name(branch_names_);
            internal_identities_.clear();
            branched_.clear();
            savepoints_.clear();
        } else if (statement.starts_with("SAVEPOINT ")) {
            Savepoint savepoint{statement.substr(10), branched_.size(), {}};
            for (const auto& table : branched_) savepoint.heads[table] = branch_head(table);
            savepoints_.push_back(std::move(savepoint));
        } else if (statement.starts_with("ROLLBACK TO SAVEPOINT ")) {
            const std::string name = statement.substr(22);
            const auto found = std::find_if(savepoints_.begin(), savepoints_.end(),
                                            [&](const Savepoint& savepoint) { return savepoint.name == name; });
            if (found == savepoints_.end()) throw KorvexConnectionError(statement + ": no such savepoint");
            const Savepoint savepoint = *found;
            savepoints_.erase(found, savepoints_.end());
            // Branches first made after the savepoint go; the others go back to their heads.
            while (branched_.size() > savepoint.branched) {
                drop_branch(branched_.back());
                branched_.pop_back();
            }
            for (const auto& table : branched_) {
                const auto head = savepoint.heads.at(table);
                if (branch_head(table) == head) continue;
                if (head) {
                    connection_->client().sql("ALTER TABLE " + qualified_name(table) + " REPLACE BRANCH " +
                                              spark_dialect.quote_name(branch_) + " AS OF VERSION " +
                                              std::to_string(*head));
                } else {
                    // Made on a table with no snapshot yet: made again from nothing.
                    drop_branch(table);
                    connection_->client().sql("ALTER TABLE " + qualified_name(table) + " CREATE BRANCH " +
                                              spark_dialect.quote_name(branch_));
                }
            }
            branches_changed();
        } else if (statement == "COMMIT") {
            std::vector<std::string> published;
            try {
                for (const auto& table : branched_) {
                    publish(table);
                    published.push_back(table);
                }
            } catch (...) {
                std::string done;
                for (const auto& table : published) done += (done.empty() ? "" : ", ") + qualified_name(table);
                const std::string failed = qualified_name(branched_[published.size()]);
                for (const auto& table : branched_) drop_branch(table);
                branch_.clear();
                branched_.clear();
                savepoints_.clear();
                branches_changed();
                std::throw_with_nested(KorvexConnectionError(
                    "COMMIT: publishing the writes on " + failed + " failed" +
                    (done.empty() ? std::string(", so nothing of the transaction was written")
                                  : ", after those on " + done + " were published; they stay") +
                    " (the transaction's branches are dropped)"));
            }
            for (const auto& table : branched_) drop_branch(table);
            branch_.clear();
            branched_.clear();
            savepoints_.clear();
            branches_changed();
        } else if (statement == "ROLLBACK") {
            const auto tables = branched_;
            const std::string branch = branch_;
            branch_.clear();
            branched_.clear();
            savepoints_.clear();
            branches_changed();
            for (const auto& table : tables) {
                connection_->client().sql("ALTER TABLE " + qualified_name(table) + " DROP BRANCH IF EXISTS " +
                                          spark_dialect.quote_name(branch));
            }
        }
    } catch (const KorvexConnectionError&) {
        throw;
    } catch (...) {
        std::throw_with_nested(KorvexConnectionError(statement + " failed on the Iceberg store"));
    }
}

}  // namespace korvex::ice_history
