#include "korvex/error.hpp"
#include "korvex/spark_connect/spark_connect_client.hpp"

#include "arrow_stream.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"
#include "spark_values.hpp"

#include <google/rpc/error_details.pb.h>
#include <google/rpc/status.pb.h>
#include <grpcpp/grpcpp.h>
#include <spark/connect/base.grpc.pb.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>

namespace korvex {

namespace proto = spark::connect;

SparkConnectError::SparkConnectError(const std::string& message, int status_code, std::string exception_class,
                                     std::string error_class, std::string sql_state)
    : Error(message),
      status_code_(status_code),
      exception_class_(std::move(exception_class)),
      error_class_(std::move(error_class)),
      sql_state_(std::move(sql_state)) {}

SparkConnectError::~SparkConnectError() = default;

namespace {

constexpr const char* ANALYSIS_EXCEPTION_CLASS = "org.apache.spark.sql.AnalysisException";

std::string random_uuid() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device());
    const std::uint64_t high = (generator() & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;  // version 4
    const std::uint64_t low = (generator() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;   // variant 1
    char text[37];
    std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32), static_cast<unsigned long long>((high >> 16) & 0xffff),
                  static_cast<unsigned long long>(high & 0xffff), static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

struct ParsedUrl {
    std::string target;
    std::string user_id = "korvex";
    std::string session_id;
    std::string token;
    bool use_ssl = false;
};

ParsedUrl parse_url(const std::string& url) {
    const std::string scheme = "sc://";
    if (url.rfind(scheme, 0) != 0) {
        throw UsageError("Spark Connect URL must start with sc://: " + url);
    }
    ParsedUrl parsed;
    std::string rest = url.substr(scheme.size());
    std::string parameters;
    if (const auto slash = rest.find('/'); slash != std::string::npos) {
        parameters = rest.substr(slash + 1);
        rest = rest.substr(0, slash);
    }
    if (rest.empty()) throw UsageError("Spark Connect URL has no host: " + url);
    const bool has_port = rest.back() != ']' && rest.find(':', rest.rfind(']') == std::string::npos ? 0 : rest.rfind(']')) != std::string::npos;
    parsed.target = has_port ? rest : rest + ":15002";
    if (!parameters.empty()) {
        if (parameters.front() != ';') throw UsageError("Spark Connect URL parameters must follow '/;': " + url);
        std::size_t start = 1;
        while (start <= parameters.size()) {
            const auto end = std::min(parameters.find(';', start), parameters.size());
            const std::string pair = parameters.substr(start, end - start);
            start = end + 1;
            if (pair.empty()) continue;
            const auto equals = pair.find('=');
            if (equals == std::string::npos) throw UsageError("Spark Connect URL parameter without value: " + pair);
            const std::string key = pair.substr(0, equals);
            const std::string value = pair.substr(equals + 1);
            if (key == "user_id") {
                parsed.user_id = value;
            } else if (key == "session_id") {
                parsed.session_id = value;
            } else if (key == "token") {
                parsed.token = value;
                parsed.use_ssl = true;
            } else if (key == "use_ssl") {
                parsed.use_ssl = value == "true";
            }
        }
    }
    return parsed;
}

ComplexType to_complex_type(const proto::DataType& type) {
    using K = proto::DataType::KindCase;
    switch (type.kind_case()) {
        case K::kNull: return ComplexType::primitive("VOID");
        case K::kBinary: return ComplexType::primitive("BINARY");
        case K::kBoolean: return ComplexType::primitive("BOOLEAN");
        case K::kByte: return ComplexType::primitive("TINYINT");
        case K::kShort: return ComplexType::primitive("SMALLINT");
        case K::kInteger: return ComplexType::primitive("INT");
        case K::kLong: return ComplexType::primitive("BIGINT");
        case K::kFloat: return ComplexType::primitive("FLOAT");
        case K::kDouble: return ComplexType::primitive("DOUBLE");
        case K::kDecimal: {
            const int precision = type.decimal().has_precision() ? type.decimal().precision() : 10;
            const int scale = type.decimal().has_scale() ? type.decimal().scale() : 0;
            return ComplexType::primitive("DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")");
        }
        case K::kString: return ComplexType::primitive("STRING");
        case K::kChar: return ComplexType::primitive("CHAR(" + std::to_string(type.char_().length()) + ")");
        case K::kVarChar: return ComplexType::primitive("VARCHAR(" + std::to_string(type.var_char().length()) + ")");
        case K::kDate: return ComplexType::primitive("DATE");
        case K::kTimestamp: return ComplexType::primitive("TIMESTAMP");
        case K::kTimestampNtz: return ComplexType::primitive("TIMESTAMP_NTZ");
        case K::kCalendarInterval: return ComplexType::primitive("INTERVAL");
        case K::kYearMonthInterval: return ComplexType::primitive("INTERVAL YEAR TO MONTH");
        case K::kDayTimeInterval: return ComplexType::primitive("INTERVAL DAY TO SECOND");
        case K::kVariant: return ComplexType::primitive("VARIANT");
        case K::kArray:
            return ComplexType::array_of(to_complex_type(type.array().element_type()), type.array().contains_null());
        case K::kMap:
            return ComplexType::map_of(to_complex_type(type.map().key_type()), to_complex_type(type.map().value_type()),
                                       type.map().value_contains_null());
        case K::kStruct: {
            std::vector<ComplexType::Field> fields;
            for (const auto& field : type.struct_().fields()) {
                fields.push_back(ComplexType::field(field.name(), to_complex_type(field.data_type()), field.nullable()));
            }
            return ComplexType::struct_of(std::move(fields));
        }
        case K::kUdt:
            if (type.udt().has_sql_type()) return to_complex_type(type.udt().sql_type());
            break;
        case K::kUnparsed: return ComplexType::primitive(type.unparsed().data_type_string());
        case K::KIND_NOT_SET: break;
    }
    throw SparkConnectError("Spark Connect: the server sent a data type this client does not know", 0);
}

}  // namespace

struct SparkConnectClient::Impl {
    Impl(const std::string& url, SparkConnectOptions options_in) : options(std::move(options_in)) {
        const ParsedUrl parsed = parse_url(url);
        target = parsed.target;
        user_id = parsed.user_id;
        session_id = parsed.session_id.empty() ? random_uuid() : parsed.session_id;
        token = parsed.token;
        std::shared_ptr<grpc::ChannelCredentials> credentials =
            parsed.use_ssl ? grpc::SslCredentials(grpc::SslCredentialsOptions()) : grpc::InsecureChannelCredentials();
        grpc::ChannelArguments arguments;
        arguments.SetMaxReceiveMessageSize(256 * 1024 * 1024);
        channel = grpc::CreateCustomChannel(target, credentials, arguments);
        stub = proto::SparkConnectService::NewStub(channel);
    }

