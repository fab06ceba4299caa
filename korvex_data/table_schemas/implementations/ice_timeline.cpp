#include "korvex/error.hpp"
#include "korvex_data/table_schemas/implementations/ice_timeline.hpp"

#include "korvex/iceberg/spark_analysis_error.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/transactions/constants.hpp"
#include "korvex/utils/named_logger.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <unordered_set>

namespace korvex {

const std::shared_ptr<const NestedSchemaModel> address_struct = make_nested({
    {"resource", ValueKind::TEXT},
    {"class_name", ValueKind::TEXT},
    {"class_version", ValueKind::TEXT},
    {"object_id", ValueKind::TEXT},
    {"object_version", ValueKind::TEXT},
});

const std::shared_ptr<const NestedSchemaModel> reference_struct = make_nested({
    {"ref", address_struct},
});

namespace {

constexpr const char* MODULE_PATH = "korvex_data.table_schemas.implementations.ice_timeline";

std::shared_ptr<spdlog::logger> logger() { return named_logger(MODULE_PATH); }

// A column with no default; `nullable` left out keeps the record's own default.
TableColumnSchema column(const std::string& name, ColumnType type) { return {name, std::move(type), nullptr}; }
TableColumnSchema column(const std::string& name, ColumnType type, bool nullable) {
    return {name, std::move(type), nullptr, nullable};
}

std::vector<TableSchema> internal_table_schemas() {
    const ColumnType address = address_struct;
    const ColumnType reference = reference_struct;
    return {
        TableSchema{Address::from_string("iceberg#metadata"),
                    {column("address", address),
                     column("class_schema_reference", reference, false),
                     column("class_meta_schema_reference", reference, true),
                     column("class_schema_type", ValueKind::TEXT, false),
                     column("is_deleted", ValueKind::BOOLEAN, false),
                     column("prior_version", ValueKind::TEXT),
                     column("created_at", ValueKind::FLOAT),
                     column("updated_at", ValueKind::FLOAT),
                     column("transaction", address, true)},
                    {},
                    {}},
        TableSchema{Address::from_string("iceberg#Reference"),
                    {column("from_address", address, false), column("to_address", address, false)},
                    {},
                    {}},
        TableSchema{Address::from_string(std::string("iceberg#") + TRANSACTION_CLASS_NAME),
                    {column("address", address, false),
                     column("label", ValueKind::TEXT, false),
                     column("tags", make_array(ValueKind::TEXT), false),
                     column("started_at", ValueKind::FLOAT, false),
                     column("ended_at", ValueKind::FLOAT, false)},
                    {},
                    {}},
    };
}

// The descriptors of `from` that are not among `without`, compared whole; duplicates collapse,
// the order of `from` is kept.
std::vector<IcebergTableColumn> difference(const std::vector<IcebergTableColumn>& from,
                                           const std::vector<IcebergTableColumn>& without) {
    const std::unordered_set<IcebergTableColumn> excluded(without.begin(), without.end());
    std::unordered_set<IcebergTableColumn> seen;
    std::vector<IcebergTableColumn> result;
    for (const IcebergTableColumn& column : from) {
        if (!excluded.contains(column) && seen.insert(column).second) result.push_back(column);
    }
    return result;
}

const IcebergTableColumn* find_by_name(const std::vector<IcebergTableColumn>& columns, const std::string& name) {
    const auto found = std::find_if(columns.begin(), columns.end(), [&](const auto& c) { return c.name == name; });
    return found == columns.end() ? nullptr : &*found;
}

std::string column_path(const std::vector<std::string>& path) {
    std::string text;
    for (const std::string& part : path) {
        if (!text.empty()) text += ".";
        text += quote_spark_identifier(part);
    }
    return text;
}

bool is_widening(const ComplexType& from, const ComplexType& to) {
    return from.kind() == ComplexType::Kind::PRIMITIVE && to.kind() == ComplexType::Kind::PRIMITIVE &&
           ((from.name() == "INT" && to.name() == "BIGINT") || (from.name() == "FLOAT" && to.name() == "DOUBLE"));
}

// Plans the in-place change of one column or nested field (see _build_alter_column_statements).
class AlterPlanner {
public:
    explicit AlterPlanner(std::string full_table_name) : table_(std::move(full_table_name)) {}

    void plan(const std::vector<std::string>& path, const ComplexType& present, bool present_nullable,
              const ComplexType& declared, bool declared_nullable) {
        if (!(present == declared)) plan_type(path, present, declared);
        if (!present_nullable && declared_nullable) {
            statements_.push_back(alter() + "ALTER COLUMN " + column_path(path) + " DROP NOT NULL");
        } else if (present_nullable && !declared_nullable) {
            logger()->warn("{}: {} may hold nulls although it is declared NOT NULL; Iceberg cannot make an existing "
                           "column required, so it stays nullable",
                           table_, column_path(path));
        }
    }

    std::vector<std::string> take() { return std::move(statements_); }

private:
    std::string alter() const { return "ALTER TABLE " + table_ + " "; }

