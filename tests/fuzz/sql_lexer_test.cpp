// The statement lexer the fuzz targets assert with: it must refuse each way an input can escape
// its place, or the fuzz targets could not fail.

#include "korvex/iceberg/iceberg_table_column.hpp"
#include "spark_sql_lexer.hpp"
#include "sql_lexer.hpp"

#include <gtest/gtest.h>

using korvex::fuzz::check_statement;
using korvex::fuzz::names_after;

namespace {

struct Case {
    std::string statement;
    std::size_t parameters;
    const char* fault;  // part of the message, or null when the statement is sound
};

}  // namespace

TEST(SqlLexer, RefusesWhatCouldChangeAStatement) {
    const Case cases[] = {
        {R"(INSERT INTO "a""b" ("c%%s") VALUES (%s))", 1, nullptr},
        {R"(SELECT 'it''s', E'a\\b\'c', "x" FROM t WHERE a = %s AND b LIKE '100%%')", 1, nullptr},
        {"SELECT a %% 2, '%%s' FROM t", 0, nullptr},
        {R"(SELECT 'open)", 0, "quoted literal left open"},
        {R"(SELECT E'a\')", 0, "quoted literal left open"},
        {R"(SELECT "open)", 0, "quoted identifier left open"},
        {"SELECT 1; DROP TABLE t", 0, "statement separator"},
        {"SELECT 1 -- rest", 0, "comment"},
        {"SELECT 1 /* rest */", 0, "comment"},
        {"SELECT $1", 0, "dollar sign"},
        {"SELECT $$x$$", 0, "dollar sign"},
        {"SELECT 'a%sb'", 1, "marker inside a quoted literal"},
        {R"(SELECT "a%sb")", 1, "marker inside a quoted identifier"},
        {std::string("SELECT 'a\0b'", 12), 0, "NUL byte"},
        {R"(SELECT 'x\'' OR TRUE --')", 0, "standard_conforming_strings off"},
        {R"(SELECT 'a\\b')", 0, "standard_conforming_strings off"},
        {R"(SELECT U&'d\0061t')", 0, "Unicode-escape"},
        {"SELECT %s, %s", 1, "2 markers for 1 parameters"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.statement);
        try {
            check_statement(test.statement, test.parameters);
            EXPECT_EQ(test.fault, nullptr) << "accepted";
        } catch (const std::logic_error& error) {
            ASSERT_NE(test.fault, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(test.fault), std::string::npos) << error.what();
        }
    }
}

TEST(SqlLexer, FindsTheTableAfterItsKeyword) {
    EXPECT_TRUE(names_after(check_statement(R"(INSERT INTO "public.person" (a) VALUES (%s))", 1), "into",
                            "public.person"));
    EXPECT_TRUE(names_after(check_statement("DELETE FROM person WHERE a = %s", 1), "FROM", "person"));
    EXPECT_FALSE(names_after(check_statement("INSERT INTO public.person (a) VALUES (%s)", 1), "INTO",
                             "public.person"));
    EXPECT_FALSE(names_after(check_statement("DELETE FROM Person", 0), "FROM", "Person"));
    // An E'' literal's escapes are resolved.
    const auto lexed = check_statement(R"(SELECT E'a\\b''c\n')", 0);
    EXPECT_EQ(lexed.tokens.back().text, "a\\b'c\n");
}

TEST(SparkSqlLexer, RefusesWhatCouldChangeAStatementAndReadsQuotesAsSparkDoes) {
    using korvex::fuzz::check_spark_statement;
    const Case cases[] = {
        {R"(SELECT 'it\'s', "a\\b", `a``b`, R'raw\' FROM t WHERE x = ? AND y = :name)", 2, nullptr},
        {R"(SELECT 'open)", 0, "quoted literal left open"},
        {R"(SELECT 'a\')", 0, "quoted literal left open"},
        {R"(SELECT "a\")", 0, "quoted literal left open"},
        {"SELECT `a``", 0, "quoted identifier left open"},
        {"SELECT 1; DROP TABLE t", 0, "statement separator"},
        {"SELECT 1 -- rest", 0, "comment"},
        {"SELECT 1 /* rest */", 0, "comment"},
        {"SELECT '?', `?`", 1, "0 markers for 1 parameters"},
        {std::string("SELECT 1\0", 9), 0, "NUL byte"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.statement);
        try {
            check_spark_statement(test.statement, test.parameters);
            EXPECT_EQ(test.fault, nullptr) << "accepted";
        } catch (const std::logic_error& error) {
            ASSERT_NE(test.fault, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(test.fault), std::string::npos) << error.what();
        }
    }
    const auto tokens = check_spark_statement(R"(SELECT 'a\'b\\c\u0041\101\n', `x``y`, r'\n')", 0);
    ASSERT_EQ(tokens.size(), 6u);
    EXPECT_EQ(tokens[1].text, "a'b\\cAA\n");
    EXPECT_EQ(tokens[3].text, "x`y");
    EXPECT_EQ(tokens[5].text, "\\n");
}

TEST(SparkSqlQuoting, QuotedTextAndNamesReadBackAsOneTokenEach) {
    using korvex::fuzz::SparkToken;
    for (const std::string& text : std::vector<std::string>{"plain", "it's", "back\\slash\\", "\\'; DROP TABLE t --", "a`b", "\\u0027",
                                   std::string("nul\0byte", 8), "line\nfeed"}) {
        SCOPED_TRACE(text);
        const auto tokens = korvex::fuzz::check_spark_statement(
            "SELECT " + korvex::quote_spark_string(text) + " AS " + korvex::quote_spark_identifier(text), 0);
        ASSERT_EQ(tokens.size(), 4u);
        EXPECT_EQ(tokens[1], (SparkToken{SparkToken::Kind::STRING, text}));
        EXPECT_EQ(tokens[3], (SparkToken{SparkToken::Kind::IDENTIFIER, text}));
    }
}
