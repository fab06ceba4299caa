#include "korvex/connections/transaction.hpp"

#include "korvex/connections/errors.hpp"
#include "korvex/connections/historical_base.hpp"
#include "korvex/error.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <mutex>

namespace korvex {
namespace {

std::shared_ptr<spdlog::logger> transaction_logger() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (auto logger = spdlog::get(Transaction::LOGGER_NAME)) return logger;
    return spdlog::stderr_color_mt(Transaction::LOGGER_NAME);
}

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

Transaction::Transaction(HistoricalConnectionBase& connection) : connection_(connection) { connection_.begin(); }

Transaction::~Transaction() {
    if (!open_) return;
    open_ = false;
    try {
        connection_.rollback();
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
    if (!open_) {
        throw UsageError(std::string(operation) + ": this transaction has already been committed or rolled back");
    }
    open_ = false;
}

void Transaction::commit() {
    close("commit");
    connection_.commit();
}

void Transaction::rollback() {
    close("rollback");
    connection_.rollback();
}

}  // namespace korvex
