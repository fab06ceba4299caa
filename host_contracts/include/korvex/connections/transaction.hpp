#pragma once
// A scope guard for one transaction level of a historical connection: `begin` when made,
// `commit` on request, `rollback` when it goes out of scope with its level still open, also when
// an exception unwinds through it. A guard made while another level is open on the same
// connection (an enclosing guard, or a plain `begin`) is a savepoint of that transaction.
//
// A guard only ever ends its own level. Once that level is gone by other means (a revert, a
// disconnect or lost connection that ended the transaction, an enclosing level ended first), the
// guard's destructor does nothing, and commit or rollback raise UsageError. The destructor never
// throws: a rollback that fails there is logged to the LOGGER_NAME spdlog logger. Not copyable;
// one caller at a time, like the connection it guards.
//
//     korvex::Transaction transaction(*store);
//     store->put(...);
//     transaction.commit();

#include <cstdint>
#include <optional>
#include <string>

namespace korvex {

class HistoricalConnectionBase;

class Transaction {
public:
    static constexpr const char* LOGGER_NAME = "korvex_data.connections.transaction";

    // Calls connection.begin(); its error propagates and leaves no guard behind.
    explicit Transaction(HistoricalConnectionBase& connection);
    ~Transaction();

    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    Transaction(Transaction&&) = delete;
    Transaction& operator=(Transaction&&) = delete;

    // End the level. The guard is closed from the moment either is called, even when the
    // connection then fails: the connection takes the level off its stack before it sends the
    // statement. Calling either on a closed guard, or on one whose level is gone, raises
    // UsageError. commit also raises UsageError, and leaves the guard open, while a level opened
    // inside this one is still open; rollback ends such levels with its own.
    void commit();
    void rollback();

    // Neither committed nor rolled back through the guard, and its level still open.
    bool is_open() const;

private:
    void close(const char* operation);
    bool level_is_open() const;
    // Rolls back the levels down to and including this guard's own.
    void roll_back_own_level();

    HistoricalConnectionBase& connection_;
    std::optional<std::uint64_t> level_;
    bool closed_ = false;
};

}  // namespace korvex
