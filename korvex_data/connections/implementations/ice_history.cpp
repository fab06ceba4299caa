// SparkIcebergHistoricalConnection: construction, the table-schema service, connecting to the
// Spark Connect server, execute, the table layouts and the writes. The module entry point that
// registers the class with the host is at the end of this file.

#include "korvex_data/connections/implementations/ice_history.hpp"

#include "korvex/connections/common_sql_operators.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex/iceberg/spark_analysis_error.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex/table_schemas/constants.hpp"
#include "korvex/transactions/constants.hpp"
#include "korvex/utils/named_logger.hpp"
#include "korvex/utils/text.hpp"

#include <cctype>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace korvex::ice_history {

std::shared_ptr<spdlog::logger> logger() { return named_logger(MODULE_PATH); }

bool is_internal_table(const std::string& table_name) {
    return table_name == "metadata" || table_name == "reference" || table_name == to_lower(TRANSACTION_CLASS_NAME);
}

namespace {

ConditionParam plain_text(const Value& value) { return Value(text_form(value)); }
ConditionParam upper_text(const Value& value) { return Value(unicode_upper(text_form(value))); }

// The LIKE family compares text forms literally (no character is a wildcard) and with regard to
// case; the I-variants compare upper case on both sides.
OperatorMap build_operator_map() {
    OperatorMap map = common_sql_operators("IS NOT DISTINCT FROM", "IS DISTINCT FROM");
    const std::string field = "CAST({field_name} AS STRING)";
    const std::string upper = "upper(" + field + ")";
    map[Lookup::CONTAINS] = {"contains(" + field + ", %s)", std::nullopt, plain_text};
    map[Lookup::ICONTAINS] = {"contains(" + upper + ", %s)", std::nullopt, upper_text};
    map[Lookup::STARTSWITH] = {"startswith(" + field + ", %s)", std::nullopt, plain_text};
    map[Lookup::ISTARTSWITH] = {"startswith(" + upper + ", %s)", std::nullopt, upper_text};
    map[Lookup::ENDSWITH] = {"endswith(" + field + ", %s)", std::nullopt, plain_text};
    map[Lookup::IENDSWITH] = {"endswith(" + upper + ", %s)", std::nullopt, upper_text};
    return map;
}

bool is_kind(const ComplexType& type, ComplexType::Kind kind) { return type.kind() == kind; }

// The statements after which a table may have other columns, or be gone.
bool changes_tables(const std::string& statement) {
    std::size_t start = statement.find_first_not_of(" \t\r\n(");
    if (start == std::string::npos) return false;
    std::string verb;
    for (std::size_t i = start; i < statement.size() && std::isalpha(static_cast<unsigned char>(statement[i])); ++i) {
        verb += static_cast<char>(std::toupper(static_cast<unsigned char>(statement[i])));
    }
    return verb == "CREATE" || verb == "ALTER" || verb == "DROP" || verb == "REPLACE";
}

std::string quote_name_of(const std::string& name) { return quote_spark_identifier(name); }

std::string text_of(const Value& value) { return value.is_string() ? value.get<std::string>() : std::string(); }

}  // namespace

const OperatorMap sql_operator_map = build_operator_map();

// The Iceberg connection.

std::vector<IcebergTableColumn> StoreSparkConnection::build_columns_from_schema(const TableSchema& table_schema) {
    std::vector<IcebergTableColumn> columns = IcebergSparkConnection::build_columns_from_schema(table_schema);
    if (is_internal_table(versioned_table_name(table_schema.address))) return columns;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const auto* kind = std::get_if<ValueKind>(&table_schema.columns[i].type);
        if (kind != nullptr && (*kind == ValueKind::MAPPING || *kind == ValueKind::SEQUENCE)) {
            // JSON text in a STRING column, its comment telling a read to decode it.
            columns[i].type = ComplexType::primitive(std::string("STRING COMMENT '") + JSON_COLUMN_COMMENT + "'");
        }
    }
    std::vector<IcebergTableColumn> keyed;
    keyed.reserve(columns.size() + 2);
    keyed.emplace_back(PRIMARY_PARTITION_KEY, ComplexType::primitive("STRING"), false);
    keyed.emplace_back(SECONDARY_PARTITION_KEY, ComplexType::primitive("STRING"), false);
    for (auto& column : columns) {
        if (column.name != PRIMARY_PARTITION_KEY && column.name != SECONDARY_PARTITION_KEY) {
            keyed.push_back(std::move(column));
        }
    }
    return keyed;
}

