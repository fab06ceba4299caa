#pragma once
// The SQL store core: what every historical connection on a SQL engine does alike, written once.
// It joins the three bases a SQL store is made of (the connection interface, the transaction
// levels with their revert log, the statement builders with the merged read) so that each
// operation has one implementation here; an engine adds its driver (how a statement runs) and
// its dialect (how a statement is written), and overrides only what truly differs.
//
// Calls no database library: the engine's plug-in does.

#include "korvex/connections/historical_base.hpp"
#include "korvex/connections/sql_dialect.hpp"
#include "korvex/connections/sql_merged_read_mixin.hpp"
#include "korvex/connections/transaction_levels_mixin.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex/utils/named_logger.hpp"

#include <array>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvex {

// What a SQL store is constructed with.
struct SqlStoreOptions {
    bool is_revert_supported = true;
};

// The options in a store's named construction arguments (is_revert_supported, a boolean).
// Throws UsageError, naming `class_name`, for anything else.
SqlStoreOptions parse_store_arguments(const std::string& class_name, const ConstructionArgs& args);

class SqlHistoricalStore : public SqlMergedReadMixin, public TransactionLevelsMixin, public HistoricalConnectionBase {
public:
    SqlHistoricalStore(const SqlDialect& dialect, SqlStoreOptions options)
        : TransactionLevelsMixin(options.is_revert_supported), dialect_(dialect) {}

    // The engine's way of writing statements.
    const SqlDialect& dialect() const { return dialect_; }

    // Transactions: the levels of TransactionLevelsMixin, one implementation for both bases.
    void begin() override { TransactionLevelsMixin::begin(); }
    void commit() override { TransactionLevelsMixin::commit(); }
    void rollback() override { TransactionLevelsMixin::rollback(); }
    void revert() override { TransactionLevelsMixin::revert(); }
    void on_transaction_complete() override { TransactionLevelsMixin::on_transaction_complete(); }
    std::optional<std::uint64_t> innermost_transaction_level() const override { return innermost_level(); }
    bool is_transaction_level_open(std::uint64_t level) const override { return is_level_open(level); }

    // A table or column name as the engine's statements write it (SqlDialect::quote_name).
    std::string _quote_name(const std::string& name) override { return dialect_.quote_name(name); }

    // Writing.
    // put, put_many and _delete as the SQL stores write them: every check before anything is
    // sent (the address, a map of data, the table and its names, each column's value as the
    // engine would store it), then the engine's write, then the record for revert.
    void put(const Address& address, const DataMap& data) override;
    // Writes every item as put would, all or nothing: when one fails, the call raises
    // KorvexConnectionError naming the item (its index and address), with the engine's error as
    // cause, and nothing of the call stays written or in the revert log. Items in a row that
    // write the same columns of one table share the INSERT text that _build_insert_statement
    // made for the first of them; the others' values are converted by process_value_before_insert
    // and _to_sql_value, as that builder converts them.
    void put_many(const std::vector<WriteItem>& items) override;
    void _delete(const Address& address) override;
    // The table's columns with their data types (empty for a missing table, which is read again
    // next time); a real description is kept until the engine says that tables changed.
    TableDescription _describe_table(const std::string& table_name) override;
    // INSERT INTO table ("a", "b") VALUES (%s, %s), the table written as the dialect writes it,
    // with the values through _to_sql_value.
    virtual Statement _build_insert_statement(const std::string& table_name, const DataMap& data);
    // The value a column of `data_type` takes for `value`.
    virtual Value process_value_before_insert(const Value& value, const std::string& data_type) = 0;
    // The same conversion, with no copy of a value taken as it is: `value` itself then, otherwise
    // `room` holding the converted value. By default process_value_before_insert's value, in
    // `room`; a store that answers here itself gives the same values from both.
    virtual const Value& value_for_insert(const Value& value, const std::string& data_type, Value& room);

