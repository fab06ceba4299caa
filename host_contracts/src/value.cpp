#include "korvex/value.hpp"

namespace korvex {

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
