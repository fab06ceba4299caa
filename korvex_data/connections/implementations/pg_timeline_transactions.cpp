// PostgresHistoricalConnection: nested transactions, savepoints and the revert log.
//
// The levels and the revert log are TransactionLevelsMixin's; this file says how a transaction
// statement runs on the server and how its answer is checked.

#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

namespace korvex::pg_timeline {

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

}  // namespace korvex::pg_timeline
