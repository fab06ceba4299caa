// SparkIcebergHistoricalConnection: transactions as Iceberg branches. A transaction writes each
// table through a branch of its own (made on its first write there), reads that branch, and
// publishes it onto main at commit; rollback drops the branches, and rolling back to a savepoint
// puts each branch back to the snapshot it had then.

#include "korvex_data/connections/implementations/ice_history.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>

#include <unistd.h>
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

std::optional<std::int64_t> SparkIcebergHistoricalConnection::ref_head(const std::string& table_name,
                                                                     const std::string& ref) {
    const auto rows = connection_->client()
                          .sql("SELECT snapshot_id FROM " + qualified_name(table_name) + ".refs WHERE name = ?",
                               {SparkParameter(ref)})
                          ->fetchall();
    if (rows.empty() || rows.front().at(0).is_null()) return std::nullopt;
    return rows.front().at(0).get<std::int64_t>();
}

void SparkIcebergHistoricalConnection::drop_branch(const std::string& table_name, const std::string& branch) {
    connection_->client().sql("ALTER TABLE " + qualified_name(table_name) + " DROP BRANCH IF EXISTS " +
                              spark_dialect.quote_name(branch));
}

void SparkIcebergHistoricalConnection::publish(const std::string& table_name, const std::string& branch) {
    auto& client = connection_->client();
    const std::string procedures = spark_identifier(catalog_) + ".system.";
    const std::string table = procedure_table(table_name);
    const std::optional<std::int64_t> head = ref_head(table_name, branch);
    if (!head) return;  // nothing was written on this branch (or it is gone)
    try {
        client.sql("CALL " + procedures + "fast_forward(table => " + table + ", branch => 'main', to => " +
                   quote_spark_string(branch) + ")");
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
    std::vector<std::int64_t> on_main = ancestors("main");
    // A snapshot main already holds as a cherry-pick (its summary names the source) is not
    // applied again: publishing the same branch twice leaves main as publishing it once.
    std::vector<std::int64_t> picked;
    for (const auto& row : client.sql("SELECT snapshot_id, summary['source-snapshot-id'] FROM " +
                                      qualified_name(table_name) + ".snapshots")
                               ->fetchall()) {
        if (row.at(1).is_null()) continue;
        if (std::find(on_main.begin(), on_main.end(), row.at(0).get<std::int64_t>()) == on_main.end()) continue;
        picked.push_back(std::stoll(row.at(1).get<std::string>()));
    }
    on_main.insert(on_main.end(), picked.begin(), picked.end());
    std::vector<std::int64_t> own = ancestors(branch);
    own.erase(std::remove_if(own.begin(), own.end(),
                             [&](std::int64_t id) { return std::find(on_main.begin(), on_main.end(), id) != on_main.end(); }),
              own.end());
    for (auto id = own.rbegin(); id != own.rend(); ++id) {
        client.sql("CALL " + procedures + "cherrypick_snapshot(table => " + table + ", snapshot_id => " +
                   std::to_string(*id) + ")");
    }
}

namespace {

// Throws where the test variable names this step, leaving everything as a dead process would.
void stop_at(const std::string& step) {
    const char* wanted = std::getenv(COMMIT_STOP_VARIABLE);
    if (wanted != nullptr && step == wanted) {
        throw KorvexConnectionError(std::string("COMMIT: stopped at step '") + step + "' (" + COMMIT_STOP_VARIABLE + ")");
    }
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string owner_name() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(::getpid());
}

}  // namespace

void SparkIcebergHistoricalConnection::create_commit_log() {
    const std::string log = qualified_name(COMMIT_LOG_TABLE);
    connection_->client().sql("CREATE TABLE IF NOT EXISTS " + log +
                              " (id STRING NOT NULL, state STRING NOT NULL, owner STRING, lease_until BIGINT,"
                              " branch STRING, tables STRING, pairs STRING) USING iceberg");
    // A commit forks the log's main: main needs a first snapshot.
    if (!ref_head(COMMIT_LOG_TABLE, "main")) {
        connection_->client().sql("INSERT INTO " + log + " VALUES (?, ?, NULL, NULL, NULL, NULL, NULL)",
                                  {SparkParameter(std::string("start")), SparkParameter(std::string("start"))});
    }
}

void SparkIcebergHistoricalConnection::claim_commit(const std::string& id) {
    auto& client = connection_->client();
    const std::string log = qualified_name(COMMIT_LOG_TABLE);
    const std::string log_branch = "korvex_commit_" + id;
    Value pairs = Value::array();
    for (const auto& [object_id, version] : written_pairs_) pairs.push_back({{"o", object_id}, {"v", version}});
    Value tables = Value::array();
    for (const auto& table : branched_) tables.push_back(table);
    constexpr int ATTEMPTS = 20;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        const std::optional<std::int64_t> start = ref_head(COMMIT_LOG_TABLE, "main");
        if (!start) throw KorvexConnectionError("COMMIT: the commit log " + log + " is empty: run prepare_connection");
        drop_branch(COMMIT_LOG_TABLE, log_branch);
        client.sql("ALTER TABLE " + log + " CREATE BRANCH " + spark_dialect.quote_name(log_branch) +
                   " AS OF VERSION " + std::to_string(*start));
        // Duplicates, as of the log's snapshot: the pairs already on the metadata table's main, and
        // those of commits claimed before and not yet published. A commit claimed after it moves
        // the log's main, and then the fast-forward below fails.
        std::set<std::pair<std::string, std::string>> taken;
        if (!written_pairs_.empty()) {
            const std::string mine = "SELECT explode(from_json(?, 'array<struct<o:string,v:string>>')) AS p";
            for (const auto& row : client.sql("SELECT m.address.object_id, CAST(m.address.object_version AS STRING) FROM " +
                                                  qualified_name("metadata") + " m JOIN (" + mine +
                                                  ") x ON m.address.object_id = x.p.o AND "
                                                  "CAST(m.address.object_version AS STRING) = x.p.v",
                                              {SparkParameter(pairs.dump())})
                                       ->fetchall()) {
                taken.emplace(row.at(0).get<std::string>(), row.at(1).get<std::string>());
            }
            const std::string at = log + " VERSION AS OF " + std::to_string(*start);
            for (const auto& row : client.sql("SELECT pairs FROM " + at +
                                              " WHERE state = 'committed' AND id NOT IN (SELECT id FROM " + at +
                                              " WHERE state = 'done')")
                                       ->fetchall()) {
                if (row.at(0).is_null()) continue;
                for (const auto& pair : Value::parse(row.at(0).get<std::string>())) {
                    taken.emplace(pair.at("o").get<std::string>(), pair.at("v").get<std::string>());
                }
            }
        }
        for (const auto& pair : written_pairs_) {
            if (taken.contains(pair)) {
                drop_branch(COMMIT_LOG_TABLE, log_branch);
                throw KorvexConnectionError("COMMIT refused: version " + pair.second + " of object " + pair.first +
                                            " was already committed by another transaction; nothing of this "
                                            "transaction was written");
            }
        }
        client.sql("INSERT INTO " + log + "." + spark_dialect.quote_name("branch_" + log_branch) +
                       " VALUES (?, 'committed', ?, ?, ?, ?, ?)",
                   {SparkParameter(id), SparkParameter(owner_name()), SparkParameter(Value(now_ms() + commit_lease_ms_)),
                    SparkParameter(id), SparkParameter(tables.dump()), SparkParameter(pairs.dump())});
        try {
            client.sql("CALL " + spark_identifier(catalog_) + ".system.fast_forward(table => " +
                       procedure_table(COMMIT_LOG_TABLE) + ", branch => 'main', to => " +
                       quote_spark_string(log_branch) + ")");
        } catch (const SparkConnectError& error) {
            drop_branch(COMMIT_LOG_TABLE, log_branch);
            if (std::string(error.what()).find("not an ancestor") == std::string::npos) throw;
            continue;  // another commit got in first: check again against the new main
        }
        drop_branch(COMMIT_LOG_TABLE, log_branch);
        return;
    }
    throw KorvexConnectionError("COMMIT: other commits got in first " + std::to_string(ATTEMPTS) +
                                " times in a row; nothing of this transaction was written, try again");
}

