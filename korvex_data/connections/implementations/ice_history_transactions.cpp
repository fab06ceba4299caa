// SparkIcebergHistoricalConnection: transactions as Iceberg branches. A transaction writes each
// table through a branch of its own (made on its first write there), reads that branch, and
// publishes it onto main at commit; rollback drops the branches, and rolling back to a savepoint
// puts each branch back to the snapshot it had then.

#include "korvex_data/connections/implementations/ice_history.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include <signal.h>
#include <unistd.h>

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

// Runs a statement that moves a table's refs (CREATE, REPLACE or DROP BRANCH, fast_forward).
// Iceberg applies those to the metadata it last read and does not retry them: when another
// session committed to the table in between, the catalog refuses the commit, and the statement
// runs again on fresh metadata (a fast-forward is then judged against the new main).
// Racing connections back off apart: each call draws its waits from a source of its own, seeded
// at its first wait, so that calls running at once share nothing.
template <typename Client>
void update_refs(Client& client, const std::string& statement) {
    std::optional<std::mt19937_64> jitter;
    constexpr int ATTEMPTS = 20;
    for (int attempt = 1;; ++attempt) {
        try {
            client.sql(statement);
            return;
        } catch (const SparkConnectError& error) {
            const std::string message = error.what();
            const bool stale = message.find("refresh is required") != std::string::npos ||
                               message.find("stale table metadata") != std::string::npos ||
                               message.find("CommitFailedException") != std::string::npos;
            if (!stale || attempt == ATTEMPTS) throw;
        }
        if (!jitter) jitter.emplace((static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}());
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (*jitter)() % (20 * attempt)));
    }
}

