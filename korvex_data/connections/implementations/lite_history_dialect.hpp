#pragma once
// How SQLite writes the store's statements.

#include "korvex/connections/sql_dialect.hpp"

namespace korvex::lite_history {

class SqliteDialect : public SqlDialect {
public:
    // Double-quoted with quotes doubled; refused when empty or holding a NUL byte.
    std::string quote_name(const std::string& name) const override;
    std::size_t identifier_max_bytes() const override { return 0; }

    // Writing.
    // Quoted, as every name.
    std::string insert_table_name(const std::string& table_name) const override;
    // What SQLite would keep as another kind of value than the column's type holds (it keeps any
    // value in any column); a text may hold a NUL byte: SQLite keeps every byte of a bound text.
    std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                          const std::string& data_type) const override;
    const char* engine_noun() const override { return "SQLite"; }

    // Reading. The metadata table is joined as it is, the version that follows a row computed
    // where it is named (NEXT_VERSION_EXPRESSION); every column name is quoted.
    std::string column_name(const std::string& name) const override { return quote_name(name); }
    std::string metadata_source() const override { return "metadata"; }
    const std::string& metadata_select_field() const override;
    std::string metadata_column(const std::string& name) const override;
    std::string latest_version_condition(bool joined) const override;
    // The metadata row whose rowid a correlated sub-select picks (of duplicates, the one stored
    // last); its next_version computed beside it.
    std::string plain_metadata_join() const override;
    std::string plain_metadata_column(const std::string& name) const override;
    std::string plain_latest_metadata_column(const std::string& name) const override;
    std::string plain_latest_version_condition() const override;
    // No direct join: on SQLite it took more instructions per point read than the rowid pick.
    std::string unjoined_model_column(const std::string& name) const override { return quote_name(name); }
    std::string unjoined_object_id() const override;
    bool selects_metadata_column() const override { return false; }
    // Numbers as numbers (a path that holds no number reads as NULL), booleans as 1 and 0,
    // anything else as its text (a JSON text, number or boolean in its JSON form).
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
    // SQLite has no DISTINCT ON: the first row of each group by a window's row number.
    std::string first_of_each_group(const std::string& rows, const std::string& keys,
                                    const std::string& order) const override;
    std::size_t group_rank_columns() const override { return 1; }
    // A bare NULL; a branch's own column is read undecoded (unary plus) and decoded by its
    // table's declared type.
    std::string null_of_type(const std::string&) const override { return "NULL"; }
    std::string unknown_column_type() const override { return "TEXT"; }
    std::string merged_column(const std::string& column) const override { return "+" + column; }
    std::string merged_branch(const std::string& rows) const override { return "SELECT * FROM (" + rows + ")"; }
};

// The one instance every connection shares.
const SqliteDialect& sqlite_dialect();

}  // namespace korvex::lite_history