std::shared_ptr<Cursor> StoreSparkConnection::execute(const std::string& statement) {
    if (changes_tables(statement)) note_table_change();
    return IcebergSparkConnection::execute(statement);
}

// The store.

SparkIcebergHistoricalConnection::SparkIcebergHistoricalConnection(SqlStoreOptions options)
    : SqlHistoricalStore(spark_dialect, options) {
    spark_dialect.locate(catalog_, namespace_);
    log_branch_ = "korvex_commit_";
    log_branch_at_.reset();
    for (int i = 0; i < 16; ++i) log_branch_ += "0123456789abcdef"[branch_names_() % 16];
}

SparkIcebergHistoricalConnection::~SparkIcebergHistoricalConnection() = default;

std::unique_ptr<TableSchemaServiceBase> SparkIcebergHistoricalConnection::table_schema_manager() {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    if (schema_module_ == nullptr) schema_module_ = &import_module(TABLE_SCHEMA_MODULE_PATH);
    ConstructionArgs args;
    args.connection = connection_.get();
    return schema_module_->create<TableSchemaServiceBase>(TABLE_SCHEMA_CLASS, args);
}

void SparkIcebergHistoricalConnection::connect(const std::optional<std::string>& dsn,
                                               const ConnectionParameters& parameters) {
    if (connection_ != nullptr) throw KorvexConnectionError("Connection already established");
    std::string url = dsn.value_or("");
    if (url.empty()) {
        const char* variable = std::getenv("SPARK_CONNECT_URL");
        if (variable != nullptr) url = variable;
    }
    if (url.empty()) {
        throw UsageError("connect: name the Spark Connect server (sc://host:port), or set SPARK_CONNECT_URL");
    }
    std::string catalog = DEFAULT_CATALOG;
    std::string namespace_name = DEFAULT_NAMESPACE;
    std::int64_t lease_ms = DEFAULT_COMMIT_LEASE_SECONDS * 1000;
    for (const auto& [name, value] : parameters) {
        if (name == "commit_lease_seconds") {
            std::size_t used = 0;
            long long seconds = -1;
            try {
                seconds = std::stoll(value, &used);
            } catch (const std::exception&) {
            }
            if (used != value.size() || seconds < 0 || seconds > 86400 * 365) {
                throw UsageError("connect: commit_lease_seconds must be a whole number of seconds from 0 to a year, not '" +
                                 value + "'");
            }
            lease_ms = seconds * 1000;
            continue;
        }
        if (name != "catalog" && name != "namespace") {
            throw UsageError("connect: unknown parameter " + name +
                             " (the Iceberg store takes catalog, namespace and commit_lease_seconds)");
        }
        if (value.empty() || value.find('\0') != std::string::npos) {
            throw UsageError("connect: " + name + " must be a non-empty name without NUL bytes");
        }
        (name == "catalog" ? catalog : namespace_name) = value;
    }
    connection_ = std::make_unique<StoreSparkConnection>(url, catalog, namespace_name);
    catalog_ = catalog;
    namespace_ = namespace_name;
    commit_lease_ms_ = lease_ms;
    spark_dialect.locate(catalog_, namespace_);
    // Other tables: nothing described before holds.
    layouts_.clear();
    insert_columns_.clear();
    forget_table_descriptions();
    described_at_changes_ = connection_->table_changes();
}

void SparkIcebergHistoricalConnection::disconnect() {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    if (log_branch_made_) {
        // This connection's branch of the commit log holds nothing a reader needs.
        try {
            drop_branch(COMMIT_LOG_TABLE, log_branch_);
        } catch (const std::exception& error) {
            logger()->warn("disconnect: the commit log's branch {} stays: {}", log_branch_, error.what());
        }
        log_branch_made_ = false;
        log_branch_at_.reset();
    }
    connection_.reset();
    forget_transaction_state();
    // The branches of a transaction still open stay behind, unpublished: maintenance drops them.
    branch_.clear();
    branched_.clear();
    savepoints_.clear();
    branches_changed();
}

