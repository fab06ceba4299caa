// PostgresHistoricalConnection: construction, the table-schema service, opening and closing the
// libpq connection, and execute with its libpq-backed cursor. The module entry point
// that registers the class with the host is at the end of this file.

#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/utils/text.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"
#include "korvex_data/connections/implementations/pg_timeline_dialect.hpp"
#include "korvex_data/connections/implementations/pg_timeline_libpq.hpp"

#include <libpq-fe.h>

#include <tuple>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace korvex::pg_timeline {

std::shared_ptr<spdlog::logger> logger() { return named_logger(MODULE_PATH); }

namespace detail {

ConnectionParameters overlay_parameters(ConnectionParameters defaults, const ConnectionParameters& named) {
    for (const auto& [name, value] : named) {
        defaults[name] = value;
    }
    return defaults;
}

ConnectKeywords connect_keywords(const std::optional<std::string>& dsn, const ConnectionParameters& parameters) {
    ConnectKeywords keywords;
    keywords.entries.emplace_back("client_encoding", "UTF8");
    if (dsn) {
        keywords.entries.emplace_back("dbname", *dsn);
        keywords.expand_dbname = true;
    }
    for (const auto& [name, value] : parameters) {
        keywords.entries.emplace_back(name == "database" ? "dbname" : name, value);
    }
    return keywords;
}

std::pair<std::string, std::size_t> number_markers(const std::string& query) {
    std::string text;
    text.reserve(query.size() + 16);
    std::size_t count = 0;
    std::size_t done = 0;  // query[0, done) is in text
    for (std::size_t at = query.find('%'); at != std::string::npos && at + 1 < query.size(); at = query.find('%', at)) {
        const char next = query[at + 1];
        if (next != 's' && next != '%') {
            ++at;
            continue;
        }
        text.append(query, done, at - done);
        if (next == 's') {
            text += '$';
            text += std::to_string(++count);
        } else {
            text += '%';
        }
        done = at += 2;
    }
    text.append(query, done, std::string::npos);
    return {text, count};
}

std::size_t count_markers(const std::string& query) {
    std::size_t count = 0;
    for (std::size_t at = query.find('%'); at != std::string::npos && at + 1 < query.size(); at = query.find('%', at)) {
        const char next = query[at + 1];
        if (next == 's') ++count;
        at += next == 's' || next == '%' ? 2 : 1;
    }
    return count;
}

std::string_view integer_chars(const Value& value, std::array<char, 24>& digits) {
    char* const first = digits.data();
    char* const last = first + digits.size();
    const auto end = value.is_number_unsigned() ? std::to_chars(first, last, value.get<std::uint64_t>()).ptr
                                                : std::to_chars(first, last, value.get<std::int64_t>()).ptr;
    return {first, static_cast<std::size_t>(end - first)};
}

const char* append_parameter_chars(const Value& value, std::string& made) {
    switch (value.type()) {
        case Value::value_t::null:
            return nullptr;
        case Value::value_t::string:
            return value.get_ref<const std::string&>().c_str();
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned: {
            std::array<char, 24> digits;
            made += integer_chars(value, digits);
            break;
        }
        default:
            made += *parameter_text(value);
    }
    made += '\0';
    return MADE_PARAMETER;
}

const char* parameter_chars(const Value& value, std::deque<std::string>& made) {
    std::string text;
    const char* chars = append_parameter_chars(value, text);
    if (chars != MADE_PARAMETER) return chars;
    text.pop_back();  // the terminator append_parameter_chars wrote; c_str() gives one
    return made.emplace_back(std::move(text)).c_str();
}

const std::vector<const char*>& ParameterValues::bind(const std::vector<Value>& params) {
    constexpr std::size_t NOT_MADE = static_cast<std::size_t>(-1);
    made_.clear();
    made_at_.clear();
    values_.clear();
    for (const Value& value : params) {
        const std::size_t at = made_.size();
        const char* chars = append_parameter_chars(value, made_);
        values_.push_back(chars == MADE_PARAMETER ? nullptr : chars);
        made_at_.push_back(chars == MADE_PARAMETER ? at : NOT_MADE);
    }
    // Pointed to only once made_ has stopped growing.
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (made_at_[i] != NOT_MADE) values_[i] = made_.data() + made_at_[i];
    }
    return values_;
}

