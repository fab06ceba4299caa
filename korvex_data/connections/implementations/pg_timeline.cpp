// PostgresHistoricalConnection: construction, the table-schema service, opening and closing the
// libpq connection, and execute with its libpq-backed cursor. The module entry point
// that registers the class with the host is at the end of this file.

#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/utils/text.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/pg_timeline_table_schema_service.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <libpq-fe.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace korvex::pg_timeline {

std::shared_ptr<spdlog::logger> logger() {
    static const std::shared_ptr<spdlog::logger> instance = [] {
        if (auto existing = spdlog::get(MODULE_PATH)) {
            return existing;
        }
        return spdlog::stderr_color_mt(MODULE_PATH);
    }();
    return instance;
}

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
    for (std::size_t i = 0; i < query.size(); ++i) {
        if (query[i] == '%' && i + 1 < query.size()) {
            if (query[i + 1] == 's') {
                text += '$' + std::to_string(++count);
                ++i;
                continue;
            }
            if (query[i + 1] == '%') {
                text += '%';
                ++i;
                continue;
            }
        }
        text += query[i];
    }
    return {text, count};
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
            Value parsed = Value::parse(field.begin(), field.end(), nullptr, false);
            if (!parsed.is_discarded()) return parsed;
            break;
        }
        default:
            break;
    }
    return std::string(field);
}

}  // namespace detail

namespace {

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// The rows of one statement's result, decoded row by row as they are fetched.
class PgCursor : public Cursor {
public:
    explicit PgCursor(ResultPtr result) : result_(std::move(result)), status_(PQcmdStatus(result_.get())) {
        const int columns = PQnfields(result_.get());
        description_.reserve(static_cast<std::size_t>(columns));
        for (int column = 0; column < columns; ++column) {
            description_.push_back({PQfname(result_.get(), column), PQftype(result_.get(), column)});
        }
        rows_ = PQntuples(result_.get());
    }

    std::vector<Row> fetchall() override {
        std::vector<Row> rows;
        rows.reserve(static_cast<std::size_t>(rows_ - next_));
        while (next_ < rows_) rows.push_back(decode_row(next_++));
        return rows;
    }

    std::optional<Row> fetchone() override {
        if (next_ >= rows_) return std::nullopt;
        return decode_row(next_++);
    }

    const std::vector<ColumnDescription>& description() const override { return description_; }
    std::string statusmessage() const override { return status_; }

private:
    Row decode_row(int row) const {
        Row values;
        values.reserve(description_.size());
        for (int column = 0; column < static_cast<int>(description_.size()); ++column) {
            if (PQgetisnull(result_.get(), row, column)) {
                values.emplace_back(nullptr);
            } else {
                values.push_back(detail::decode_field(PQgetvalue(result_.get(), row, column),
                                                      static_cast<std::size_t>(PQgetlength(result_.get(), row, column)),
                                                      description_[static_cast<std::size_t>(column)].type_code));
            }
        }
        return values;
    }

    ResultPtr result_;
    std::string status_;
    std::vector<ColumnDescription> description_;
    int rows_ = 0;
    int next_ = 0;
};

}  // namespace

// INSERT statements repeat with new values only, and their parsing and planning cost about as
// much as running them, so each distinct INSERT text is prepared once per server session. An
// INSERT returns no rows, so a plan the server re-makes after a change of the table cannot change
// what it returns. Other statements are sent as they are.
const std::string* PreparedStatements::name_for(PGconn* connection, const std::string& query,
                                                const std::string& numbered_text) {
    if (query.rfind("INSERT INTO ", 0) != 0) return nullptr;
    if (auto found = names_.find(query); found != names_.end()) return &found->second;
    if (names_.size() >= CAPACITY) return nullptr;

    std::string name = "korvex_insert_" + std::to_string(++issued_);
    std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQprepare(connection, name.c_str(), numbered_text.c_str(), 0, nullptr), &PQclear);
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        // Preparing fails exactly as running the statement would (it parses and plans it), and
        // has aborted the transaction just the same: report that error.
        const char* sqlstate = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
        throw DatabaseError(result ? trimmed(PQresultErrorMessage(result.get())) : trimmed(PQerrorMessage(connection)),
                            sqlstate ? sqlstate : "");
    }
    return &names_.emplace(query, std::move(name)).first->second;
}

