#pragma once
// A SqlConnection that records every statement it is given. On its own it answers each
// statement with the rows canned for that exact text (none by default); given a real
// connection, it forwards every statement there and returns the real answer.

#include "korvex/connections/connection.hpp"
#include "korvex/connections/cursor.hpp"

#include <map>
#include <memory>
#include <string>
#include <vector>

class RecordingConnection : public korvex::SqlConnection {
public:
    RecordingConnection() = default;
    explicit RecordingConnection(korvex::SqlConnection& target) : target_(&target) {}

    std::shared_ptr<korvex::Cursor> execute(const std::string& query,
                                            const std::vector<korvex::Value>& params = {}) override {
        statements.push_back(query);
        parameters.push_back(params);
        if (target_ != nullptr) return target_->execute(query, params);
        auto found = canned.find(query);
        if (found == canned.end()) return std::make_shared<korvex::MemoryCursor>();
        return std::make_shared<korvex::MemoryCursor>(found->second.first, found->second.second);
    }

    // The description and rows answered for one exact statement text.
    void answer(const std::string& query, std::vector<korvex::ColumnDescription> description,
                std::vector<korvex::Row> rows) {
        canned[query] = {std::move(description), std::move(rows)};
    }

    std::vector<std::string> statements;
    std::vector<std::vector<korvex::Value>> parameters;

private:
    korvex::SqlConnection* target_ = nullptr;
    std::map<std::string, std::pair<std::vector<korvex::ColumnDescription>, std::vector<korvex::Row>>> canned;
};

// The result columns of PRAGMA table_info.
inline std::vector<korvex::ColumnDescription> table_info_description() {
    return {{"cid"}, {"name"}, {"type"}, {"notnull"}, {"dflt_value"}, {"pk"}};
}

// table_info rows for columns of the given names and declared types, in order.
inline std::vector<korvex::Row> table_info_rows(const std::vector<std::pair<std::string, std::string>>& columns) {
    std::vector<korvex::Row> rows;
    for (std::size_t cid = 0; cid < columns.size(); ++cid) {
        rows.push_back({static_cast<std::int64_t>(cid), columns[cid].first, columns[cid].second, 0, nullptr, 0});
    }
    return rows;
}
