#pragma once
// Base of every table-schema service. The host supplies the connection, keeps it and outlives
// the service; the service only borrows it.

#include "korvex/error.hpp"
#include "korvex/connections/connection.hpp"
#include "korvex/models/address.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/object.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvex {

class TableSchemaServiceBase : public Object {
public:
    explicit TableSchemaServiceBase(Connection& connection) : connection_(&connection) {}

    // The connection as the concrete type the service needs; throws UsageError when the host
    // supplied another kind of connection.
    template <class C>
    C& connection_as() const {
        auto* typed = dynamic_cast<C*>(connection_);
        if (typed == nullptr) {
            throw UsageError("table-schema service: the connection is not of the kind this service needs");
        }
        return *typed;
    }
    Connection& connection() const { return *connection_; }

    // (table name, created) for the table of one class schema.
    virtual std::pair<std::string, bool> register_table(const TableSchema& table_schema) = 0;
    virtual void unregister_table(const Address& address) = 0;
    virtual std::string resolve_table_name(const Address& address) = 0;
    virtual void register_internal_tables() = 0;
    virtual void update_internal_table(const TableSchema& table_schema) = 0;

private:
    Connection* connection_;
};

// The table name rule the services share: the camel-cased class name, then "_v_" and the class
// version when there is one, all lower-cased by Unicode's full default case mapping (unicode_lower
// in korvex/utils/text.hpp: "Äpfel" -> "äpfel", "ΣΑΣ" -> "σας"); the transaction class keeps its
// bare name; LATEST becomes the class's newest version, asked of a fresh ClassVersionManager.
// Throws UsageError when the class name or version is not valid UTF-8.
std::string versioned_table_name(const Address& address);

// What a write to a class version whose table does not exist says, before anything is sent:
// the operation, the class version, the table looked for, and to register the class first.
std::string no_table_message(const std::string& operation, const Address& address, const std::string& table_name);

// The name the same rule gave while it lowered A to Z only ("Äpfel_v_1" for "äpfel_v_1"), when
// that differs from versioned_table_name; nullopt for every other name. Before creating a table,
// a service looks for a table of this name and, when there is one, throws
// former_table_name_error rather than make a second table beside it.
std::optional<std::string> former_table_name(const Address& address);

// Names both spellings and says what to do: rename the old table (or drop it).
UsageError former_table_name_error(const Address& address, const std::string& table_name,
                                   const std::string& former_name);

}  // namespace korvex