namespace {

// Whether a failure of a prepared statement lies in the values or the transaction rather than in
// the statement's plan: bad data (class 22), a broken constraint (23), an aborted transaction
// (25) or a rolled-back one (40). Any other failure (a table dropped and made again with other
// column types, a statement dropped by DEALLOCATE) may mean the plan no longer fits.
bool says_nothing_about_the_plan(const std::string& sqlstate) {
    return sqlstate.starts_with("22") || sqlstate.starts_with("23") || sqlstate.starts_with("25") ||
           sqlstate.starts_with("40");
}

// Sends one statement with its parameters as text-format positional parameters; throws
// DatabaseError with the server's message and SQLSTATE when it is rejected.
std::shared_ptr<Cursor> run_statement(PGconn* connection, const std::string& query, const std::vector<Value>& params,
                                      PreparedStatements& prepared) {
    const auto [text, markers] = detail::number_markers(query);
    if (markers != params.size()) {
        throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                                    std::to_string(params.size()) + " parameters were given");
    }
    std::vector<std::optional<std::string>> texts;
    texts.reserve(params.size());
    for (const auto& param : params) texts.push_back(detail::parameter_text(param));
    std::vector<const char*> values;
    values.reserve(texts.size());
    for (const auto& param : texts) values.push_back(param ? param->c_str() : nullptr);

    const std::string* statement_name = prepared.name_for(connection, query, text);
    ResultPtr result(statement_name != nullptr
                         ? PQexecPrepared(connection, statement_name->c_str(), static_cast<int>(values.size()),
                                          values.data(), nullptr, nullptr, 0)
                         : PQexecParams(connection, text.c_str(), static_cast<int>(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0),
                     &PQclear);
    if (!result) {
        if (statement_name != nullptr) prepared.evict(query);
        throw DatabaseError(trimmed(PQerrorMessage(connection)));
    }
    switch (PQresultStatus(result.get())) {
        case PGRES_COMMAND_OK:
        case PGRES_TUPLES_OK: {
            // Statements the host sends can drop prepared statements of this session.
            const std::string_view status = PQcmdStatus(result.get());
            if (status.starts_with("DEALLOCATE") || status.starts_with("DISCARD")) prepared.clear();
            return std::make_shared<PgCursor>(std::move(result));
        }
        case PGRES_EMPTY_QUERY:
            throw DatabaseError("can't execute an empty query");
        default: {
            const char* sqlstate = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
            const std::string state = sqlstate ? sqlstate : "";
            if (statement_name != nullptr && !says_nothing_about_the_plan(state)) prepared.evict(query);
            throw DatabaseError(trimmed(PQresultErrorMessage(result.get())), state);
        }
    }
}

// Server notices ("there is already a transaction in progress") go to the module logger at
// debug level instead of libpq's default, which writes them to stderr.
void log_server_notice(void*, const char* message) { logger()->debug("server notice: {}", trimmed(message)); }

// libpq takes the statement and every parameter as C strings, so a NUL byte would silently end
// either early: refuse it (and a NaN inside JSON, which the JSON writer would turn into null)
// before anything is sent.
void refuse_what_libpq_would_cut(const std::string& query, const std::vector<Value>& params) {
    if (query.find('\0') != std::string::npos) {
        throw UsageError("the statement holds a NUL byte, which would end it early: " + printable_name(query));
    }
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

}  // namespace

PostgresHistoricalConnection::PostgresHistoricalConnection(ConnectionOptions options)
    : TransactionLevelsMixin(options.is_revert_supported) {}

PostgresHistoricalConnection::~PostgresHistoricalConnection() {
    if (_connection != nullptr) {
        PQfinish(_connection);
    }
}

std::unique_ptr<TableSchemaServiceBase> PostgresHistoricalConnection::table_schema_manager() {
    return std::make_unique<PostgresHistoricalTableSchemaService>(*this);
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
        std::string message = trimmed(PQerrorMessage(connection));
        PQfinish(connection);
        throw DatabaseError(message);
    }
    // The isolation level stays the server's default (nothing is sent), and libpq has no
    // autocommit switch: the transaction statements of begin/commit/rollback delimit transactions.
    PQsetNoticeProcessor(connection, &log_server_notice, nullptr);
    prepared_statements_.clear();
    _connection = connection;
}

