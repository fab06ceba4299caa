// PostgresHistoricalConnection: writing and deleting object versions.

#include "korvex/connections/errors.hpp"
#include "korvex/connections/sql_quoting.hpp"
#include "korvex/error.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"
#include "korvex_data/connections/implementations/pg_timeline_libpq.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <string_view>
#include <tuple>

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
    // A read of the catalogue only: a transaction that held nothing before still holds nothing.
    const bool fresh = fresh_transaction_;
    auto cursor = execute(DESCRIBE_TABLE_STATEMENT, {Value(table_name), Value(table_name)});
    fresh_transaction_ = fresh && PQtransactionStatus(_connection) == PQTRANS_INTRANS;
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
// A prepared read whose plan would now return other column types than it was prepared with.
constexpr const char* RESULT_TYPE_CHANGED = "0A000";

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

namespace {

libpq::KeptInsert& kept_insert(SqlHistoricalStore::InsertShape& shape) {
    if (!shape.driver_state) {
        auto kept = std::make_shared<libpq::KeptInsert>();
        std::tie(kept->text, kept->markers) = detail::number_markers(shape.text);
        kept->holds_nul = shape.text.find('\0') != std::string::npos;
        shape.driver_state = kept;
    }
    return *static_cast<libpq::KeptInsert*>(shape.driver_state.get());
}

}  // namespace