std::optional<std::string> parameter_text(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
            return std::nullopt;
        case Value::value_t::boolean:
            return value.get<bool>() ? "true" : "false";
        case Value::value_t::number_float: {
            const double number = value.get<double>();
            if (std::isnan(number)) return "NaN";
            if (std::isinf(number)) return number > 0 ? "Infinity" : "-Infinity";
            return value.dump();
        }
        case Value::value_t::string:
            return value.get<std::string>();
        case Value::value_t::object:
        case Value::value_t::array:
            return json_text(value);
        default:  // integers (and binary, which the host never produces)
            return value.dump();
    }
}

namespace {

// Type OIDs of the built-in types decoded specially (pg_type.dat).
constexpr unsigned BOOL_OID = 16;
constexpr unsigned INT8_OID = 20;
constexpr unsigned INT2_OID = 21;
constexpr unsigned INT4_OID = 23;
constexpr unsigned JSON_OID = 114;
constexpr unsigned FLOAT4_OID = 700;
constexpr unsigned FLOAT8_OID = 701;
constexpr unsigned NUMERIC_OID = 1700;
constexpr unsigned JSONB_OID = 3802;

std::optional<std::int64_t> parse_integer(std::string_view text) {
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

std::optional<double> parse_float(std::string_view text) {
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

}  // namespace

Value decode_field(const char* text, std::size_t length, unsigned type_oid) {
    const std::string_view field(text, length);
    switch (type_oid) {
        case BOOL_OID:
            return field == "t";
        case INT2_OID:
        case INT4_OID:
        case INT8_OID:
            if (auto number = parse_integer(field)) return *number;
            break;
        case FLOAT4_OID:
        case FLOAT8_OID:
            if (auto number = parse_float(field)) return *number;
            break;
        case NUMERIC_OID:
            if (auto number = parse_integer(field)) return *number;
            if (auto number = parse_float(field)) return *number;
            break;
        case JSON_OID:
        case JSONB_OID: {
            Value parsed = parse_json(field);
            if (!parsed.is_discarded()) return parsed;
            break;
        }
        default:
            break;
    }
    return std::string(field);
}

}  // namespace detail

// INSERT statements repeat with new values only, and their parsing and planning cost about as
// much as running them, so each distinct INSERT text is prepared once per server session. An
// INSERT returns no rows, so a plan the server re-makes after a change of the table cannot change
// what it returns. Other statements the host sends are sent as they are.
const std::string* SessionStatements::insert_name(PGconn* connection, const std::string& query,
                                                  const std::string& numbered_text) {
    if (!query.starts_with("INSERT INTO ")) return nullptr;
    if (const std::string* known = inserts.find(query)) return known;
    if (!inserts.has_room()) return nullptr;

    std::string name = inserts.new_name();
    libpq::ResultPtr result(PQprepare(connection, name.c_str(), numbered_text.c_str(), 0, nullptr), &PQclear);
    // Preparing fails exactly as running the statement would (it parses and plans it), and has
    // aborted the transaction just the same: report that error.
    if (!libpq::succeeded(result.get())) throw libpq::error_of(result.get(), connection);
    inserts.add(query, name);
    return inserts.find(query);
}

namespace {

using libpq::ResultPtr;

// Sends one statement with its parameters as text-format positional parameters; throws
// DatabaseError with the server's message and SQLSTATE when it is rejected. INSERTs, and the
// reads of query and count when `prepare_read` says so, run as prepared statements.
std::shared_ptr<Cursor> run_statement(PGconn* connection, const std::string& query, const std::vector<Value>& params,
                                      SessionStatements& prepared, bool prepare_read, libpq::KeptRead* kept) {
    if (prepare_read && query.starts_with("SELECT ")) {
        if (kept != nullptr) {
            // A read the core keeps per shape: its text is numbered once.
            if (kept->text.empty()) std::tie(kept->text, kept->markers) = detail::number_markers(query);
            const libpq::BoundStatement bound(kept->markers, params);
            return libpq::run_prepared_read(connection, query, bound, prepared.reads, kept);
        }
        const libpq::BoundStatement bound(query, params);
        return libpq::run_prepared_read(connection, query, bound, prepared.reads);
    }
    // An INSERT prepared before runs by its name: its text needs no numbering.
    const std::string* known = query.starts_with("INSERT INTO ") ? prepared.inserts.find(query) : nullptr;
    const libpq::BoundStatement bound(query, params, known == nullptr);
    const std::string* statement_name = known ? known : prepared.insert_name(connection, query, bound.text);
    ResultPtr result(statement_name != nullptr
                         ? PQexecPrepared(connection, statement_name->c_str(), static_cast<int>(bound.values.size()),
                                          bound.values.data(), nullptr, nullptr, 0)
                         : PQexecParams(connection, bound.text.c_str(), static_cast<int>(bound.values.size()), nullptr,
                                        bound.values.data(), nullptr, nullptr, 0),
                     &PQclear);
    if (libpq::succeeded(result.get())) {
        // Statements the host sends can drop prepared statements of this session.
        const std::string_view status = PQcmdStatus(result.get());
        if (status.starts_with("DEALLOCATE") || status.starts_with("DISCARD")) prepared.clear();
        return libpq::cursor_of(std::move(result));
    }
    if (statement_name != nullptr && (!result || libpq::plan_may_be_stale(libpq::sqlstate_of(result.get())))) {
        prepared.inserts.evict(query);
    }
    throw libpq::error_of(result.get(), connection);
}

// Runs the INSERT of a kept shape, as run_statement runs any INSERT, from what is kept with it:
// no numbering or look-up of the text per row, and the parameters made in the room kept there.
std::shared_ptr<Cursor> run_kept_insert(PGconn* connection, const std::string& query, const std::vector<Value>& params,
                                        SessionStatements& prepared, libpq::KeptInsert& kept) {
    if (kept.markers != params.size()) {
        throw UsageError("the statement has " + std::to_string(kept.markers) + " %s markers but " +
                         std::to_string(params.size()) + " parameters were given");
    }
    const std::vector<const char*>& values = kept.values.bind(params);
    const std::string* name = nullptr;
    if (!kept.name.empty() && kept.epoch == prepared.inserts.epoch()) {
        name = &kept.name;
    } else if ((name = prepared.insert_name(connection, query, kept.text))) {
        kept.name = *name;
        kept.epoch = prepared.inserts.epoch();
    }
    const int count = static_cast<int>(values.size());
    ResultPtr result(name != nullptr
                         ? PQexecPrepared(connection, name->c_str(), count, values.data(), nullptr, nullptr, 0)
                         : PQexecParams(connection, kept.text.c_str(), count, nullptr, values.data(), nullptr, nullptr, 0),
                     &PQclear);
    if (libpq::succeeded(result.get())) return libpq::cursor_of(std::move(result));
    if (name != nullptr && (!result || libpq::plan_may_be_stale(libpq::sqlstate_of(result.get())))) {
        prepared.inserts.evict(query);
    }
    throw libpq::error_of(result.get(), connection);
}

// Server notices ("there is already a transaction in progress") go to the module logger at
// debug level instead of libpq's default, which writes them to stderr.
void log_server_notice(void*, const char* message) { logger()->debug("server notice: {}", libpq::trimmed(message)); }

// libpq takes the statement and every parameter as C strings, so a NUL byte would silently end
// either early: refuse it (and a NaN inside JSON, which the JSON writer would turn into null)
// before anything is sent.
void refuse_what_libpq_would_cut(const std::vector<Value>& params) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Value& param = params[i];
        if (param.is_string() && param.get_ref<const std::string&>().find('\0') != std::string::npos) {
            throw UsageError("parameter " + std::to_string(i + 1) + " holds a NUL byte, which PostgreSQL text cannot "
                             "store: " + printable_name(param.get_ref<const std::string&>()));
        }
        if ((param.is_object() || param.is_array()) && holds_non_finite_number(param)) {
            throw UsageError("parameter " + std::to_string(i + 1) +
                             " holds a NaN or an infinity inside a map or list, which JSON cannot store");
        }
    }
}
void refuse_what_libpq_would_cut(const std::string& query, const std::vector<Value>& params) {
    if (query.find('\0') != std::string::npos) {
        throw UsageError("the statement holds a NUL byte, which would end it early: " + printable_name(query));
    }
    refuse_what_libpq_would_cut(params);
}

}  // namespace