    // The INSERT of one table and column list, kept for the rows that write the same columns: the
    // text _build_insert_statement made for the first of them, and what the driver derived from
    // it (a prepared statement, say), kept with it so as not to derive it again.
    struct InsertShape {
        std::string table_name;
        std::vector<std::string> columns;
        std::string text;
        std::shared_ptr<void> driver_state;
    };
    // put_many's INSERTs, row by row: one text per run of alike rows, with %s markers, and each
    // row's parameters; the items they write, for errors. row_shape gives each row's kept shape
    // (whose text is the row's text), or null when the builder's statement is not kept.
    struct InsertBatch {
        const std::vector<WriteItem>* items = nullptr;
        std::deque<std::string> texts;
        std::vector<const std::string*> row_text;
        std::vector<std::vector<Value>> row_params;
        // For a driver binding values where they lie (_binds_values_where_they_lie), each row's
        // values: the caller's taken as they are, or converted ones in `rooms` or row_params.
        std::vector<std::vector<const Value*>> row_values;
        std::deque<Value> rooms;
        std::vector<InsertShape*> row_shape;
        std::vector<std::shared_ptr<InsertShape>> shapes;
    };
    // Why an engine's batch failed: the item it refused (none when the batch as a whole failed),
    // the engine's error, whether that error says the item's table changed under this session
    // (the call is then tried once more with the tables described afresh), and whether the
    // item's table is to be described afresh before the next write.
    struct BatchFailure {
        std::optional<std::size_t> item;
        std::exception_ptr error;
        bool table_changed = false;
        bool forget_table = false;
    };

protected:
    // A write that passed the checks needing no statement: its table, the caller's data (which
    // must outlive it) and the key columns that the address gives.
    struct CheckedWrite {
        std::string table_name;
        const DataMap* data = nullptr;
        // The key columns the address gives, in statement order: each one's name, and its value,
        // which is the caller's (a metadata row's address entry) or, when `given` is null, this
        // write's own (the object id first, then the object version).
        struct Key {
            const std::string* name;
            const Value* given;
        };
        std::array<Key, 4> keys{};
        std::size_t key_count = 0;
        Value object_id;
        Value object_version;
        const std::string& key_name(std::size_t k) const { return *keys[k].name; }
        const Value& key_value_at(std::size_t k) const {
            return keys[k].given ? *keys[k].given : k == 0 ? object_id : object_version;
        }
        // The address's value for `column`, or null when the address gives none.
        const Value* key_value(const std::string& column) const;
    };
    // `table_name`, when given, is the address's table as resolved (and checked) for an earlier write.
    CheckedWrite check_write(const Address& address, const DataMap& data, const char* operation,
                             const std::string* table_name = nullptr);
    // The same, into `write`, whose texts' room is used again.
    void check_write(CheckedWrite& write, const Address& address, const DataMap& data, const char* operation,
                     const std::string* table_name = nullptr);
    // The row's keys that are columns of the table, in statement order, each converted by
    // process_value_before_insert and refused when the engine could not store it as given.
    std::vector<std::pair<std::string_view, Value>> stored_columns(
        const Address& address, const CheckedWrite& write, const char* operation,
        const std::shared_ptr<const TableDescription>& description);
    // The same, into `columns` (cleared first, its room kept).
    void stored_columns(const Address& address, const CheckedWrite& write, const char* operation,
                        const std::shared_ptr<const TableDescription>& description,
                        std::vector<std::pair<std::string_view, Value>>& columns);
    // The table's description as _describe_table gave it, kept; empty for a missing table. Shared,
    // so that it outlives a forgetting of the descriptions while a write uses it.
    std::shared_ptr<const TableDescription> described_table(const std::string& table_name);
    // Drops the kept descriptions: all, those the engine says may have changed, or one table's.
    // The read statements kept per shape are dropped with them.
    void forget_table_descriptions() {
        described_tables_.clear();
        forget_read_shapes();
    }
    void forget_changed_tables();
    void forget_table_description(const std::string& table_name) {
        described_tables_.erase(table_name);
        forget_read_shapes();
    }
    // Drops the read statements kept per shape. The core drops them whenever the tables may have
    // changed; a subclass whose statement builders depend on other state that changes calls it then.
    void forget_read_shapes() { read_shapes_.clear(); }
    // Fails when a level is open here but the engine has no transaction open (a COMMIT or
    // ROLLBACK sent through execute ended it): a write then would commit by itself.
    void require_engine_transaction(const char* operation);
    // Throws the KorvexConnectionError that says the table changed, with the engine's error as cause.
    [[noreturn]] static void report_changed_table(const std::string& operation, const std::string& table_name,
                                                  std::exception_ptr cause);

private:
    // A read statement as the builders made it for one shape of query (struct in the read source).
    struct ReadShape;
    std::shared_ptr<ReadShape> read_shape(const std::string& key, const std::string& table_name,
                                          const std::optional<QuerySpecifier>& query_specifier,
                                          const std::optional<Q>& conditions, const Pagination& pagination,
                                          const std::optional<std::vector<OrderBy>>& order_by,
                                          const std::vector<const Value*>& slots);
    // The statement the builders give for one shape, and which of its parameters a read binds.
    std::shared_ptr<ReadShape> build_read_shape(const std::string& table_name,
                                                const std::optional<QuerySpecifier>& query_specifier,
                                                const std::optional<Q>& conditions, const Pagination& pagination,
                                                const std::optional<std::vector<OrderBy>>& order_by,
                                                const std::vector<const Value*>& slots);
    // The kept read statements by shape key, and the one being run now.
    std::unordered_map<std::string, std::shared_ptr<ReadShape>> read_shapes_;
    ReadShape* reading_shape_ = nullptr;
    // Whether the statement builders are being asked for the store's own read of one table, which
    // takes the metadata as plain columns (the builders' plain overloads then ask for that scope).
    bool reading_plain_metadata_ = false;
    // Whether they are being asked for the direct join of the metadata (see ReadScope).
    bool reading_direct_metadata_ = false;
    // The row of a result whose metadata came as plain columns from `first`, as _metadata.
    Value plain_metadata(std::vector<Value>& row, std::size_t first) const;
    // The plain metadata columns of a joined selection.
    std::string plain_metadata_selection(const ReadScope& scope) const;

