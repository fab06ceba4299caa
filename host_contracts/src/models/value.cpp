#include "korvex/value.hpp"

#include "korvex/error.hpp"

#include <cmath>
#include <string_view>

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

namespace {

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t code_point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code_point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code_point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code_point = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
        if ((length == 3 && code_point < 0x800) || (length == 4 && code_point < 0x10000) || code_point > 0x10FFFF ||
            (code_point >= 0xD800 && code_point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

bool holds_invalid_utf8(const Value& value) {
    switch (value.type()) {
        case Value::value_t::string:
            return !is_valid_utf8(value.get_ref<const std::string&>());
        case Value::value_t::object:
            for (const auto& [key, element] : value.items()) {
                if (!is_valid_utf8(key) || holds_invalid_utf8(element)) return true;
            }
            return false;
        case Value::value_t::array:
            for (const auto& element : value) {
                if (holds_invalid_utf8(element)) return true;
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