void PostgresHistoricalConnection::_execute_kept_insert(const std::string& table_name, InsertShape& shape,
                                                        std::vector<Value>& params) {
    // A builder a subclass replaced may make other SQL: that runs as execute runs any statement.
    if (!shape.text.starts_with("INSERT INTO ")) {
        SqlHistoricalStore::_execute_kept_insert(table_name, shape, params);
        return;
    }
    struct Running {
        PostgresHistoricalConnection& connection;
        ~Running() {
            connection.running_insert_text_ = nullptr;
            connection.running_insert_ = nullptr;
        }
    } running{*this};
    running_insert_ = &kept_insert(shape);
    running_insert_text_ = &shape.text;
    SqlHistoricalStore::_execute_kept_insert(table_name, shape, params);
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

// Items in a call from which on put_many writes by COPY: below it the pipeline's single round
// trip beats COPY's two (one to start the COPY, one for its rows).
constexpr std::size_t COPY_MIN_ITEMS = 2;
// COPY's rows go to libpq in pieces of about this size (whole rows), so that a large call neither
// holds all its text at once nor exceeds what one PQputCopyData takes.
constexpr std::size_t COPY_CHUNK_BYTES = 1 << 20;

// Whether text[at...] starts with an identifier as the statements write one: a quoted name or a
// bare lower-case one; `at` is moved past it.
bool skip_identifier(const std::string& text, std::size_t& at) {
    if (at < text.size() && text[at] == '"') {
        for (std::size_t end = at + 1; end < text.size(); ++end) {
            if (text[end] != '"') continue;
            if (end + 1 < text.size() && text[end + 1] == '"') {
                ++end;
                continue;
            }
            at = end + 1;
            return true;
        }
        return false;
    }
    const std::size_t start = at;
    while (at < text.size() && ((text[at] >= 'a' && text[at] <= 'z') || (text[at] >= '0' && text[at] <= '9') ||
                                text[at] == '_' || text[at] == '$')) {
        ++at;
    }
    return at > start;
}

// The name the server gives a relation written `written` in its messages (without quotes).
std::string relation_name(std::string_view written) {
    if (written.empty() || written.front() != '"') return std::string(written);
    std::string name;
    for (std::size_t at = 1; at + 1 < written.size(); ++at) {
        name += written[at];
        if (written[at] == '"') ++at;  // "" stands for one quote
    }
    return name;
}

// The table and column list of "INSERT INTO <table> (<column>, ...) " (markers already numbered),
// as written there; nothing for any other shape.
struct CopyTarget {
    std::string table;
    std::string columns;
    std::string relation;  // the table's name as the server's messages give it
};
std::optional<CopyTarget> copy_target(const std::string& prefix) {
    constexpr std::string_view INSERT_INTO = "INSERT INTO ";
    if (!prefix.starts_with(INSERT_INTO)) return std::nullopt;
    std::size_t at = INSERT_INTO.size();
    std::size_t last = at;  // where the table's last name starts
    if (!skip_identifier(prefix, at)) return std::nullopt;
    while (at < prefix.size() && prefix[at] == '.') {
        last = ++at;
        if (!skip_identifier(prefix, at)) return std::nullopt;
    }
    CopyTarget target{prefix.substr(INSERT_INTO.size(), at - INSERT_INTO.size()), {},
                      relation_name(std::string_view(prefix).substr(last, at - last))};
    if (prefix.compare(at, 2, " (") != 0) return std::nullopt;
    const std::size_t columns = at += 2;
    for (;;) {
        if (!skip_identifier(prefix, at)) return std::nullopt;
        if (prefix.compare(at, 2, ", ") != 0) break;
        at += 2;
    }
    if (at + 2 != prefix.size() || prefix.compare(at, 2, ") ") != 0) return std::nullopt;
    target.columns = prefix.substr(columns, at - columns);
    return target;
}

// The letter that follows the backslash for each character COPY's text format escapes; 0 for
// every other character.
constexpr std::array<char, 256> COPY_ESCAPES = [] {
    std::array<char, 256> escapes{};
    escapes['\\'] = '\\';
    escapes['\t'] = 't';
    escapes['\n'] = 'n';
    escapes['\r'] = 'r';
    return escapes;
}();
// Whether any of the 8 bytes of `word` may be one that COPY escapes: a byte below 14 (the tab,
// newline and carriage return among them) or a backslash. Never false for one that is.
bool may_hold_escaped(std::uint64_t word) {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
    const std::uint64_t below_14 = (word - ONES * 14) & ~word & HIGHS;
    const std::uint64_t backslashes = word ^ (ONES * static_cast<unsigned char>('\\'));
    const std::uint64_t backslash = (backslashes - ONES) & ~backslashes & HIGHS;
    return (below_14 | backslash) != 0;
}
void append_copy_text(std::string& data, std::string_view text) {
    const char* done = text.data();
    const char* const end = done + text.size();
    for (const char* at = done; at != end;) {
        // Eight bytes at a time past text that has nothing to escape, which is most text.
        if (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, at, sizeof word);
            if (!may_hold_escaped(word)) {
                at += 8;
                continue;
            }
        }
        for (const char* const stop = at + std::min<std::ptrdiff_t>(end - at, 8); at != stop; ++at) {
            const char escape = COPY_ESCAPES[static_cast<unsigned char>(*at)];
            if (escape == 0) continue;
            data.append(done, at);
            data += '\\';
            data += escape;
            done = at + 1;
        }
    }
    data.append(done, end);
}
// One field of COPY's text format: what libpq would send as the parameter's text, with the
// backslash, tab, newline and carriage return escaped; \N for SQL NULL.
void append_copy_field(std::string& data, const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
            data += "\\N";
            return;
        case Value::value_t::string:
            append_copy_text(data, value.get_ref<const std::string&>());
            return;
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned: {
            std::array<char, 24> digits;
            data += detail::integer_chars(value, digits);
            return;
        }
        default:
            append_copy_text(data, *detail::parameter_text(value));
    }
}

// The line of `relation`'s COPY data that the server's error names in its context, counted from 1.
std::optional<std::size_t> copy_line(const PGresult* result, const std::string& relation) {
    const char* context = PQresultErrorField(result, PG_DIAG_CONTEXT);
    if (context == nullptr) return std::nullopt;
    const std::string expected = "COPY " + relation + ", line ";
    for (std::string_view rest = context; !rest.empty();) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (!line.starts_with(expected)) continue;
        std::size_t number = 0;
        const char* digits = line.data() + expected.size();
        const auto [ptr, error] = std::from_chars(digits, line.data() + line.size(), number);
        if (error == std::errc() && ptr != digits) return number;
    }
    return std::nullopt;
}

}  // namespace

