// SqliteHistoricalConnection: the look-up operators as SQLite predicates.

#include "korvex/connections/common_sql_operators.hpp"
#include "korvex/utils/text.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"


namespace korvex::lite_history {
namespace {

ConditionParam plain_text(const Value& value) { return Value(text_form(value)); }
ConditionParam upper_text(const Value& value) { return Value(unicode_upper(text_form(value))); }

// The LIKE family compares text forms literally (no character is a wildcard) and, unlike
// SQLite's LIKE, with regard to case; the I-variants compare Unicode upper case on both sides.
// The ends-with test names its parameter once, through a one-row sub-select.
const char* const ENDS_WITH =
    "(SELECT substr({field}, length({field}) - length(korvex_v) + 1) = korvex_v FROM (SELECT %s AS korvex_v))";

std::string ends_with(const std::string& field) {
    std::string text = ENDS_WITH;
    for (std::size_t at = text.find("{field}"); at != std::string::npos; at = text.find("{field}", at + field.size())) {
        text.replace(at, 7, field);
    }
    return text;
}

OperatorMap build_operator_map() {
    // A boolean compares null-safely, as PostgreSQL's IS NOT DISTINCT FROM does.
    OperatorMap map = common_sql_operators("IS", "IS NOT");
    map[Lookup::CONTAINS] = {std::string("instr({field_name}, %s) > 0"), std::nullopt, plain_text};
    map[Lookup::ICONTAINS] = {std::string("instr(korvex_upper({field_name}), %s) > 0"), std::nullopt, upper_text};
    map[Lookup::STARTSWITH] = {std::string("instr({field_name}, %s) = 1"), std::nullopt, plain_text};
    map[Lookup::ISTARTSWITH] = {std::string("instr(korvex_upper({field_name}), %s) = 1"), std::nullopt, upper_text};
    map[Lookup::ENDSWITH] = {ends_with("{field_name}"), std::nullopt, plain_text};
    map[Lookup::IENDSWITH] = {ends_with("korvex_upper({field_name})"), std::nullopt, upper_text};
    return map;
}

}  // namespace

const OperatorMap sql_operator_map = build_operator_map();

}  // namespace korvex::lite_history
