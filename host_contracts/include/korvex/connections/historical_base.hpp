#pragma once
// The host's historical (versioned, append-only) connection: the operations the host drives a
// store through. Not thread-safe: one caller at a time.

#include "korvex/connections/connection.hpp"
#include "korvex/models/address.hpp"
#include "korvex/query/order_by.hpp"
#include "korvex/query/paginator.hpp"
#include "korvex/query/q.hpp"
#include "korvex/query/selected_fields.hpp"
#include "korvex/value.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

class TableSchemaServiceBase;

// Named connection parameters (host, port, user, password, database, ...).
using ConnectionParameters = std::map<std::string, std::string>;

// One version for put_many to write: its address and its data map, as put takes them.
using WriteItem = std::pair<Address, DataMap>;

class HistoricalConnectionBase : public SqlConnection {
public:
    virtual void connect(const std::optional<std::string>& dsn = std::nullopt,
                         const ConnectionParameters& parameters = {}) = 0;
    virtual void disconnect() = 0;
    virtual void prepare_connection() = 0;

    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual void revert() = 0;
    virtual void on_transaction_complete() = 0;
    // Identities of the transaction levels, never given twice by one connection object: the
    // innermost open level's (nothing when none is open), and whether the level of an identity
    // is still open. A level is gone once committed, rolled back or reverted, and when the
    // transaction ended with the connection. A Transaction guard reads them to end only its own
    // level.
    virtual std::optional<std::uint64_t> innermost_transaction_level() const = 0;
    virtual bool is_transaction_level_open(std::uint64_t level) const = 0;

    virtual void put(const Address& address, const DataMap& data) = 0;
    // Writes the items in order, as put would write each. This default calls put for each item;
    // a store may send them together instead and then writes all of them or, when one fails,
    // none (both stores do).
    virtual void put_many(const std::vector<WriteItem>& items) {
        for (const auto& [address, data] : items) put(address, data);
    }
    virtual std::vector<DataMap> query(const Address& address,
                                       const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                                       const std::optional<Q>& conditions = std::nullopt,
                                       const Pagination& pagination = {},
                                       const std::optional<std::vector<OrderBy>>& order_by = std::nullopt) = 0;
    virtual std::int64_t count(const Address& address, const std::optional<Q>& conditions = std::nullopt) = 0;

    // A new table-schema service bound to this connection on every call.
    virtual std::unique_ptr<TableSchemaServiceBase> table_schema_manager() = 0;
};

}  // namespace korvex
