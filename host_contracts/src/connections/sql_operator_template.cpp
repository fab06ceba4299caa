#include "korvex/connections/sql_operator_template.hpp"

#include "korvex/error.hpp"

namespace korvex {
namespace {

// `text` with every `placeholder` replaced by `replacement`; the inserted text is not searched
// again, so a replacement that happens to contain the placeholder stays as it is.
std::string replace_all(const std::string& text, const std::string& placeholder, const std::string& replacement) {
    std::string result;
    result.reserve(text.size() + replacement.size());
    std::size_t start = 0;
    for (std::size_t found = text.find(placeholder); found != std::string::npos;
         found = text.find(placeholder, start)) {
        result.append(text, start, found - start);
        result += replacement;
        start = found + placeholder.size();
    }
    result.append(text, start, std::string::npos);
    return result;
}

}  // namespace

ValueType type_of(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null: return ValueType::NONE;
        case Value::value_t::boolean: return ValueType::BOOLEAN;
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned: return ValueType::INTEGER;
        case Value::value_t::number_float: return ValueType::FLOAT;
        case Value::value_t::string: return ValueType::TEXT;
        case Value::value_t::array: return ValueType::LIST;
        case Value::value_t::object: return ValueType::MAP;
        default: return ValueType::TEXT;
    }
}

std::string text_form(const Value& value) {
    if (value.is_string()) return value.get<std::string>();
    return json_text(value, false);
}

ConditionParam as_text_param(ConditionParam param) {
    Value* value = std::get_if<Value>(&param);
    if (value == nullptr) return param;
    if (value->is_array()) {
        for (auto& element : *value) {
            if (!element.is_null() && !element.is_string()) element = text_form(element);
        }
    } else if (!value->is_null() && !value->is_string()) {
        *value = text_form(*value);
    }
    return param;
}

bool is_truthy(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null: return false;
        case Value::value_t::boolean: return value.get<bool>();
        case Value::value_t::number_integer: return value.get<std::int64_t>() != 0;
        case Value::value_t::number_unsigned: return value.get<std::uint64_t>() != 0;
        case Value::value_t::number_float: return value.get<double>() != 0.0;
        case Value::value_t::string: return !value.get_ref<const std::string&>().empty();
        default: return !value.empty();
    }
}

Value in_elements(const Value& value) {
    Value decoded = value.is_string() ? Value::parse(value.get<std::string>(), nullptr, false) : value;
    if (!decoded.is_array()) {
        throw UsageError("the value of an IN condition must be the JSON text of a list, not " + printed(value));
    }
    return decoded;
}

ValueType compared_kind(const ConditionParam& param) {
    const Value* value = std::get_if<Value>(&param);
    if (value == nullptr) return ValueType::TEXT;
    if (!value->is_array()) return type_of(*value);
    std::optional<ValueType> shared;
    for (const auto& element : *value) {
        ValueType kind = type_of(element);
        if (kind == ValueType::FLOAT) kind = ValueType::INTEGER;  // numbers are one kind here
        if (shared && *shared != kind) return ValueType::TEXT;
        shared = kind;
    }
    return shared.value_or(ValueType::TEXT);
}

std::string SqlOperatorTemplate::build_statement(const std::string& expression, const Value& value,
                                                 const std::string& prefix, const std::string&) const {
    const std::string& format = std::holds_alternative<std::string>(template_)
                                    ? std::get<std::string>(template_)
                                    : std::get<TemplateOperation>(template_)(value);
    return replace_all(format, "{field_name}", prefix + expression);
}

ConditionParam SqlOperatorTemplate::build_value(const Value& value) const {
    ConditionParam param = value_modifier ? value_modifier(value) : ConditionParam(value);
    if (!value_template || !std::holds_alternative<Value>(param)) {
        return param;
    }
    return Value(replace_all(*value_template, "{value}", text_form(std::get<Value>(param))));
}

}  // namespace korvex
