#pragma once
// How PostgreSQL writes the store's statements.

#include "korvex/connections/sql_dialect.hpp"

namespace korvex::pg_timeline {

class PostgresDialect : public SqlDialect {
public:
    // Double-quoted, and refused when PostgreSQL would cut it (over 63 bytes) or cannot hold it.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override;

    // Writing.
    // A plain lower-case name bare, any other quoted.
    std::string insert_table_name(const std::string& table_name) const override;
    // Text with a NUL byte or not UTF-8; a map or list with a NaN, an infinity or such text.
    std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                          const std::string& data_type) const override;
    const char* engine_noun() const override { return "the server"; }

    // Reading. The metadata is joined as METADATA_SELECT_STATEMENT (each row with the version that
    // follows it) and aggregated by METADATA_SELECT_FIELD; a selected column is bare when it is a
    // plain name.
    std::string column_name(const std::string& name) const override;
    std::string metadata_source() const override;
    const std::string& metadata_select_field() const override;
    std::string latest_version_condition(bool joined) const override;
    // A LATERAL sub-select of one metadata row (of duplicates, the greatest updated_at, then the
    // greatest created_at, then the least by its other columns), with its next_version (a
    // successor's version without surrounding double quotes, as the grouped projection reads it).
    std::string plain_metadata_join() const override;
    std::string plain_latest_metadata_join() const override;
    std::string plain_latest_version_condition() const override;
    // A plain join on the version, next_version a sub-select of the joined row's successors.
    std::string direct_metadata_join() const override;
    std::string direct_metadata_column(const std::string& name, bool latest_only) const override;
    std::string direct_latest_version_condition() const override;
    // As the server's JSON writes a double: a whole number below 1e15 without a fraction (so an
    // integer), NaN and the infinities as texts.
    Value plain_metadata_number(double number) const override;
    std::string unjoined_model_column(const std::string& name) const override;
    std::string unjoined_object_id() const override;
    bool selects_metadata_column() const override { return true; }
    // Numbers compare as numeric and booleans as boolean, only where the path holds a JSON number
    // or boolean (anything else there matches nothing); everything else as the path's text.
    std::string json_path_value(const std::string& column, const std::string& path,
                                ValueType value_type) const override;
    // json has no equality: its rows are told apart by their JSON text, as the SQLite store does.
    std::string distinct_key(const std::string& column, const std::string& data_type) const override;
    bool distinct_keys_by_type() const override { return true; }
    const char* order_direction(bool descending) const override { return descending ? " DESC" : " ASC"; }
    // DISTINCT ON.
    std::string first_of_each_group(const std::string& rows, const std::string& keys,
                                    const std::string& order) const override;
    std::size_t group_rank_columns() const override { return 0; }
    // A NULL cast to the column's type (format_type's name); an unknown type is text.
    std::string null_of_type(const std::string& type) const override { return "NULL::" + type; }
    std::string unknown_column_type() const override { return "text"; }
    std::string merged_branch(const std::string& rows) const override { return "(" + rows + ")"; }
};

// The one instance every connection shares.
const PostgresDialect& postgres_dialect();

}  // namespace korvex::pg_timeline
