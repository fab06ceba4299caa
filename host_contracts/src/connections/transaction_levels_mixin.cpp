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
    // Its entries are kept to take the next transaction's writes in their room (a bounded number
    // of them), and the room of the log itself with them.
    if (committed.size() > SPARE_ENTRIES_KEPT) {
        committed.erase(committed.begin() + static_cast<std::ptrdiff_t>(SPARE_ENTRIES_KEPT), committed.end());
    }
    spare_entries_.swap(committed);
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

namespace {

// `target` becomes equal to `source`, in the room of what it held where the two have the same
// shape (the same keys in the same order, lists of one length, texts), copied anew elsewhere.
void assign_in_place(Value& target, const Value& source) {
    if (target.type() == source.type()) {
        switch (source.type()) {
            case Value::value_t::string:
                target.get_ref<std::string&>() = source.get_ref<const std::string&>();
                return;
            case Value::value_t::object: {
                auto& into = target.get_ref<Value::object_t&>();
                const auto& from = source.get_ref<const Value::object_t&>();
                const bool same_keys =
                    std::equal(into.begin(), into.end(), from.begin(), from.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; });
                if (!same_keys) break;
                auto element = into.begin();
                for (const auto& [key, value] : from) assign_in_place((element++)->second, value);
                return;
            }
            case Value::value_t::array: {
                auto& into = target.get_ref<Value::array_t&>();
                const auto& from = source.get_ref<const Value::array_t&>();
                if (into.size() != from.size()) break;
                for (std::size_t i = 0; i < from.size(); ++i) assign_in_place(into[i], from[i]);
                return;
            }
            default:
                break;
        }
    }
    target = source;
}

}  // namespace

void TransactionLevelsMixin::_add_revert_data(const Address& address, const DataMap& data) {
    require_open_level("recording a write for revert");
    auto& level = _revert_data.back();
    if (spare_entries_.empty()) {
        level.emplace_back(address, data);
        return;
    }
    // Copying a map and freeing it again at the commit cost more than the write of its row: an
    // entry of an earlier transaction takes the copy, mostly in the room it has.
    RevertEntry entry = std::move(spare_entries_.back());
    spare_entries_.pop_back();
    entry.first = address;
    assign_in_place(entry.second, data);
    level.push_back(std::move(entry));
}

}  // namespace korvex
