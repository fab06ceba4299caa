#include "spark_values.hpp"

#include "korvex/error.hpp"
#include "korvex/spark_connect/spark_connect_client.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace korvex {

namespace proto = spark::connect;

namespace {

enum class Primitive { VOID, BOOLEAN, BYTE, SHORT, INT, LONG, FLOAT, DOUBLE, STRING, DECIMAL };

struct PrimitiveType {
    Primitive kind;
    int precision = 0;
    int scale = 0;
};

// Where in a parameter a value stands, for messages: "parameter 2[3].`name`".
struct Place {
    const Place* parent;
    const std::string* root = nullptr;
    std::string_view key = {};
    std::size_t index = 0;
    bool is_index = false;

    std::string text() const {
        if (parent == nullptr) return *root;
        return parent->text() + (is_index ? "[" + std::to_string(index) + "]" : "." + quote_spark_identifier(std::string(key)));
    }
};

[[noreturn]] void fail(const Place& place, const std::string& problem) {
    throw UsageError(place.text() + ": " + problem);
}

std::string kind_of(const Value& value) {
    if (value.is_null()) return "null";
    if (value.is_boolean()) return "a boolean";
    if (value.is_number_integer()) return "the integer " + value.dump();
    if (value.is_number_float()) return "the number " + value.dump();
    if (value.is_string()) return "text";
    if (value.is_array()) return "a list";
    return "a map";
}

PrimitiveType primitive_of(const ComplexType& type, const Place& place) {
    const std::string& name = type.name();
    if (name == "STRING" || name.rfind("VARCHAR(", 0) == 0 || name.rfind("CHAR(", 0) == 0) return {Primitive::STRING};
    if (name == "BIGINT" || name == "LONG") return {Primitive::LONG};
    if (name == "INT" || name == "INTEGER") return {Primitive::INT};
    if (name == "SMALLINT" || name == "SHORT") return {Primitive::SHORT};
    if (name == "TINYINT" || name == "BYTE") return {Primitive::BYTE};
    if (name == "DOUBLE") return {Primitive::DOUBLE};
    if (name == "FLOAT" || name == "REAL") return {Primitive::FLOAT};
    if (name == "BOOLEAN") return {Primitive::BOOLEAN};
    if (name == "VOID" || name == "NULL") return {Primitive::VOID};
    if (name == "DECIMAL") return {Primitive::DECIMAL, 10, 0};
    int precision = 0;
    int scale = 0;
    char end = 0;
    if (std::sscanf(name.c_str(), "DECIMAL(%d,%d%c", &precision, &scale, &end) == 3 && end == ')' && precision >= 1 &&
        precision <= 38 && scale >= 0 && scale <= precision) {
        return {Primitive::DECIMAL, precision, scale};
    }
    fail(place, "a parameter of type " + name +
                    " is not supported (booleans, integers, FLOAT, DOUBLE, DECIMAL, STRING and arrays, maps and "
                    "structs of them are): send it as text and CAST it in the statement");
}

void primitive_data_type(const PrimitiveType& primitive, proto::DataType& out) {
    switch (primitive.kind) {
        case Primitive::VOID: out.mutable_null(); break;
        case Primitive::BOOLEAN: out.mutable_boolean(); break;
        case Primitive::BYTE: out.mutable_byte(); break;
        case Primitive::SHORT: out.mutable_short_(); break;
        case Primitive::INT: out.mutable_integer(); break;
        case Primitive::LONG: out.mutable_long_(); break;
        case Primitive::FLOAT: out.mutable_float_(); break;
        case Primitive::DOUBLE: out.mutable_double_(); break;
        case Primitive::STRING: out.mutable_string(); break;
        case Primitive::DECIMAL:
            out.mutable_decimal()->set_precision(primitive.precision);
            out.mutable_decimal()->set_scale(primitive.scale);
            break;
    }
}

void data_type(const ComplexType& type, proto::DataType& out, const Place& place) {
    switch (type.kind()) {
        case ComplexType::Kind::PRIMITIVE: primitive_data_type(primitive_of(type, place), out); return;
        case ComplexType::Kind::ARRAY:
            data_type(type.element(), *out.mutable_array()->mutable_element_type(), place);
            out.mutable_array()->set_contains_null(type.contains_null());
            return;
        case ComplexType::Kind::MAP:
            data_type(type.key(), *out.mutable_map()->mutable_key_type(), place);
            data_type(type.value(), *out.mutable_map()->mutable_value_type(), place);
            out.mutable_map()->set_value_contains_null(type.contains_null());
            return;
        case ComplexType::Kind::STRUCT:
            auto* fields = out.mutable_struct_();
            for (const auto& field : type.fields()) {
                auto* added = fields->add_fields();
                added->set_name(field.name);
                added->set_nullable(field.nullable);
                data_type(*field.type, *added->mutable_data_type(), place);
            }
            return;
    }
}

std::int64_t integer_in_range(const Value& value, Primitive kind, const Place& place) {
    const char* name = kind == Primitive::LONG ? "BIGINT" : kind == Primitive::INT ? "INT" : kind == Primitive::SHORT ? "SMALLINT" : "TINYINT";
    if (!value.is_number_integer()) fail(place, std::string("expected an integer for ") + name + ", got " + kind_of(value));
    const int bits = kind == Primitive::LONG ? 64 : kind == Primitive::INT ? 32 : kind == Primitive::SHORT ? 16 : 8;
    const std::int64_t high = bits == 64 ? std::numeric_limits<std::int64_t>::max() : (std::int64_t{1} << (bits - 1)) - 1;
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(high)) {
        fail(place, value.dump() + " is above " + std::to_string(high) + ", the largest " + name);
    }
    const std::int64_t number = value.get<std::int64_t>();
    if (number > high || number < -high - 1) fail(place, value.dump() + " is out of the range of " + name);
    return number;
}