    // The kept INSERT for the table and these columns (the text _build_insert_statement made for
    // the first row writing them), or null when none is kept; keep_insert_shape keeps `text` as
    // theirs. A builder that binds anything but the row's values, one each, is not kept: it is
    // asked for every row.
    std::shared_ptr<InsertShape> kept_insert_shape(const std::string& table_name,
                                                   const std::vector<std::string_view>& columns);
    std::shared_ptr<InsertShape> keep_insert_shape(const std::string& table_name,
                                                   const std::vector<std::string_view>& columns,
                                                   const std::string& text);
    const std::string& insert_shape_key(const std::string& table_name, const std::vector<std::string_view>& columns);
    InsertBatch insert_batch(const std::vector<WriteItem>& items, const std::vector<CheckedWrite>& writes);

    // Table descriptions per table name, as _describe_table gave them.
    std::map<std::string, std::shared_ptr<const TableDescription>> described_tables_;
    // The kept INSERTs per table and column list, the last one found (rows in a row mostly write
    // the same columns), and the key being looked up.
    static constexpr std::size_t INSERT_TEXTS_KEPT = 256;
    std::unordered_map<std::string, std::shared_ptr<InsertShape>> insert_shapes_;
    std::shared_ptr<InsertShape> last_insert_shape_;
    std::string insert_key_;
    // Where the last written row's values went: the description it was made for, the data's keys
    // and the address's key columns as that row had them, and per stored column, in statement
    // order, its type and where its value is (the data's entry, the address's key column, or the
    // latter under the data's name). A row with the same keys for the same description is placed
    // by it, with no look-up of a column by name.
    static constexpr std::size_t NOT_GIVEN = static_cast<std::size_t>(-1);
    struct PlannedColumn {
        const std::string* type;
        std::size_t data_at;
        std::size_t key_at;
    };
    struct WritePlan {
        std::shared_ptr<const TableDescription> description;
        std::vector<std::string> data_keys;
        std::vector<std::string> address_keys;
        std::vector<PlannedColumn> columns;
    };
    WritePlan write_plan_;
    const WritePlan& write_plan(const CheckedWrite& write, const std::shared_ptr<const TableDescription>& description);
    // put's room for a row's columns, parameters and checked address (put_many's for its items'),
    // kept between calls, and the kept INSERT's statement, whose text takes each row's without
    // new room.
    std::vector<Value> put_params_;
    // put's row: the columns' names, their values (the caller's where taken as they are, else in
    // the room beside them, kept from row to row) and the values as bound.
    struct PutRow {
        std::vector<std::string_view> names;
        std::vector<const Value*> values;
        std::vector<Value> rooms;
    };
    PutRow put_row_;
    // put's row converted for `plan`'s columns; true when every value is in its room (none taken
    // as the caller gave it).
    bool convert_row(const Address& address, const CheckedWrite& write, const char* operation, const WritePlan& plan,
                     PutRow& row);
    CheckedWrite put_write_;
    std::vector<CheckedWrite> many_writes_;
    Statement kept_statement_;

public:
    // Reading.
    // The rows of the address's objects that meet `conditions`: one class-version table read by
    // its own statement, several by one statement over the union of their rows; the engine
    // orders and pages, collations included, and nothing is sorted again here. With no table to
    // read, a cursor paginator is only warned about (on the module logger); with one, it is
    // refused ("Cursor pagination is not supported").
    std::vector<DataMap> query(const Address& address,
                               const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                               const std::optional<Q>& conditions = std::nullopt,
                               const Pagination& pagination = {},
                               const std::optional<std::vector<OrderBy>>& order_by = std::nullopt) override;
    // How many rows query would return, counted in one statement over all tables.
    std::int64_t count(const Address& address, const std::optional<Q>& conditions = std::nullopt) override;
    // The rows of one table read with their metadata. Throws UsageError for a table name of none.
    virtual std::vector<DataMap> _query(const std::optional<std::string>& table_name,
                                        const std::optional<QuerySpecifier>& query_specifier,
                                        const std::optional<Q>& conditions, const Pagination& pagination,
                                        const std::optional<std::vector<OrderBy>>& order_by);
    // `items` paged in memory by a number paginator with both a limit and an offset; a cursor
    // paginator is warned about on `logger` and ignored.
    static std::vector<DataMap> _paginate_items(std::vector<DataMap> items, const Pagination& pagination,
                                                spdlog::logger& logger);

