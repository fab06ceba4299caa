#pragma once
// A scope guard for one transaction level of a historical connection: `begin` when made,
// `commit` on request, `rollback` when it goes out of scope still open, also when an exception
// unwinds through it. A guard made while another level is open on the same connection (an
// enclosing guard, or a plain `begin`) is a savepoint of that transaction. The destructor never
// throws: a rollback that fails there is logged to the LOGGER_NAME spdlog logger. Not copyable;
// one caller at a time, like the connection it guards.
//
//     korvex::Transaction transaction(*store);
//     store->put(...);
//     transaction.commit();

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
    // statement, so a second attempt would end the enclosing level instead. Calling either on
    // a closed guard raises UsageError.
    void commit();
    void rollback();

    bool is_open() const { return open_; }

private:
    void close(const char* operation);

    HistoricalConnectionBase& connection_;
    bool open_ = true;
};

}  // namespace korvex
