// TransactionLevelsMixin: nested levels, savepoints and the revert log.

#include "korvex/connections/transaction_levels_mixin.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"

#include <algorithm>
#include <iterator>
#include <random>

namespace korvex {

std::string TransactionLevelsMixin::_savepoint_name() {
    static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(LETTERS) - 2);
    std::string name(10, ' ');
    for (char& c : name) c = LETTERS[pick(savepoint_names_)];
    return name;
}

void TransactionLevelsMixin::require_open_level(const char* operation) const {
    if (_revert_data.empty()) {
        throw UsageError(std::string(operation) + ": no transaction level is open (call begin first)");
    }
}

void TransactionLevelsMixin::forget_transaction_state() {
    _revert_data.clear();
    _savepoints.clear();
    _level_ids.clear();
}

std::optional<std::uint64_t> TransactionLevelsMixin::innermost_level() const {
    if (_level_ids.empty()) return std::nullopt;
    return _level_ids.back();
}

bool TransactionLevelsMixin::is_level_open(std::uint64_t level) const {
    return std::find(_level_ids.begin(), _level_ids.end(), level) != _level_ids.end();
}

void TransactionLevelsMixin::begin() {
    const bool nested = !_revert_data.empty();
    const std::string name = nested ? _savepoint_name() : std::string();
    // The outermost level takes the room the last transaction's log grew to.
    _revert_data.push_back(nested ? RevertLevel() : std::move(spare_level_));
    spare_level_ = RevertLevel();
    _level_ids.push_back(_next_level_id++);
    if (nested) _savepoints.push_back(name);
    try {
        if (nested) {
            run_transaction_statement("SAVEPOINT " + name, "SAVEPOINT");
        } else {
            run_transaction_statement("BEGIN", "BEGIN");
        }
    } catch (...) {
        // No level was opened by the store, so none stays open here: a later put must not take
        // a level that does not exist for a transaction it is not in.
        if (!_revert_data.empty()) _revert_data.pop_back();
        if (!_level_ids.empty()) _level_ids.pop_back();
        if (nested && !_savepoints.empty()) _savepoints.pop_back();
        throw;
    }
}

void TransactionLevelsMixin::commit() {
    require_open_level("commit");
    RevertLevel committed = std::move(_revert_data.back());
    _revert_data.pop_back();
    _level_ids.pop_back();
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
    // Its entries go; the room they took is kept for the next transaction's log.
    committed.clear();
    spare_level_ = std::move(committed);
    run_transaction_statement("COMMIT", "COMMIT");
}

void TransactionLevelsMixin::rollback() {
    require_open_level("rollback");
    _revert_data.pop_back();
    _level_ids.pop_back();
    if (!_revert_data.empty() && !_savepoints.empty()) {
        const std::string name = _savepoints.back();
        _savepoints.pop_back();
        run_transaction_statement("ROLLBACK TO SAVEPOINT " + name, "ROLLBACK");
        return;
    }
    forget_transaction_state();
    run_transaction_statement("ROLLBACK", "ROLLBACK");
}

// The outermost level ends with ROLLBACK: it undoes exactly what the transaction wrote, which
// deleting by key cannot promise for the internal tables (their DELETE takes every row of an
// identity), and leaves no transaction open.
void TransactionLevelsMixin::revert() {
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
    _level_ids.pop_back();
    if (!_revert_data.empty()) {
        if (!_savepoints.empty()) _savepoints.pop_back();
        return;
    }
    forget_transaction_state();
    run_transaction_statement("ROLLBACK", "ROLLBACK");
}

void TransactionLevelsMixin::on_transaction_complete() {
    for (auto& level : _revert_data) level.clear();
}

void TransactionLevelsMixin::_add_revert_data(const Address& address, const DataMap& data) {
    require_open_level("recording a write for revert");
    _revert_data.back().emplace_back(address, data);
}

}  // namespace korvex
