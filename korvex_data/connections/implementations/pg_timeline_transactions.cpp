// PostgresHistoricalConnection: nested transactions, savepoints and the revert log.
//
// The outermost level is a server transaction (BEGIN ... COMMIT / ROLLBACK); every nested level
// is a savepoint with a random name. _revert_data holds one revert level per open level and
// _savepoints one name per nested level, so that whenever a level is open
// _savepoints.size() + 1 == _revert_data.size(). Every operation keeps that pairing, also when
// its statement fails, so that the next rollback always names the right savepoint and the
// outermost commit or rollback always ends the server transaction.

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

namespace korvex::pg_timeline {

void PostgresHistoricalConnection::require_open_level(const char* operation) const {
    if (_revert_data.empty()) {
        throw UsageError(std::string(operation) + ": no transaction level is open (call begin first)");
    }
}

void PostgresHistoricalConnection::forget_transaction_state() {
    _revert_data.clear();
    _savepoints.clear();
}

void PostgresHistoricalConnection::run_transaction_statement(const std::string& statement,
                                                             const std::string& expected_status) {
    const std::string status = execute(statement)->statusmessage();
    if (status.empty() || status == expected_status) {
        return;  // a client that reports no status cannot be checked
    }
    if (statement == "COMMIT" && status == "ROLLBACK") {
        throw KorvexConnectionError(
            "COMMIT was answered with ROLLBACK: the server rolled the transaction back because a statement in it "
            "had failed, so nothing of the transaction was written");
    }
    throw KorvexConnectionError("the server answered " + statement + " with " + status + " instead of " +
                                expected_status);
}

void PostgresHistoricalConnection::begin() {
    const bool nested = !_revert_data.empty();
    const std::string name = nested ? _savepoint_name() : std::string();
    _revert_data.emplace_back();
    if (nested) _savepoints.push_back(name);
    try {
        if (nested) {
            run_transaction_statement("SAVEPOINT " + name, "SAVEPOINT");
        } else {
            run_transaction_statement("BEGIN", "BEGIN");
        }
    } catch (...) {
        // No level was opened on the server, so none stays open here: a later put must not take
        // a level that does not exist for a transaction it is not in.
        if (!_revert_data.empty()) _revert_data.pop_back();
        if (nested && !_savepoints.empty()) _savepoints.pop_back();
        throw;
    }
}

void PostgresHistoricalConnection::commit() {
    require_open_level("commit");
    RevertLevel committed = std::move(_revert_data.back());
    _revert_data.pop_back();
    if (!_revert_data.empty()) {
        // The savepoint is neither released nor rolled back: it ends with the enclosing
        // transaction, which takes over what this level wrote.
        if (!_savepoints.empty()) _savepoints.pop_back();
        auto& enclosing = _revert_data.back();
        enclosing.insert(enclosing.end(), std::make_move_iterator(committed.begin()),
                         std::make_move_iterator(committed.end()));
        return;
    }
    _savepoints.clear();
    run_transaction_statement("COMMIT", "COMMIT");
}

void PostgresHistoricalConnection::rollback() {
    require_open_level("rollback");
    _revert_data.pop_back();
    if (!_revert_data.empty() && !_savepoints.empty()) {
        const std::string name = _savepoints.back();
        _savepoints.pop_back();
        run_transaction_statement("ROLLBACK TO SAVEPOINT " + name, "ROLLBACK");
        return;
    }
    forget_transaction_state();
    run_transaction_statement("ROLLBACK", "ROLLBACK");
}

// Deletes the versions recorded in the top level, newest first, and closes the level. A nested
// level closes like a commit (its savepoint name comes off the stack, the enclosing transaction
// goes on). The outermost level ends the server transaction with ROLLBACK: it undoes exactly
// what the transaction wrote, which deleting by key cannot promise for the internal tables
// (their DELETE takes every row of an identity), and leaves no transaction open.
void PostgresHistoricalConnection::revert() {
    if (!_is_revert_enabled) {
        throw KorvexConnectionError("Revert is not supported");
    }
    require_open_level("revert");
    // Nothing is recorded while the undo runs. The flag comes back on however the revert ends,
    // so that a failed revert (which leaves its level in place) does not disable revert for the
    // rest of this object's life.
    struct RevertFlagGuard {
        bool& flag;
        ~RevertFlagGuard() { flag = true; }
    } guard{_is_revert_enabled};
    _is_revert_enabled = false;

    std::vector<Address> addresses;
    for (const auto& entry : _revert_data.back()) addresses.push_back(entry.first);
    for (auto address = addresses.rbegin(); address != addresses.rend(); ++address) {
        _delete(*address);
    }
    _revert_data.pop_back();
    if (!_revert_data.empty()) {
        if (!_savepoints.empty()) _savepoints.pop_back();
        return;
    }
    forget_transaction_state();
    run_transaction_statement("ROLLBACK", "ROLLBACK");
}

// Forgets the writes recorded so far. The levels themselves stay, so that a transaction still
// open when the host calls this can be committed or rolled back as usual.
void PostgresHistoricalConnection::on_transaction_complete() {
    for (auto& level : _revert_data) level.clear();
}

void PostgresHistoricalConnection::_add_revert_data(const Address& address, const DataMap& data) {
    require_open_level("recording a write for revert");
    _revert_data.back().emplace_back(address, data);
}

}  // namespace korvex::pg_timeline