void SparkIcebergHistoricalConnection::prepare_connection() {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    connection_->create_namespace();
    table_schema_manager()->register_internal_tables();
    create_commit_log();
    finish_interrupted_commits("prepare_connection");
}

std::string SparkIcebergHistoricalConnection::qualified_name(const std::string& table_name) const {
    return spark_dialect.table_reference(table_name);
}

std::shared_ptr<Cursor> SparkIcebergHistoricalConnection::execute(const std::string& query,
                                                                  const std::vector<Value>& params) {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    try {
        const auto [text, markers] = question_markers(query);
        if (markers != params.size()) {
            throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                             std::to_string(params.size()) + " parameters were given");
        }
        if (changes_tables(text)) connection_->note_table_change();
        if (params.empty()) return connection_->client().sql(text);
        std::vector<SparkParameter> parameters(params.begin(), params.end());
        // Spark refuses a page whose LIMIT and OFFSET add up beyond INT's range: the limit is
        // cut to what can follow the offset (no more rows than that can come back anyway).
        static const std::string PAGE = " LIMIT %s OFFSET %s";
        const std::size_t n = params.size();
        if (query.ends_with(PAGE) && n >= 2 && params[n - 2].is_number_integer() && params[n - 1].is_number_integer()) {
            constexpr std::int64_t most = std::numeric_limits<std::int32_t>::max();
            const std::int64_t offset = std::min<std::int64_t>(params[n - 1].get<std::int64_t>(), most);
            const std::int64_t room = most - std::max<std::int64_t>(offset, 0);
            const std::int64_t limit = std::min<std::int64_t>(params[n - 2].get<std::int64_t>(), room);
            parameters[n - 2] = SparkParameter(Value(limit));
            parameters[n - 1] = SparkParameter(Value(offset));
        }
        return connection_->client().sql(text, parameters);
    } catch (...) {
        std::throw_with_nested(
            KorvexConnectionError("Error executing query: " + query + " with args: " + printed_parameters(params)));
    }
}

// Descriptions.

bool SparkIcebergHistoricalConnection::_tables_changed() {
    if (connection_ == nullptr || connection_->table_changes() == described_at_changes_) return false;
    described_at_changes_ = connection_->table_changes();
    layouts_.clear();
    return true;
}

const SparkIcebergHistoricalConnection::Layout& SparkIcebergHistoricalConnection::layout(const std::string& table_name) {
    if (connection_ == nullptr) throw KorvexConnectionError("Connection not established");
    if (auto found = layouts_.find(table_name); found != layouts_.end()) return found->second;
    Layout layout;
    const std::string name = qualified_name(table_name);
    try {
        layout.columns = connection_->get_table_description(name);
    } catch (const AnalysisException& error) {
        const std::string text = error.what();
        if (text.find(" cannot be found.") == std::string::npos) throw;
        static const Layout missing;
        return missing;  // read again next time, so that a table created later is seen
    }
    // The comments tell the JSON columns.
    std::map<std::string, bool> json;
    for (const auto& row : connection_->client().sql("DESCRIBE TABLE " + name)->fetchall()) {
        const std::string column = text_of(row.at(0));
        if (column.empty() || column.starts_with("#")) break;
        json[column] = row.size() > 2 && text_of(row.at(2)) == JSON_COLUMN_COMMENT;
    }
    for (const auto& column : layout.columns) layout.json.push_back(json[column.name]);
    return layouts_.emplace(table_name, std::move(layout)).first->second;
}

TableDescription SparkIcebergHistoricalConnection::_read_table_description(const std::string& table_name) {
    const Layout& described = layout(table_name);
    TableDescription description;
    for (std::size_t i = 0; i < described.columns.size(); ++i) {
        description[described.columns[i].name] = described.json[i] ? JSON_TYPE : described.columns[i].type.to_sql();
    }
    return description;
}

