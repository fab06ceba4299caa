// PostgresHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"
#include "korvex_data/connections/implementations/pg_timeline_libpq.hpp"

#include <algorithm>
#include <charconv>
#include <deque>
#include <exception>
#include <map>

namespace korvex::pg_timeline {

// The columns of the table that an unqualified name resolves to through the search path, as
// INSERT INTO and DELETE FROM resolve it; same-named tables of other schemas are left out.
static constexpr const char* DESCRIBE_TABLE_STATEMENT =
    "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = %s"
    " AND table_schema = (SELECT n.nspname FROM pg_class AS c JOIN pg_namespace AS n ON n.oid = c.relnamespace"
    " WHERE c.oid = to_regclass(quote_ident(%s)))";

TableDescription PostgresHistoricalConnection::_read_table_description(const std::string& table_name) {
    // The server would read a longer name as its first 63 bytes and describe another table.
    check_sql_name(table_name, POSTGRES_IDENTIFIER_MAX_BYTES);
    auto cursor = execute(DESCRIBE_TABLE_STATEMENT, {Value(table_name), Value(table_name)});
    TableDescription description;
    for (const auto& row : cursor->fetchall()) {
        description[row.at(0).get<std::string>()] = row.at(1).get<std::string>();
    }
    return description;
}

bool PostgresHistoricalConnection::_tables_changed() {
    if (table_changes_.changes() == described_at_changes_) return false;
    described_at_changes_ = table_changes_.changes();
    return true;
}

std::optional<bool> PostgresHistoricalConnection::_engine_transaction_open() const {
    if (_connection == nullptr) return std::nullopt;
    return PQtransactionStatus(_connection) != PQTRANS_IDLE;
}

namespace {

// The server's errors when an INSERT made for the table as this session last saw it meets a table
// that another session has since re-created or altered: a column of another type than the
// statement's parameter (42804), or a column that is gone (42703).
bool table_changed_state(const std::string& sqlstate) { return sqlstate == "42804" || sqlstate == "42703"; }

// The server's error that `error` carries as its cause, or null.
const DatabaseError* database_cause(const std::exception& error) {
    const auto* nested = dynamic_cast<const std::nested_exception*>(&error);
    if (nested == nullptr || !nested->nested_ptr()) return nullptr;
    try {
        std::rethrow_exception(nested->nested_ptr());
    } catch (const DatabaseError& database_error) {
        return &database_error;  // the exception object lives as long as `error` holds it
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

void PostgresHistoricalConnection::_execute_insert(const std::string& table_name, const Statement& statement) {
    try {
        execute(statement.text, statement.params);
    } catch (const KorvexConnectionError& error) {
        const DatabaseError* cause = database_cause(error);
        if (cause && table_changed_state(cause->sqlstate())) {
            forget_table(table_name, statement.text);
            report_changed_table("put", table_name, std::make_exception_ptr(*cause));
        }
        // A value refused as data may have met the types of a table that has changed since: the
        // INSERT prepared for the old one reads its parameters by the old types. That cannot be
        // told from a value that does not fit, so the error stays the server's, and the session
        // forgets the table, so that a retry meets the table as it is.
        if (cause && cause->sqlstate().starts_with("22")) forget_table(table_name, statement.text);
        throw;
    }
}

Value PostgresHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    if (data_type == "json" && (value.is_string() || value.is_number_integer() || value.is_boolean())) {
        return json_text(value);
    }
    return value;
}

void PostgresHistoricalConnection::forget_table(const std::string& table_name, const std::string& insert_text) {
    forget_table_description(table_name);
    statements_->inserts.evict(insert_text);
}

namespace {

// The savepoint around one put_many inside a transaction: any name works, as a savepoint of the
// same name further out is only hidden until this one is released.
constexpr const char* PUT_MANY_SAVEPOINT = "korvex_put_many";
// Rows one INSERT of put_many writes at most. The server plans and runs one statement of many
// rows for a fraction of what as many statements of one row each cost.
constexpr std::size_t ROWS_PER_STATEMENT = 100;
// libpq sends the number of parameters as 16 bits.
constexpr std::size_t MAX_PARAMETERS = 65535;

// One INSERT of a put_many: `rows` consecutive items whose single-row INSERTs are alike, as one
// statement writing all their rows.
struct RowGroup {
    std::size_t first = 0;
    std::size_t rows = 1;
    std::string key;  // the statement's text, or for several rows a name standing for it
    std::string text;  // with $n markers; made only when the statement must be sent
    std::vector<const char*> values;
};

// "INSERT INTO t (a, b) " of a single-row INSERT ending in "VALUES (%s, ..., %s)", with the number
// of its markers; nothing for any other shape, which is then written row by row.
std::optional<std::pair<std::string, std::size_t>> split_values(const std::string& text) {
    const auto values = text.rfind(" VALUES (");
    if (values == std::string::npos) return std::nullopt;
    // The markers: "%s" and then ", %s" until the closing parenthesis ends the text.
    std::size_t at = values + 9;
    std::size_t markers = 0;
    while (text.compare(at, 2, "%s") == 0) {
        ++markers;
        at += 2;
        if (at + 1 == text.size() && text[at] == ')') return std::pair{text.substr(0, values + 1), markers};
        if (text.compare(at, 2, ", ") != 0) break;
        at += 2;
    }
    return std::nullopt;
}

// What one command of a put_many pipeline does, and for which items.
struct PipelinedCommand {
    enum Kind { SAVEPOINT, PREPARE, INSERT, RELEASE } kind;
    const RowGroup* group = nullptr;
};

}  // namespace


std::optional<SqlHistoricalStore::BatchFailure> PostgresHistoricalConnection::_write_batch(const InsertBatch& batch) {
    if (_connection == nullptr) throw KorvexConnectionError("Connection not established");
    // The parameters in libpq's text form, made once for both attempts below.
    BatchValues values;
    values.row_values.reserve(batch.row_params.size());
    for (const auto& params : batch.row_params) {
        auto& row = values.row_values.emplace_back();
        row.reserve(params.size());
        for (const auto& param : params) row.push_back(detail::parameter_chars(param, values.made));
    }
    // Alike rows go together. When that fails, the same writes run one row per statement, so that
    // the error names the item the server refused.
    std::optional<PutManyFailure> failure;
    try {
        failure = write_pipelined(batch, values, true);
        if (failure && !(failure->item && table_changed_state(failure->error.sqlstate()))) {
            failure = write_pipelined(batch, values, false);
        }
    } catch (...) {
        if (connection_lost()) {
            statements_->clear();
            forget_transaction_state();
        }
        std::throw_with_nested(KorvexConnectionError("put_many: the writes of " + std::to_string(batch.row_text.size()) +
                                                     " items could not be sent"));
    }
    if (!failure) return std::nullopt;
    const std::string& state = failure->error.sqlstate();
    // A value refused as data forgets the table, as put does.
    return BatchFailure{failure->item, std::make_exception_ptr(failure->error), table_changed_state(state),
                        state.starts_with("22")};
}

// All INSERTs in one round trip, with the statements not prepared yet prepared in it. Inside a
// transaction they run within a savepoint, rolled back when one fails, so that nothing of the call
// stays written and the transaction goes on; outside one, they form one implicit transaction,
// which the server rolls back as a whole. With `grouped`, consecutive alike rows are written by
// one statement.
std::optional<PostgresHistoricalConnection::PutManyFailure> PostgresHistoricalConnection::write_pipelined(
    const InsertBatch& batch, const BatchValues& values, bool grouped) {
    std::vector<RowGroup> groups;
    const std::size_t count = batch.row_text.size();
    for (std::size_t i = 0; i < count;) {
        RowGroup& group = groups.emplace_back();
        group.first = i;
        const std::string& single = *batch.row_text[i];
        const auto split = grouped ? split_values(single) : std::nullopt;
        const std::size_t columns = split ? split->second : 0;
        std::size_t end = i + 1;
        if (split && columns == values.row_values[i].size()) {
            const std::size_t most = std::min(ROWS_PER_STATEMENT, MAX_PARAMETERS / columns);
            while (end < count && end - i < most && batch.row_text[end] == batch.row_text[i] &&
                   values.row_values[end].size() == columns) {
                ++end;
            }
        }
        group.rows = end - i;
        for (std::size_t row = i; row < end; ++row) {
            group.values.insert(group.values.end(), values.row_values[row].begin(), values.row_values[row].end());
        }
        if (group.rows == 1) {
            group.key = single;
            const auto [text, markers] = detail::number_markers(single);
            if (markers != group.values.size()) {
                throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                                 std::to_string(group.values.size()) + " parameters were given");
            }
            group.text = text;
        } else {
            group.key = single + "\n-- rows: " + std::to_string(group.rows);
            if (!statements_->inserts.find(group.key)) {
                group.text = detail::number_markers(split->first).first + "VALUES ";
                for (std::size_t row = 0, n = 0; row < group.rows; ++row) {
                    group.text += row ? ", (" : "(";
                    for (std::size_t column = 0; column < columns; ++column) {
                        group.text += column ? ", $" : "$";
                        group.text += std::to_string(++n);
                    }
                    group.text += ')';
                }
            }
        }
        i = end;
    }

    const bool in_transaction = PQtransactionStatus(_connection) != PQTRANS_IDLE;
    std::vector<PipelinedCommand> commands;
    std::map<std::string, std::string> prepared_here;  // statement key to name
    std::vector<libpq::ResultPtr> results;
    {
        libpq::Pipeline pipeline(_connection);
        if (in_transaction) {
            pipeline.query(std::string("SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::SAVEPOINT});
        }
        for (const RowGroup& group : groups) {
            const std::string* name = statements_->inserts.find(group.key);
            if (name == nullptr) {
                if (auto found = prepared_here.find(group.key); found != prepared_here.end()) name = &found->second;
            }
            if (name == nullptr && statements_->inserts.size() + prepared_here.size() < libpq::PreparedStatements::CAPACITY) {
                auto entry = prepared_here.emplace(group.key, statements_->inserts.new_name()).first;
                pipeline.prepare(entry->second, group.text);
                commands.push_back({PipelinedCommand::PREPARE, &group});
                name = &entry->second;
            }
            if (name != nullptr) {
                pipeline.run_prepared(*name, group.values);
            } else {
                pipeline.query(group.text, group.values);
            }
            commands.push_back({PipelinedCommand::INSERT, &group});
        }
        if (in_transaction) {
            pipeline.query(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::RELEASE});
        }
        results = pipeline.finish();
    }

    std::optional<std::size_t> failed;
    for (std::size_t c = 0; c < commands.size(); ++c) {
        const bool ok = libpq::succeeded(results[c].get());
        if (commands[c].kind == PipelinedCommand::PREPARE && ok) {
            const std::string& key = commands[c].group->key;
            statements_->inserts.add(key, prepared_here.at(key));
        }
        if (!ok && !failed) failed = c;
    }
    if (!failed) return std::nullopt;

    const PipelinedCommand& command = commands[*failed];
    const PGresult* result = results[*failed].get();
    // A value refused as data may have met the parameter types of a table that changed since (see
    // put): the statement is prepared afresh next time as well.
    const std::string state = libpq::sqlstate_of(result);
    if (command.kind == PipelinedCommand::INSERT && (libpq::plan_may_be_stale(state) || state.starts_with("22"))) {
        statements_->inserts.evict(command.group->key);
    }
    if (in_transaction && command.kind != PipelinedCommand::SAVEPOINT) {
        libpq::ResultPtr undone(PQexec(_connection, (std::string("ROLLBACK TO SAVEPOINT ") + PUT_MANY_SAVEPOINT +
                                                     "; RELEASE SAVEPOINT " + PUT_MANY_SAVEPOINT)
                                                        .c_str()),
                                &PQclear);
        if (!libpq::succeeded(undone.get())) throw libpq::error_of(undone.get(), _connection);
    }
    std::optional<std::size_t> item;
    if (command.group != nullptr) item = command.group->first;
    return PutManyFailure{item, libpq::error_of(result, _connection)};
}

}  // namespace korvex::pg_timeline