    ~Impl() {
        if (!used) return;
        // Let the server free the session now rather than when it times out; errors do not matter.
        proto::ReleaseSessionRequest request;
        request.set_session_id(session_id);
        request.mutable_user_context()->set_user_id(user_id);
        request.set_client_type(options.client_type);
        proto::ReleaseSessionResponse response;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
        stub->ReleaseSession(&context, request, &response);
    }

    void prepare(grpc::ClientContext& context) {
        context.set_deadline(std::chrono::system_clock::now() + options.timeout);
        if (!token.empty()) context.AddMetadata("authorization", "Bearer " + token);
        used = true;
    }

    template <class Request>
    void fill(Request& request) {
        request.set_session_id(session_id);
        request.mutable_user_context()->set_user_id(user_id);
        request.set_client_type(options.client_type);
        const std::lock_guard<std::mutex> lock(state_mutex);
        if (!server_side_session_id.empty()) {
            request.set_client_observed_server_side_session_id(server_side_session_id);
        }
    }

    void observe(const std::string& server_session) {
        if (server_session.empty()) return;
        const std::lock_guard<std::mutex> lock(state_mutex);
        server_side_session_id = server_session;
    }

    // Runs a plan to its end; collects the rows of its Arrow batches.
    void execute(const proto::Plan& plan, std::vector<ColumnDescription>& columns, std::vector<Row>& rows) {
        proto::ExecutePlanRequest request;
        fill(request);
        request.set_operation_id(random_uuid());
        *request.mutable_plan() = plan;
        grpc::ClientContext context;
        prepare(context);
        auto reader = stub->ExecutePlan(&context, request);
        proto::ExecutePlanResponse response;
        std::optional<proto::DataType> schema;
        while (reader->Read(&response)) {
            observe(response.server_side_session_id());
            if (response.has_schema()) schema = response.schema();
            switch (response.response_type_case()) {
                case proto::ExecutePlanResponse::kArrowBatch:
                    spark_connect::read_arrow_stream(response.arrow_batch().data(), columns, rows);
                    break;
                default:
                    break;
            }
        }
        const grpc::Status status = reader->Finish();
        if (!status.ok()) raise(status);
        if (columns.empty() && schema && schema->has_struct_()) {
            for (const auto& field : schema->struct_().fields()) columns.push_back({field.name(), 0});
        }
    }