void PostgresHistoricalConnection::disconnect() {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    PQfinish(_connection);
    _connection = nullptr;
    prepared_statements_.clear();
    // The server ends an open transaction with the session: no level of it is open any more.
    forget_transaction_state();
}

void PostgresHistoricalConnection::require_server_transaction(const char* operation) const {
    if (_connection != nullptr && !_revert_data.empty() && PQtransactionStatus(_connection) == PQTRANS_IDLE) {
        throw UsageError(std::string(operation) +
                         ": a transaction level is open but the server has no transaction open (a COMMIT or "
                         "ROLLBACK sent through execute ended it); roll the level back before writing");
    }
}

void PostgresHistoricalConnection::prepare_connection() { table_schema_manager()->register_internal_tables(); }

std::shared_ptr<Cursor> PostgresHistoricalConnection::execute(const std::string& query,
                                                              const std::vector<Value>& params) {
    if (_connection == nullptr) {
        throw KorvexConnectionError("Connection not established");
    }
    refuse_what_libpq_would_cut(query, params);
    try {
        return run_statement(_connection, query, params, prepared_statements_);
    } catch (...) {
        // libpq may notice a closed connection only when it next reads from it.
        if (PQstatus(_connection) == CONNECTION_BAD ||
            (PQconsumeInput(_connection) == 0 && PQstatus(_connection) == CONNECTION_BAD)) {
            // The server session is gone, and its transaction with it.
            prepared_statements_.clear();
            forget_transaction_state();
        }
        std::throw_with_nested(
            KorvexConnectionError("Error executing query: " + query + " with args: " + printed_parameters(params)));
    }
}

}  // namespace korvex::pg_timeline

KORVEX_MODULE_ENTRY {
    using korvex::pg_timeline::ConnectionOptions;
    using korvex::pg_timeline::PostgresHistoricalConnection;
    registry.add_class("PostgresHistoricalConnection",
                       [](const korvex::ConstructionArgs& args) -> std::unique_ptr<korvex::Object> {
                           ConnectionOptions options;
                           if (!args.named.is_null() && !args.named.is_object()) {
                               throw korvex::UsageError(
                                   "PostgresHistoricalConnection: named arguments must be a map");
                           }
                           for (const auto& [name, value] : args.named.items()) {
                               if (name != "is_revert_supported") {
                                   throw korvex::UsageError(
                                       "PostgresHistoricalConnection: unexpected named argument " + name);
                               }
                               if (!value.is_boolean()) {
                                   throw korvex::UsageError(
                                       "PostgresHistoricalConnection: is_revert_supported must be a boolean");
                               }
                               options.is_revert_supported = value.get<bool>();
                           }
                           return std::make_unique<PostgresHistoricalConnection>(options);
                       });
    // Module-level tables, built once when the library was loaded. The operator map is handed
    // over by address: the class attribute SQL_OPERATOR_MAP refers to that same object.
    registry.add_attribute("METADATA_SELECT_STATEMENT", korvex::pg_timeline::METADATA_SELECT_STATEMENT);
    registry.add_attribute("METADATA_SELECT_FIELD", korvex::pg_timeline::METADATA_SELECT_FIELD);
    registry.add_attribute("sql_operator_map", &korvex::pg_timeline::sql_operator_map);
}
