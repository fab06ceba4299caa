#pragma once
// Column descriptors of Iceberg tables as Spark SQL sees them: a column's name, its type and its
// nullability. Descriptors are plain values: two descriptors are equal when every attribute is
// equal, nested types included, and equal descriptors hash alike, so they can be compared and
// collected in sets. `to_sql()` gives the text that defines the column in CREATE TABLE and
// ALTER TABLE ... ADD COLUMN.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace korvex {

// The quoting of text written into Spark SQL statements, all in one place. Values travel as
// parameters; only names, and text that a statement must hold as a literal, are quoted here.

// Quotes an identifier for Spark SQL with backticks, doubling any backtick inside it.
std::string quote_spark_identifier(const std::string& name);

// Quotes text as a Spark SQL string literal: in single quotes, with a backslash before each
// backslash and each single quote (Spark's lexer reads backslash escapes in every quoted
// literal, so doubling a quote, as standard SQL does, would not do). Every other byte stands as
// it is. Assumes the server's default spark.sql.parser.escapedStringLiterals=false.
std::string quote_spark_string(const std::string& text);

// The identifier as it is when Spark reads it unquoted (letters, digits and '_', not starting
// with a digit), else quoted.
std::string spark_identifier(const std::string& name);

// A Spark SQL column type as an Iceberg table holds it: a primitive type named by its Spark SQL
// text ("STRING", "BIGINT", "DECIMAL(10,2)"), or a struct, array or map of further types.
// Struct fields, array elements and map values carry their own nullability.
class ComplexType {
public:
    enum class Kind { PRIMITIVE, STRUCT, ARRAY, MAP };

    struct Field {
        std::string name;
        std::shared_ptr<const ComplexType> type;
        bool nullable = true;

        bool operator==(const Field& other) const;
    };

    // The name is upper-cased: Spark SQL type names are case-insensitive.
    static ComplexType primitive(const std::string& name);
    static ComplexType struct_of(std::vector<Field> fields);
    static ComplexType array_of(ComplexType element, bool contains_null = true);
    static ComplexType map_of(ComplexType key, ComplexType value, bool value_contains_null = true);
    static Field field(std::string name, ComplexType type, bool nullable = true);

    Kind kind() const { return kind_; }
    // The primitive type's name; empty for the other kinds.
    const std::string& name() const { return name_; }
    const std::vector<Field>& fields() const { return fields_; }
    // Array element, or map value.
    const ComplexType& element() const;
    const ComplexType& key() const;
    const ComplexType& value() const { return element(); }
    // Whether array elements / map values may be null.
    bool contains_null() const { return contains_null_; }

    // "STRING", "STRUCT<`a`: STRING, `b`: BIGINT NOT NULL>", "ARRAY<STRING>", "MAP<STRING, BIGINT>".
    // Spark SQL has no text for an array element or a map value that may not be null, so
    // contains_null() does not appear in it.
    std::string to_sql() const;

    std::size_t hash() const;
    bool operator==(const ComplexType& other) const;

private:
    Kind kind_ = Kind::PRIMITIVE;
    std::string name_;
    std::vector<Field> fields_;
    std::shared_ptr<const ComplexType> element_;
    std::shared_ptr<const ComplexType> key_;
    bool contains_null_ = true;
};

// One column of an Iceberg table.
class IcebergTableColumn {
public:
    IcebergTableColumn(std::string name, ComplexType type, bool nullable = true)
        : name(std::move(name)), type(std::move(type)), nullable(nullable) {}

    std::string name;
    ComplexType type;
    bool nullable = true;

    // "`name` TYPE", followed by " NOT NULL" when the column may not be null.
    std::string to_sql() const;

    std::size_t hash() const;
    bool operator==(const IcebergTableColumn& other) const = default;
};

// The column list of a table, as it stands between the parentheses of CREATE TABLE.
class IcebergTableColumnsSchema {
public:
    explicit IcebergTableColumnsSchema(std::vector<IcebergTableColumn> columns) : columns(std::move(columns)) {}

    std::vector<IcebergTableColumn> columns;

    // The columns' definitions joined with ", ".
    std::string to_sql() const;
};

}  // namespace korvex

template <>
struct std::hash<korvex::ComplexType> {
    std::size_t operator()(const korvex::ComplexType& type) const noexcept { return type.hash(); }
};

template <>
struct std::hash<korvex::IcebergTableColumn> {
    std::size_t operator()(const korvex::IcebergTableColumn& column) const noexcept { return column.hash(); }
};
