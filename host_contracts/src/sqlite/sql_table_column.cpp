#include "korvex/error.hpp"
#include "korvex/sqlite/sql_table_column.hpp"

#include <array>
#include <stdexcept>
#include <string_view>

namespace korvex {
namespace {

constexpr std::array<std::string_view, 6> FIELD_NAMES = {"cid", "name", "type", "notnull", "dflt_value", "pk"};

[[noreturn]] void wrong_kind(const std::string& field, const char* expected, const Value& value) {
    throw UsageError("table column field " + field + " must be " + expected + ", got " + printed(value));
}

std::int64_t integer_field(const std::string& field, const Value& value) {
    if (!value.is_number_integer()) wrong_kind(field, "an integer", value);
    return value.get<std::int64_t>();
}

std::string text_field(const std::string& field, const Value& value) {
    if (!value.is_string()) wrong_kind(field, "a text", value);
    return value.get<std::string>();
}

bool flag_field(const std::string& field, const Value& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer() && (value.get<std::int64_t>() == 0 || value.get<std::int64_t>() == 1)) {
        return value.get<std::int64_t>() == 1;
    }
    wrong_kind(field, "0, 1 or a boolean", value);
}

}  // namespace

SqlTableColumn SqlTableColumn::from_fields(const Fields& fields) {
    SqlTableColumn column;
    std::array<bool, FIELD_NAMES.size()> seen{};
    for (const auto& [field, value] : fields) {
        std::size_t position = 0;
        while (position < FIELD_NAMES.size() && FIELD_NAMES[position] != field) ++position;
        if (position == FIELD_NAMES.size()) {
            throw UsageError("unknown table column field " + field);
        }
        if (seen[position]) {
            throw UsageError("table column field " + field + " given twice");
        }
        seen[position] = true;
        switch (position) {
            case 0: column.cid = integer_field(field, value); break;
            case 1: column.name = text_field(field, value); break;
            case 2: column.type = text_field(field, value); break;
            case 3: column.notnull = flag_field(field, value); break;
            case 4:
                if (!value.is_null()) column.dflt_value = text_field(field, value);
                break;
            case 5: column.pk = integer_field(field, value); break;
        }
    }
    for (std::size_t position = 0; position < FIELD_NAMES.size(); ++position) {
        if (!seen[position]) {
            throw UsageError("table column field " + std::string(FIELD_NAMES[position]) + " is missing");
        }
    }
    return column;
}

}  // namespace korvex