// How the rows of one INSERT text are copied, worked out once per kept INSERT: its table and
// columns, the statements of its columns check and of its COPY, and the key the check is
// prepared under. Not `usable` when the text has another shape.
struct libpq::CopyPlan {
    bool usable = false;
    CopyTarget target;
    std::size_t columns = 0;
    std::string check_key;
    std::string check_select;
    std::string copy;
};

namespace {

using libpq::CopyPlan;

std::shared_ptr<const CopyPlan> copy_plan(const std::string& insert) {
    auto plan = std::make_shared<CopyPlan>();
    const auto split = split_values(insert);
    if (!split) return plan;
    const auto [prefix, markers] = detail::number_markers(split->first);
    auto target = markers == 0 ? copy_target(prefix) : std::nullopt;
    if (!target) return plan;
    plan->usable = true;
    plan->columns = split->second;
    plan->check_key = insert + "\n-- columns check";
    plan->check_select = "SELECT " + target->columns + " FROM " + target->table + " LIMIT 0";
    plan->copy = "COPY " + target->table + " (" + target->columns + ") FROM STDIN";
    plan->target = std::move(*target);
    return plan;
}

// The items of a put_many that one COPY writes: those whose INSERT has the same text, in order.
struct CopyGroup {
    const std::string* insert = nullptr;
    std::shared_ptr<const CopyPlan> plan;
    std::vector<std::size_t> items;
};

// What one command of a put_many's COPY statements does, and for which group.
struct CopyCommand {
    enum Kind { SAVEPOINT, PREPARE_CHECK, CHECK, COPY } kind;
    const CopyGroup* group = nullptr;
    std::string check_name;  // PREPARE_CHECK: the name the check is prepared under
};

// What one command of a put_many pipeline does, and for which items.
struct PipelinedCommand {
    enum Kind { SAVEPOINT, PREPARE, INSERT } kind;
    const RowGroup* group = nullptr;
};

}  // namespace