void SparkIcebergHistoricalConnection::finish_commit(const std::string& id, const std::string& branch,
                                                     const std::vector<std::string>& tables) {
    for (const auto& table : tables) {
        publish(table, branch);
        stop_at("table:" + table);
    }
    stop_at("done");
    connection_->client().sql("INSERT INTO " + qualified_name(COMMIT_LOG_TABLE) +
                                  " VALUES (?, 'done', ?, NULL, ?, NULL, NULL)",
                              {SparkParameter(id), SparkParameter(owner_name()), SparkParameter(branch)});
    for (const auto& table : tables) drop_branch(table, branch);
}

void SparkIcebergHistoricalConnection::finish_interrupted_commits() {
    const std::string log = qualified_name(COMMIT_LOG_TABLE);
    const auto rows = connection_->client()
                          .sql("SELECT id, branch, tables FROM " + log +
                                   " WHERE state = 'committed' AND lease_until < ? AND id NOT IN (SELECT id FROM " +
                                   log + " WHERE state = 'done')",
                               {SparkParameter(Value(now_ms()))})
                          ->fetchall();
    for (const auto& row : rows) {
        std::vector<std::string> tables;
        for (const auto& table : Value::parse(row.at(2).get<std::string>())) tables.push_back(table.get<std::string>());
        try {
            finish_commit(row.at(0).get<std::string>(), row.at(1).get<std::string>(), tables);
        } catch (...) {
            std::throw_with_nested(KorvexConnectionError("prepare_connection: finishing the interrupted commit " +
                                                         row.at(0).get<std::string>() + " failed"));
        }
    }
}

