// SqliteHistoricalConnection: the pieces of the SELECT statements that join each versioned row with
// the metadata row of its own version, and the columns of the tables a read merges.

#include "korvex/connections/constants.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"

#include <iterator>

namespace korvex::lite_history {
namespace {

const std::string METADATA_ALIAS = METADATA_TABLE_ALIAS;

std::string build_metadata_select_field() {
    // Each metadata column under its name; JSON columns as JSON, is_deleted as a boolean.
    const std::pair<const char*, const char*> FIELDS[] = {
        {"next_version", nullptr},     {"address", "json"},
        {"object_id", ""},             {"object_version", ""},
        {"prior_version", ""},         {"class_schema_reference", "json"},
        {"class_meta_schema_reference", "json"}, {"class_schema_type", ""},
        {"is_deleted", "boolean"},     {"created_at", ""},
        {"updated_at", ""},            {"transaction", "json"},
    };
    std::string field = "\njson_object(";
    for (std::size_t i = 0; i < std::size(FIELDS); ++i) {
        const auto& [name, kind] = FIELDS[i];
        const std::string column = METADATA_ALIAS + ".\"" + name + "\"";
        std::string value;
        if (kind == nullptr) {
            value = NEXT_VERSION_EXPRESSION;
        } else if (std::string(kind) == "json") {
            value = "json(" + column + ")";
        } else if (std::string(kind) == "boolean") {
            value = "json(CASE " + column + " WHEN 1 THEN 'true' WHEN 0 THEN 'false' END)";
        } else {
            value = column;
        }
        field += std::string(i ? ",\n    " : "\n    ") + "'" + name + "', " + value;
    }
    return field + "\n) AS _metadata\n";
}

}  // namespace

const std::string NEXT_VERSION_EXPRESSION =
    "(SELECT _m2.object_version FROM metadata AS _m2 WHERE _m2.object_id = t2.object_id"
    " AND _m2.prior_version = t2.object_version LIMIT 1)";

const std::string METADATA_SELECT_FIELD = build_metadata_select_field();

Value decode_stored(Value value, const std::string& declared_type) {
    if (declared_type == "JSON" && value.is_string()) {
        Value parsed = parse_json(value.get_ref<const std::string&>());
        if (!parsed.is_discarded()) return parsed;  // text that is not JSON stays as stored
    } else if (declared_type == "BOOLEAN" && value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number == 0 || number == 1) return Value(number == 1);
    }
    return value;
}

std::vector<std::vector<TableColumn>> SqliteHistoricalConnection::_read_table_columns(const TablesToRead& tables) {
    std::vector<std::vector<TableColumn>> columns;
    for (const auto& table : tables) columns.push_back(_table_columns(table.first));
    return columns;
}

std::vector<DataMap> SqliteHistoricalConnection::_query(const std::optional<std::string>& table_name,
                                                       const std::optional<QuerySpecifier>& query_specifier,
                                                       const std::optional<Q>& conditions,
                                                       const Pagination& pagination,
                                                       const std::optional<std::vector<OrderBy>>& order_by) {
    // Inside a transaction the schema is asked once per transaction anyway; before it was ever
    // asked, the descriptions have no version to compare with.
    if (_connection == nullptr || _connection->in_transaction() || described_schema_version_.is_null() ||
        read_check_ != ReadCheck::NONE) {
        return SqlHistoricalStore::_query(table_name, query_specifier, conditions, pagination, order_by);
    }
    struct Checked {
        SqliteHistoricalConnection& store;
        ~Checked() {
            store.read_check_ = ReadCheck::NONE;
            store.read_run_record_.reset();
        }
    } checked{*this};
    const std::uint64_t seen = schema_changes_seen_;
    read_check_ = ReadCheck::BEFORE_STATEMENT;
    std::vector<DataMap> rows;
    try {
        rows = SqlHistoricalStore::_query(table_name, query_specifier, conditions, pagination, order_by);
    } catch (const std::exception&) {
        // The statement kept for the read may name a column another connection has dropped since:
        // the failure is the read's own only when the schema is the one it was built for.
        if (read_check_ != ReadCheck::NONE) {
            read_check_ = ReadCheck::NONE;
            read_run_unchanged_ = false;
            forget_changed_tables();
        }
        if (schema_changes_seen_ == seen) throw;
        read_run_record_.reset();
        return SqlHistoricalStore::_query(table_name, query_specifier, conditions, pagination, order_by);
    }
    if (schema_changes_seen_ != seen) {
        // Another connection changed the schema before the statement ran, which may have been
        // built for the old columns: the read runs again, built and decoded by the new ones.
        read_check_ = ReadCheck::NONE;
        read_run_record_.reset();
        return SqlHistoricalStore::_query(table_name, query_specifier, conditions, pagination, order_by);
    }
    if (read_run_record_) read_run_record_->run = read_run_;
    return rows;
}

std::shared_ptr<Cursor> SqliteHistoricalConnection::_execute_read(const Statement& statement) {
    auto cursor = SqlHistoricalStore::_execute_read(statement);
    if (read_check_ == ReadCheck::BEFORE_STATEMENT) {
        read_check_ = ReadCheck::AFTER_STATEMENT;
        read_run_ = _connection->last_run();
        read_run_unchanged_ = false;
        if (std::shared_ptr<void>* state = _read_shape_state(statement); state != nullptr && read_run_.statement) {
            if (*state == nullptr) *state = std::make_shared<ReadRun>();
            read_run_record_ = std::static_pointer_cast<ReadRun>(*state);
            read_run_unchanged_ = read_run_record_->run == read_run_;
        }
    }
    return cursor;
}

}  // namespace korvex::lite_history