std::optional<SqlHistoricalStore::BatchFailure> PostgresHistoricalConnection::_write_batch(const InsertBatch& batch) {
    if (_connection == nullptr) throw KorvexConnectionError("Connection not established");
    std::optional<PutManyFailure> failure;
    try {
        std::optional<BatchValues> values;
        // The parameters in libpq's text form, made once for both attempts below.
        const auto made_values = [&]() -> const BatchValues& {
            if (values) return *values;
            values.emplace();
            values->row_values.reserve(batch.row_params.size());
            for (const auto& params : batch.row_params) {
                auto& row = values->row_values.emplace_back();
                row.reserve(params.size());
                for (const auto& param : params) row.push_back(detail::parameter_chars(param, values->made));
            }
            return *values;
        };
        bool copied = false;
        failure = write_copied(batch, copied);
        if (!copied) {
            // Alike rows go together. When that fails, the same writes run one row per statement,
            // so that the error names the item the server refused.
            failure = write_pipelined(batch, made_values(), true);
            if (failure && !(failure->item && table_changed_state(failure->error.sqlstate()))) {
                failure = write_pipelined(batch, made_values(), false);
            }
        } else if (failure && !failure->located) {
            // The server's error does not say which row it refused: nothing of the call stayed
            // written, so the rows run once more one per statement, to name it.
            failure = write_pipelined(batch, made_values(), false);
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
    return BatchFailure{failure->item, std::make_exception_ptr(failure->error),
                        failure->table_changed || table_changed_state(state), state.starts_with("22")};
}

namespace {

// Reads what the server still sends for the commands of one query, ending a COPY left open.
void drain(PGconn* connection) {
    while (PGresult* result = PQgetResult(connection)) {
        const bool copy_in = PQresultStatus(result) == PGRES_COPY_IN;
        PQclear(result);
        if (copy_in && PQputCopyEnd(connection, "put_many stopped") != 1) break;
        if (PQstatus(connection) != CONNECTION_OK) break;
    }
}

}  // namespace

bool PostgresHistoricalConnection::take_batch_savepoint() {
    const bool fresh = fresh_transaction_;
    fresh_transaction_ = false;
    if (PQtransactionStatus(_connection) != PQTRANS_IDLE) return !fresh;
    batch_savepoint_open_ = false;  // it ended with its transaction
    return false;
}

void PostgresHistoricalConnection::settle_batch_savepoint(const std::string& statement) {
    const PGTransactionStatusType status = PQtransactionStatus(_connection);
    const std::string word = status == PQTRANS_IDLE ? std::string() : leading_sql_keyword(statement);
    if (word == "SAVEPOINT" && status == PQTRANS_INTRANS) {
        libpq::ResultPtr released(PQexec(_connection, (std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT).c_str()),
                                  &PQclear);
        if (!libpq::succeeded(released.get())) throw libpq::error_of(released.get(), _connection);
    }
    if (status == PQTRANS_IDLE || word == "SAVEPOINT" || word == "COMMIT" || word == "END" || word == "ROLLBACK" ||
        word == "ABORT" || word == "RELEASE") {
        batch_savepoint_open_ = false;
    }
}

void PostgresHistoricalConnection::undo_batch(int status, bool savepoint) {
    batch_savepoint_open_ = false;  // released before the call's own, which is undone here
    // Outside a transaction the server rolled the call's implicit transaction back as a whole.
    if (status == PQTRANS_IDLE) return;
    const std::string undo = savepoint ? std::string("ROLLBACK TO SAVEPOINT ") + PUT_MANY_SAVEPOINT +
                                             "; RELEASE SAVEPOINT " + PUT_MANY_SAVEPOINT
                                       : std::string("ROLLBACK; BEGIN");
    if (!savepoint) table_changes_.saw("ROLLBACK", true);
    libpq::ResultPtr undone(PQexec(_connection, undo.c_str()), &PQclear);
    if (!libpq::succeeded(undone.get())) throw libpq::error_of(undone.get(), _connection);
    if (savepoint) return;
    // The transaction held nothing before the call: begun again, it is as it was, locks gone.
    statements_->checked_tables.clear();
    fresh_transaction_ = PQtransactionStatus(_connection) == PQTRANS_INTRANS;
}

// The rows by COPY, a COPY per INSERT text, all in one query: the server reads each table's rows as
// the INSERT's parameters (the columns' own input functions, from the same text), without a
// statement per row. Before each COPY a prepared "SELECT <columns> FROM <table> LIMIT 0" runs,
// prepared when that INSERT text was first copied: its plan fails ("cached plan must not change
// result type", or a column gone) when another session changed the table since, as the prepared
// INSERT of the pipelined path does. A table whose check passed earlier in the open transaction
// (and was not rolled back) is not checked again: the check's lock keeps other sessions from
// changing it until the transaction ends. Inside a transaction a savepoint makes the call all or
// nothing, except where the call is the first thing a transaction runs: a failure then rolls the
// transaction back and begins it again, which loses nothing; outside one, the query is one
// implicit transaction. `copied` says whether the rows'
// shapes allowed it at all; when not, nothing was sent.
std::optional<PostgresHistoricalConnection::PutManyFailure> PostgresHistoricalConnection::write_copied(
    const InsertBatch& batch, bool& copied) {
    copied = false;
    const std::size_t count = batch.row_text.size();
    if (count < COPY_MIN_ITEMS) return std::nullopt;
    std::vector<CopyGroup> groups;
    std::size_t to_prepare = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string* insert = batch.row_text[i];
        CopyGroup* group = nullptr;
        for (auto& known : groups) {
            if (known.insert == insert || *known.insert == *insert) {
                group = &known;
                break;
            }
        }
        if (group == nullptr) {
            std::shared_ptr<const CopyPlan> plan;
            if (InsertShape* shape = batch.row_shape[i]; shape != nullptr && shape->text == *insert) {
                libpq::KeptInsert& kept = kept_insert(*shape);
                if (!kept.copy) kept.copy = copy_plan(*insert);
                plan = kept.copy;
            } else {
                plan = copy_plan(*insert);
            }
            if (!plan->usable) return std::nullopt;
            group = &groups.emplace_back(CopyGroup{insert, std::move(plan), {}});
            if (statements_->inserts.find(group->plan->check_key) == nullptr) ++to_prepare;
        }
        // A row whose parameters do not pair with its markers is refused by the pipelined path.
        if (batch.row_params[i].size() != group->plan->columns) return std::nullopt;
        group->items.push_back(i);
    }
    if (statements_->inserts.size() + to_prepare > libpq::PreparedStatements::CAPACITY) return std::nullopt;
    copied = true;

    const PGTransactionStatusType status = PQtransactionStatus(_connection);
    const bool savepoint = take_batch_savepoint();
    // Between transactions no table's check holds any more.
    if (status == PQTRANS_IDLE) statements_->checked_tables.clear();
    std::vector<CopyCommand> commands;
    std::string query;
    const auto add = [&](CopyCommand command, const std::string& text) {
        if (!query.empty()) query += "; ";
        query += text;
        commands.push_back(std::move(command));
    };
    if (savepoint && batch_savepoint_open_) {
        add({CopyCommand::SAVEPOINT, nullptr, {}}, std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
    }
    if (savepoint) add({CopyCommand::SAVEPOINT, nullptr, {}}, std::string("SAVEPOINT ") + PUT_MANY_SAVEPOINT);
    for (const CopyGroup& group : groups) {
        const CopyPlan& plan = *group.plan;
        // A table checked earlier in this transaction is still locked by that check: not again.
        const bool checked = status == PQTRANS_INTRANS && statements_->checked_tables.contains(plan.check_key);
        if (!checked) {
            if (const std::string* check = statements_->inserts.find(plan.check_key)) {
                add({CopyCommand::CHECK, &group, {}}, "EXECUTE " + *check);
            } else {
                std::string name = statements_->inserts.new_name();
                add({CopyCommand::PREPARE_CHECK, &group, name}, "PREPARE " + name + " AS " + plan.check_select);
            }
        }
        add({CopyCommand::COPY, &group, {}}, plan.copy);
    }

    if (PQsendQuery(_connection, query.c_str()) != 1) throw libpq::error_of(nullptr, _connection);
    std::vector<libpq::ResultPtr> results;
    results.reserve(commands.size());
    try {
        std::string& data = statements_->copy_data;
        for (std::size_t c = 0; c < commands.size(); ++c) {
            libpq::ResultPtr result(PQgetResult(_connection), &PQclear);
            if (!result) break;  // a command failed: the server skipped the rest
            if (PQresultStatus(result.get()) == PGRES_COPY_IN) {
                if (commands[c].kind != CopyCommand::COPY) throw DatabaseError("put_many: an unexpected COPY began");
                const auto send = [&] {
                    if (PQputCopyData(_connection, data.data(), static_cast<int>(data.size())) != 1) {
                        throw libpq::error_of(nullptr, _connection);
                    }
                    data.clear();
                };
                data.clear();
                for (const std::size_t item : commands[c].group->items) {
                    bool first = true;
                    for (const Value& value : batch.row_params[item]) {
                        if (!first) data += '\t';
                        first = false;
                        append_copy_field(data, value);
                    }
                    data += '\n';
                    if (data.size() >= COPY_CHUNK_BYTES) send();
                }
                if (!data.empty()) send();
                if (PQputCopyEnd(_connection, nullptr) != 1) throw libpq::error_of(nullptr, _connection);
                result.reset(PQgetResult(_connection));
            }
            const bool ok = libpq::succeeded(result.get());
            results.push_back(std::move(result));
            if (!ok) break;
        }
        drain(_connection);
    } catch (...) {
        drain(_connection);
        throw;
    }

    std::optional<std::size_t> failed;
    for (std::size_t c = 0; c < results.size(); ++c) {
        const bool ok = libpq::succeeded(results[c].get());
        if (commands[c].kind == CopyCommand::PREPARE_CHECK && ok) {
            statements_->inserts.add(commands[c].group->plan->check_key, commands[c].check_name);
        }
        if (!ok && !failed) failed = c;
    }
    if (!failed && results.size() == commands.size()) {
        // The checks' locks stay with the transaction: the savepoint is left open, to be released
        // with it (or by the next call), and any statement that could roll it back forgets them.
        batch_savepoint_open_ = savepoint;
        if (status == PQTRANS_INTRANS) {
            for (const CopyGroup& group : groups) statements_->checked_tables.insert(group.plan->check_key);
        }
        return std::nullopt;
    }
    batch_savepoint_open_ = false;
    if (!failed) throw DatabaseError("put_many: the server answered " + std::to_string(results.size()) + " of " +
                                     std::to_string(commands.size()) + " commands");

    const CopyCommand& command = commands[*failed];
    const PGresult* result = results[*failed].get();
    const std::string state = libpq::sqlstate_of(result);
    if (command.kind != CopyCommand::SAVEPOINT) undo_batch(status, savepoint);
    PutManyFailure failure{std::nullopt, libpq::error_of(result, _connection)};
    if (command.group == nullptr) return failure;  // the savepoint
    failure.item = command.group->items.front();
    if (command.kind == CopyCommand::COPY) {
        const auto line = copy_line(result, command.group->plan->target.relation);
        if (line && *line >= 1 && *line <= command.group->items.size()) {
            failure.item = command.group->items[*line - 1];
        } else if (!table_changed_state(state)) {
            failure.located = false;
        }
        return failure;
    }
    // The table's columns check failed: the table changed under this session (its columns have
    // other types, or one is gone) or it is gone itself.
    if (command.kind == CopyCommand::CHECK && libpq::plan_may_be_stale(state)) {
        statements_->inserts.evict(command.group->plan->check_key);
    }
    failure.table_changed = state == RESULT_TYPE_CHANGED || table_changed_state(state);
    return failure;
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

    const PGTransactionStatusType status = PQtransactionStatus(_connection);
    const bool savepoint = take_batch_savepoint();
    std::vector<PipelinedCommand> commands;
    std::map<std::string, std::string> prepared_here;  // statement key to name
    std::vector<libpq::ResultPtr> results;
    {
        libpq::Pipeline pipeline(_connection);
        if (savepoint && batch_savepoint_open_) {
            pipeline.query(std::string("RELEASE SAVEPOINT ") + PUT_MANY_SAVEPOINT);
            commands.push_back({PipelinedCommand::SAVEPOINT});
        }
        if (savepoint) {
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
    if (!failed) {
        batch_savepoint_open_ = savepoint;  // released with the transaction, or by the next call
        return std::nullopt;
    }
    batch_savepoint_open_ = false;

    const PipelinedCommand& command = commands[*failed];
    const PGresult* result = results[*failed].get();
    // A value refused as data may have met the parameter types of a table that changed since (see
    // put): the statement is prepared afresh next time as well.
    const std::string state = libpq::sqlstate_of(result);
    if (command.kind == PipelinedCommand::INSERT && (libpq::plan_may_be_stale(state) || state.starts_with("22"))) {
        statements_->inserts.evict(command.group->key);
    }
    if (command.kind != PipelinedCommand::SAVEPOINT) undo_batch(status, savepoint);
    std::optional<std::size_t> item;
    if (command.group != nullptr) item = command.group->first;
    return PutManyFailure{item, libpq::error_of(result, _connection)};
}

}  // namespace korvex::pg_timeline
