#include "sql_lexer.hpp"

#include <cstdio>
#include <stdexcept>

namespace korvex::fuzz {
namespace {

// Stands for a numbered marker in the text the lexer reads; a real NUL is refused before.
constexpr char MARKER = '\0';

// The statement with every byte outside printable ASCII escaped, for messages.
std::string printable(std::string_view text) {
    std::string result;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            result += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            result += escaped;
        }
    }
    return result;
}

[[noreturn]] void fault(std::string_view statement, std::size_t offset, const std::string& what) {
    throw std::logic_error(what + " at offset " + std::to_string(offset) + " of: " + printable(statement));
}

// The text as the executor sends it: "%s" read as a marker and "%%" as "%", left to right over
// the whole text, exactly as the executor numbers them.
std::string as_sent(std::string_view statement) {
    std::string text;
    for (std::size_t i = 0; i < statement.size(); ++i) {
        if (statement[i] == '\0') fault(statement, i, "a NUL byte");
        if (statement[i] == '%' && i + 1 < statement.size() && (statement[i + 1] == 's' || statement[i + 1] == '%')) {
            text += statement[i + 1] == 's' ? MARKER : '%';
            ++i;
            continue;
        }
        text += statement[i];
    }
    return text;
}

bool is_word_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool is_word_part(char c) { return is_word_start(c) || (c >= '0' && c <= '9'); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& text, unsigned long code_point) {
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
        text += static_cast<char>(0xF0 | ((code_point >> 18) & 0x07));
        text += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

class Lexer {
public:
    Lexer(std::string_view statement, std::string_view text, bool standard_conforming_strings)
        : statement_(statement), text_(text), standard_(standard_conforming_strings) {}

    LexedStatement run() {
        LexedStatement lexed;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (is_space(c)) {
                ++at_;
            } else if (c == MARKER) {
                lexed.tokens.push_back({SqlToken::Kind::MARKER, ""});
                ++lexed.markers;
                ++at_;
            } else if (c == '\'') {
                lexed.tokens.push_back({SqlToken::Kind::STRING, string_literal(!standard_)});
            } else if (c == '"') {
                lexed.tokens.push_back({SqlToken::Kind::IDENTIFIER, quoted_identifier()});
            } else if (is_word_start(c)) {
                std::string word = this->word();
                if ((word == "E" || word == "e") && at_ < text_.size() && text_[at_] == '\'') {
                    lexed.tokens.push_back({SqlToken::Kind::STRING, string_literal(true)});
                } else if ((word == "U" || word == "u") && text_.substr(at_, 1) == "&") {
                    fault(statement_, at_, "a Unicode-escape literal or identifier");
                } else {
                    lexed.tokens.push_back({SqlToken::Kind::WORD, std::move(word)});
                }
            } else if (c >= '0' && c <= '9') {
                lexed.tokens.push_back({SqlToken::Kind::WORD, word()});
            } else if (c == ';') {
                fault(statement_, at_, "a statement separator outside quotes");
            } else if (text_.substr(at_, 2) == "--" || text_.substr(at_, 2) == "/*") {
                fault(statement_, at_, "a comment outside quotes");
            } else if (c == '$') {
                fault(statement_, at_, "a dollar sign outside quotes");
            } else {
                lexed.tokens.push_back({SqlToken::Kind::SYMBOL, std::string(1, c)});
                ++at_;
            }
        }
        return lexed;
    }

private:
    std::string word() {
        const std::size_t start = at_;
        while (at_ < text_.size() && is_word_part(text_[at_])) ++at_;
        if (at_ < text_.size() && text_[at_] == '$') fault(statement_, at_, "a dollar sign outside quotes");
        return std::string(text_.substr(start, at_ - start));
    }

    // '...' with '' for a quote; with backslash escapes as well in an E'...' literal, and in a
    // plain one when standard_conforming_strings is off.
    std::string string_literal(bool backslash_escapes) {
        const std::size_t start = at_++;
        std::string value;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == MARKER) fault(statement_, at_, "a %s marker inside a quoted literal");
            if (c == '\'') {
                if (text_.substr(at_, 2) == "''") {
                    value += '\'';
                    at_ += 2;
                    continue;
                }
                ++at_;
                return value;
            }
            if (c == '\\' && backslash_escapes) {
                escape(value);
                continue;
            }
            value += c;
            ++at_;
        }
        fault(statement_, start, "a quoted literal left open");
    }

    void escape(std::string& value) {
        const std::size_t start = at_++;
        if (at_ >= text_.size()) fault(statement_, start, "a quoted literal left open");
        const char c = text_[at_];
        if (c == MARKER) fault(statement_, at_, "a %s marker inside a quoted literal");
        const auto number = [&](std::size_t max_digits, int base) {
            unsigned long code = 0;
            std::size_t digits = 0;
            while (digits < max_digits && at_ < text_.size()) {
                const int digit = hex_digit(text_[at_]);
                if (digit < 0 || digit >= base) break;
                code = code * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
                ++at_;
                ++digits;
            }
            return std::pair{code, digits};
        };
        switch (c) {
            case 'b': value += '\b'; ++at_; return;
            case 'f': value += '\f'; ++at_; return;
            case 'n': value += '\n'; ++at_; return;
            case 'r': value += '\r'; ++at_; return;
            case 't': value += '\t'; ++at_; return;
            case 'x': {
                ++at_;
                const auto [code, digits] = number(2, 16);
                if (digits == 0) value += 'x';
                else value += static_cast<char>(code);
                return;
            }
            case 'u':
            case 'U': {
                ++at_;
                const std::size_t wanted = c == 'u' ? 4 : 8;
                const auto [code, digits] = number(wanted, 16);
                if (digits != wanted) fault(statement_, start, "an invalid Unicode escape");
                append_utf8(value, code);
                return;
            }
            default:
                if (c >= '0' && c <= '7') {
                    const auto [code, digits] = number(3, 8);
                    value += static_cast<char>(code & 0xFF);
                    return;
                }
                value += c;
                ++at_;
        }
    }

    std::string quoted_identifier() {
        const std::size_t start = at_++;
        std::string value;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == MARKER) fault(statement_, at_, "a %s marker inside a quoted identifier");
            if (c == '"') {
                if (text_.substr(at_, 2) == "\"\"") {
                    value += '"';
                    at_ += 2;
                    continue;
                }
                ++at_;
                return value;
            }
            value += c;
            ++at_;
        }
        fault(statement_, start, "a quoted identifier left open");
    }

    std::string_view statement_;
    std::string_view text_;
    bool standard_;
    std::size_t at_ = 0;
};

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

