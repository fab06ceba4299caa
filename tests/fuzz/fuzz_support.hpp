#pragma once
// What the statement-builder fuzz targets share: the readable input format, a connection that
// records statements instead of sending them, and the checks every recorded statement passes.
//
// Input format: one field a line. Inside a line "^J" stands for a line feed, "^I" for a tab and
// "^@" for a NUL byte (raw bytes work too), so that seeds stay readable; a list is one line with
// tab-separated items. A value line is read as JSON when it is JSON, and as a text otherwise.

#include "korvex/connections/cursor.hpp"
#include "korvex/error.hpp"
#include "korvex/models/address.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"
#include "fuzz_text.hpp"
#include "sql_lexer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvex::fuzz {

class FuzzLines {
public:
    FuzzLines(const std::uint8_t* data, std::size_t size) : input_(reinterpret_cast<const char*>(data), size) {}

    bool done() const { return at_ >= input_.size(); }

    std::string_view raw_line() {
        if (done()) return {};
        const std::size_t end = std::min(input_.find('\n', at_), input_.size());
        const std::string_view line = input_.substr(at_, end - at_);
        at_ = end + 1;
        return line;
    }

    std::string text() { return decode_carets(raw_line()); }

    std::vector<std::string> list() {
        std::vector<std::string> items;
        const std::string_view line = raw_line();
        if (line.empty()) return items;
        std::size_t start = 0;
        while (true) {
            const std::size_t tab = line.find('\t', start);
            items.push_back(decode_carets(line.substr(start, tab == std::string_view::npos ? tab : tab - start)));
            if (tab == std::string_view::npos) return items;
            start = tab + 1;
        }
    }

    Value value() {
        const std::string line = text();
        Value parsed = Value::parse(line, nullptr, false);
        return parsed.is_discarded() ? Value(line) : parsed;
    }

private:
    std::string_view input_;
    std::size_t at_ = 0;
};

// A version field: empty is no version; everything else is that text, the texts LATEST and ALL
// being the markers.
inline Version version_of(const std::string& text) { return text.empty() ? Version() : Version(text); }

// An address from four lines: class name, class version, object id, object version.
inline Address read_address(FuzzLines& lines) {
    Address address;
    address.resource = "fuzz";
    address.class_name = lines.text();
    address.class_version = version_of(lines.text());
    address.object_id = lines.text();
    address.object_version = version_of(lines.text());
    return address;
}

// Sends nothing: records each statement, returns an empty result, and describes every table
// with the columns a test sets.
class RecordingConnection : public pg_timeline::PostgresHistoricalConnection {
public:
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override {
        statements.push_back({query, params});
        return std::make_shared<MemoryCursor>();
    }
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override {
        return execute(statement.text, statement.params);
    }
    TableDescription _describe_table(const std::string&) override { return columns; }

    TableDescription columns;
    std::vector<Statement> statements;
};

// Every recorded statement lexes cleanly with as many markers as parameters; returns them lexed.
inline std::vector<LexedStatement> checked(const std::vector<Statement>& statements) {
    std::vector<LexedStatement> lexed;
    for (const auto& statement : statements) {
        try {
            lexed.push_back(check_statement(statement.text, statement.params.size()));
        } catch (const std::logic_error& error) {
            finding(error.what());
        }
    }
    return lexed;
}

// Runs one call of the builder under test: a korvex::UsageError is a refusal (false), anything
// else escapes and stops the fuzzer.
template <class Call>
bool accepted(Call&& call) {
    try {
        call();
        return true;
    } catch (const UsageError&) {
        return false;
    }
}

inline bool holds_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// PostgreSQL cuts identifiers longer than this many bytes.
inline constexpr std::size_t MAX_IDENTIFIER_BYTES = 63;

}  // namespace korvex::fuzz
