#include "korvex/value.hpp"

#include "korvex/error.hpp"

#include <cmath>

namespace korvex {

bool holds_non_finite_number(const Value& value) {
    switch (value.type()) {
        case Value::value_t::number_float:
            return !std::isfinite(value.get<double>());
        case Value::value_t::object:
        case Value::value_t::array:
            for (const auto& element : value) {
                if (holds_non_finite_number(element)) return true;
            }
            return false;
        default:
            return false;
    }
}

std::string json_text(const Value& value, bool ensure_ascii) {
    if (holds_non_finite_number(value)) {
        throw UsageError("the value " + printed(value) + " holds a NaN or an infinity, which JSON cannot store");
    }
    try {
        return value.dump(-1, ' ', ensure_ascii);
    } catch (const Value::type_error&) {
        throw UsageError("the value " + printed(value) + " holds text that is not valid UTF-8");
    }
}

std::string printed(const Value& value) {
    if (value.is_string()) {
        // Quote like a literal so that "1" and 1 read differently in a message.
        return "'" + value.get<std::string>() + "'";
    }
    // A text in a map or list that is not UTF-8 shows as U+FFFD: making the message of an error
    // must not fail with an error of its own.
    return value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

std::string printed_parameters(const std::vector<Value>& params) {
    std::string text = "(";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += printed(params[i]);
    }
    if (params.size() == 1) {
        text += ",";
    }
    return text + ")";
}

}  // namespace korvex