    void plan_type(const std::vector<std::string>& path, const ComplexType& present, const ComplexType& declared) {
        using Kind = ComplexType::Kind;
        if (present.kind() == Kind::STRUCT && declared.kind() == Kind::STRUCT) {
            for (const ComplexType::Field& field : declared.fields()) {
                std::vector<std::string> field_path = path;
                field_path.push_back(field.name);
                const auto& present_fields = present.fields();
                const auto match = std::find_if(present_fields.begin(), present_fields.end(),
                                                [&](const auto& f) { return f.name == field.name; });
                if (match != present_fields.end()) {
                    plan(field_path, *match->type, match->nullable, *field.type, field.nullable);
                } else {
                    statements_.push_back(alter() + "ADD COLUMN " + column_path(field_path) + " " + field.type->to_sql());
                    if (!field.nullable) plan(field_path, *field.type, true, *field.type, false);
                }
            }
            for (const ComplexType::Field& field : present.fields()) {
                const auto& declared_fields = declared.fields();
                if (std::none_of(declared_fields.begin(), declared_fields.end(),
                                 [&](const auto& f) { return f.name == field.name; })) {
                    std::vector<std::string> field_path = path;
                    field_path.push_back(field.name);
                    statements_.push_back(alter() + "DROP COLUMN " + column_path(field_path));
                }
            }
        } else if (present.kind() == Kind::ARRAY && declared.kind() == Kind::ARRAY) {
            std::vector<std::string> element_path = path;
            element_path.push_back("element");
            plan(element_path, present.element(), present.contains_null(), declared.element(), declared.contains_null());
        } else if (present.kind() == Kind::MAP && declared.kind() == Kind::MAP && present.key() == declared.key()) {
            std::vector<std::string> value_path = path;
            value_path.push_back("value");
            plan(value_path, present.value(), present.contains_null(), declared.value(), declared.contains_null());
        } else if (is_widening(present, declared)) {
            statements_.push_back(alter() + "ALTER COLUMN " + column_path(path) + " TYPE " + declared.to_sql());
        } else {
            throw IcebergSchemaChangeError("cannot change " + column_path(path) + " of table " + table_ + " from " +
                                           present.to_sql() + " to " + declared.to_sql() +
                                           ": Iceberg cannot make that change in place without losing data");
        }
    }

    std::string table_;
    std::vector<std::string> statements_;
};

// Probes the table; Spark's not-found analysis error means that it is missing.
bool table_exists(IcebergHistoricalConnection& connection, const std::string& full_table_name) {
    try {
        connection.get_table_description(full_table_name);
        return true;
    } catch (const AnalysisException& error) {
        const std::string text = error.what();
        if (text.find("The table or view ") == std::string::npos || text.find(" cannot be found.") == std::string::npos) {
            throw;
        }
        return false;
    }
}

}  // namespace

std::pair<std::string, bool> IcebergHistoryTableSchemaService::register_table(const TableSchema& table_schema) {
    const std::string table_name = resolve_table_name(table_schema.address);
    const std::string full_table_name = connection().get_full_table_name(table_schema.address);
    if (table_exists(connection(), full_table_name)) return {table_name, false};
    // A table under the name that only lowered A to Z would be a second table of the class:
    // refused instead. Nothing more is sent for other names.
    if (const auto former = former_table_name(table_schema.address)) {
        if (table_exists(connection(), connection().qualified_table_name(*former))) {
            throw former_table_name_error(table_schema.address, table_name, *former);
        }
    }
    create_table(full_table_name, table_schema);
    return {table_name, true};
}

std::string IcebergHistoryTableSchemaService::resolve_table_name(const Address& address) {
    return versioned_table_name(address);
}

std::string IcebergHistoryTableSchemaService::_build_create_table_statement(const std::string& table_name,
                                                                            const TableSchema& table_schema) {
    const std::vector<IcebergTableColumn> columns = connection().build_columns_from_schema(table_schema);
    const std::string columns_definition = IcebergTableColumnsSchema(columns).to_sql();
    return "CREATE TABLE " + table_name + " (" + columns_definition + ") USING iceberg";
}

void IcebergHistoryTableSchemaService::create_table(const std::string& table_name, const TableSchema& table_schema) {
    const std::string statement = _build_create_table_statement(table_name, table_schema);
    connection().execute(statement);
    // Spark SQL reads a property written without "=" as key and value.
    connection().execute("ALTER TABLE " + table_name + " SET TBLPROPERTIES ('write.wap.enabled''true')");
}

void IcebergHistoryTableSchemaService::unregister_table(const Address&) {}

void IcebergHistoryTableSchemaService::register_internal_tables() {
    for (const TableSchema& table_schema : internal_table_schemas()) {
        const auto [table_name, is_created] = register_table(table_schema);
        if (!is_created) update_internal_table(table_schema);
    }
}

void IcebergHistoryTableSchemaService::update_internal_table(const TableSchema& table_schema) {
    const std::string full_table_name = connection().get_full_table_name(table_schema.address);
    const std::vector<IcebergTableColumn> table_columns = connection().get_table_description(full_table_name);
    const std::vector<IcebergTableColumn> columns = connection().build_columns_from_schema(table_schema);
    const std::vector<IcebergTableColumn> added_column = difference(columns, table_columns);
    const std::vector<IcebergTableColumn> deleted_columns = difference(table_columns, columns);

    // A name on both sides is a column whose definition changed. Adding it again would fail
    // (Spark refuses a column name that exists) and dropping it afterwards would lose the
    // column and its data, so it is changed in place. Everything is planned before anything is
    // executed, so a change that cannot be made leaves the table untouched.
    std::vector<std::string> additions, alterations, drops;
    for (const IcebergTableColumn& column : added_column) {
        if (const IcebergTableColumn* present = find_by_name(deleted_columns, column.name)) {
            for (std::string& statement : _build_alter_column_statements(full_table_name, *present, column)) {
                alterations.push_back(std::move(statement));
            }
        } else if (!column.nullable) {
            // Iceberg adds no required column to an existing table: existing rows have no value.
            logger()->warn("{}: adding {} as nullable although it is declared NOT NULL; Iceberg cannot add a "
                           "required column to an existing table",
                           full_table_name, quote_spark_identifier(column.name));
            additions.push_back("ALTER TABLE " + full_table_name + " ADD COLUMN " +
                                IcebergTableColumn(column.name, column.type, true).to_sql());
        } else {
            additions.push_back("ALTER TABLE " + full_table_name + " ADD COLUMN " + column.to_sql());
        }
    }
    for (const IcebergTableColumn& column : deleted_columns) {
        if (find_by_name(added_column, column.name) == nullptr) {
            // A plain name goes in as it is; any other is quoted so that it cannot break the statement.
            drops.push_back("ALTER TABLE " + full_table_name + " DROP COLUMN " + spark_identifier(column.name));
        }
    }
    for (const auto* group : {&additions, &alterations, &drops}) {
        for (const std::string& statement : *group) connection().execute(statement);
    }
}

std::vector<std::string> IcebergHistoryTableSchemaService::_build_alter_column_statements(
    const std::string& full_table_name, const IcebergTableColumn& present, const IcebergTableColumn& declared) {
    AlterPlanner planner(full_table_name);
    planner.plan({declared.name}, present.type, present.nullable, declared.type, declared.nullable);
    return planner.take();
}

}  // namespace korvex

