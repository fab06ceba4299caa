// SqlHistoryConnectionMixin::_to_sql_value: the form in which a value is handed to the client
// as a statement parameter.

#include "korvex/connections/sql_history_connection_mixin.hpp"

#include "korvex/error.hpp"

namespace korvex {

// Maps and lists become JSON text (non-ASCII characters escaped as \uXXXX, so the text is the
// same whatever the client encoding); every other value is handed over unchanged.
Value SqlHistoryConnectionMixin::_to_sql_value(Value value) {
    if (value.is_object() || value.is_array()) {
        // The JSON writer would turn a NaN or an infinity into null without a word: refused.
        return json_text(value);
    }
    return value;
}

const Value& SqlHistoryConnectionMixin::sql_value_for(const Value& value, Value& room) {
    room = _to_sql_value(value);
    return room;
}

}  // namespace korvex
