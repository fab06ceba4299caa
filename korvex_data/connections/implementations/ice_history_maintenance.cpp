// SparkIcebergHistoricalConnection::maintain: compaction, snapshot expiry, dropping the branches
// of dead transactions and trimming the commit log, none of which may change what a read returns
// or keep an open transaction or an unfinished commit from completing.
//
// What keeps a transaction safe: its branch is dropped only when no unfinished commit names it
// and its head is older than the branch age; and on each table, snapshots are expired only when
// older than the oldest snapshot a kept branch holds that main does not, so the history a commit
// reads to find its fork stays. Compaction moves main, which a commit then publishes onto as onto
// any main that moved since its fork.

#include "korvex_data/connections/implementations/ice_history.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

namespace korvex::ice_history {
namespace {

constexpr const char* TRANSACTION_BRANCH_PREFIX = "korvex_tx_";

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t as_int(const Value& value) {
    if (value.is_null()) return 0;
    if (value.is_string()) return std::stoll(value.get<std::string>());
    return value.get<std::int64_t>();
}

void check_age(const char* name, std::int64_t value, std::int64_t least = 0) {
    if (value < least || value > std::int64_t{100} * 365 * 86400) {
        throw UsageError(std::string("maintain: ") + name + " must be from " + std::to_string(least) +
                         " to 100 years in seconds, not " + std::to_string(value));
    }
}

}  // namespace

MaintenanceReport SparkIcebergHistoricalConnection::maintain(const MaintenanceOptions& options) {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    if (!branch_.empty()) {
        throw UsageError("maintain: a transaction is open on this connection; commit or roll it back first "
                         "(maintenance runs outside transactions)");
    }
    check_age("snapshot_age_seconds", options.snapshot_age_seconds);
    check_age("branch_age_seconds", options.branch_age_seconds);
    check_age("commit_log_age_seconds", options.commit_log_age_seconds);
    if (options.retain_last < 1 || options.retain_last > 1000000) {
        throw UsageError("maintain: retain_last must be from 1 to 1000000, not " + std::to_string(options.retain_last));
    }
    if (options.min_input_files < 1 || options.min_input_files > 1000000) {
        throw UsageError("maintain: min_input_files must be from 1 to 1000000, not " +
                         std::to_string(options.min_input_files));
    }
    auto& client = connection_->client();
    const std::int64_t started = now_ms();
    const std::string procedures = spark_identifier(catalog_) + ".system.";
    const std::string log = qualified_name(COMMIT_LOG_TABLE);
    MaintenanceReport report;
    try {
        finish_interrupted_commits("maintain");

        std::vector<std::string> tables;
        for (const auto& row :
             client.sql("SHOW TABLES IN " + spark_identifier(catalog_) + "." + spark_identifier(namespace_))->fetchall()) {
            tables.push_back(row.at(1).get<std::string>());
        }

        // Dead transactions' branches, on every table before anything else moves main. The drop
        // is first recorded on the commit log ('dropped' rows, one per transaction) by the same
        // compare-and-swap a commit's claim uses: of a claim and a drop of one transaction's
        // branches exactly one reaches the log's main first. A commit that finds the drop is
        // refused whole; a drop that lost reads the log again and finds the claim.
        const std::int64_t branch_cutoff = started - options.branch_age_seconds * 1000;
        std::map<std::string, std::vector<std::string>> doomed;  // branch -> its tables
        constexpr int ATTEMPTS = 20;
        for (int attempt = 1;; ++attempt) {
            const std::optional<std::int64_t> start = current_snapshot(COMMIT_LOG_TABLE);
            if (!start) throw KorvexConnectionError("maintain: the commit log " + log + " is empty: run prepare_connection");
            const std::string at = log + " VERSION AS OF " + std::to_string(*start);
            // The branches of commits claimed and not finished: never dropped.
            std::set<std::string> pending;
            for (const auto& row : client
                                       .sql("SELECT branch FROM " + at + " WHERE state = 'committed' AND id NOT IN "
                                            "(SELECT id FROM " + at + " WHERE state = 'done')")
                                       ->fetchall()) {
                if (!row.at(0).is_null()) pending.insert(row.at(0).get<std::string>());
            }
            doomed.clear();
            for (const auto& table : tables) {
                const auto rows = client
                                      .sql("SELECT r.name, unix_millis(s.committed_at) FROM " + qualified_name(table) +
                                               ".refs r JOIN " + qualified_name(table) +
                                               ".snapshots s ON r.snapshot_id = s.snapshot_id"
                                               " WHERE r.type = 'BRANCH' AND startswith(r.name, ?)",
                                           {SparkParameter(std::string(TRANSACTION_BRANCH_PREFIX))})
                                      ->fetchall();
                for (const auto& row : rows) {
                    const std::string branch = row.at(0).get<std::string>();
                    if (pending.contains(branch) || as_int(row.at(1)) >= branch_cutoff) continue;
                    doomed[branch].push_back(table);
                }
            }
            if (doomed.empty()) break;
            run_step_hook("drop");
            std::vector<std::vector<SparkParameter>> drops;
            const std::int64_t now = now_ms();
            for (const auto& [branch, on] : doomed) {
                Value names = Value::array();
                for (const auto& table : on) names.push_back(table);
                drops.push_back({SparkParameter(branch), SparkParameter(std::string("dropped")),
                                 SparkParameter(commit_log_owner()), SparkParameter(Value(now)), SparkParameter(branch),
                                 SparkParameter(names.dump()), SparkParameter(Value(nullptr))});
            }
            if (append_to_log_at(*start, drops)) break;
            if (attempt == ATTEMPTS) {
                throw KorvexConnectionError("maintain: commits got in first " + std::to_string(ATTEMPTS) +
                                            " times in a row while recording the branches to drop; no branch was "
                                            "dropped, run it again");
            }
        }
        for (const auto& [branch, on] : doomed) {
            for (const auto& table : on) {
                drop_branch(table, branch);
                report.dropped_branches.push_back(table + ":" + branch);
                logger()->info("maintain: dropped the branch {} of {}, left by a transaction that can no longer commit",
                               branch, table);
            }
        }

        for (const auto& table : tables) {
            const std::string procedure_name = procedure_table(table);
            if (options.compact) {
                const auto rows = client
                                      .sql("CALL " + procedures + "rewrite_data_files(table => " + procedure_name +
                                           ", options => map('min-input-files', '" +
                                           std::to_string(options.min_input_files) + "'))")
                                      ->fetchall();
                if (!rows.empty()) {
                    report.rewritten_data_files += as_int(rows.front().at(0));
                    report.added_data_files += as_int(rows.front().at(1));
                }
            }
            // The oldest snapshot a kept branch holds beyond main: nothing from it on is expired.
            std::int64_t expire_before = started - options.snapshot_age_seconds * 1000;
            const auto ancestors = [&](std::int64_t head) {
                return client
                    .sql("CALL " + procedures + "ancestors_of(table => " + procedure_name +
                         ", snapshot_id => " + std::to_string(head) + ")")
                    ->fetchall();
            };
            std::set<std::int64_t> on_main;
            bool main_read = false;
            for (const auto& ref : client
                                       .sql("SELECT r.name, r.snapshot_id, unix_millis(s.committed_at) FROM " +
                                            qualified_name(table) + ".refs r JOIN " + qualified_name(table) +
                                            ".snapshots s ON r.snapshot_id = s.snapshot_id WHERE r.type = 'BRANCH' "
                                            "AND r.name <> 'main'")
                                       ->fetchall()) {
                if (!main_read) {
                    if (const auto head = ref_head(table, "main")) {
                        for (const auto& row : ancestors(*head)) on_main.insert(as_int(row.at(0)));
                    }
                    main_read = true;
                }
                expire_before = std::min(expire_before, as_int(ref.at(2)));
                for (const auto& row : ancestors(as_int(ref.at(1)))) {
                    if (!on_main.contains(as_int(row.at(0)))) expire_before = std::min(expire_before, as_int(row.at(1)));
                }
            }
            const auto rows = client
                                  .sql("CALL " + procedures + "expire_snapshots(table => " + procedure_name +
                                       ", older_than => TIMESTAMP_MILLIS(" + std::to_string(expire_before) +
                                       "), retain_last => " + std::to_string(options.retain_last) + ")")
                                  ->fetchall();
            if (!rows.empty()) report.deleted_data_files += as_int(rows.front().at(0));
        }

        // Finished commits whose lease ran out long ago: their versions are on main, where the
        // duplicate check finds them; and drops recorded as long ago (their lease_until holds
        // when), whose transactions' branches are gone. The start row stays; removing rows moves
        // the log's main, so a claim racing with it retries against the new main like against
        // any other commit.
        const std::int64_t log_cutoff = started - options.commit_log_age_seconds * 1000;
        Value ids = Value::array();
        for (const auto& row : client
                                   .sql("SELECT id, state FROM " + log + " WHERE lease_until < ? AND (state = 'dropped' "
                                        "OR state = 'committed' AND id IN (SELECT id FROM " + log +
                                        " WHERE state = 'done'))",
                                        {SparkParameter(Value(log_cutoff))})
                                   ->fetchall()) {
            ids.push_back(row.at(0));
            if (row.at(1).get<std::string>() == "committed") ++report.trimmed_commits;
        }
        if (!ids.empty()) {
            client.sql("DELETE FROM " + log + " WHERE state <> 'start' AND array_contains(from_json(?, 'array<string>'), id)",
                       {SparkParameter(ids.dump())});
        }
    } catch (const KorvexConnectionError&) {
        throw;
    } catch (const UsageError&) {
        throw;
    } catch (...) {
        std::throw_with_nested(KorvexConnectionError("maintain: maintenance of the Iceberg store in " + catalog_ + "." +
                                                     namespace_ + " failed; what it finished stays done, and it can "
                                                     "run again"));
    }
    connection_->note_table_change();
    return report;
}

}  // namespace korvex::ice_history
