#include "korvex/value.hpp"

#include "korvex/error.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvex {

namespace {

// A reader of the common JSON texts that gives up (false) on anything it does not read exactly as
// the general parser does: escapes, non-ASCII or control characters in texts, numbers with a
// fraction, an exponent or more digits than an int64 surely holds, deep nesting, trailing text.
class PlainJsonReader {
public:
    explicit PlainJsonReader(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

    bool read_document(Value& out) {
        if (!read_value(out, 0)) return false;
        skip_space();
        return at_ == end_;
    }

private:
    static constexpr int MAX_DEPTH = 32;

    void skip_space() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\t' || *at_ == '\r')) ++at_;
    }

    bool read_text(std::string& out) {
        ++at_;  // the opening quote
        const char* begin = at_;
        while (at_ != end_) {
            const auto c = static_cast<unsigned char>(*at_);
            if (c == '"') {
                out.assign(begin, at_);
                ++at_;
                return true;
            }
            if (c == '\\' || c < 0x20 || c >= 0x80) return false;
            ++at_;
        }
        return false;
    }

    bool read_number(Value& out) {
        const bool negative = *at_ == '-';
        if (negative) ++at_;
        const char* digits = at_;
        while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
        const auto count = at_ - digits;
        if (count == 0 || count > 18 || (count > 1 && *digits == '0')) return false;
        if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
        std::uint64_t number = 0;
        for (const char* d = digits; d != at_; ++d) number = number * 10 + static_cast<std::uint64_t>(*d - '0');
        if (negative) {
            out = -static_cast<std::int64_t>(number);
        } else {
            out = number;
        }
        return true;
    }

    bool read_word(std::string_view word) {
        if (static_cast<std::size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool read_value(Value& out, int depth) {
        skip_space();
        if (at_ == end_) return false;
        switch (*at_) {
            case '{': {
                if (depth >= MAX_DEPTH) return false;
                ++at_;
                out = Value::object();
                skip_space();
                if (at_ != end_ && *at_ == '}') {
                    ++at_;
                    return true;
                }
                std::string key;
                while (true) {
                    skip_space();
                    if (at_ == end_ || *at_ != '"' || !read_text(key)) return false;
                    skip_space();
                    if (at_ == end_ || *at_ != ':') return false;
                    ++at_;
                    // A key given twice keeps its first place and its last value, as the parser does.
                    if (!read_value(out[key], depth + 1)) return false;
                    skip_space();
                    if (at_ == end_) return false;
                    if (*at_ == '}') {
                        ++at_;
                        return true;
                    }
                    if (*at_ != ',') return false;
                    ++at_;
                }
            }
            case '[': {
                if (depth >= MAX_DEPTH) return false;
                ++at_;
                out = Value::array();
                skip_space();
                if (at_ != end_ && *at_ == ']') {
                    ++at_;
                    return true;
                }
                while (true) {
                    Value element;
                    if (!read_value(element, depth + 1)) return false;
                    out.push_back(std::move(element));
                    skip_space();
                    if (at_ == end_) return false;
                    if (*at_ == ']') {
                        ++at_;
                        return true;
                    }
                    if (*at_ != ',') return false;
                    ++at_;
                }
            }
            case '"': {
                std::string text;
                if (!read_text(text)) return false;
                out = std::move(text);
                return true;
            }
            case 't':
                out = true;
                return read_word("true");
            case 'f':
                out = false;
                return read_word("false");
            case 'n':
                out = nullptr;
                return read_word("null");
            default:
                if (*at_ == '-' || (*at_ >= '0' && *at_ <= '9')) return read_number(out);
                return false;
        }
    }

    const char* at_;
    const char* end_;
};

}  // namespace

Value parse_json(std::string_view text) {
    Value value;
    if (PlainJsonReader(text).read_document(value)) return value;
    return Value::parse(text.begin(), text.end(), nullptr, false);
}

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

// Collects JSON text in a buffer on the stack and hands it to `out` in pieces of that size, so
// that a short text costs one copy into its string.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}
    void put(char c) {
        if (used_ == sizeof(buffer_)) flush();
        buffer_[used_++] = c;
    }
    void put(const char* data, std::size_t size) {
        if (size > sizeof(buffer_) - used_) {
            flush();
            if (size > sizeof(buffer_)) {
                out_.append(data, size);
                return;
            }
        }
        std::memcpy(buffer_ + used_, data, size);
        used_ += size;
    }
    void flush() {
        out_.append(buffer_, used_);
        used_ = 0;
    }

private:
    std::string& out_;
    char buffer_[256];
    std::size_t used_ = 0;
};

// Writes `text` quoted and escaped as the JSON writer escapes it: the short escapes for the
// quote, the backslash and \b \f \n \r \t, \u00xx (lower-case) for the other control
// characters and, with `ensure_ascii`, for DEL. False for a byte past ASCII, which is left to the
// JSON writer (its \uXXXX escapes and its UTF-8 check).
bool put_ascii_json_string(std::string_view text, bool ensure_ascii, JsonWriter& out) {
    static constexpr char HEX[] = "0123456789abcdef";
    out.put('"');
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\' && byte < 0x7F) continue;
        if (byte >= 0x80) return false;
        if (byte == 0x7F && !ensure_ascii) continue;
        out.put(text.data() + plain_from, i - plain_from);
        plain_from = i + 1;
        const char* escape = nullptr;
        switch (byte) {
            case '"': escape = "\\\""; break;
            case '\\': escape = "\\\\"; break;
            case '\b': escape = "\\b"; break;
            case '\f': escape = "\\f"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            default: {
                const char code[] = {'\\', 'u', '0', '0', HEX[byte >> 4], HEX[byte & 0xF]};
                out.put(code, sizeof(code));
                continue;
            }
        }
        out.put(escape, 2);
    }
    out.put(text.data() + plain_from, text.size() - plain_from);
    out.put('"');
    return true;
}

