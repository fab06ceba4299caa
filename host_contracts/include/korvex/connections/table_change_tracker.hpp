#pragma once
// When table descriptions that a store keeps may have gone stale: a store shows it each statement
// before running it and reads its descriptions again whenever changes() has moved. Not
// thread-safe: one per connection.

#include <cstdint>
#include <string>
#include <string_view>

namespace korvex {

// The first word of `statement`, upper-cased ("CREATE", "ROLLBACK"); empty when it starts
// otherwise.
std::string leading_sql_keyword(std::string_view statement);

// Tells when table descriptions kept by a store may be stale: after a CREATE, ALTER or DROP, and
// after a ROLLBACK or COMMIT that ends a transaction in which one ran (a rollback can undo it).
class TableChangeTracker {
public:
    // Call before running `statement`, saying whether a transaction is open.
    void saw(std::string_view statement, bool in_transaction);
    // Moves whenever a kept description may have gone stale.
    std::uint64_t changes() const { return changes_; }

private:
    std::uint64_t changes_ = 0;
    bool changed_since_transaction_end_ = false;
};

}  // namespace korvex