    // The read statements. A statement built for one table of a read over several is given that
    // table's ReadScope; the overloads without one build for a read of one table.
    Statement _build_select_statement(const std::string& table_name,
                                      const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                                      const std::optional<Q>& conditions = std::nullopt,
                                      const Pagination& pagination = {},
                                      const std::optional<std::vector<OrderBy>>& order_by = std::nullopt,
                                      bool use_internal_meta_tables = false) override;
    Statement _build_select_statement(const std::string& table_name,
                                      const std::optional<QuerySpecifier>& query_specifier,
                                      const std::optional<Q>& conditions, const Pagination& pagination,
                                      const std::optional<std::vector<OrderBy>>& order_by,
                                      bool use_internal_meta_tables, const ReadScope& scope) override;
    // The joined rows of _select_joined_rows, ordered and paged.
    virtual Statement _select_with_internal_meta_statement(const std::string& table_name,
                                                           const std::string& select_only,
                                                           const std::optional<Q>& conditions = std::nullopt,
                                                           const Pagination& pagination = {},
                                                           const std::optional<std::vector<OrderBy>>& order_by = std::nullopt);
    virtual Statement _select_with_internal_meta_statement(const std::string& table_name,
                                                           const std::string& select_only,
                                                           const std::optional<Q>& conditions,
                                                           const Pagination& pagination,
                                                           const std::optional<std::vector<OrderBy>>& order_by,
                                                           const ReadScope& scope);
    Statement _select_joined_rows(const std::string& table_name, const std::string& select_only,
                                  const std::optional<Q>& conditions,
                                  const std::optional<std::vector<OrderBy>>& order_by, const ReadScope& scope) override;
    // " GROUP BY t1.partition_key, t1.range_key" and every ordering expression.
    virtual std::string _build_group_by_statement(const std::optional<std::vector<OrderBy>>& order_by,
                                                  bool is_internal_table = false,
                                                  bool use_internal_meta_tables = false);
    virtual std::string _build_group_by_statement(const std::optional<std::vector<OrderBy>>& order_by,
                                                  bool is_internal_table, bool use_internal_meta_tables,
                                                  const ReadScope& scope);
    // " ORDER BY expression direction, ..." with the engine's directions; "" for no ordering.
    std::string _build_order_by_statement(const std::vector<OrderBy>& order_by, bool is_internal_table = false,
                                          bool use_internal_meta_tables = false) override;
    // `rows` (whose last columns are `distinct_count` distinct keys, then one ordering key per
    // `order_by` item) ordered by those keys and then `tiebreak`, keeping the first row of each
    // group of equal distinct keys, and paged. The result says how many helper columns it carries.
    Statement _order_rows(Statement rows, std::size_t distinct_count, const std::vector<OrderBy>& order_by,
                          const std::string& tiebreak, const Pagination& pagination) override;