void check_number(const Value& value, Primitive kind, const Place& place) {
    if (!value.is_number()) fail(place, "expected a number, got " + kind_of(value));
    const double number = value.get<double>();
    if (kind == Primitive::FLOAT && std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max()) {
        fail(place, value.dump() + " is out of the range of FLOAT");
    }
}

std::string decimal_text(const Value& value, const Place& place) {
    if (value.is_number_integer()) return value.dump();
    if (value.is_number_float() && std::isfinite(value.get<double>())) return value.dump();
    if (value.is_string()) return value.get<std::string>();
    fail(place, "expected a number or its text for DECIMAL, got " + kind_of(value));
}

// A struct's value: a map by field name (missing fields are null) or a list in field order.
const Value* field_value(const Value& value, const ComplexType& type, std::size_t i) {
    if (value.is_array()) return &value[i];
    const auto found = value.find(type.fields()[i].name);
    return found == value.end() ? nullptr : &*found;
}

void check_struct_shape(const Value& value, const ComplexType& type, const Place& place) {
    if (value.is_array()) {
        if (value.size() != type.fields().size()) {
            fail(place, "a list of " + std::to_string(value.size()) + " values for a struct of " +
                            std::to_string(type.fields().size()) + " fields");
        }
        return;
    }
    if (!value.is_object()) fail(place, "expected a map or a list for " + type.to_sql() + ", got " + kind_of(value));
    for (const auto& [key, _] : value.items()) {
        bool known = false;
        for (const auto& field : type.fields()) known = known || field.name == key;
        if (!known) fail(place, "no field " + quote_spark_identifier(key) + " in " + type.to_sql());
    }
}

void check_map_shape(const Value& value, const ComplexType& type, const Place& place) {
    if (!value.is_object()) fail(place, "expected a map for " + type.to_sql() + ", got " + kind_of(value));
    if (type.key().kind() != ComplexType::Kind::PRIMITIVE || primitive_of(type.key(), place).kind != Primitive::STRING) {
        fail(place, "only maps with STRING keys can be parameters, not " + type.to_sql());
    }
}

// The server reads no container literal of VOID items; array() and map() stand for those.
bool is_void(const ComplexType& type) { return type.kind() == ComplexType::Kind::PRIMITIVE && type.name() == "VOID"; }

void function_call(proto::Expression& out, const char* name) {
    out.mutable_unresolved_function()->set_function_name(name);
}

