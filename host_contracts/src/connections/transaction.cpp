#include "korvex/connections/transaction.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/error.hpp"
#include "korvex/utils/named_logger.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <mutex>
#include <string_view>

namespace korvex {
namespace {

std::shared_ptr<spdlog::logger> transaction_logger() { return named_logger(Transaction::LOGGER_NAME); }

// The error's message followed by those of its nested causes.
std::string describe(const std::exception& error) {
    std::string text = error.what();
    for (std::exception_ptr cause = cause_of(error); cause;) {
        try {
            std::rethrow_exception(cause);
        } catch (const std::exception& nested) {
            text += ": " + std::string(nested.what());
            cause = cause_of(nested);
        } catch (...) {
            cause = nullptr;
        }
    }
    return text;
}

}  // namespace

Transaction::Transaction(HistoricalConnectionBase& connection) : connection_(connection) {
    connection_.begin();
    level_ = connection_.innermost_transaction_level();
}

bool Transaction::level_is_open() const { return level_ && connection_.is_transaction_level_open(*level_); }

bool Transaction::is_open() const { return !closed_ && level_is_open(); }

void Transaction::roll_back_own_level() {
    // Levels opened inside this one and still open end with it. A rollback that ended no level
    // stops the loop rather than repeat itself.
    while (level_is_open()) {
        const auto innermost = connection_.innermost_transaction_level();
        connection_.rollback();
        if (connection_.innermost_transaction_level() == innermost) {
            throw UsageError("rollback: the connection still has the same transaction level open after rolling it back");
        }
    }
}

Transaction::~Transaction() {
    if (closed_) return;
    closed_ = true;
    try {
        roll_back_own_level();
    } catch (const std::exception& error) {
        try {
            transaction_logger()->error("rollback of an uncommitted transaction failed: {}", describe(error));
        } catch (...) {
        }
    } catch (...) {
        try {
            transaction_logger()->error("rollback of an uncommitted transaction failed with an unknown error");
        } catch (...) {
        }
    }
}

void Transaction::close(const char* operation) {
    if (closed_) {
        throw UsageError(std::string(operation) + ": this transaction has already been committed or rolled back");
    }
    if (!level_is_open()) {
        closed_ = true;
        throw UsageError(std::string(operation) +
                         ": this transaction's level has already ended (reverted, ended with the connection, or "
                         "with an enclosing level), so there is nothing left to " + operation);
    }
    if (std::string_view(operation) == "commit" && connection_.innermost_transaction_level() != level_) {
        throw UsageError(
            "commit: a transaction level opened inside this one is still open; commit or roll it back first");
    }
    closed_ = true;
}

void Transaction::commit() {
    close("commit");
    connection_.commit();
}

void Transaction::rollback() {
    close("rollback");
    roll_back_own_level();
}

}  // namespace korvex
