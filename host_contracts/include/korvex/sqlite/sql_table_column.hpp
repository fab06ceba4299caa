#pragma once
// One column of an existing SQLite table, as one row of `PRAGMA table_info` describes it.
// Plain value type.

#include "korvex/value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

struct SqlTableColumn {
    // Field name to value, as a result row pairs its column names with its values.
    using Fields = std::vector<std::pair<std::string, Value>>;

    std::int64_t cid = 0;
    std::string name;
    // The declared type as written in the table definition; empty when none was declared.
    std::string type;
    bool notnull = false;
    // The default's SQL text ("0", "'open'"); none when the column has no default.
    std::optional<std::string> dflt_value;
    // Position in the primary key counting from 1; 0 when the column is not part of it.
    std::int64_t pk = 0;

    // Builds the column from the six named fields cid, name, type, notnull, dflt_value and pk,
    // each given exactly once. Throws UsageError naming the field for an unknown,
    // missing or repeated field, or for a value of the wrong kind.
    static SqlTableColumn from_fields(const Fields& fields);

    bool operator==(const SqlTableColumn&) const = default;
};

}  // namespace korvex
