#pragma once
// How Spark SQL writes the Iceberg store's statements. One instance per connection: the tables'
// catalog and namespace are part of every table name it writes.

#include "korvex/connections/sql_dialect.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvex::ice_history {

class SparkDialect : public SqlDialect {
public:
    // Where the tables live; the metadata source is written anew.
    void locate(const std::string& catalog, const std::string& namespace_name);
    // Reads of the metadata go to this ref of the table (a transaction's branch), or to main.
    void read_metadata_from(const std::optional<std::string>& branch);
    // catalog.namespace.table, each part bare where Spark reads it so, else backtick-quoted.
    std::string table_reference(const std::string& table_name) const;

    // Where a read statement names a table of this catalog and namespace at its main (its
    // reference followed by " AS ", not by a branch), outside literals and quoted names.
    struct TableMention {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::string table;
    };
    std::vector<TableMention> main_table_mentions(const std::string& text) const;
    // `text` with each mention of a table in `snapshots` read at that snapshot (VERSION AS OF),
    // or, for a table that had no snapshot then, as an empty relation of its columns.
    static std::string pin_snapshots(const std::string& text, const std::vector<TableMention>& mentions,
                                     const std::map<std::string, std::optional<std::int64_t>>& snapshots);

    // Backtick-quoted with backticks doubled; refused when empty or holding a NUL byte.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override { return 0; }

    // Writing.
    std::string insert_table_name(const std::string& table_name) const override { return table_reference(table_name); }
    // What a column of the Spark type `data_type` cannot hold as given.
    std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                          const std::string& data_type) const override;
    const char* engine_noun() const override { return "Spark"; }

    // Reading. The metadata is joined as one row per version, flattened from its address struct,
    // with the version that follows it (next_version) beside it.
    std::string column_name(const std::string& name) const override { return quote_name(name); }
    std::string metadata_source() const override { return metadata_source_; }
    const std::string& metadata_select_field() const override;
    std::string latest_version_condition(bool joined) const override;
    std::string unjoined_model_column(const std::string& name) const override { return quote_name(name); }
    std::string unjoined_object_id() const override;
    bool selects_metadata_column() const override { return false; }
    // The metadata comes back as one struct per row, which the client reads as a map already.
    bool reads_plain_metadata() const override { return false; }
    // Through Spark's variant: numbers as DOUBLE and booleans as BOOLEAN where the path holds
    // one (NULL otherwise), anything else as its text (a JSON text as it is, a number, boolean,
    // map or list in its JSON form, JSON null as NULL).
    std::string json_path_value(const std::string& column, const std::string& path,
                                ValueType value_type) const override;
    // A parameter compared with a text form travels as text, so that 9 finds the text "9".
    ConditionParam json_path_param(ConditionParam param, ValueType kind) const override;
    std::string distinct_key(const std::string& column, const std::string&) const override { return column; }
    bool distinct_keys_by_type() const override { return false; }
    // As PostgreSQL orders: NULLs last ascending, first descending.
    const char* order_direction(bool descending) const override {
        return descending ? " DESC NULLS FIRST" : " ASC NULLS LAST";
    }
    // Spark has no DISTINCT ON: the first row of each group by a window's row number.
    std::string first_of_each_group(const std::string& rows, const std::string& keys,
                                    const std::string& order) const override;
    std::size_t group_rank_columns() const override { return 1; }
    std::string null_of_type(const std::string& type) const override;
    std::string unknown_column_type() const override { return "STRING"; }
    std::string merged_branch(const std::string& rows) const override {
        return "SELECT * FROM (" + rows + ") AS merged_rows";
    }

private:
    std::string catalog_;
    std::string namespace_;
    std::optional<std::string> metadata_branch_;
    std::string metadata_source_;
    void write_metadata_source();
};

}  // namespace korvex::ice_history