namespace {

korvex::ColumnType value_kind_named(const std::string& name) {
    using korvex::ValueKind;
    for (ValueKind kind : {ValueKind::MAPPING, ValueKind::TEXT, ValueKind::BOOLEAN, ValueKind::FLOAT,
                           ValueKind::INTEGER, ValueKind::SEQUENCE}) {
        if (korvex::to_string(kind) == name) return kind;
    }
    throw korvex::UsageError("unknown value kind " + name);
}

}  // namespace

KORVEX_MODULE_ENTRY {
    registry.add_class("IcebergHistoryTableSchemaService", [](const korvex::ConstructionArgs& args) {
        auto* connection = dynamic_cast<korvex::IcebergHistoricalConnection*>(args.connection);
        if (connection == nullptr) {
            throw korvex::UsageError(
                "IcebergHistoryTableSchemaService needs an IcebergHistoricalConnection as its connection");
        }
        return std::unique_ptr<korvex::Object>(std::make_unique<korvex::IcebergHistoryTableSchemaService>(*connection));
    });
    // Named arguments: name (text), type (a value kind's text form, or else a Spark SQL type name
    // such as "DATE"), default, nullable (boolean). Struct and array types are built in code.
    registry.add_class("IcebergTableColumnSchema", [](const korvex::ConstructionArgs& args) {
        const korvex::Value& named = args.named;
        if (!named.is_object() || !named.contains("name") || !named["name"].is_string()) {
            throw korvex::UsageError("IcebergTableColumnSchema needs a text argument name");
        }
        auto record = std::make_unique<korvex::IcebergTableColumnSchema>();
        record->name = named["name"].get<std::string>();
        if (named.contains("type")) {
            if (!named["type"].is_string()) throw korvex::UsageError("IcebergTableColumnSchema: type must be text");
            const std::string type = named["type"].get<std::string>();
            try {
                record->type = value_kind_named(type);
            } catch (const korvex::UsageError&) {
                record->type = korvex::ComplexType::primitive(type);
            }
        }
        if (named.contains("default")) record->default_value = named["default"];
        if (named.contains("nullable")) {
            if (!named["nullable"].is_boolean()) throw korvex::UsageError("IcebergTableColumnSchema: nullable must be a boolean");
            record->nullable = named["nullable"].get<bool>();
        }
        return std::unique_ptr<korvex::Object>(std::move(record));
    });
    registry.add_attribute("address_struct", korvex::address_struct);
    registry.add_attribute("reference_struct", korvex::reference_struct);
}