void expression(const Value& value, const ComplexType& type, proto::Expression& out, const Place& place) {
    if (value.is_null()) {
        data_type(type, *out.mutable_literal()->mutable_null(), place);
        return;
    }
    switch (type.kind()) {
        case ComplexType::Kind::PRIMITIVE: {
            const PrimitiveType primitive = primitive_of(type, place);
            auto& literal = *out.mutable_literal();
            switch (primitive.kind) {
                case Primitive::VOID: fail(place, "a VOID parameter holds only null, not " + kind_of(value));
                case Primitive::BOOLEAN:
                    if (!value.is_boolean()) fail(place, "expected a boolean, got " + kind_of(value));
                    literal.set_boolean(value.get<bool>());
                    return;
                case Primitive::BYTE: literal.set_byte(static_cast<std::int32_t>(integer_in_range(value, primitive.kind, place))); return;
                case Primitive::SHORT: literal.set_short_(static_cast<std::int32_t>(integer_in_range(value, primitive.kind, place))); return;
                case Primitive::INT: literal.set_integer(static_cast<std::int32_t>(integer_in_range(value, primitive.kind, place))); return;
                case Primitive::LONG: literal.set_long_(integer_in_range(value, primitive.kind, place)); return;
                case Primitive::FLOAT:
                case Primitive::DOUBLE:
                    check_number(value, primitive.kind, place);
                    if (primitive.kind == Primitive::FLOAT) {
                        literal.set_float_(value.get<float>());
                    } else {
                        literal.set_double_(value.get<double>());
                    }
                    return;
                case Primitive::STRING:
                    if (!value.is_string()) fail(place, "expected text, got " + kind_of(value));
                    literal.set_string(value.get<std::string>());
                    return;
                case Primitive::DECIMAL:
                    literal.mutable_decimal()->set_value(decimal_text(value, place));
                    literal.mutable_decimal()->set_precision(primitive.precision);
                    literal.mutable_decimal()->set_scale(primitive.scale);
                    return;
            }
            return;
        }
        case ComplexType::Kind::ARRAY: {
            if (!value.is_array()) fail(place, "expected a list for " + type.to_sql() + ", got " + kind_of(value));
            if (value.empty() && !is_void(type.element())) {
                data_type(type.element(), *out.mutable_literal()->mutable_array()->mutable_element_type(), place);
                return;
            }
            function_call(out, "array");
            auto& arguments = *out.mutable_unresolved_function()->mutable_arguments();
            arguments.Reserve(static_cast<int>(value.size()));
            for (std::size_t i = 0; i < value.size(); ++i) {
                expression(value[i], type.element(), *arguments.Add(), Place{&place, nullptr, {}, i, true});
            }
            return;
        }
        case ComplexType::Kind::MAP: {
            check_map_shape(value, type, place);
            if (value.empty() && !is_void(type.value())) {
                auto& map = *out.mutable_literal()->mutable_map();
                data_type(type.key(), *map.mutable_key_type(), place);
                data_type(type.value(), *map.mutable_value_type(), place);
                return;
            }
            function_call(out, "map");
            auto& arguments = *out.mutable_unresolved_function()->mutable_arguments();
            for (const auto& [key, item] : value.items()) {
                arguments.Add()->mutable_literal()->set_string(key);
                expression(item, type.value(), *arguments.Add(), Place{&place, nullptr, key});
            }
            return;
        }
        case ComplexType::Kind::STRUCT: {
            check_struct_shape(value, type, place);
            if (type.fields().empty()) fail(place, "a struct parameter needs at least one field");
            function_call(out, "named_struct");
            auto& arguments = *out.mutable_unresolved_function()->mutable_arguments();
            for (std::size_t i = 0; i < type.fields().size(); ++i) {
                const auto& field = type.fields()[i];
                arguments.Add()->mutable_literal()->set_string(field.name);
                const Value* item = field_value(value, type, i);
                static const Value null_value;
                expression(item != nullptr ? *item : null_value, *field.type, *arguments.Add(),
                           Place{&place, nullptr, field.name});
            }
            return;
        }
    }
}

void append_text(const std::string& text, std::string& out, const Place& place) {
    try {
        out += Value(text).dump();
    } catch (const nlohmann::json::type_error&) {
        fail(place, "text that is not valid UTF-8");
    }
}

