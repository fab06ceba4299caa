#include "spark_sql_lexer.hpp"

#include <cctype>
#include <stdexcept>

namespace korvex::fuzz {

namespace {

[[noreturn]] void fault(const std::string& what, std::size_t at) {
    throw std::logic_error(what + " at offset " + std::to_string(at));
}

void append_utf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool hex_digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return false;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// The body of a quoted literal between its quotes, escapes resolved.
std::string unescape(std::string_view body) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 == body.size()) {
            out += body[i];
            continue;
        }
        const char next = body[i + 1];
        if (next == 'u' && hex_digits(body, i + 2, 4)) {
            append_utf8(out, std::stoul(std::string(body.substr(i + 2, 4)), nullptr, 16));
            i += 5;
        } else if (next == 'U' && hex_digits(body, i + 2, 8)) {
            append_utf8(out, std::stoul(std::string(body.substr(i + 2, 8)), nullptr, 16));
            i += 9;
        } else if (i + 3 < body.size() && next >= '0' && next <= '3' && body[i + 2] >= '0' && body[i + 2] <= '7' &&
                   body[i + 3] >= '0' && body[i + 3] <= '7') {
            out += static_cast<char>((next - '0') * 64 + (body[i + 2] - '0') * 8 + (body[i + 3] - '0'));
            i += 3;
        } else {
            switch (next) {
                case '0': out += '\0'; break;
                case 'b': out += '\b'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'Z': out += '\x1A'; break;
                case '%': out += "\\%"; break;
                case '_': out += "\\_"; break;
                default: out += next; break;
            }
            ++i;
        }
    }
    return out;
}

bool word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

}  // namespace

std::vector<SparkToken> lex_spark_statement(std::string_view text) {
    std::vector<SparkToken> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '\0') {
            fault("NUL byte outside quotes", i);
        } else if (c == ';') {
            fault("statement separator", i);
        } else if ((c == '-' && i + 1 < text.size() && text[i + 1] == '-') ||
                   (c == '/' && i + 1 < text.size() && text[i + 1] == '*')) {
            fault("comment", i);
        } else if ((c == 'R' || c == 'r') && i + 1 < text.size() && (text[i + 1] == '\'' || text[i + 1] == '"')) {
            // A raw literal: no escapes, it ends at the next quote of its kind.
            const char quote = text[i + 1];
            const std::size_t end = text.find(quote, i + 2);
            if (end == std::string_view::npos) fault("raw literal left open", i);
            tokens.push_back({SparkToken::Kind::STRING, std::string(text.substr(i + 2, end - i - 2))});
            i = end + 1;
        } else if (c == '\'' || c == '"') {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != c) j += text[j] == '\\' ? 2 : 1;
            if (j >= text.size()) fault("quoted literal left open", i);
            tokens.push_back({SparkToken::Kind::STRING, unescape(text.substr(i + 1, j - i - 1))});
            i = j + 1;
        } else if (c == '`') {
            std::string name;
            std::size_t j = i + 1;
            while (true) {
                if (j >= text.size()) fault("quoted identifier left open", i);
                if (text[j] == '`') {
                    if (j + 1 < text.size() && text[j + 1] == '`') {
                        name += '`';
                        j += 2;
                        continue;
                    }
                    break;
                }
                name += text[j++];
            }
            tokens.push_back({SparkToken::Kind::IDENTIFIER, name});
            i = j + 1;
        } else if (c == '?') {
            tokens.push_back({SparkToken::Kind::MARKER, ""});
            ++i;
        } else if (c == ':' && i + 1 < text.size() && word_char(text[i + 1]) &&
                   (i == 0 || text[i - 1] != ':')) {
            std::size_t j = i + 1;
            while (j < text.size() && word_char(text[j])) ++j;
            tokens.push_back({SparkToken::Kind::MARKER, std::string(text.substr(i + 1, j - i - 1))});
            i = j;
        } else if (word_char(c)) {
            std::size_t j = i;
            while (j < text.size() && word_char(text[j])) ++j;
            const bool number = c >= '0' && c <= '9';
            tokens.push_back({number ? SparkToken::Kind::NUMBER : SparkToken::Kind::WORD, std::string(text.substr(i, j - i))});
            i = j;
        } else {
            tokens.push_back({SparkToken::Kind::SYMBOL, std::string(1, c)});
            ++i;
        }
    }
    return tokens;
}

std::vector<SparkToken> check_spark_statement(std::string_view statement, std::size_t markers) {
    try {
        auto tokens = lex_spark_statement(statement);
        std::size_t count = 0;
        for (const auto& token : tokens) count += token.kind == SparkToken::Kind::MARKER ? 1 : 0;
        if (count != markers) {
            throw std::logic_error(std::to_string(count) + " markers for " + std::to_string(markers) + " parameters");
        }
        return tokens;
    } catch (const std::logic_error& error) {
        throw std::logic_error(std::string(error.what()) + " in: " + std::string(statement));
    }
}

}  // namespace korvex::fuzz
