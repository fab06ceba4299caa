// The Iceberg store's read text for hostile table names and JSON paths: a JSON-path read of a
// column, from the table's reference, with a parameter, as the store sends it (its %s markers
// made Spark's, a read of main pinned to a snapshot). Spark's lexer must read one statement with
// one marker, the table as the one name after its namespace, and the path as one literal whose
// bracketed keys are exactly the path's steps.
//
// Input lines: a table name, a field path (steps joined by "__"), a selector of the value kind
// ("^J" a line feed, "^I" a tab, "^@" a NUL byte).

#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/ice_history.hpp"
#include "korvex_data/connections/implementations/ice_history_dialect.hpp"
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
using korvex::ice_history::SparkDialect;

namespace {

std::vector<std::string> lines_of(std::string_view input, std::size_t count) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
        const std::size_t end = std::min(input.find('\n'), input.size());
        lines.push_back(decode_carets(input.substr(0, end)));
        input = end < input.size() ? input.substr(end + 1) : std::string_view();
    }
    return lines;
}

// The bracketed keys of a variant path "$['a']["b"]...", each between one kind of quote.
std::vector<std::string> keys_of(const std::string& path) {
    std::vector<std::string> keys;
    if (!path.starts_with('$')) finding("a JSON path that does not start at $: " + path);
    for (std::size_t at = 1; at < path.size();) {
        if (path[at] != '[' || at + 1 >= path.size()) finding("a JSON path step without its bracket: " + path);
        const char quote = path[at + 1];
        const std::size_t close = path.find(quote, at + 2);
        if ((quote != '\'' && quote != '"') || close == std::string::npos || close + 1 >= path.size() ||
            path[close + 1] != ']') {
            finding("a JSON path step that does not read back as one key: " + path);
        }
        keys.push_back(path.substr(at + 2, close - at - 2));
        at = close + 2;
    }
    return keys;
}

std::vector<std::string> steps_of(const std::string& path) {
    std::vector<std::string> steps;
    for (std::size_t start = 0;;) {
        const std::size_t found = path.find("__", start);
        steps.push_back(path.substr(start, found == std::string::npos ? std::string::npos : found - start));
        if (found == std::string::npos) return steps;
        start = found + 2;
    }
}

using K = SparkToken::Kind;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto lines = lines_of(std::string_view(reinterpret_cast<const char*>(data), size), 3);
    const std::string& table = lines[0];
    const std::string& path = lines[1];
    const ValueType kinds[] = {ValueType::TEXT, ValueType::INTEGER, ValueType::BOOLEAN};
    const ValueType kind = kinds[lines[2].size() % 3];

    SparkDialect dialect;
    dialect.locate("korvex", "db");
    std::string statement;
    try {
        statement = "SELECT " + dialect.json_path_value("t1." + dialect.quote_name("doc"), path, kind) + " FROM " +
                    dialect.table_reference(table) + " AS t1 WHERE t1." + dialect.quote_name("partition_key") + " = %s";
    } catch (const UsageError&) {
        return 0;  // refused: an empty name, a NUL byte, a step holding both quotes
    }
    const auto [text, markers] = ice_history::question_markers(statement);
    if (markers != 1) finding("the read has " + std::to_string(markers) + " markers: " + statement);
    // A read of main, pinned to a snapshot as a consistent read sends it.
    const auto mentions = dialect.main_table_mentions(text);
    if (mentions.size() != 1 || mentions.front().table != table) {
        finding("the read's table is not found once as itself: " + text);
    }
    const std::string pinned = SparkDialect::pin_snapshots(text, mentions, {{table, 42}});

    for (const std::string& sent : {text, pinned}) {
        std::vector<SparkToken> tokens;
        try {
            tokens = check_spark_statement(sent, 1);
        } catch (const std::logic_error& error) {
            finding(error.what());
        }
        // FROM korvex . db . <table>
        std::size_t from = 0;
        while (from < tokens.size() && !(tokens[from].kind == K::WORD && tokens[from].text == "FROM")) ++from;
        if (from + 5 >= tokens.size() || tokens[from + 1].text != "korvex" || tokens[from + 3].text != "db" ||
            !(tokens[from + 5].kind == K::WORD || tokens[from + 5].kind == K::IDENTIFIER) ||
            tokens[from + 5].text != table) {
            finding("the table is not the one name after its namespace: " + sent);
        }
        // Every literal that reads as a variant path names exactly the path's steps.
        const std::vector<std::string> steps = steps_of(path);
        for (const auto& token : tokens) {
            if (token.kind == K::STRING && token.text.starts_with("$") && keys_of(token.text) != steps) {
                finding("the JSON path literal names other keys than the path's steps: " + sent);
            }
        }
    }
    return 0;
}