std::vector<std::vector<TableColumn>> SparkIcebergHistoricalConnection::_read_table_columns(const TablesToRead& tables) {
    std::vector<std::vector<TableColumn>> result;
    for (const auto& table : tables) {
        const Layout& described = layout(table.first);
        auto& columns = result.emplace_back();
        for (std::size_t i = 0; i < described.columns.size(); ++i) {
            columns.push_back({described.columns[i].name,
                               described.json[i] ? std::string(JSON_TYPE) : described.columns[i].type.to_sql()});
        }
    }
    return result;
}

// Values.

Value SparkIcebergHistoricalConnection::process_value_before_insert(const Value& value, const std::string& data_type) {
    if (value.is_null()) return value;
    if (data_type == JSON_TYPE) return json_text(value, false);
    if (data_type == "STRING" && !value.is_string()) return json_text(value, false);
    return value;
}

Value SparkIcebergHistoricalConnection::_merged_value(Value value, const TableColumn& column) {
    if (column.type == JSON_TYPE && value.is_string()) {
        Value parsed = Value::parse(value.get_ref<const std::string&>(), nullptr, false);
        if (!parsed.is_discarded()) return parsed;
    }
    return value;
}

DataMap SparkIcebergHistoricalConnection::_process_result(DataMap row, const TableDescription& table_description) {
    DataMap result = SqlHistoricalStore::_process_result(std::move(row), table_description);
    for (auto& [name, value] : result.items()) {
        const auto column = table_description.find(name);
        if (column != table_description.end()) value = _merged_value(std::move(value), {name, column->second});
    }
    return result;
}

// Writes.

namespace {

// The struct columns that identify a row of an internal table.
std::vector<std::string> identity_columns(const std::string& table_name) {
    if (table_name == "reference") return {"from_address", "to_address"};
    return {"address"};
}

}  // namespace

void SparkIcebergHistoricalConnection::_add_revert_data(const Address& address, const DataMap& data) {
    SqlHistoricalStore::_add_revert_data(address, data);
    const std::string table_name = _resolve_table_name(address);
    if (!is_internal_table(table_name)) return;
    auto& identity = internal_identities_[address.to_string()];
    identity.clear();
    for (const auto& column : identity_columns(table_name)) {
        if (data.is_object() && data.contains(column)) identity.emplace_back(column, data.at(column));
    }
}

void SparkIcebergHistoricalConnection::_delete(const Address& address) {
    const std::string table_name = _resolve_table_name(address);
    if (!is_internal_table(table_name)) return SqlHistoricalStore::_delete(address);
    const auto found = internal_identities_.find(address.to_string());
    if (found == internal_identities_.end() || found->second.empty()) {
        throw KorvexConnectionError("revert: no identity was recorded for the " + table_name + " row of " +
                                    address.to_string() + ", so it cannot be deleted");
    }
    std::string conditions;
    std::vector<Value> params;
    for (const auto& [column, value] : found->second) {
        if (!value.is_object()) continue;
        for (const auto& [field, part] : value.items()) {
            conditions += (conditions.empty() ? "" : " AND ") + quote_name_of(column) + "." + quote_name_of(field) +
                          " <=> %s";
            params.push_back(part);
        }
    }
    if (conditions.empty()) {
        throw KorvexConnectionError("revert: the " + table_name + " row of " + address.to_string() +
                                    " holds no identity to delete it by");
    }
    execute("DELETE FROM " + _table_reference(table_name) + " WHERE " + conditions, params);
    internal_identities_.erase(found);
}

Statement SparkIcebergHistoricalConnection::_build_insert_statement(const std::string& table_name, const DataMap& data) {
    Statement statement = SqlHistoricalStore::_build_insert_statement(table_name, data);
    if (!insert_columns_.contains(statement.text)) {
        std::vector<std::string> columns{table_name};  // the table first, then the columns in order
        for (const auto& [key, value] : data.items()) columns.push_back(key);
        insert_columns_.emplace(statement.text, std::move(columns));
    }
    return statement;
}

