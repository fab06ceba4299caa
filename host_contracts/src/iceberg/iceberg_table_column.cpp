#include "korvex/error.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <stdexcept>

namespace korvex {

namespace {

void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

bool same_type(const std::shared_ptr<const ComplexType>& a, const std::shared_ptr<const ComplexType>& b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return *a == *b;
}

}  // namespace

std::string quote_spark_identifier(const std::string& name) {
    std::string quoted = "`";
    for (char c : name) {
        quoted += c;
        if (c == '`') quoted += '`';
    }
    quoted += '`';
    return quoted;
}

std::string quote_spark_string(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\\' || c == '\'') quoted += '\\';
        quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string spark_identifier(const std::string& name) {
    // Spark reads a bare word that starts with a digit as a number where it can ("1d", "1e3",
    // "2L"), so such names are quoted, as are empty ones.
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return quote_spark_identifier(name);
    for (char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_') return quote_spark_identifier(name);
    }
    return name;
}

bool ComplexType::Field::operator==(const Field& other) const {
    return name == other.name && nullable == other.nullable && same_type(type, other.type);
}

ComplexType ComplexType::primitive(const std::string& name) {
    if (name.empty()) {
        throw UsageError("ComplexType::primitive: the type name is empty");
    }
    ComplexType type;
    type.kind_ = Kind::PRIMITIVE;
    type.name_ = name;
    std::transform(type.name_.begin(), type.name_.end(), type.name_.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return type;
}

ComplexType ComplexType::struct_of(std::vector<Field> fields) {
    for (const Field& field : fields) {
        if (!field.type) {
            throw UsageError("ComplexType::struct_of: field " + field.name + " has no type");
        }
    }
    ComplexType type;
    type.kind_ = Kind::STRUCT;
    type.fields_ = std::move(fields);
    return type;
}

ComplexType ComplexType::array_of(ComplexType element, bool contains_null) {
    ComplexType type;
    type.kind_ = Kind::ARRAY;
    type.element_ = std::make_shared<const ComplexType>(std::move(element));
    type.contains_null_ = contains_null;
    return type;
}

ComplexType ComplexType::map_of(ComplexType key, ComplexType value, bool value_contains_null) {
    ComplexType type;
    type.kind_ = Kind::MAP;
    type.key_ = std::make_shared<const ComplexType>(std::move(key));
    type.element_ = std::make_shared<const ComplexType>(std::move(value));
    type.contains_null_ = value_contains_null;
    return type;
}

ComplexType::Field ComplexType::field(std::string name, ComplexType type, bool nullable) {
    return Field{std::move(name), std::make_shared<const ComplexType>(std::move(type)), nullable};
}

const ComplexType& ComplexType::element() const {
    if (!element_) throw UsageError("ComplexType: " + to_sql() + " has no element type");
    return *element_;
}

const ComplexType& ComplexType::key() const {
    if (!key_) throw UsageError("ComplexType: " + to_sql() + " has no key type");
    return *key_;
}

std::string ComplexType::to_sql() const {
    switch (kind_) {
        case Kind::PRIMITIVE:
            return name_;
        case Kind::STRUCT: {
            std::string text = "STRUCT<";
            for (std::size_t i = 0; i < fields_.size(); ++i) {
                if (i > 0) text += ", ";
                text += quote_spark_identifier(fields_[i].name) + ": " + fields_[i].type->to_sql();
                if (!fields_[i].nullable) text += " NOT NULL";
            }
            return text + ">";
        }
        case Kind::ARRAY:
            return "ARRAY<" + element_->to_sql() + ">";
        case Kind::MAP:
            return "MAP<" + key_->to_sql() + ", " + element_->to_sql() + ">";
    }
    return {};
}

std::size_t ComplexType::hash() const {
    std::size_t seed = static_cast<std::size_t>(kind_);
    combine(seed, std::hash<std::string>{}(name_));
    for (const Field& field : fields_) {
        combine(seed, std::hash<std::string>{}(field.name));
        combine(seed, field.type->hash());
        combine(seed, field.nullable ? 1 : 2);
    }
    if (element_) combine(seed, element_->hash());
    if (key_) combine(seed, key_->hash());
    combine(seed, contains_null_ ? 3 : 4);
    return seed;
}

bool ComplexType::operator==(const ComplexType& other) const {
    return kind_ == other.kind_ && name_ == other.name_ && fields_ == other.fields_ &&
           same_type(element_, other.element_) && same_type(key_, other.key_) &&
           contains_null_ == other.contains_null_;
}

std::string IcebergTableColumn::to_sql() const {
    std::string text = quote_spark_identifier(name) + " " + type.to_sql();
    if (!nullable) text += " NOT NULL";
    return text;
}

std::size_t IcebergTableColumn::hash() const {
    std::size_t seed = std::hash<std::string>{}(name);
    combine(seed, type.hash());
    combine(seed, nullable ? 1 : 2);
    return seed;
}

std::string IcebergTableColumnsSchema::to_sql() const {
    std::string text;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) text += ", ";
        text += columns[i].to_sql();
    }
    return text;
}

}  // namespace korvex