    // Every statement goes as the plan's root relation, in one round trip: the server runs a
    // command (DDL, INSERT, CALL, SHOW ...) eagerly while planning it and streams its result rows,
    // and runs a query for its rows. Sent as a SQL command instead, a query comes back as a
    // relation to run in a second round trip, which analyses it (and loads its tables) again.
    std::shared_ptr<Cursor> run_sql(const proto::Plan& plan) {
        std::vector<ColumnDescription> columns;
        std::vector<Row> rows;
        execute(plan, columns, rows);
        return std::make_shared<MemoryCursor>(std::move(columns), std::move(rows));
    }

    [[noreturn]] void raise(const grpc::Status& status) {
        std::string message = status.error_message();
        std::string exception_class, error_class, sql_state, error_id;
        std::vector<std::string> classes;

        google::rpc::Status details;
        if (!status.error_details().empty() && details.ParseFromString(status.error_details())) {
            for (const auto& detail : details.details()) {
                google::rpc::ErrorInfo info;
                if (!detail.UnpackTo(&info)) continue;
                exception_class = info.reason();
                const auto& metadata = info.metadata();
                if (auto it = metadata.find("classes"); it != metadata.end()) {
                    const auto parsed = nlohmann::json::parse(it->second, nullptr, false);
                    if (parsed.is_array()) {
                        for (const auto& name : parsed) {
                            if (name.is_string()) classes.push_back(name.get<std::string>());
                        }
                    }
                }
                if (auto it = metadata.find("errorClass"); it != metadata.end()) error_class = it->second;
                if (auto it = metadata.find("sqlState"); it != metadata.end()) sql_state = it->second;
                if (auto it = metadata.find("errorId"); it != metadata.end()) error_id = it->second;
            }
        }
        // The status carries a shortened message; the server keeps the whole error for a while.
        if (!error_id.empty()) fetch_error_details(error_id, message, classes, sql_state);

        if (exception_class == ANALYSIS_EXCEPTION_CLASS ||
            std::find(classes.begin(), classes.end(), ANALYSIS_EXCEPTION_CLASS) != classes.end()) {
            throw ConnectAnalysisException(message, error_class, sql_state);
        }
        if (status.error_code() == grpc::StatusCode::UNAVAILABLE || status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED) {
            message = "Spark Connect server at " + target + ": " + message;
        }
        throw SparkConnectError(message, static_cast<int>(status.error_code()), exception_class, error_class, sql_state);
    }

    void fetch_error_details(const std::string& error_id, std::string& message, std::vector<std::string>& classes,
                             std::string& sql_state) {
        proto::FetchErrorDetailsRequest request;
        fill(request);
        request.set_error_id(error_id);
        proto::FetchErrorDetailsResponse response;
        grpc::ClientContext context;
        prepare(context);
        if (!stub->FetchErrorDetails(&context, request, &response).ok() || response.errors().empty()) return;
        const int root = response.has_root_error_idx() ? response.root_error_idx() : 0;
        if (root < 0 || root >= response.errors_size()) return;
        const auto& error = response.errors(root);
        if (!error.message().empty()) message = error.message();
        if (classes.empty()) classes.assign(error.error_type_hierarchy().begin(), error.error_type_hierarchy().end());
        if (sql_state.empty() && error.has_spark_throwable() && error.spark_throwable().has_sql_state()) {
            sql_state = error.spark_throwable().sql_state();
        }
    }

    proto::AnalyzePlanResponse analyze(proto::AnalyzePlanRequest& request) {
        fill(request);
        proto::AnalyzePlanResponse response;
        grpc::ClientContext context;
        prepare(context);
        const grpc::Status status = stub->AnalyzePlan(&context, request, &response);
        if (!status.ok()) raise(status);
        observe(response.server_side_session_id());
        return response;
    }