void SparkIcebergHistoricalConnection::run_transaction_statement(const std::string& statement, const std::string&) {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    try {
        if (statement == "BEGIN") {
            branch_ = new_branch_name(branch_names_);
            internal_identities_.clear();
            written_pairs_.clear();
            branched_.clear();
            savepoints_.clear();
        } else if (statement.starts_with("SAVEPOINT ")) {
            Savepoint savepoint{statement.substr(10), branched_.size(), {}, written_pairs_.size()};
            for (const auto& table : branched_) savepoint.heads[table] = branch_head(table);
            savepoints_.push_back(std::move(savepoint));
        } else if (statement.starts_with("ROLLBACK TO SAVEPOINT ")) {
            const std::string name = statement.substr(22);
            const auto found = std::find_if(savepoints_.begin(), savepoints_.end(),
                                            [&](const Savepoint& savepoint) { return savepoint.name == name; });
            if (found == savepoints_.end()) throw KorvexConnectionError(statement + ": no such savepoint");
            const Savepoint savepoint = *found;
            savepoints_.erase(found, savepoints_.end());
            written_pairs_.resize(savepoint.pairs);
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
            // The metadata table goes last, in one table commit: reads join versions with their
            // metadata rows, so none of the transaction's versions is visible before all are.
            std::stable_partition(branched_.begin(), branched_.end(),
                                  [](const std::string& table) { return table != "metadata"; });
            const std::string branch = branch_;
            const std::vector<std::string> tables = branched_;
            const auto closed = [&] {
                branch_.clear();
                branched_.clear();
                savepoints_.clear();
                written_pairs_.clear();
                branches_changed();
            };
            if (tables.empty()) {
                closed();
                return;
            }
            try {
                check_branches_kept(branch, tables);
                claim_commit(branch);
            } catch (...) {
                // Not committed: nothing of the transaction is on main, and its branches go.
                closed();
                for (const auto& table : tables) drop_branch(table, branch);
                throw;
            }
            closed();
            stop_at("commit_point");
            // Past the commit point the transaction is committed: whoever finishes it (this
            // connection now, or a later prepare_connection) publishes the same branches.
            try {
                finish_commit(branch, branch, tables);
            } catch (...) {
                std::throw_with_nested(KorvexConnectionError(
                    "COMMIT: the transaction is committed but publishing it was interrupted; the next "
                    "prepare_connection (once this connection's lease of " +
                    std::to_string(commit_lease_ms_ / 1000) + " s ran out) finishes it"));
            }
        } else if (statement == "ROLLBACK") {
            const auto tables = branched_;
            const std::string branch = branch_;
            branch_.clear();
            branched_.clear();
            savepoints_.clear();
            written_pairs_.clear();
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
