// The quoting of names and text in Spark SQL statements, for hostile names and texts: a quoted
// literal, a quoted or bare identifier and a column definition of nested types, as Spark's lexer
// reads them, must each stay one token holding exactly the input, and the statement around them
// must keep its shape.
//
// Input lines: a name, then a text ("^J" a line feed, "^I" a tab, "^@" a NUL byte).

#include "korvex/iceberg/iceberg_table_column.hpp"
#include "fuzz_text.hpp"
#include "spark_sql_lexer.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

using namespace korvex;
using namespace korvex::fuzz;

namespace {

using K = SparkToken::Kind;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t line_end = std::min(input.find('\n'), input.size());
    const std::string name = decode_carets(input.substr(0, line_end));
    const std::string text = decode_carets(line_end < input.size() ? input.substr(line_end + 1) : std::string_view());

    const IcebergTableColumn column(
        name, ComplexType::struct_of({ComplexType::field(text, ComplexType::array_of(ComplexType::primitive("STRING")), false)}));
    const std::string statement = "SELECT " + quote_spark_string(text) + " AS " + quote_spark_identifier(name) + ", ? FROM " +
                                  spark_identifier(name) + "." + quote_spark_identifier(text) + " WHERE (" + column.to_sql() +
                                  ")";
    std::vector<SparkToken> tokens;
    try {
        tokens = check_spark_statement(statement, 1);
    } catch (const std::logic_error& error) {
        finding(error.what());
    }
    const std::vector<SparkToken> expected = {
        {K::WORD, "SELECT"}, {K::STRING, text},     {K::WORD, "AS"},        {K::IDENTIFIER, name}, {K::SYMBOL, ","},
        {K::MARKER, ""},     {K::WORD, "FROM"},     {K::IDENTIFIER, name},  {K::SYMBOL, "."},      {K::IDENTIFIER, text},
        {K::WORD, "WHERE"},  {K::SYMBOL, "("},      {K::IDENTIFIER, name},  {K::WORD, "STRUCT"},   {K::SYMBOL, "<"},
        {K::IDENTIFIER, text}, {K::SYMBOL, ":"},    {K::WORD, "ARRAY"},     {K::SYMBOL, "<"},      {K::WORD, "STRING"},
        {K::SYMBOL, ">"},    {K::WORD, "NOT"},      {K::WORD, "NULL"},      {K::SYMBOL, ">"},      {K::SYMBOL, ")"},
    };
    // A name Spark reads bare is a word of the same text.
    if (tokens.size() == expected.size() && tokens[7].kind == K::WORD) tokens[7].kind = K::IDENTIFIER;
    if (tokens != expected) finding("a quoted name or text left its place in: " + statement);
    return 0;
}