PostgresHistoricalConnection::PostgresHistoricalConnection(ConnectionOptions options)
    : SqlHistoricalStore(postgres_dialect(), options), statements_(std::make_unique<SessionStatements>()) {}

PostgresHistoricalConnection::~PostgresHistoricalConnection() {
    if (_connection != nullptr) {
        PQfinish(_connection);
    }
}

std::unique_ptr<TableSchemaServiceBase> PostgresHistoricalConnection::table_schema_manager() {
    return std::make_unique<PostgresHistoricalTableSchemaService>(*this);
}

std::string PostgresHistoricalConnection::_resolve_table_name(const Address& address) {
    const bool fixed = !(address.class_version == Versions::LATEST);
    if (fixed && resolved_table_name_ && address.class_name == resolved_class_name_ &&
        address.class_version == resolved_class_version_ && address.resource == resolved_resource_) {
        return *resolved_table_name_;
    }
    std::string table_name = table_schema_manager()->resolve_table_name(address);
    if (fixed) {
        resolved_resource_ = address.resource;
        resolved_class_name_ = address.class_name;
        resolved_class_version_ = address.class_version;
        resolved_table_name_ = table_name;
    }
    return table_name;
}

ConnectionParameters PostgresHistoricalConnection::_default_envs() {
    static const std::pair<const char*, const char*> VARIABLES[] = {
        {"POSTGRES_HOST", "host"},
        {"POSTGRES_PORT", "port"},
        {"POSTGRES_USER", "user"},
        {"POSTGRES_PASSWORD", "password"},
        {"POSTGRES_DATABASE", "database"},
    };
    ConnectionParameters defaults;
    for (const auto& [variable, parameter] : VARIABLES) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            defaults[parameter] = value;
        }
    }
    return defaults;
}

