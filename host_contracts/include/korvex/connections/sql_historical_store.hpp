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

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

    // Reading.

protected:
    // The driver: how the engine runs what the core builds.

private:
    const SqlDialect& dialect_;
};

}  // namespace korvex
