// SqlHistoryConnectionMixin::_to_sql_value: the form in which a value is handed to the client
// as a statement parameter.

#include "korvex/connections/sql_history_connection_mixin.hpp"

namespace korvex {

// Maps and lists become JSON text (non-ASCII characters escaped as \uXXXX, so the text is the
// same whatever the client encoding); every other value is handed over unchanged.
Value SqlHistoryConnectionMixin::_to_sql_value(const Value& value) {
    if (value.is_object() || value.is_array()) {
        return value.dump(-1, ' ', true);
    }
    return value;
}

}  // namespace korvex