LexedStatement lex_statement(std::string_view statement) {
    const std::string text = as_sent(statement);
    LexedStatement standard = Lexer(statement, text, true).run();
    LexedStatement escaping;
    try {
        escaping = Lexer(statement, text, false).run();
    } catch (const std::logic_error& error) {
        throw std::logic_error(std::string("with standard_conforming_strings off, ") + error.what());
    }
    if (standard.tokens != escaping.tokens) {
        fault(statement, 0, "a literal that reads differently with standard_conforming_strings off");
    }
    return standard;
}

LexedStatement check_statement(std::string_view statement, std::size_t parameter_count) {
    LexedStatement lexed = lex_statement(statement);
    if (lexed.markers != parameter_count) {
        fault(statement, 0,
              std::to_string(lexed.markers) + " markers for " + std::to_string(parameter_count) + " parameters");
    }
    return lexed;
}

bool names_after(const LexedStatement& lexed, std::string_view keyword, std::string_view name) {
    for (std::size_t i = 0; i + 1 < lexed.tokens.size(); ++i) {
        const SqlToken& before = lexed.tokens[i];
        const SqlToken& token = lexed.tokens[i + 1];
        if (before.kind != SqlToken::Kind::WORD || !same_word(before.text, keyword)) continue;
        // A bare word is folded to lower case by the server, so only a lower-case one names `name`.
        if ((token.kind == SqlToken::Kind::IDENTIFIER && token.text == name) ||
            (token.kind == SqlToken::Kind::WORD && token.text == name &&
             std::string(name).find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos)) {
            return true;
        }
    }
    return false;
}

}  // namespace korvex::fuzz
