#pragma once
// How one SQL engine writes the statements of the store core: names, markers, JSON paths and
// casts, NULL stand-ins, the metadata projection. Pure text: a dialect runs nothing (the store's
// driver does). One immutable instance per engine, shared by every connection of it.

#include "korvex/value.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace korvex {

class SqlDialect {
public:
    virtual ~SqlDialect() = default;

    // Names.
    // A table or column name as a statement writes it, quoted; throws UsageError for a name the
    // engine could not hold as given (a NUL byte, over the engine's length limit).
    virtual std::string quote_name(const std::string& name) const = 0;
    // The longest name, in bytes, the engine keeps whole; 0 for no limit.
    virtual std::size_t identifier_max_bytes() const = 0;

    // Writing.
    // The table name as an INSERT writes it.
    virtual std::string insert_table_name(const std::string& table_name) const = 0;
    // Why the engine cannot store `given`, converted to `converted` for a column of `data_type`,
    // as given; nothing when it can.
    virtual std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                                  const std::string& data_type) const = 0;
    // How errors name the engine ("the server", "SQLite").
    virtual const char* engine_noun() const = 0;

    // Reading.
};

}  // namespace korvex
