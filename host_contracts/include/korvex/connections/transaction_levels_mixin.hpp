#pragma once
// The nested transaction levels of a historical SQL connection and its revert log. The
// outermost level is a transaction (BEGIN ... COMMIT / ROLLBACK); every nested level is a
// savepoint with a random name. One revert level is kept per open level and one savepoint name
// per nested level, so that whenever a level is open savepoints().size() + 1 ==
// revert_data().size(). Every operation keeps that pairing, also when its statement fails, so
// that the next rollback always names the right savepoint and the outermost commit or rollback
// always ends the transaction.
//
// A store supplies how a transaction statement runs and is checked, and how one recorded write
// is deleted again. Not thread-safe: one caller at a time.

#include "korvex/models/address.hpp"
#include "korvex/value.hpp"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

// One write recorded for revert: the written version's address and the data put.
using RevertEntry = std::pair<Address, DataMap>;
using RevertLevel = std::vector<RevertEntry>;

class TransactionLevelsMixin {
public:
    explicit TransactionLevelsMixin(bool is_revert_supported) : _is_revert_enabled(is_revert_supported) {}
    virtual ~TransactionLevelsMixin() = default;

    // Hooks the store supplies. run_transaction_statement runs BEGIN, SAVEPOINT, COMMIT or a
    // ROLLBACK and raises when the store answered it otherwise than `expected_status` (a COMMIT
    // that became a rollback is an error, not a success).
    virtual void run_transaction_statement(const std::string& statement, const std::string& expected_status) = 0;
    virtual void _delete(const Address& address) = 0;
    // Ten random ASCII letters.
    virtual std::string _savepoint_name();

    // BEGIN, or a SAVEPOINT when a level is open. A failed statement opens no level.
    virtual void begin();
    // A nested level hands its writes to the enclosing level and sends nothing; the outermost
    // sends COMMIT.
    virtual void commit();
    // ROLLBACK TO SAVEPOINT of a nested level, ROLLBACK of the outermost.
    virtual void rollback();
    // Deletes the versions recorded in the top level, newest first, and closes the level: a
    // nested level like a commit, the outermost with ROLLBACK. Raises KorvexConnectionError
    // "Revert is not supported" when revert is off.
    virtual void revert();
    // Forgets the writes recorded so far; the levels stay open.
    virtual void on_transaction_complete();
    virtual void _add_revert_data(const Address& address, const DataMap& data);

    // Each level opened gets an identity never given before by this object, so that a guard can
    // tell whether the level it opened is still open: the innermost open level's, or nothing
    // when none is open.
    std::optional<std::uint64_t> innermost_level() const;
    bool is_level_open(std::uint64_t level) const;

    bool is_revert_enabled() const { return _is_revert_enabled; }
    const std::vector<RevertLevel>& revert_data() const { return _revert_data; }
    const std::vector<std::string>& savepoints() const { return _savepoints; }

protected:
    // Fails with UsageError, before anything is sent, when no transaction level is open.
    void require_open_level(const char* operation) const;
    // The transaction is gone (closed or lost connection): so are the levels.
    void forget_transaction_state();

    bool _is_revert_enabled;
    std::vector<RevertLevel> _revert_data;
    std::vector<std::string> _savepoints;

private:
    // One identity per open level, outermost first: opened and ended with _revert_data's levels.
    std::vector<std::uint64_t> _level_ids;
    std::uint64_t _next_level_id = 1;
    // An empty log keeping the room of a committed transaction's, so that a transaction of many
    // writes does not grow its log from nothing each time; and the entries of the last committed
    // transaction (at most SPARE_ENTRIES_KEPT), whose addresses and maps take later writes' copies
    // in their room. Nothing reads them.
    static constexpr std::size_t SPARE_ENTRIES_KEPT = 1024;
    RevertLevel spare_level_;
    RevertLevel spare_entries_;
    // Each connection draws its savepoint names from its own source, so that no state is shared
    // between connections or threads.
    std::mt19937 savepoint_names_{std::random_device{}()};
};

}  // namespace korvex
