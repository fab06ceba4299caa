// PostgresHistoricalConnection: nested transactions, savepoints and the revert log.
//
// The outermost level is a server transaction (BEGIN ... COMMIT / ROLLBACK); every nested level
// is a savepoint with a random name. _revert_data holds one revert level per open level;
// _savepoints one name per nested level.

#include "korvex/error.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <stdexcept>

namespace korvex::pg_timeline {
namespace {

// Fails, before anything is sent, when no transaction level is open.
void require_open_level(const std::vector<RevertLevel>& revert_data, const char* operation) {
    if (revert_data.empty()) {
        throw UsageError(std::string(operation) + ": no transaction level is open (call begin first)");
    }
}

}  // namespace

void PostgresHistoricalConnection::begin() {
    _revert_data.emplace_back();
    if (_revert_data.size() > 1) {
        const std::string name = _savepoint_name();
        _savepoints.push_back(name);
        execute("SAVEPOINT " + name);
    } else {
        execute("BEGIN");
    }
}

void PostgresHistoricalConnection::commit() {
    require_open_level(_revert_data, "commit");
    RevertLevel committed = std::move(_revert_data.back());
    _revert_data.pop_back();
    // The savepoint is neither released nor rolled back: it ends with the enclosing transaction.
    if (!_savepoints.empty()) {
        _savepoints.pop_back();
    }
    if (!_revert_data.empty()) {
        auto& enclosing = _revert_data.back();
        enclosing.insert(enclosing.end(), std::make_move_iterator(committed.begin()),
                         std::make_move_iterator(committed.end()));
    } else {
        execute("COMMIT");
    }
}

void PostgresHistoricalConnection::rollback() {
    require_open_level(_revert_data, "rollback");
    _revert_data.pop_back();
    if (!_savepoints.empty()) {
        const std::string name = _savepoints.back();
        _savepoints.pop_back();
        execute("ROLLBACK TO SAVEPOINT " + name);
    } else {
        execute("ROLLBACK");
    }
}

void PostgresHistoricalConnection::revert() {
    if (!_is_revert_enabled) {
        throw KorvexConnectionError("Revert is not supported");
    }
    // Nothing is recorded while the undo runs. The flag comes back on however the revert ends,
    // so that a failed revert (which leaves its level in place) does not disable revert for the
    // rest of this object's life.
    struct RevertFlagGuard {
        bool& flag;
        ~RevertFlagGuard() { flag = true; }
    } guard{_is_revert_enabled};
    _is_revert_enabled = false;

    require_open_level(_revert_data, "revert");
    std::vector<Address> addresses;
    for (const auto& entry : _revert_data.back()) addresses.push_back(entry.first);
    for (auto address = addresses.rbegin(); address != addresses.rend(); ++address) {
        _delete(*address);
    }
    _revert_data.pop_back();
}

void PostgresHistoricalConnection::on_transaction_complete() { _revert_data.clear(); }

void PostgresHistoricalConnection::_add_revert_data(const Address& address, const DataMap& data) {
    require_open_level(_revert_data, "recording a write for revert");
    _revert_data.back().emplace_back(address, data);
}

}  // namespace korvex::pg_timeline
