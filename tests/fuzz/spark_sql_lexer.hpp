#pragma once
// A small Spark SQL lexer for statements sent to a Spark Connect server. It reads quoted text as
// Spark's lexer does: '...' and "..." literals with backslash escapes (resolved as Spark
// resolves them: \', \", \\, \n and friends, \uXXXX, \UXXXXXXXX, three octal digits, any other
// escaped character as itself), R'...' and R"..." raw literals, `...` identifiers with doubled
// backquotes, -- and /* */ comments (nested). It reports what could let an input change a
// statement's meaning: a quote left open, a comment, a statement separator, a NUL byte outside
// quotes, and a marker count other than expected.

#include <string>
#include <string_view>
#include <vector>

namespace korvex::fuzz {

struct SparkToken {
    enum class Kind { WORD, NUMBER, IDENTIFIER, STRING, MARKER, SYMBOL };
    Kind kind;
    // A word as written (a NUMBER when it starts with a digit: Spark reads 12, 1d, 1e3 and 2L
    // as numbers, so no bare name may start with one), an identifier or a string literal with its escapes resolved, a symbol's
    // character, a named marker's name (empty for "?").
    std::string text;

    bool operator==(const SparkToken&) const = default;
};

// The tokens of `statement`; throws std::logic_error naming the first fault and its offset.
std::vector<SparkToken> lex_spark_statement(std::string_view statement);

// Lexes `statement` and checks that it holds `markers` parameter markers; throws
// std::logic_error with the statement text when anything is wrong.
std::vector<SparkToken> check_spark_statement(std::string_view statement, std::size_t markers);

}  // namespace korvex::fuzz
