#pragma once
// One family for every error this library raises on purpose: a host catches korvex::Error for
// "anything korvex raised", and a narrower kind where it can act on it.
//
//   Error
//   ├── UsageError             a call that cannot be carried out as asked (bad argument, wrong
//   │                          state such as commit with no open level); nothing was sent
//   ├── KorvexConnectionError  a connection operation failed; the client's error is its cause
//   ├── DatabaseError          the server or engine rejected a statement (SQLSTATE attached)
//   │   └── SqliteError
//   ├── ModuleLoadError        a plug-in module or one of its classes could not be loaded
//   ├── SparkConnectError, AnalysisException, IcebergSchemaChangeError  (the Iceberg store)

#include <stdexcept>

namespace korvex {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UsageError : public Error {
public:
    using Error::Error;
};

}  // namespace korvex
