#pragma once
// How one SQL engine writes the statements of the store core: names, markers, JSON paths and
// casts, NULL stand-ins, the metadata projection. Pure text: a dialect runs nothing (the store's
// driver does). One immutable instance per engine, shared by every connection of it.

#include "korvex/connections/sql_operator_template.hpp"
#include "korvex/value.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace korvex {

class SqlDialect {
public:
    virtual ~SqlDialect() = default;

    // Names.
    // A table or column name as a statement writes it, quoted; throws UsageError for a name the
    // engine could not hold as given (a NUL byte, over the engine's length limit).
    virtual std::string quote_name(const std::string& name) const = 0;
    // The longest name, in bytes, the engine keeps whole; 0 for no limit.
    virtual std::size_t identifier_max_bytes() const = 0;

    // Writing.
    // The table name as an INSERT writes it.
    virtual std::string insert_table_name(const std::string& table_name) const = 0;
    // Why the engine cannot store `given`, converted to `converted` for a column of `data_type`,
    // as given; nothing when it can.
    virtual std::optional<std::string> unstorable(const Value& given, const Value& converted,
                                                  const std::string& data_type) const = 0;
    // How errors name the engine ("the server", "SQLite").
    virtual const char* engine_noun() const = 0;

    // Reading.
    // A selected column's name as a read writes it (bare where the engine reads it so, quoted
    // otherwise).
    virtual std::string column_name(const std::string& name) const = 0;
    // What a versioned table (alias t1) is joined with for its metadata (alias t2): a table name
    // or a parenthesised sub-select.
    virtual std::string metadata_source() const = 0;
    // What joins each versioned row with the metadata of its own version (by default the row's
    // partition_key and range_key against the metadata's object_id and object_version).
    virtual std::string metadata_join_condition() const;
    // The projection that turns the joined metadata row into the _metadata object.
    virtual const std::string& metadata_select_field() const = 0;
    // The metadata column `name` of the joined row.
    virtual std::string metadata_column(const std::string& name) const;
    // The condition that keeps only versions without a successor: on the joined metadata row, or
    // (`joined` false) on the _metadata object of a row.
    virtual std::string latest_version_condition(bool joined) const = 0;
    // The plain-column metadata projection. Each versioned row (alias t1) is joined with one
    // metadata row of its own version (alias t2), so that no grouping is needed: when a version's
    // metadata was written more than once, one of those rows by a rule of the engine's that picks
    // the same row on every read. Its next_version is the least non-empty version among its
    // successors, else an empty one, else none. The join, from JOIN to the end of its condition.
    // An engine without it (reads_plain_metadata false) reads the metadata through the grouped
    // projection only, and need not write the plain members.
    virtual bool reads_plain_metadata() const { return true; }
    virtual std::string plain_metadata_join() const { return {}; }
    // The metadata column `name` of that joined row (next_version included).
    virtual std::string plain_metadata_column(const std::string& name) const { return metadata_column(name); }
    // The condition that keeps only versions without a successor whose version is non-empty
    // (which is what a next_version of NULL or '' means).
    virtual std::string plain_latest_version_condition() const { return {}; }
    // The join and the columns of a read whose every row passes that condition (it is a term of
    // the conditions' top-level AND). There next_version can only be '' (a successor of empty
    // version exists) or none, which an engine may find by one probe instead of an aggregate.
    // By default the same as any other plain read.
    virtual std::string plain_latest_metadata_join() const { return plain_metadata_join(); }
    virtual std::string plain_latest_metadata_column(const std::string& name) const {
        return plain_metadata_column(name);
    }
    // The direct join: each versioned row joined with every metadata row of its own version, so
    // that the engine may start from the metadata's index. Where a version has one metadata row
    // it reads exactly as the plain join; one with more shows once per row (the store then reads
    // with the plain join). Empty for an engine that does not use it. Its columns (next_version
    // simpler where `latest_only`) and the condition that keeps only versions without a successor
    // whose version is non-empty, both on the joined metadata row.
    virtual std::string direct_metadata_join() const { return {}; }
    virtual std::string direct_metadata_column(const std::string& name, bool latest_only) const {
        return latest_only ? plain_latest_metadata_column(name) : plain_metadata_column(name);
    }
    virtual std::string direct_latest_version_condition() const { return plain_latest_version_condition(); }
    // A real number of a metadata column as the _metadata object reads it.
    virtual Value plain_metadata_number(double number) const { return number; }
    // A column of a versioned table read without the metadata beside it, and its identity column.
    virtual std::string unjoined_model_column(const std::string& name) const = 0;
    virtual std::string unjoined_object_id() const = 0;
    // Whether a plain read of a versioned table that selects some fields selects its _metadata too.
    virtual bool selects_metadata_column() const = 0;
    // The value at `path` (steps joined by "__") below the JSON `column`, read as `value_type`.
    virtual std::string json_path_value(const std::string& column, const std::string& path,
                                        ValueType value_type) const = 0;
    // The parameter of a condition on a value below a JSON path, compared as `kind`.
    virtual ConditionParam json_path_param(ConditionParam param, ValueType kind) const;
    // The key that tells rows apart by `column` of type `data_type`; whether keys need the type
    // (the table is then described to find it).
    virtual std::string distinct_key(const std::string& column, const std::string& data_type) const = 0;
    virtual bool distinct_keys_by_type() const = 0;
    // The direction of an ordering item, with NULLs last ascending and first descending.
    virtual const char* order_direction(bool descending) const = 0;
    // `rows` keeping the first row of each group of equal `keys` in `order` (may be empty), and
    // how many columns that adds after the row's.
    virtual std::string first_of_each_group(const std::string& rows, const std::string& keys,
                                            const std::string& order) const = 0;
    virtual std::size_t group_rank_columns() const = 0;
    // A read over several tables: a NULL of `type`, the type of a name no table has, a branch's
    // own column as it is read (`column` written in full), one branch of the UNION ALL.
    virtual std::string null_of_type(const std::string& type) const = 0;
    virtual std::string unknown_column_type() const = 0;
    virtual std::string merged_column(const std::string& column) const { return column; }
    virtual std::string merged_branch(const std::string& rows) const = 0;
};

}  // namespace korvex