void PostgresHistoricalConnection::connect(const std::optional<std::string>& dsn,
                                           const ConnectionParameters& parameters) {
    if (_connection != nullptr) {
        throw KorvexConnectionError("Connection already established");
    }
    const auto keywords = detail::connect_keywords(dsn, detail::overlay_parameters(_default_envs(), parameters));
    std::vector<const char*> names;
    std::vector<const char*> values;
    for (const auto& [name, value] : keywords.entries) {
        names.push_back(name.c_str());
        values.push_back(value.c_str());
    }
    names.push_back(nullptr);
    values.push_back(nullptr);

    PGconn* connection = PQconnectdbParams(names.data(), values.data(), keywords.expand_dbname ? 1 : 0);
    if (connection == nullptr) {
        throw DatabaseError("cannot open a PostgreSQL connection: out of memory");
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        std::string message = libpq::trimmed(PQerrorMessage(connection));
        PQfinish(connection);
        throw DatabaseError(message);
    }
    // The isolation level stays the server's default (nothing is sent), and libpq has no
    // autocommit switch: the transaction statements of begin/commit/rollback delimit transactions.
    PQsetNoticeProcessor(connection, &log_server_notice, nullptr);
    statements_->clear();
    fresh_transaction_ = false;
    batch_savepoint_open_ = false;
    _connection = connection;
}

void PostgresHistoricalConnection::disconnect() {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    PQfinish(_connection);
    _connection = nullptr;
    statements_->clear();
    fresh_transaction_ = false;
    batch_savepoint_open_ = false;
    // The server ends an open transaction with the session: no level of it is open any more.
    forget_transaction_state();
}