    SparkConnectOptions options;
    std::string target;
    std::string user_id;
    std::string session_id;
    std::string token;
    // Calls may come from several threads at once: the stub and the channel allow concurrent
    // calls, each request builds its own context, and the one state they share, the server's
    // session id as last seen, is read and written under this lock.
    std::mutex state_mutex;
    std::string server_side_session_id;
    std::atomic<bool> used = false;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<proto::SparkConnectService::Stub> stub;
};

SparkConnectClient::SparkConnectClient(const std::string& url, SparkConnectOptions options)
    : impl_(std::make_unique<Impl>(url, std::move(options))) {}

SparkConnectClient::~SparkConnectClient() = default;

const std::string& SparkConnectClient::session_id() const { return impl_->session_id; }

const std::string& SparkConnectClient::target() const { return impl_->target; }

std::shared_ptr<Cursor> SparkConnectClient::sql(const std::string& statement) {
    proto::Plan plan;
    plan.mutable_root()->mutable_sql()->set_query(statement);
    return impl_->run_sql(plan);
}

namespace {

void add_parameter(const SparkParameter& parameter, proto::Expression& out, const std::string& what) {
    // The protocol carries text as UTF-8; the server would refuse the whole request otherwise.
    if (holds_invalid_utf8(parameter.value())) throw UsageError(what + ": text that is not valid UTF-8");
    const ComplexType type = parameter.type() ? *parameter.type() : spark_connect::inferred_type(parameter.value(), what);
    spark_connect::to_expression(parameter.value(), type, out, what);
}

}  // namespace

std::shared_ptr<Cursor> SparkConnectClient::sql(const std::string& statement, const std::vector<SparkParameter>& parameters) {
    proto::Plan plan;
    auto& sql = *plan.mutable_root()->mutable_sql();
    sql.set_query(statement);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        add_parameter(parameters[i], *sql.add_pos_arguments(), "parameter " + std::to_string(i + 1));
    }
    return impl_->run_sql(plan);
}

std::shared_ptr<Cursor> SparkConnectClient::sql_named(const std::string& statement,
                                                      const std::map<std::string, SparkParameter>& parameters) {
    proto::Plan plan;
    auto& sql = *plan.mutable_root()->mutable_sql();
    sql.set_query(statement);
    for (const auto& [name, parameter] : parameters) {
        add_parameter(parameter, (*sql.mutable_named_arguments())[name], "parameter :" + name);
    }
    return impl_->run_sql(plan);
}

std::size_t SparkConnectClient::insert_rows(const std::string& table, const std::vector<IcebergTableColumn>& columns,
                                            const std::vector<Value>& rows) {
    if (columns.empty()) throw UsageError("insert_rows into " + table + ": no columns given");
    if (rows.empty()) return 0;
    std::vector<ComplexType::Field> fields;
    std::string column_list;
    for (const auto& column : columns) {
        fields.push_back(ComplexType::field(column.name, column.type));
        if (!column_list.empty()) column_list += ", ";
        column_list += quote_spark_identifier(column.name);
    }
    const ComplexType row_type = ComplexType::struct_of(std::move(fields));
    std::string data = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) data += ',';
        spark_connect::append_json(rows[i], row_type, data, "row " + std::to_string(i + 1));
    }
    data += ']';
    // The types travel as a parameter too: from_json reads the rows against them, FAILFAST
    // turning a value it cannot read into an error rather than a null.
    const std::string statement = "INSERT INTO " + table + " (" + column_list +
                                  ") SELECT inline(from_json(?, ?, map('mode', 'FAILFAST')))";
    sql(statement, {SparkParameter(std::move(data)), SparkParameter(ComplexType::array_of(row_type).to_sql())});
    return rows.size();
}

ComplexType SparkConnectClient::table_schema(const std::string& table_name) {
    proto::AnalyzePlanRequest request;
    request.mutable_schema()->mutable_plan()->mutable_root()->mutable_read()->mutable_named_table()->set_unparsed_identifier(
        table_name);
    const proto::AnalyzePlanResponse response = impl_->analyze(request);
    if (!response.has_schema() || !response.schema().schema().has_struct_()) {
        throw SparkConnectError("Spark Connect: no schema in the answer for table " + table_name, 0);
    }
    return to_complex_type(response.schema().schema());
}

std::string SparkConnectClient::spark_version() {
    proto::AnalyzePlanRequest request;
    request.mutable_spark_version();
    return impl_->analyze(request).spark_version().version();
}

}  // namespace korvex
