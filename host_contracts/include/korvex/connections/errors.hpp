#pragma once
// Errors a connection raises with a fixed message. The client's own error, when there is one,
// is attached as the nested exception (std::throw_with_nested), reachable through cause().

#include "korvex/error.hpp"
#include <exception>
#include <stdexcept>
#include <string>

namespace korvex {

class KorvexConnectionError : public Error {
public:
    explicit KorvexConnectionError(const std::string& message) : Error(message) {}
};

// The nested cause of an error thrown with std::throw_with_nested, or null.
std::exception_ptr cause_of(const std::exception& error);

// Thrown by a client library for a statement the server rejected: the server's message and,
// where the client reports one, the SQLSTATE.
class DatabaseError : public Error {
public:
    DatabaseError(const std::string& message, std::string sqlstate = {})
        : Error(message), sqlstate_(std::move(sqlstate)) {}
    const std::string& sqlstate() const { return sqlstate_; }

private:
    std::string sqlstate_;
};

}  // namespace korvex
