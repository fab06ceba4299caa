#include "korvex/value.hpp"

#include "korvex/error.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
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

namespace {

// Appends `text` quoted and escaped as the JSON writer escapes it: the short escapes for the
// quote, the backslash and \b \f \n \r \t, \u00xx (lower-case) for the other control
// characters and, with `ensure_ascii`, for DEL. False for a byte past ASCII, which is left to the
// JSON writer (its \uXXXX escapes and its UTF-8 check).
bool append_ascii_json_string(std::string_view text, bool ensure_ascii, std::string& out) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\' && byte < 0x7F) continue;
        if (byte >= 0x80) return false;
        if (byte == 0x7F && !ensure_ascii) continue;
        out.append(text.data() + plain_from, i - plain_from);
        plain_from = i + 1;
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += HEX[byte >> 4];
                out += HEX[byte & 0xF];
        }
    }
    out.append(text.data() + plain_from, text.size() - plain_from);
    out += '"';
    return true;
}

template <typename Integer>
void append_integer(Integer number, std::string& out) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), number).ptr;
    out.append(digits, end);
}

// Appends the JSON text of `value` byte for byte as value.dump(-1, ' ', ensure_ascii) writes it,
// for the values most maps hold: null, booleans, integers, ASCII text, and maps and lists of
// them. False (with `out` partly written) for anything else (a float, text past ASCII, binary),
// which the JSON writer itself then writes.
bool append_plain_json(const Value& value, bool ensure_ascii, std::string& out) {
    switch (value.type()) {
        case Value::value_t::null:
            out += "null";
            return true;
        case Value::value_t::boolean:
            out += value.get<bool>() ? "true" : "false";
            return true;
        case Value::value_t::number_integer:
            append_integer(value.get<std::int64_t>(), out);
            return true;
        case Value::value_t::number_unsigned:
            append_integer(value.get<std::uint64_t>(), out);
            return true;
        case Value::value_t::string:
            return append_ascii_json_string(value.get_ref<const std::string&>(), ensure_ascii, out);
        case Value::value_t::array: {
            out += '[';
            bool first = true;
            for (const auto& element : value.get_ref<const Value::array_t&>()) {
                if (!first) out += ',';
                first = false;
                if (!append_plain_json(element, ensure_ascii, out)) return false;
            }
            out += ']';
            return true;
        }
        case Value::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, element] : value.get_ref<const Value::object_t&>()) {
                if (!first) out += ',';
                first = false;
                if (!append_ascii_json_string(key, ensure_ascii, out)) return false;
                out += ':';
                if (!append_plain_json(element, ensure_ascii, out)) return false;
            }
            out += '}';
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

std::string json_text(const Value& value, bool ensure_ascii) {
    // Most maps hold no float and no text past ASCII: written here in one pass, with none of the
    // checks below to make (they hold trivially) and none of the writer's own set-up.
    std::string text;
    if (append_plain_json(value, ensure_ascii, text)) return text;
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