void json(const Value& value, const ComplexType& type, std::string& out, const Place& place) {
    if (value.is_null()) {
        out += "null";
        return;
    }
    switch (type.kind()) {
        case ComplexType::Kind::PRIMITIVE: {
            const PrimitiveType primitive = primitive_of(type, place);
            switch (primitive.kind) {
                case Primitive::VOID: fail(place, "a VOID value holds only null, not " + kind_of(value));
                case Primitive::BOOLEAN:
                    if (!value.is_boolean()) fail(place, "expected a boolean, got " + kind_of(value));
                    out += value.get<bool>() ? "true" : "false";
                    return;
                case Primitive::BYTE:
                case Primitive::SHORT:
                case Primitive::INT:
                case Primitive::LONG: out += std::to_string(integer_in_range(value, primitive.kind, place)); return;
                case Primitive::FLOAT:
                case Primitive::DOUBLE: {
                    check_number(value, primitive.kind, place);
                    const double number = value.get<double>();
                    if (std::isnan(number)) {
                        out += "\"NaN\"";
                    } else if (std::isinf(number)) {
                        out += number > 0 ? "\"Infinity\"" : "\"-Infinity\"";
                    } else {
                        out += value.dump();
                    }
                    return;
                }
                case Primitive::STRING:
                    if (!value.is_string()) fail(place, "expected text, got " + kind_of(value));
                    append_text(value.get_ref<const std::string&>(), out, place);
                    return;
                case Primitive::DECIMAL: {
                    const std::string text = decimal_text(value, place);
                    if (value.is_string()) {
                        append_text(text, out, place);
                    } else {
                        out += text;
                    }
                    return;
                }
            }
            return;
        }
        case ComplexType::Kind::ARRAY: {
            if (!value.is_array()) fail(place, "expected a list for " + type.to_sql() + ", got " + kind_of(value));
            out += '[';
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (i > 0) out += ',';
                json(value[i], type.element(), out, Place{&place, nullptr, {}, i, true});
            }
            out += ']';
            return;
        }
        case ComplexType::Kind::MAP: {
            check_map_shape(value, type, place);
            out += '{';
            bool first = true;
            for (const auto& [key, item] : value.items()) {
                if (!first) out += ',';
                first = false;
                append_text(key, out, place);
                out += ':';
                json(item, type.value(), out, Place{&place, nullptr, key});
            }
            out += '}';
            return;
        }
        case ComplexType::Kind::STRUCT: {
            check_struct_shape(value, type, place);
            out += '{';
            for (std::size_t i = 0; i < type.fields().size(); ++i) {
                const auto& field = type.fields()[i];
                if (i > 0) out += ',';
                append_text(field.name, out, place);
                out += ':';
                const Value* item = field_value(value, type, i);
                if (item == nullptr) {
                    out += "null";
                } else {
                    json(*item, *field.type, out, Place{&place, nullptr, field.name});
                }
            }
            out += '}';
            return;
        }
    }
}

// Joins the types of two values of one list or map; a VOID (null) type joins anything.
ComplexType join(const ComplexType& a, const ComplexType& b, const std::string& what) {
    if (is_void(a)) return b;
    if (is_void(b) || a == b) return a;
    if (a.kind() == ComplexType::Kind::PRIMITIVE && b.kind() == ComplexType::Kind::PRIMITIVE &&
        (a.name() == "DOUBLE" || b.name() == "DOUBLE") && (a.name() == "BIGINT" || b.name() == "BIGINT")) {
        return ComplexType::primitive("DOUBLE");
    }
    if (a.kind() == ComplexType::Kind::ARRAY && b.kind() == ComplexType::Kind::ARRAY) {
        return ComplexType::array_of(join(a.element(), b.element(), what));
    }
    if (a.kind() == ComplexType::Kind::MAP && b.kind() == ComplexType::Kind::MAP) {
        return ComplexType::map_of(ComplexType::primitive("STRING"), join(a.value(), b.value(), what));
    }
    throw UsageError(what + " holds values of different types (" + a.to_sql() + " and " + b.to_sql() +
                     "): give its Spark type (SparkParameter with a ComplexType), or send it as JSON text");
}

ComplexType inferred(const Value& value, const std::string& what) {
    if (value.is_null()) return ComplexType::primitive("VOID");
    if (value.is_boolean()) return ComplexType::primitive("BOOLEAN");
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        throw UsageError(what + ": " + value.dump() + " is above 9223372036854775807, the largest BIGINT");
    }
    if (value.is_number_integer()) return ComplexType::primitive("BIGINT");
    if (value.is_number_float()) return ComplexType::primitive("DOUBLE");
    if (value.is_string()) return ComplexType::primitive("STRING");
    ComplexType element = ComplexType::primitive("VOID");
    for (const auto& item : value) element = join(element, inferred(item, what), what);
    if (value.is_array()) return ComplexType::array_of(std::move(element));
    return ComplexType::map_of(ComplexType::primitive("STRING"), std::move(element));
}

}  // namespace

ComplexType spark_type_of(const Value& value) { return inferred(value, "the value"); }

namespace spark_connect {

ComplexType inferred_type(const Value& value, const std::string& what) { return inferred(value, what); }

void to_data_type(const ComplexType& type, proto::DataType& out) {
    static const std::string root = "the type";
    data_type(type, out, Place{nullptr, &root});
}

void to_expression(const Value& value, const ComplexType& type, proto::Expression& out, const std::string& what) {
    expression(value, type, out, Place{nullptr, &what});
}

void append_json(const Value& value, const ComplexType& type, std::string& out, const std::string& what) {
    json(value, type, out, Place{nullptr, &what});
}

}  // namespace spark_connect

}  // namespace korvex