void PostgresHistoricalConnection::prepare_connection() { table_schema_manager()->register_internal_tables(); }

bool PostgresHistoricalConnection::connection_lost() const {
    // libpq may notice a closed connection only when it next reads from it.
    return PQstatus(_connection) == CONNECTION_BAD ||
           (PQconsumeInput(_connection) == 0 && PQstatus(_connection) == CONNECTION_BAD);
}

std::shared_ptr<Cursor> PostgresHistoricalConnection::execute(const std::string& query,
                                                              const std::vector<Value>& params) {
    return run(query, params, false);
}

std::shared_ptr<Cursor> PostgresHistoricalConnection::_execute_read(const Statement& statement) {
    libpq::KeptRead* kept = nullptr;
    if (std::shared_ptr<void>* state = _read_shape_state(statement)) {
        if (!*state) *state = std::make_shared<libpq::KeptRead>();
        kept = static_cast<libpq::KeptRead*>(state->get());
    }
    return run(statement.text, statement.params, true, kept);
}

std::shared_ptr<Cursor> PostgresHistoricalConnection::run(const std::string& query, const std::vector<Value>& params,
                                                          bool prepared, libpq::KeptRead* kept) {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    // Whatever runs now, an open transaction has seen a statement.
    fresh_transaction_ = false;
    bool idle = false;
    // put's INSERT of a kept shape: its text was checked when it was kept, and as an INSERT it
    // changes no table and ends no transaction.
    const bool kept_insert = running_insert_ != nullptr && !prepared && !running_insert_->holds_nul &&
                             query == *running_insert_text_;
    if (kept_insert) {
        refuse_what_libpq_would_cut(params);
    } else {
        refuse_what_libpq_would_cut(query, params);
        idle = PQtransactionStatus(_connection) == PQTRANS_IDLE;
        // A table changed by this statement (registered again with other columns, altered, or its
        // creation rolled back) is described again before the next write to it.
        table_changes_.saw(query, !idle);
        // Any statement but an INSERT or a read of query and count may end the transaction, roll
        // back to a savepoint, or change a table: the tables' columns are checked again.
        if (!statements_->checked_tables.empty() && !query.starts_with("INSERT INTO ") &&
            !(prepared && query.starts_with("SELECT "))) {
            statements_->checked_tables.clear();
        }
    }
    try {
        if (kept_insert) return run_kept_insert(_connection, query, params, *statements_, *running_insert_);
        if (batch_savepoint_open_) settle_batch_savepoint(query);
        auto cursor = run_statement(_connection, query, params, *statements_, prepared, kept);
        // A transaction that this BEGIN opened holds nothing yet (see _write_batch).
        fresh_transaction_ = idle && query == "BEGIN" && PQtransactionStatus(_connection) == PQTRANS_INTRANS;
        return cursor;
    } catch (...) {
        if (connection_lost()) {
            // The server session is gone, and its transaction with it.
            statements_->clear();
            forget_transaction_state();
        }
        std::throw_with_nested(
            KorvexConnectionError("Error executing query: " + query + " with args: " + printed_parameters(params)));
    }
}

}  // namespace korvex::pg_timeline

KORVEX_MODULE_ENTRY {
    using korvex::pg_timeline::PostgresHistoricalConnection;
    registry.add_class("PostgresHistoricalConnection",
                       [](const korvex::ConstructionArgs& args) -> std::unique_ptr<korvex::Object> {
                           return std::make_unique<PostgresHistoricalConnection>(
                               korvex::parse_store_arguments("PostgresHistoricalConnection", args));
                       });
    // Module-level tables, built once when the library was loaded. The operator map is handed
    // over by address: the class attribute SQL_OPERATOR_MAP refers to that same object.
    registry.add_attribute("METADATA_SELECT_STATEMENT", korvex::pg_timeline::METADATA_SELECT_STATEMENT);
    registry.add_attribute("METADATA_SELECT_FIELD", korvex::pg_timeline::METADATA_SELECT_FIELD);
    registry.add_attribute("sql_operator_map", &korvex::pg_timeline::sql_operator_map);
}
