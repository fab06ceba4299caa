#pragma once
// The rows one statement produced, as the client delivers them. Values are decoded by column
// type (JSON parsed, booleans, integers, floats, text, NULL as null).

#include "korvex/value.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvex {

struct ColumnDescription {
    std::string name;
    // The server's type identifier where it has one (a PostgreSQL type OID), else 0.
    unsigned type_code = 0;
};

using Row = std::vector<Value>;

class Cursor {
public:
    virtual ~Cursor() = default;
    // The rows not yet fetched, in order.
    virtual std::vector<Row> fetchall() = 0;
    // The next row, or nothing when all were fetched.
    virtual std::optional<Row> fetchone() = 0;
    // One entry per result column; empty for a statement that returns no rows.
    virtual const std::vector<ColumnDescription>& description() const = 0;
    // The server's command status of the statement ("COMMIT", "INSERT 0 1"); empty when the
    // client does not report one.
    virtual std::string statusmessage() const { return {}; }
};

// A cursor over rows already in memory.
class MemoryCursor : public Cursor {
public:
    MemoryCursor();
    MemoryCursor(std::vector<ColumnDescription> description, std::vector<Row> rows);
    // With a description its driver keeps for every run of the same statement (not copied).
    MemoryCursor(std::shared_ptr<const std::vector<ColumnDescription>> description, std::vector<Row> rows)
        : description_(std::move(description)), rows_(std::move(rows)) {}
    std::vector<Row> fetchall() override;
    std::optional<Row> fetchone() override;
    const std::vector<ColumnDescription>& description() const override { return *description_; }

private:
    std::shared_ptr<const std::vector<ColumnDescription>> description_;
    std::vector<Row> rows_;
    std::size_t next_ = 0;
};

}  // namespace korvex
