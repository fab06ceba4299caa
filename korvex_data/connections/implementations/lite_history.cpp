// SqliteHistoricalConnection: construction, the table-schema service, opening and closing the
// SQLite database, execute, and the transaction statements. The module entry point that
// registers the class with the host is at the end of this file.

#include "korvex_data/connections/implementations/lite_history.hpp"
#include "korvex_data/connections/implementations/lite_history_dialect.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/connections/table_change_tracker.hpp"
#include "korvex/error.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/sqlite/sql_statements_mixin.hpp"
#include "korvex/utils/text.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <charconv>
#include <exception>
#include <mutex>
#include <tuple>

namespace korvex::lite_history {

std::shared_ptr<spdlog::logger> logger() { return named_logger(MODULE_PATH); }

std::pair<std::string, std::size_t> question_markers(const std::string& query) {
    std::string text;
    text.reserve(query.size());
    std::size_t markers = 0;
    for (std::size_t i = 0; i < query.size(); ++i) {
        if (query[i] == '%' && i + 1 < query.size() && query[i + 1] == 's') {
            text += '?';
            ++markers;
            ++i;
        } else if (query[i] == '%' && i + 1 < query.size() && query[i + 1] == '%') {
            text += '%';
            ++i;
        } else {
            text += query[i];
        }
    }
    return {std::move(text), markers};
}

namespace {

// The cursor of a COMMIT that could not commit: its answer is ROLLBACK, as PostgreSQL answers
// the COMMIT of a failed transaction.
class RolledBackCursor : public MemoryCursor {
public:
    std::string statusmessage() const override { return "ROLLBACK"; }
};

}  // namespace

SqliteHistoricalConnection::SqliteHistoricalConnection(ConnectionOptions options)
    : SqlHistoricalStore(sqlite_dialect(), options) {}

SqliteHistoricalConnection::~SqliteHistoricalConnection() = default;

std::unique_ptr<TableSchemaServiceBase> SqliteHistoricalConnection::table_schema_manager() {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    if (schema_module_ == nullptr) schema_module_ = &import_module(TABLE_SCHEMA_MODULE_PATH);
    ConstructionArgs args;
    args.connection = _connection.get();
    return schema_module_->create<TableSchemaServiceBase>(TABLE_SCHEMA_CLASS, args);
}

void SqliteHistoricalConnection::connect(const std::optional<std::string>& dsn,
                                         const ConnectionParameters& parameters) {
    if (_connection != nullptr) {
        throw KorvexConnectionError("Connection already established");
    }
    if (!dsn || dsn->empty()) {
        // An empty path would open a private temporary database that vanishes on disconnect.
        throw UsageError("connect: name the SQLite database file (or \":memory:\"), not an empty path");
    }
    SqliteOpenOptions options;
    for (const auto& [name, value] : parameters) {
        if (name == "busy_timeout_ms") {
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), options.busy_timeout_ms);
            if (error != std::errc() || end != value.data() + value.size() || options.busy_timeout_ms < 0) {
                throw UsageError("connect: busy_timeout_ms must be a whole number of milliseconds, got " + value);
            }
        } else if (name == "synchronous") {
            const std::string level = to_lower(value);
            if (level != "full" && level != "normal") {
                throw UsageError("connect: synchronous must be FULL or NORMAL, got " + value);
            }
            options.synchronous =
                level == "full" ? SqliteOpenOptions::Synchronous::FULL : SqliteOpenOptions::Synchronous::NORMAL;
        } else if (name == "keep_journal_mode") {
            if (value != "true" && value != "false") {
                throw UsageError("connect: keep_journal_mode must be true or false, got " + value);
            }
            options.keep_journal_mode = value == "true";
        } else {
            throw UsageError("connect: unknown parameter " + name +
                             " (the SQLite store takes busy_timeout_ms, synchronous and keep_journal_mode)");
        }
    }
    _connection = std::make_unique<SqliteStateConnection>(*dsn, options);
    transaction_failed_ = false;
    // Another file, or a new database in memory: nothing described before holds.
    table_columns_.clear();
    forget_table_descriptions();
    described_schema_version_ = Value();
    schema_read_in_transaction_ = 0;
    described_at_changes_ = _connection->table_changes();
}

void SqliteHistoricalConnection::disconnect() {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    // Closing rolls back a transaction still open, as a server ends it with the session.
    _connection.reset();
    transaction_failed_ = false;
    forget_transaction_state();
}

void SqliteHistoricalConnection::prepare_connection() {
    table_schema_manager()->register_internal_tables();
    // The latest-version read joins each version with its metadata row by (object_id,
    // object_version) and looks for a following version by (object_id, prior_version). The second
    // index holds the successor's version too, so that the read needs no table row for it; it
    // keeps the name of the pair it began as, and a file made before it holds the pair alone
    // (which reads the same, only slower).
    for (const std::vector<std::string>& columns :
         {std::vector<std::string>{"object_id", "object_version"},
          std::vector<std::string>{"object_id", "prior_version", "object_version"}}) {
        const std::string index = sqlite_index_name("metadata", columns[0] + "_" + columns[1] + "_idx");
        std::string listed;
        for (const auto& column : columns) listed += (listed.empty() ? "" : ", ") + _quote_name(column);
        execute("CREATE INDEX IF NOT EXISTS " + _quote_name(index) + " ON \"metadata\" (" + listed + ")");
    }
}

