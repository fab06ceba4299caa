#pragma once
// Spark's analysis error: raised when Spark cannot analyse a statement or plan, for example
// because a table or column does not exist. The message is Spark's own text, unchanged, such as
// "[TABLE_OR_VIEW_NOT_FOUND] The table or view `korvex`.`db`.`t` cannot be found. ...".
//
// It comes in two forms, caught together through the base: ConnectAnalysisException, raised by
// a Spark Connect client, and CapturedAnalysisException, raised by a classic Spark session.

#include "korvex/error.hpp"
#include <stdexcept>
#include <string>

namespace korvex {

class AnalysisException : public Error {
public:
    // `error_class` and `sql_state` are Spark's condition name (TABLE_OR_VIEW_NOT_FOUND) and
    // SQLSTATE (42P01) when Spark reports them, else empty.
    explicit AnalysisException(const std::string& message, std::string error_class = {}, std::string sql_state = {});
    ~AnalysisException() override;

    const std::string& error_class() const { return error_class_; }
    const std::string& sql_state() const { return sql_state_; }

private:
    std::string error_class_;
    std::string sql_state_;
};

// Spark's AnalysisException as a Spark Connect client raises it.
class ConnectAnalysisException : public AnalysisException {
public:
    using AnalysisException::AnalysisException;
    ~ConnectAnalysisException() override;
};

// Spark's AnalysisException as a classic Spark session raises it.
class CapturedAnalysisException : public AnalysisException {
public:
    using AnalysisException::AnalysisException;
    ~CapturedAnalysisException() override;
};

}  // namespace korvex
