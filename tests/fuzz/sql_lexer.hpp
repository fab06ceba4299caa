#pragma once
// A small PostgreSQL lexer for the statements the builders produce, as the executor sends them:
// %s markers become $1, $2, ... and "%%" becomes "%" first, over the whole text, quotes or not.
// It reports what could let an input change a statement's meaning: a quote left open, a
// statement separator or comment outside quotes, a marker inside quotes, a dollar sign outside
// quotes (a dollar quote or a positional parameter the builder did not write), a NUL byte, and
// literals that read differently with standard_conforming_strings on and off.

#include <string>
#include <string_view>
#include <vector>

namespace korvex::fuzz {

struct SqlToken {
    enum class Kind { WORD, IDENTIFIER, STRING, MARKER, SYMBOL };
    Kind kind;
    // A word as written, an identifier or a string literal with its escapes resolved, a symbol's
    // character; empty for a marker.
    std::string text;

    bool operator==(const SqlToken&) const = default;
};

struct LexedStatement {
    std::vector<SqlToken> tokens;
    std::size_t markers = 0;
};

// The tokens of `statement`; throws std::logic_error naming the first fault and its offset.
// Each statement is lexed with standard_conforming_strings on and off, and both readings must
// give the same tokens.
LexedStatement lex_statement(std::string_view statement);

// Lexes `statement` and checks that its markers match `parameter_count`; throws std::logic_error
// with the statement text when anything is wrong.
LexedStatement check_statement(std::string_view statement, std::size_t parameter_count);

// Whether an identifier token equal to `name` directly follows a word equal to `keyword` (case
// blind), as the table of "INSERT INTO", "DELETE FROM" or "FROM" does.
bool names_after(const LexedStatement& lexed, std::string_view keyword, std::string_view name);

}  // namespace korvex::fuzz
