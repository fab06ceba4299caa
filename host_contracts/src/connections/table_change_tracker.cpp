#include "korvex/connections/table_change_tracker.hpp"

#include <cctype>

namespace korvex {

std::string leading_sql_keyword(std::string_view statement) {
    std::size_t start = 0;
    while (start < statement.size() && std::isspace(static_cast<unsigned char>(statement[start]))) ++start;
    std::size_t end = start;
    while (end < statement.size() && std::isalpha(static_cast<unsigned char>(statement[end]))) ++end;
    std::string word(statement.substr(start, end - start));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

void TableChangeTracker::saw(std::string_view statement, bool in_transaction) {
    const std::string word = leading_sql_keyword(statement);
    if (word == "CREATE" || word == "ALTER" || word == "DROP") {
        ++changes_;
        // Outside a transaction the change is final; inside one the transaction's end may undo it.
        changed_since_transaction_end_ = changed_since_transaction_end_ || in_transaction;
    } else if ((word == "ROLLBACK" || word == "COMMIT" || word == "END") && changed_since_transaction_end_) {
        ++changes_;
        // A ROLLBACK TO a savepoint leaves the transaction open, and a later ROLLBACK may undo more.
        if (statement.find(" TO ") == std::string_view::npos && statement.find(" to ") == std::string_view::npos) {
            changed_since_transaction_end_ = false;
        }
    }
}

}  // namespace korvex
