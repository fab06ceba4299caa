#pragma once
// A connection the host drives and the table-schema services run statements through.

#include "korvex/connections/cursor.hpp"
#include "korvex/object.hpp"
#include "korvex/value.hpp"

#include <memory>
#include <string>
#include <vector>

namespace korvex {

class Connection : public Object {};

// A connection that runs SQL text with positional parameters and hands back a cursor.
class SqlConnection : public Connection {
public:
    virtual std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) = 0;
};

}  // namespace korvex