// Runs the tasks at once, each on a thread of its own, and waits for all of them; the first
// failure is thrown once all have ended, so that none still runs when the caller goes on. The
// Spark Connect client takes calls from several threads, and the server runs the operations of
// one session concurrently: statements that do not depend on each other overlap.
void concurrently(std::vector<std::function<void()>> tasks) {
    if (tasks.size() == 1) {
        tasks.front()();
        return;
    }
    std::vector<std::future<void>> running;
    running.reserve(tasks.size());
    for (auto& task : tasks) running.push_back(std::async(std::launch::async, std::move(task)));
    std::exception_ptr failure;
    for (auto& result : running) {
        try {
            result.get();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
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
    update_refs(connection_->client(), "ALTER TABLE " + qualified_name(table_name) + " CREATE BRANCH " +
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
    update_refs(connection_->client(), "ALTER TABLE " + qualified_name(table_name) + " DROP BRANCH IF EXISTS " +
                              spark_dialect.quote_name(branch));
}

namespace {

// The columns that identify a row of the table: a class-version row by its object id and
// version, an internal row by its address structs.
std::vector<std::string> row_identity(const std::string& table_name) {
    if (!is_internal_table(table_name)) return {"partition_key", "range_key"};
    if (table_name == "reference") return {"from_address", "to_address"};
    return {"address"};
}

}  // namespace

void SparkIcebergHistoricalConnection::publish(const std::string& table_name, const std::string& branch,
                                               std::optional<std::optional<std::int64_t>> known_head) {
    auto& client = connection_->client();
    const std::string procedures = spark_identifier(catalog_) + ".system.";
    const std::string table = procedure_table(table_name);
    const std::optional<std::int64_t> head = known_head ? *known_head : ref_head(table_name, branch);
    if (!head) return;  // nothing was written on this branch (or it is gone)
    try {
        update_refs(client, "CALL " + procedures + "fast_forward(table => " + table + ", branch => 'main', to => " +
                   quote_spark_string(branch) + ")");
        return;
    } catch (const SparkConnectError& error) {
        if (std::string(error.what()).find("not an ancestor") == std::string::npos) throw;
    }
    // Main moved since the fork. The branch's rows that neither main nor the fork holds are the
    // transaction's own (its appends, less what a revert deleted): one INSERT puts them all onto
    // main as one table commit, so a reader sees all of them or none. Run again, it finds them on
    // main and inserts nothing.
    const auto ancestors = [&](std::int64_t snapshot) {
        std::vector<std::int64_t> ids;
        for (const auto& row : client.sql("CALL " + procedures + "ancestors_of(table => " + table + ", snapshot_id => " +
                                          std::to_string(snapshot) + ")")
                                   ->fetchall()) {
            ids.push_back(row.at(0).get<std::int64_t>());
        }
        return ids;
    };
    std::optional<std::int64_t> fork;
    if (const auto main_head = ref_head(table_name, "main")) {
        const std::vector<std::int64_t> on_main = ancestors(*main_head);
        for (const std::int64_t id : ancestors(*head)) {  // newest first
            if (std::find(on_main.begin(), on_main.end(), id) != on_main.end()) {
                fork = id;
                break;
            }
        }
    }
    const std::string qualified = qualified_name(table_name);
    std::string statement = "INSERT INTO " + qualified + " SELECT b.* FROM " + qualified + "." +
                            spark_dialect.quote_name("branch_" + branch) + " b";
    const auto unless_in = [&](const std::string& source, const std::string& alias) {
        std::string on;
        for (const auto& column : row_identity(table_name)) {
            const std::string name = spark_dialect.quote_name(column);
            on += (on.empty() ? "" : " AND ") + alias + "." + name + " <=> b." + name;
        }
        statement += " LEFT ANTI JOIN " + source + " " + alias + " ON " + on;
    };
    unless_in(qualified, "m");
    if (fork) unless_in(qualified + " VERSION AS OF " + std::to_string(*fork), "f");
    client.sql(statement);
}

namespace {

std::function<void(const std::string&)>& step_hook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

}  // namespace

void set_step_hook(std::function<void(const std::string& step)> hook) { step_hook() = std::move(hook); }

void run_step_hook(const std::string& step) {
    if (step_hook()) step_hook()(step);
}

namespace {

// Throws where the test variable names this step, leaving everything as a dead process would.
void stop_at(const std::string& step) {
    run_step_hook(step);
    const char* doomed = std::getenv(COMMIT_KILL_VARIABLE);
    if (doomed != nullptr && step == doomed) ::kill(::getpid(), SIGKILL);
    const char* wanted = std::getenv(COMMIT_STOP_VARIABLE);
    if (wanted != nullptr && step == wanted) {
        throw KorvexConnectionError(std::string("COMMIT: stopped at step '") + step + "' (" + COMMIT_STOP_VARIABLE + ")");
    }
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string commit_log_owner() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(::getpid());
}

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

void SparkIcebergHistoricalConnection::move_log_branch(std::int64_t start) {
    // This connection's own branch of the log, kept from one append to the next and moved to
    // `start` by one statement, whatever an earlier attempt that failed half-way left on it.
    update_refs(connection_->client(), "ALTER TABLE " + qualified_name(COMMIT_LOG_TABLE) + " CREATE OR REPLACE BRANCH " +
                                           spark_dialect.quote_name(log_branch_) + " AS OF VERSION " +
                                           std::to_string(start));
    log_branch_made_ = true;
    log_branch_at_ = start;
}

bool SparkIcebergHistoricalConnection::append_to_log_at(std::int64_t start, const std::vector<SparkParameter>& row) {
    return append_to_log_at(start, std::vector<std::vector<SparkParameter>>{row});
}

bool SparkIcebergHistoricalConnection::append_to_log_at(std::int64_t start,
                                                        const std::vector<std::vector<SparkParameter>>& rows) {
    auto& client = connection_->client();
    if (log_branch_at_ != start) move_log_branch(start);
    log_branch_at_.reset();  // the row below moves it on
    std::string values;
    std::vector<SparkParameter> params;
    for (const auto& row : rows) {
        values += (values.empty() ? "" : ", ") + std::string("(?, ?, ?, ?, ?, ?, ?)");
        params.insert(params.end(), row.begin(), row.end());
    }
    client.sql("INSERT INTO " + qualified_name(COMMIT_LOG_TABLE) + "." + spark_dialect.quote_name("branch_" + log_branch_) +
                   " VALUES " + values,
               params);
    stop_at("intent");
    try {
        update_refs(client, "CALL " + spark_identifier(catalog_) + ".system.fast_forward(table => " +
                   procedure_table(COMMIT_LOG_TABLE) + ", branch => 'main', to => " + quote_spark_string(log_branch_) +
                   ")");
    } catch (const SparkConnectError& error) {
        // The branch stays, holding a row no reader looks at: the next append moves it.
        if (std::string(error.what()).find("not an ancestor") == std::string::npos) throw;
        return false;  // another row got in first
    }
    return true;
}

void SparkIcebergHistoricalConnection::renew_lease(const std::string& id) {
    const std::int64_t now = now_ms();
    connection_->client().sql("INSERT INTO " + qualified_name(COMMIT_LOG_TABLE) +
                                  " VALUES (?, 'lease', ?, ?, NULL, NULL, NULL)",
                              {SparkParameter(id), SparkParameter(commit_log_owner()),
                               SparkParameter(Value(now + commit_lease_ms_))});
    lease_from_ms_ = now;
}

std::vector<std::int64_t> SparkIcebergHistoricalConnection::claim_commit(const std::string& id,
                                                                         const std::vector<std::string>& written) {
    auto& client = connection_->client();
    const std::string log = qualified_name(COMMIT_LOG_TABLE);
    Value pairs = Value::array();
    for (const auto& [object_id, version] : written_pairs_) pairs.push_back({{"o", object_id}, {"v", version}});
    Value tables = Value::array();
    for (const auto& table : written) tables.push_back(table);
    std::vector<std::int64_t> heads;
    constexpr int ATTEMPTS = 20;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        // The log's main, from its metadata (no Spark job).
        const std::optional<std::int64_t> start = current_snapshot(COMMIT_LOG_TABLE);
        if (!start) throw KorvexConnectionError("COMMIT: the commit log " + log + " is empty: run prepare_connection");
        // Four statements at once, none depending on another's answer: the commits claimed
        // before and not yet published, as of the log's snapshot, each with the latest lease its
        // owner (or whoever took it over) wrote (the same aggregate finds a drop of this
        // transaction's branches that maintenance recorded on the log); the transaction's pairs
        // already on the metadata table's main; the first time, the head of its branch on each
        // table; and this connection's log branch moved to the snapshot, where the intent goes.
        // A commit claimed after the log's snapshot moves the log's main, and then the
        // compare-and-swap below fails. The metadata is read after the snapshot was: a commit
        // done by then has its pairs on main, one not done is among the unfinished ones.
        const std::string at = log + " VERSION AS OF " + std::to_string(*start);
        std::vector<Row> log_rows, taken_rows, branch_rows;
        std::vector<std::function<void()>> reads;
        reads.emplace_back([&] {
            log_rows = client
                           .sql("SELECT CASE WHEN dropped THEN 'dropped' ELSE 'open' END AS k, id AS a, "
                                "CAST(until AS STRING) AS b FROM (SELECT id, max(lease_until) AS until, "
                                "count_if(state = 'dropped') > 0 AS dropped FROM " + at +
                                    " GROUP BY id HAVING count_if(state = 'committed') > 0 AND count_if(state = "
                                    "'done') = 0 OR count_if(state = 'dropped') > 0 AND id = ?)",
                                {SparkParameter(id)})
                           ->fetchall();
        });
        if (!written_pairs_.empty()) {
            // The range of the ids, a condition Iceberg checks against each data file's bounds:
            // the files of other ids are not read.
            const auto [lowest, highest] = std::minmax_element(
                written_pairs_.begin(), written_pairs_.end(),
                [](const auto& left, const auto& right) { return left.first < right.first; });
            reads.emplace_back([&, lowest = lowest->first, highest = highest->first] {
                taken_rows = client
                                 .sql("SELECT m.address.object_id, CAST(m.address.object_version AS STRING) FROM " +
                                          qualified_name("metadata") +
                                          " m JOIN (SELECT explode(from_json(?, 'array<struct<o:string,v:string>>')) "
                                          "AS p) x ON m.address.object_id = x.p.o AND "
                                          "CAST(m.address.object_version AS STRING) = x.p.v"
                                          " WHERE m.address.object_id BETWEEN ? AND ?",
                                      {SparkParameter(pairs.dump()), SparkParameter(lowest), SparkParameter(highest)})
                                 ->fetchall();
            });
        }
        if (attempt == 0) {
            reads.emplace_back([&] {
                std::string statement;
                std::vector<SparkParameter> params;
                for (std::size_t i = 0; i < written.size(); ++i) {
                    statement += std::string(statement.empty() ? "" : " UNION ALL ") + "SELECT '" +
                                 std::to_string(i) + "', CAST(snapshot_id AS STRING) FROM " +
                                 qualified_name(written[i]) + ".refs WHERE name = ?";
                    params.emplace_back(id);
                }
                branch_rows = client.sql(statement, params)->fetchall();
            });
        }
        if (log_branch_at_ != *start) reads.emplace_back([&] { move_log_branch(*start); });
        concurrently(std::move(reads));
        const auto gone = [&](const std::string& table) {
            return KorvexConnectionError("COMMIT refused: the transaction's branch " + id + " of table " + table +
                                         " is gone (maintenance drops the branches of transactions left without a "
                                         "write for longer than its branch age); nothing of this transaction was "
                                         "written");
        };
        std::set<std::pair<std::string, std::string>> taken;
        Value open = Value::array();
        bool lapsed = false;
        bool dropped = false;
        std::vector<std::optional<std::int64_t>> found(written.size());
        const std::int64_t now = now_ms();
        for (const auto& row : branch_rows) {
            found.at(std::stoul(row.at(0).get<std::string>())) = std::stoll(row.at(1).get<std::string>());
        }
        for (const auto& row : log_rows) {
            if (row.at(0).get<std::string>() == "dropped") {
                dropped = true;
            } else {
                open.push_back(row.at(1));
                // One whose lease ran out is finished first: its owner died past its commit
                // point, and its rows go onto main before these.
                if (!row.at(2).is_null() && std::stoll(row.at(2).get<std::string>()) < now) lapsed = true;
            }
        }
        for (const auto& row : taken_rows) taken.emplace(row.at(0).get<std::string>(), row.at(1).get<std::string>());
        if (attempt == 0) {
            for (std::size_t i = 0; i < written.size(); ++i) {
                if (found[i]) {
                    heads.push_back(*found[i]);
                    continue;
                }
                throw gone(written[i]);
            }
        }
        // Maintenance recorded the drop of its branches before dropping them: whichever of the
        // drop and this claim reached the log's main first wins, and here the drop did.
        if (dropped) throw gone(written.front());
        if (lapsed) {
            finish_interrupted_commits("COMMIT");
            continue;  // the log moved: check again from its new main
        }
        // Duplicates also among the pairs of those unfinished commits (read only when there are any).
        if (!written_pairs_.empty() && !open.empty()) {
            for (const auto& row : client
                                       .sql("SELECT pairs FROM " + at + " WHERE state = 'committed' AND array_contains(?, id)",
                                            {SparkParameter(open)})
                                       ->fetchall()) {
                if (row.at(0).is_null()) continue;
                for (const auto& pair : Value::parse(row.at(0).get<std::string>())) {
                    taken.emplace(pair.at("o").get<std::string>(), pair.at("v").get<std::string>());
                }
            }
        }
        for (const auto& pair : written_pairs_) {
            if (taken.contains(pair)) {
                throw KorvexConnectionError("COMMIT refused: version " + pair.second + " of object " + pair.first +
                                            " was already committed by another transaction; nothing of this "
                                            "transaction was written");
            }
        }
        run_step_hook("claim");
        const std::int64_t leased = now_ms();
        if (append_to_log_at(*start,
                             {SparkParameter(id), SparkParameter(std::string("committed")), SparkParameter(commit_log_owner()),
                              SparkParameter(Value(leased + commit_lease_ms_)), SparkParameter(id),
                              SparkParameter(tables.dump()), SparkParameter(pairs.dump())})) {
            lease_from_ms_ = leased;
            return heads;
        }
        // Another commit got in first: check again against the new main.
    }
    throw KorvexConnectionError("COMMIT: other commits got in first " + std::to_string(ATTEMPTS) +
                                " times in a row; nothing of this transaction was written, try again");
}

void SparkIcebergHistoricalConnection::finish_commit(const std::string& id, const std::string& branch,
                                                     const std::vector<std::string>& tables,
                                                     const std::vector<std::optional<std::int64_t>>& heads) {
    // The class tables at once, then the metadata table (it comes last in `tables`): reads join
    // each version with its metadata row, so none shows before every class table is on main.
    using Known = std::optional<std::optional<std::int64_t>>;
    const auto publish_one = [&](std::size_t i) {
        publish(tables[i], branch, i < heads.size() ? Known(heads[i]) : Known());
        stop_at("table:" + tables[i]);
    };
    std::size_t metadata = tables.size();
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (tables[i] == "metadata") metadata = i;
    }
    // A commit still publishing keeps its intent: once half its lease has run, the lease runs
    // again from now (each renewal is one more commit on the log, so a quick commit makes none).
    const auto keep_lease = [&] {
        if (now_ms() - lease_from_ms_ >= commit_lease_ms_ / 2) renew_lease(id);
    };
    keep_lease();
    std::vector<std::function<void()>> class_tables;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (i != metadata) class_tables.emplace_back([&publish_one, i] { publish_one(i); });
    }
    if (!class_tables.empty()) concurrently(std::move(class_tables));
    if (metadata < tables.size()) {
        keep_lease();
        publish_one(metadata);
    }
    stop_at("done");
    // Everything is on main: the done row and the branch drops at once. A finisher that finds
    // the branches gone before the done row publishes nothing (a missing branch has nothing left
    // to publish) and writes the done row itself.
    std::vector<std::function<void()>> last;
    last.emplace_back([&] {
        connection_->client().sql("INSERT INTO " + qualified_name(COMMIT_LOG_TABLE) +
                                      " VALUES (?, 'done', ?, NULL, ?, NULL, NULL)",
                                  {SparkParameter(id), SparkParameter(commit_log_owner()), SparkParameter(branch)});
    });
    for (const auto& table : tables) last.emplace_back([&, table] { drop_branch(table, branch); });
    concurrently(std::move(last));
}

void SparkIcebergHistoricalConnection::finish_interrupted_commits(const std::string& caller) {
    const std::string log = qualified_name(COMMIT_LOG_TABLE);
    std::set<std::string> finished;
    constexpr int ATTEMPTS = 20;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        const std::optional<std::int64_t> start = ref_head(COMMIT_LOG_TABLE, "main");
        if (!start) return;
        // A commit's lease is the latest its owner (or whoever took it over) wrote.
        const std::string at = log + " VERSION AS OF " + std::to_string(*start);
        const auto rows = connection_->client()
                              .sql("SELECT c.id, c.branch, c.tables FROM " + at +
                                       " c LEFT SEMI JOIN (SELECT id FROM " + at +
                                       " GROUP BY id HAVING count_if(state = 'committed') > 0 AND count_if(state = "
                                       "'done') = 0 AND max(lease_until) < ?) l ON l.id = c.id"
                                       " WHERE c.state = 'committed'",
                                   {SparkParameter(Value(now_ms()))})
                              ->fetchall();
        bool moved = false;
        for (const auto& row : rows) {
            const std::string id = row.at(0).get<std::string>();
            if (finished.contains(id)) continue;
            // Taken over only while the log is as read: two finishers never publish at once.
            const std::int64_t leased = now_ms();
            if (!append_to_log_at(*start,
                                  {SparkParameter(id), SparkParameter(std::string("lease")), SparkParameter(commit_log_owner()),
                                   SparkParameter(Value(leased + commit_lease_ms_)), SparkParameter(Value(nullptr)),
                                   SparkParameter(Value(nullptr)), SparkParameter(Value(nullptr))})) {
                moved = true;
                break;  // the log moved: read it again
            }
            lease_from_ms_ = leased;
            std::vector<std::string> tables;
            for (const auto& table : Value::parse(row.at(2).get<std::string>())) tables.push_back(table.get<std::string>());
            try {
                finish_commit(id, row.at(1).get<std::string>(), tables);
            } catch (...) {
                std::throw_with_nested(
                    KorvexConnectionError(caller + ": finishing the interrupted commit " + id + " failed"));
            }
            finished.insert(id);
            moved = true;  // our own rows moved the log
            break;
        }
        if (!moved) return;
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
                    update_refs(connection_->client(), "ALTER TABLE " + qualified_name(table) + " REPLACE BRANCH " +
                                              spark_dialect.quote_name(branch_) + " AS OF VERSION " +
                                              std::to_string(*head));
                } else {
                    // Made on a table with no snapshot yet: made again from nothing.
                    drop_branch(table);
                    update_refs(connection_->client(), "ALTER TABLE " + qualified_name(table) + " CREATE BRANCH " +
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
            std::vector<std::optional<std::int64_t>> heads;
            try {
                for (const std::int64_t head : claim_commit(branch, tables)) heads.emplace_back(head);
            } catch (...) {
                // Not committed: nothing of the transaction is on main, and its branches go.
                closed();
                for (const auto& table : tables) drop_branch(table, branch);
                throw;
            }
            closed();
            stop_at("commit_point");
            // Past the commit point the transaction is committed: whoever finishes it (this
            // connection now, or a later commit or prepare_connection) publishes the same branches.
            try {
                finish_commit(branch, branch, tables, heads);
            } catch (...) {
                std::throw_with_nested(KorvexConnectionError(
                    "COMMIT: the transaction is committed but publishing it was interrupted; the next "
                    "commit or prepare_connection (once this connection's lease of " +
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
                update_refs(connection_->client(), "ALTER TABLE " + qualified_name(table) + " DROP BRANCH IF EXISTS " +
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