std::shared_ptr<Cursor> SqliteHistoricalConnection::execute(const std::string& query,
                                                            const std::vector<Value>& params) {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    // Written only when a statement fails: formatting every parameter costs as much as a write.
    const auto error_message = [&] {
        return "Error executing query: " + query + " with args: " + printed_parameters(params);
    };
    if (transaction_failed_) {
        const std::string verb = leading_sql_keyword(query);
        if (verb == "COMMIT" || verb == "END") {
            transaction_failed_ = false;
            if (_connection->in_transaction()) _connection->execute("ROLLBACK");
            return std::make_shared<RolledBackCursor>();
        }
        if (verb != "ROLLBACK") {
            try {
                throw DatabaseError("current transaction is aborted, commands ignored until end of transaction block");
            } catch (...) {
                std::throw_with_nested(KorvexConnectionError(error_message()));
            }
        }
    }
    try {
        if (query != marked_query_) {
            std::tie(marked_text_, marked_count_) = question_markers(query);
            marked_query_ = query;
        }
        if (marked_count_ != params.size()) {
            throw UsageError("the statement has " + std::to_string(marked_count_) + " %s markers but " +
                             std::to_string(params.size()) + " parameters were given");
        }
        auto cursor = _connection->execute(marked_text_, params);
        if (transaction_failed_) {
            // ROLLBACK ends the failed transaction; ROLLBACK TO a savepoint made before the
            // failure undoes it.
            transaction_failed_ = false;
        }
        return cursor;
    } catch (const SqliteError&) {
        if (_connection->in_transaction()) transaction_failed_ = true;
        std::throw_with_nested(KorvexConnectionError(error_message()));
    } catch (...) {
        std::throw_with_nested(KorvexConnectionError(error_message()));
    }
}

void SqliteHistoricalConnection::run_transaction_statement(const std::string& statement,
                                                           const std::string& expected_status) {
    const bool open = _connection != nullptr && _connection->in_transaction();
    if (open && statement == "BEGIN") {
        // A BEGIN the host sent through execute opened it: go on in it, as PostgreSQL does.
        logger()->debug("BEGIN: there is already a transaction in progress");
        return;
    }
    if (_connection != nullptr && !open && statement.starts_with("SAVEPOINT ")) {
        // SQLite would open a new transaction with it; PostgreSQL refuses it outside one.
        throw KorvexConnectionError(statement + ": SAVEPOINT can only be used in a transaction (a COMMIT or ROLLBACK "
                                    "sent through execute ended it)");
    }
    if (_connection != nullptr && !open && statement != "BEGIN") {
        // SQLite ended the transaction by itself (or a statement sent through execute did):
        // a rollback has nothing left to undo, and a commit has nothing left to write.
        transaction_failed_ = false;
        if (statement == "COMMIT") {
            throw KorvexConnectionError(
                "COMMIT was answered with ROLLBACK: the transaction was no longer open (SQLite had rolled it "
                "back, or a statement sent through execute had ended it), so nothing of it was written");
        }
        if (statement.starts_with("ROLLBACK")) return;
    }
    std::string status;
    try {
        // The outermost level takes the write lock at once and waits its turn for it: a deferred
        // BEGIN would read first, and SQLite refuses, without waiting, to let a reader become a
        // writer while another writer commits.
        status = execute(statement == "BEGIN" ? std::string("BEGIN IMMEDIATE") : statement)->statusmessage();
    } catch (...) {
        // A COMMIT SQLite could not make (another connection held the lock) leaves its
        // transaction open, while the levels are already gone: end it, as PostgreSQL ends a
        // failed COMMIT, so that the next begin does not join it.
        if (statement != "COMMIT" || _connection == nullptr || !_connection->in_transaction()) throw;
        try {
            _connection->execute("ROLLBACK");
        } catch (...) {
        }
        transaction_failed_ = false;
        std::throw_with_nested(KorvexConnectionError(
            "COMMIT failed and the transaction was rolled back, so nothing of it was written"));
    }
    if (statement == "COMMIT" && status == "ROLLBACK") {
        throw KorvexConnectionError(
            "COMMIT was answered with ROLLBACK: the transaction was rolled back because a statement in it had "
            "failed, so nothing of the transaction was written");
    }
    (void)expected_status;  // SQLite answers nothing else: a statement either runs or fails
}

}  // namespace korvex::lite_history

KORVEX_MODULE_ENTRY {
    using korvex::lite_history::SqliteHistoricalConnection;
    registry.add_class("SqliteHistoricalConnection",
                       [](const korvex::ConstructionArgs& args) -> std::unique_ptr<korvex::Object> {
                           return std::make_unique<SqliteHistoricalConnection>(
                               korvex::parse_store_arguments("SqliteHistoricalConnection", args));
                       });
    registry.add_attribute("METADATA_SELECT_FIELD", korvex::lite_history::METADATA_SELECT_FIELD);
    registry.add_attribute("sql_operator_map", &korvex::lite_history::sql_operator_map);
}
