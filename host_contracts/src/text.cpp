#include "korvex/utils/text.hpp"

#include <locale.h>
#include <wctype.h>

#include <cctype>
#include <cstdio>

namespace korvex {
namespace {

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& text, char32_t code_point) {
    if (code_point < 0x80) {
        text += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        text += static_cast<char>(0xC0 | (code_point >> 6));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        text += static_cast<char>(0xE0 | (code_point >> 12));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code_point >> 18));
        text += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

}  // namespace

// Upper case with Unicode's simple case mapping (one code point to one, as the server's UPPER
// does), through a UTF-8 locale object so that the process's global locale is not touched.
// Bytes that are not valid UTF-8 are kept as they are.
std::string unicode_upper(const std::string& text) {
    static const locale_t utf8 = [] {
        locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return locale != static_cast<locale_t>(0) ? locale : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    }();
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        char32_t code_point = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (!valid) {
            result += text[i++];
            continue;
        }
        append_utf8(result, static_cast<char32_t>(towupper_l(static_cast<wint_t>(code_point), utf8)));
        i += length;
    }
    return result;
}


std::string to_camel_case(const std::string& text) {
    std::string result;
    bool word_start = true;
    for (char c : text) {
        if (c == '_' || c == '-' || c == ' ') {
            word_start = true;
            continue;
        }
        result += word_start ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        word_start = false;
    }
    return result;
}

std::string to_lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string printable_name(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace korvex