void SparkIcebergHistoricalConnection::append_rows(const std::string& table_name,
                                                   const std::vector<const std::string*>& texts,
                                                   const std::vector<const std::vector<Value>*>& params) {
    const Layout& described = layout(table_name);
    if (described.columns.empty()) {
        throw KorvexConnectionError("table " + qualified_name(table_name) + " does not exist (any more)");
    }
    std::map<std::string, const ComplexType*> types;
    for (const auto& column : described.columns) types.emplace(column.name, &column.type);
    std::vector<Value> rows;
    rows.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto found = insert_columns_.find(*texts[i]);
        if (found == insert_columns_.end()) throw KorvexConnectionError("no INSERT was built as " + *texts[i]);
        const std::vector<std::string>& columns = found->second;
        Value row = Value::object();
        for (std::size_t c = 1; c < columns.size(); ++c) {
            const Value& value = params[i]->at(c - 1);
            const auto type = types.find(columns[c]);
            // A struct or a list went into the statement as its JSON text: it travels as itself.
            if (type != types.end() && !is_kind(*type->second, ComplexType::Kind::PRIMITIVE) && value.is_string()) {
                row[columns[c]] = Value::parse(value.get_ref<const std::string&>());
            } else {
                row[columns[c]] = value;
            }
        }
        rows.push_back(std::move(row));
    }
    ensure_branch(table_name);
    connection_->client().insert_rows(_table_reference(table_name), described.columns, rows);
    if (!branch_.empty() && table_name == "metadata") {
        // The (object, version) pairs the transaction writes, for the duplicate check at commit.
        const auto text = [](const Value& value) { return value.is_string() ? value.get<std::string>() : value.dump(); };
        for (const auto& row : rows) {
            if (!row.contains("address") || !row.at("address").is_object()) continue;
            const Value& address = row.at("address");
            if (!address.contains("object_id") || !address.contains("object_version")) continue;
            written_pairs_.emplace_back(text(address.at("object_id")), text(address.at("object_version")));
        }
    }
}

void SparkIcebergHistoricalConnection::_execute_insert(const std::string& table_name, const Statement& statement) {
    try {
        append_rows(table_name, {&statement.text}, {&statement.params});
    } catch (...) {
        std::throw_with_nested(KorvexConnectionError("put: writing a row of " + qualified_name(table_name) + " failed"));
    }
}

std::optional<SqlHistoricalStore::BatchFailure> SparkIcebergHistoricalConnection::_write_batch(const InsertBatch& batch) {
    // One statement per table, in the order the tables first appear.
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::size_t>> rows_of;
    for (std::size_t i = 0; i < batch.row_text.size(); ++i) {
        const auto found = insert_columns_.find(*batch.row_text[i]);
        if (found == insert_columns_.end()) {
            return BatchFailure{i, std::make_exception_ptr(KorvexConnectionError("no INSERT was built for this row")),
                                false, false};
        }
        auto [entry, added] = rows_of.try_emplace(found->second.front());
        if (added) order.push_back(found->second.front());
        entry->second.push_back(i);
    }
    std::vector<std::string> written;
    for (const std::string& table : order) {
        const auto& indexes = rows_of[table];
        std::vector<const std::string*> texts;
        std::vector<const std::vector<Value>*> params;
        for (std::size_t i : indexes) {
            texts.push_back(batch.row_text[i]);
            params.push_back(&batch.row_params[i]);
        }
        try {
            append_rows(table, texts, params);
        } catch (...) {
            if (written.empty()) return BatchFailure{indexes.front(), std::current_exception(), false, true};
            // Each table's rows are one Iceberg commit; those of the tables before stay written.
            std::string tables;
            for (const auto& name : written) tables += (tables.empty() ? "" : ", ") + qualified_name(name);
            std::throw_with_nested(KorvexConnectionError(
                "put_many: writing the rows of " + qualified_name(table) + " failed after the rows of " + tables +
                " were written; those rows stay (this store writes each table by itself)"));
        }
        written.push_back(table);
    }
    return std::nullopt;
}

}  // namespace korvex::ice_history

KORVEX_MODULE_ENTRY {
    using korvex::ice_history::SparkIcebergHistoricalConnection;
    registry.add_class("SparkIcebergHistoricalConnection",
                       [](const korvex::ConstructionArgs& args) -> std::unique_ptr<korvex::Object> {
                           return std::make_unique<SparkIcebergHistoricalConnection>(
                               korvex::parse_store_arguments("SparkIcebergHistoricalConnection", args));
                       });
    registry.add_attribute("sql_operator_map", &korvex::ice_history::sql_operator_map);
}
