#include "korvex/utils/text.hpp"

#include <cctype>
#include <cstdio>

namespace korvex {

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
