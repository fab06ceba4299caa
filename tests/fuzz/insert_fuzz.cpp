// The write path's statements for hostile class names, versions, object identities, column
// names and values: register_table (CREATE TABLE and its indexes, column defaults as literals)
// and put (the INSERT), on a connection that records statements instead of sending them.
//
// Input lines: class name, class version, object id, object version, then a column name and a
// value line for each column.

#include "fuzz_support.hpp"

#include "korvex/table_schemas/base.hpp"
#include "korvex/table_schemas/constants.hpp"

using namespace korvex;
using namespace korvex::fuzz;

namespace {

ValueKind kind_of(const Value& value) {
    switch (value.type()) {
        case Value::value_t::boolean: return ValueKind::BOOLEAN;
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned: return ValueKind::INTEGER;
        case Value::value_t::number_float: return ValueKind::FLOAT;
        case Value::value_t::array: return ValueKind::SEQUENCE;
        case Value::value_t::object: return ValueKind::MAPPING;
        default: return ValueKind::TEXT;
    }
}

// The server's type name for a column of that kind, as _describe_table reports it.
std::string data_type_of(ValueKind kind) {
    switch (kind) {
        case ValueKind::BOOLEAN: return "boolean";
        case ValueKind::INTEGER: return "bigint";
        case ValueKind::FLOAT: return "double precision";
        case ValueKind::TEXT: return "text";
        default: return "json";
    }
}

void require_short(const std::string& name, const char* what) {
    if (name.size() > MAX_IDENTIFIER_BYTES) {
        finding(std::string(what) + " of " + std::to_string(name.size()) + " bytes was accepted");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzLines lines(data, size);
    const Address address = read_address(lines);
    DataMap row = DataMap::object();
    TableSchema schema{address, {}, {}, {}};
    while (!lines.done()) {
        const std::string name = lines.text();
        const Value value = lines.value();
        row[name] = value;
        // Every column gets an index and its value as default, so that names and literals reach
        // every kind of DDL statement.
        schema.columns.push_back({name, kind_of(value), value, true});
        schema.indexed.push_back({name});
    }
    if (address.class_name.empty()) return 0;

    RecordingConnection connection;
    connection.columns = {{PRIMARY_PARTITION_KEY, "text"}, {SECONDARY_PARTITION_KEY, "text"}};
    for (const auto& column : schema.columns) {
        connection.columns[column.name] = data_type_of(kind_of(column.default_value));
    }

    std::string table_name;
    if (!accepted([&] { table_name = versioned_table_name(address); })) return 0;
    const bool registered = accepted([&] { connection.table_schema_manager()->register_table(schema); });
    const std::size_t registered_statements = connection.statements.size();
    connection.begin();
    const bool written = accepted([&] { connection.put(address, row); });

    const auto lexed = checked(connection.statements);
    for (std::size_t i = 0; i < lexed.size(); ++i) {
        const std::string& text = connection.statements[i].text;
        const char* keyword = text.starts_with("CREATE TABLE")   ? "TABLE"
                              : text.starts_with("CREATE INDEX") ? "ON"
                              : text.starts_with("INSERT")       ? "INTO"
                                                                 : nullptr;
        if (keyword != nullptr && !names_after(lexed[i], keyword, table_name)) {
            finding("the table is not the one identifier " + std::string(keyword) + " names: " + text);
        }
    }
    if (registered) {
        require_short(table_name, "a table name");
        for (const auto& column : schema.columns) require_short(column.name, "a column name");
    }
    if (written) {
        require_short(table_name, "a table name");
        for (const auto& [name, value] : row.items()) require_short(name, "a column name");
        if (connection.statements.size() <= registered_statements + 1) finding("put wrote nothing");
        // PostgreSQL text cannot hold a NUL byte, and libpq would end the parameter there.
        for (const auto& param : connection.statements.back().params) {
            if (param.is_string() && holds_nul(param.get_ref<const std::string&>())) {
                finding("put accepted a value holding a NUL byte for " + connection.statements.back().text);
            }
        }
    }
    return 0;
}
