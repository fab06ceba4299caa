#pragma once
// Pure helpers of pg_timeline: how connection parameters reach libpq, how %s markers and
// parameter values become libpq's positional text parameters, and how result fields are
// decoded. No I/O; exported so that the unit tests can pin them.

#include "korvex/connections/historical_base.hpp"
#include "korvex/value.hpp"

#include <array>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvex::pg_timeline::detail {

// The environment defaults with the caller's named parameters laid over them: a caller's
// parameter replaces the default of the same name, other caller parameters are added.
ConnectionParameters overlay_parameters(ConnectionParameters defaults, const ConnectionParameters& named);

// The keyword/value pairs handed to PQconnectdbParams, in order. libpq applies them from first
// to last, a later value of a keyword replacing an earlier one:
//   1. client_encoding=UTF8, because every text of a Value is UTF-8 (the dsn and the named
//      parameters may still override it);
//   2. the dsn, when given, as the first "dbname" entry, which libpq expands into its
//      parameters (expand_dbname) when it is a connection string;
//   3. the named parameters, "database" renamed to libpq's keyword "dbname".
struct ConnectKeywords {
    std::vector<std::pair<std::string, std::string>> entries;
    bool expand_dbname = false;
};
ConnectKeywords connect_keywords(const std::optional<std::string>& dsn, const ConnectionParameters& parameters);

// The statement with its %s markers numbered $1, $2, ... in order, "%%" written as "%"; any
// other '%' is kept. Returns the text and the number of markers.
std::pair<std::string, std::size_t> number_markers(const std::string& query);

// A parameter value as libpq's text format: none for null (SQL NULL); "true"/"false"; the
// decimal form of a number ("NaN", "Infinity", "-Infinity" for the special floats); a text as
// it is; a map or list as JSON text with non-ASCII characters escaped.
std::optional<std::string> parameter_text(const Value& value);
// The number of %s markers in `query`, as number_markers counts them.
std::size_t count_markers(const std::string& query);
// libpq's text of a parameter, or null for SQL NULL: a text points into `value` itself, anything
// made goes to `made`.
const char* parameter_chars(const Value& value, std::deque<std::string>& made);
// Returned by append_parameter_chars for a text it made.
inline const char* const MADE_PARAMETER = "";
// The same decision in one growing buffer: null for SQL NULL, a text's own characters, or
// MADE_PARAMETER once the made text and its terminator are appended to `made`.
const char* append_parameter_chars(const Value& value, std::string& made);
// The decimal digits of an integer value (signed or unsigned), written into `digits`.
std::string_view integer_chars(const Value& value, std::array<char, 24>& digits);

// libpq's text parameters of one statement, made into buffers kept from one statement to the
// next: a text points into its Value, anything made (numbers, JSON) into one shared buffer.
class ParameterValues {
public:
    // The parameters as parameter_chars gives them, valid until the next bind or until `params`
    // changes.
    const std::vector<const char*>& bind(const std::vector<Value>& params);

private:
    std::string made_;
    std::vector<std::size_t> made_at_;  // per parameter: where its text starts in made_, or NOT_MADE
    std::vector<const char*> values_;
};

// A result field (not NULL) decoded by its column type OID: json and jsonb parsed, booleans,
// 2/4/8-byte integers, float4/float8 as floats, numeric as an integer when it is integral and
// fits 64 bits and as a float otherwise; every other type as its text.
Value decode_field(const char* text, std::size_t length, unsigned type_oid);

}  // namespace korvex::pg_timeline::detail
