// PostgresHistoricalConnection: the pieces of the SELECT statements that join each versioned row
// with the metadata of its own version and aggregate that metadata into one _metadata object.

#include "korvex/connections/constants.hpp"
#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <iterator>

namespace korvex::pg_timeline {
namespace {

// Thirteen pieces with the metadata alias between each two.
std::string build_metadata_select_field() {
    static const char* const PIECES[] = {
        "\njson_build_object(\n    'next_version', json_agg(",
        ".\"next_version\")->0,\n    'address', json_agg(to_json(",
        ".address))->0,\n    'object_id', json_agg(",
        ".object_id)->0,\n    'object_version', json_agg(",
        ".object_version)->0,\n    'prior_version', json_agg(",
        ".prior_version)->0,\n    'class_schema_reference', json_agg(to_json(",
        ".class_schema_reference))->0,\n    'class_meta_schema_reference', json_agg(to_json(",
        ".class_meta_schema_reference))->0,\n    'class_schema_type', json_agg(",
        ".class_schema_type)->0,\n    'is_deleted', json_agg(",
        ".is_deleted)->0,\n    'created_at', json_agg(",
        ".created_at)->0,\n    'updated_at', json_agg(",
        ".updated_at)->0,\n    'transaction', json_agg(to_json(",
        ".\"transaction\"))->0\n) AS _metadata\n",
    };
    std::string field;
    for (std::size_t i = 0; i < std::size(PIECES); ++i) {
        if (i > 0) field += METADATA_TABLE_ALIAS;
        field += PIECES[i];
    }
    return field;
}

}  // namespace

const std::string METADATA_SELECT_STATEMENT =
    "\nSELECT\n"
    "  _m.*,\n"
    "  trim('\"' FROM (\n"
    "    SELECT cast(_m2.object_version as text)\n"
    "    FROM metadata as _m2\n"
    "    WHERE\n"
    "        _m.object_version = _m2.prior_version\n"
    "        AND\n"
    "        _m.object_id = _m2.object_id\n"
    "    LIMIT 1\n"
    "  )::text) as next_version\n"
    "FROM metadata as _m\n";

const std::string METADATA_SELECT_FIELD = build_metadata_select_field();

}  // namespace korvex::pg_timeline
