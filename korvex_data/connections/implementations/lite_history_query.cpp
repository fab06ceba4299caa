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
        Value parsed = Value::parse(value.get_ref<const std::string&>(), nullptr, false);
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

}  // namespace korvex::lite_history