template <typename Integer>
void put_integer(Integer number, JsonWriter& out) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), number).ptr;
    out.put(digits, static_cast<std::size_t>(end - digits));
}

// Writes the JSON text of `value` byte for byte as value.dump(-1, ' ', ensure_ascii) writes it,
// for the values most maps hold: null, booleans, integers, ASCII text, and maps and lists of
// them. False (with part of it written) for anything else (a float, text past ASCII, binary),
// which the JSON writer itself then writes.
bool put_plain_json(const Value& value, bool ensure_ascii, JsonWriter& out) {
    switch (value.type()) {
        case Value::value_t::null:
            out.put("null", 4);
            return true;
        case Value::value_t::boolean:
            if (*value.get_ptr<const bool*>()) {
                out.put("true", 4);
            } else {
                out.put("false", 5);
            }
            return true;
        case Value::value_t::number_integer:
            put_integer(*value.get_ptr<const std::int64_t*>(), out);
            return true;
        case Value::value_t::number_unsigned:
            put_integer(*value.get_ptr<const std::uint64_t*>(), out);
            return true;
        case Value::value_t::string:
            return put_ascii_json_string(*value.get_ptr<const std::string*>(), ensure_ascii, out);
        case Value::value_t::array: {
            out.put('[');
            bool first = true;
            for (const auto& element : *value.get_ptr<const Value::array_t*>()) {
                if (!first) out.put(',');
                first = false;
                if (!put_plain_json(element, ensure_ascii, out)) return false;
            }
            out.put(']');
            return true;
        }
        case Value::value_t::object: {
            out.put('{');
            bool first = true;
            for (const auto& [key, element] : *value.get_ptr<const Value::object_t*>()) {
                if (!first) out.put(',');
                first = false;
                if (!put_ascii_json_string(key, ensure_ascii, out)) return false;
                out.put(':');
                if (!put_plain_json(element, ensure_ascii, out)) return false;
            }
            out.put('}');
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
    JsonWriter writer(text);
    if (put_plain_json(value, ensure_ascii, writer)) {
        writer.flush();
        return text;
    }
    if (holds_non_finite_number(value)) {
        throw UsageError("the value " + printed(value) + " holds a NaN or an infinity, which JSON cannot store");
    }
    try {
        return value.dump(-1, ' ', ensure_ascii);
    } catch (const Value::type_error&) {
        throw UsageError("the value " + printed(value) + " holds text that is not valid UTF-8");
    }
}

void json_text_into(const Value& value, std::string& text, bool ensure_ascii) {
    text.clear();
    {
        JsonWriter writer(text);
        if (put_plain_json(value, ensure_ascii, writer)) {
            writer.flush();
            return;
        }
    }
    text = json_text(value, ensure_ascii);  // what the writer began is replaced
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
