#include "korvex/connections/statement_kind.hpp"

#include <cctype>

namespace korvex {

std::string leading_keyword(std::string_view statement) {
    std::size_t start = 0;
    while (start < statement.size() && std::isspace(static_cast<unsigned char>(statement[start]))) ++start;
    std::string word;
    for (std::size_t at = start; at < statement.size() && std::isalpha(static_cast<unsigned char>(statement[at])); ++at) {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(statement[at])));
    }
    return word;
}

bool changes_table_definitions(std::string_view statement) {
    const std::string word = leading_keyword(statement);
    return word == "CREATE" || word == "ALTER" || word == "DROP";
}

}  // namespace korvex
