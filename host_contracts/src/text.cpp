#include "korvex/utils/text.hpp"

#include <cctype>

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

}  // namespace korvex