    // Conditions and ordering expressions.
    std::pair<std::string, ConditionParam> _nested_filter_statement(
        const std::string& field_name, const std::string& nested_fields,
        const SqlOperatorTemplate& sql_operator_template, const Value& value, std::optional<ValueType> value_type,
        bool is_internal_table = false, bool use_internal_meta_tables = false) override;
    std::pair<std::string, ConditionParam> _nested_filter_statement(
        const std::string& field_name, const std::string& nested_fields,
        const SqlOperatorTemplate& sql_operator_template, const Value& value, std::optional<ValueType> value_type,
        bool is_internal_table, bool use_internal_meta_tables, const ReadScope& scope) override;
    // The SQL expression of a field below a column (a JSON path, or a part of the address or
    // metadata), read as `value_type`; empty when it cannot be filtered here.
    virtual std::string _resolve_nested_field_name(const std::string& field_name, const std::string& nested_fields,
                                                   ValueType value_type = ValueType::TEXT,
                                                   bool is_internal_table = false,
                                                   bool use_internal_meta_tables = false,
                                                   const ReadScope& scope = {});
    // What _resolve_nested_field_name returns, as `dialect` writes it.
    static std::string resolve_nested_field(const SqlDialect& dialect, const std::string& field_name,
                                            const std::string& nested_fields, ValueType value_type,
                                            bool is_internal_table, bool use_internal_meta_tables,
                                            const ReadScope& scope);
    std::string _order_by_expression(const std::string& field_name, bool is_internal_table,
                                     bool use_internal_meta_tables) override;
    std::string _order_by_expression(const std::string& field_name, bool is_internal_table,
                                     bool use_internal_meta_tables, const ReadScope& scope) override;

    // Reads over several class-version tables, as the dialect writes them.
    std::string _absent_column_stand_in(const std::string& type) override { return dialect_.null_of_type(type); }
    std::string _unknown_column_type() override { return dialect_.unknown_column_type(); }
    std::string _merged_column(const TableColumn& column, const ReadScope& scope) override;
    const std::string& _metadata_select_field() override { return dialect_.metadata_select_field(); }
    bool _merged_reads_plain_metadata() override { return dialect_.reads_plain_metadata(); }
    std::string _merged_metadata_selection(const ReadScope& scope) override;
    std::size_t _merged_metadata_width() override;
    Value _merged_metadata(std::vector<Value>& row, std::size_t first) override;
    std::string _merged_distinct_key(const TableColumn& column, const ReadScope& scope) override;
    std::string _merged_branch(const std::string& rows) override { return dialect_.merged_branch(rows); }

protected:
    // The driver: how the engine runs what the core builds.
    // Runs a read of query or count (by default through execute).
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override;
    // What the driver keeps for `statement` when it is the statement that query keeps for a shape
    // of read (the same text, with only its parameters bound anew, on every read of that shape),
    // being run now; null for any other statement. A driver may keep there what it derives from
    // the text (a prepared statement) so as not to derive it again; it is dropped with the shape.
    std::shared_ptr<void>* _read_shape_state(const Statement& statement);
    // The logger of the store's module, which query warns on.
    virtual std::shared_ptr<spdlog::logger> module_logger() const = 0;
    // Whether the engine has a transaction open; nothing while no connection is open.
    virtual std::optional<bool> _engine_transaction_open() const = 0;
    // Whether a table may have changed since the last call (the kept descriptions are then stale).
    virtual bool _tables_changed() = 0;
    // The table's columns with their data types, read from the engine; empty for a missing table.
    virtual TableDescription _read_table_description(const std::string& table_name) = 0;
    // Runs put's INSERT into `table_name` (execute, unless the engine reacts to its errors).
    virtual void _execute_insert(const std::string& table_name, const Statement& statement);
    // Runs put's INSERT of one row by its kept shape, `params` being the row's values through
    // _to_sql_value (a driver may bind them where they lie, or move them). By default
    // _execute_insert with the shape's text; a driver may keep what it derives from the text in
    // shape.driver_state.
    virtual void _execute_kept_insert(const std::string& table_name, InsertShape& shape, std::vector<Value>& params);
    // The same for a row of values put does not own (the caller's, taken as they are, or room of
    // its own), each through _to_sql_value or sql_value_for. By default they are copied for
    // _execute_kept_insert; a driver binding values where they lie runs them as they are.
    virtual void _execute_kept_insert_values(const std::string& table_name, InsertShape& shape,
                                             const std::vector<const Value*>& params);
    // Whether _write_batch binds each row's row_values where they lie (else it is given
    // row_params, values of its own).
    virtual bool _binds_values_where_they_lie() const { return false; }
    // Writes a batch of put_many all or nothing; nothing when every row was written.
    virtual std::optional<BatchFailure> _write_batch(const InsertBatch& batch) = 0;

private:
    const SqlDialect& dialect_;
};

}  // namespace korvex
