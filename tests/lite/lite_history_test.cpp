// SqliteHistoricalConnection on its own: opening, the metadata indexes of the latest-version
// read and the plan SQLite makes of it, the statement forms SQLite needs, and values SQLite
// keeps where PostgreSQL could not. What a host sees of writes and reads is pinned for both
// stores by the behaviour suite.

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"
#include "temp_database.hpp"

#include <gtest/gtest.h>

#include <tuple>

using namespace korvex;
using korvex::lite_history::SqliteHistoricalConnection;

namespace {

std::vector<std::string> texts(const std::shared_ptr<Cursor>& cursor) {
    std::vector<std::string> result;
    for (const auto& row : cursor->fetchall()) result.push_back(row.at(0).is_string() ? row.at(0).get<std::string>() : row.at(0).dump());
    return result;
}

}  // namespace

TEST(LiteHistoryConnect, RefusesNoPathUnknownParametersAndASecondConnect) {
    SqliteHistoricalConnection store;
    EXPECT_THROW(store.connect(), UsageError);
    EXPECT_THROW(store.connect(""), UsageError);
    EXPECT_THROW(store.connect(":memory:", {{"user", "x"}}), UsageError);
    EXPECT_THROW(store.connect(":memory:", {{"busy_timeout_ms", "soon"}}), UsageError);
    EXPECT_THROW(store.execute("SELECT 1"), KorvexConnectionError);
    EXPECT_THROW(store.table_schema_manager(), KorvexConnectionError);
    store.connect(":memory:", {{"busy_timeout_ms", "10"}});
    EXPECT_THROW(store.connect(":memory:"), KorvexConnectionError);
    EXPECT_EQ(store.execute("SELECT %s || '%%'", {"5"})->fetchall(), (std::vector<Row>{{"5%"}}));
    store.disconnect();
    EXPECT_THROW(store.disconnect(), KorvexConnectionError);
}

TEST(LiteHistoryModule, LoadsByModulePathWithItsTables) {
    const Module& module = import_module(lite_history::MODULE_PATH);
    auto store = module.create<HistoricalConnectionBase>("SqliteHistoricalConnection",
                                                         ConstructionArgs{{{"is_revert_supported", false}}, nullptr});
    store->connect(":memory:");
    store->prepare_connection();
    EXPECT_EQ(store->execute("SELECT count(*) FROM metadata")->fetchall(), (std::vector<Row>{{0}}));
    EXPECT_EQ(&module.attribute<const OperatorMap*>("sql_operator_map")->at(Lookup::EQ),
              &lite_history::sql_operator_map.at(Lookup::EQ));
    EXPECT_THROW(module.create<HistoricalConnectionBase>("SqliteHistoricalConnection",
                                                         ConstructionArgs{{{"is_revert_supported", 1}}, nullptr}),
                 UsageError);
}

// The join finds each version's metadata row and the version that follows it through indexes,
// so a point read costs the same however many versions the store holds.
TEST(LiteHistoryPrepare, AddsTheMetadataIndexesOnceAndTheLatestReadSearchesThem) {
    TempDatabase file;
    SqliteHistoricalConnection store;
    store.connect(file.path());
    store.prepare_connection();
    store.prepare_connection();
    EXPECT_EQ(texts(store.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'metadata' "
                                  "AND sql IS NOT NULL ORDER BY name")),
              (std::vector<std::string>{"metadata__is_deleted_idx", "metadata__object_id_idx",
                                        "metadata__object_id_object_version_idx", "metadata__object_id_prior_version_idx",
                                        "metadata__object_version_idx", "metadata__prior_version_idx",
                                        "metadata__updated_at_idx"}));
    store.table_schema_manager()->register_table({Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}});
    const Statement read = store._build_select_statement(
        "person", std::nullopt, Q("_address__object_id", Lookup::EQ, "p") & Q("_address__object_version", Lookup::EQ, "LATEST"),
        {}, std::nullopt, true);
    std::string plan;
    for (const auto& row : store.execute("EXPLAIN QUERY PLAN " + read.text, read.params)->fetchall()) {
        plan += row.at(3).get<std::string>() + "\n";
    }
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;  // no table is read whole
    // The successor's version comes from the index, not from the table's row.
    EXPECT_NE(plan.find("COVERING INDEX metadata__object_id_prior_version_idx (object_id=? AND prior_version=?)"),
              std::string::npos)
        << plan;
}

TEST(LiteHistoryStatements, MarkersNamesAndPaths) {
    EXPECT_EQ(lite_history::question_markers("a = %s AND b LIKE '5%%' OR c = %d"),
              (std::pair<std::string, std::size_t>{"a = ? AND b LIKE '5%' OR c = %d", 1}));
    SqliteHistoricalConnection store;
    EXPECT_EQ(store._quote_name("a\"b%"), "\"a\"\"b%%\"");
    EXPECT_THROW(store._quote_name(std::string("a\0b", 3)), UsageError);
    // SQLite's JSON path has no escape for a double quote inside a key.
    EXPECT_THROW(store._resolve_nested_field_name("doc", "a\"b"), UsageError);
    EXPECT_EQ(store._resolve_nested_field_name("doc", "a__b'c", ValueType::INTEGER, false, true),
              R"(iif(json_type(t1."doc", '$."a"."b''c"') IN ('integer', 'real'), t1."doc" ->> '$."a"."b''c"', NULL))");
    EXPECT_EQ(store._build_order_by_statement({{"name"}, {"age", true}}),
              R"( ORDER BY "name" ASC NULLS LAST, "age" DESC NULLS FIRST)");
    EXPECT_EQ(lite_history::decode_stored("[1]", "JSON"), Value::parse("[1]"));
    EXPECT_EQ(lite_history::decode_stored(1, "BOOLEAN"), Value(true));
    EXPECT_EQ(lite_history::decode_stored("[1]", "TEXT"), Value("[1]"));
}

// SQLite keeps every byte of a bound text, so a NUL inside a value is stored, not refused.
TEST(LiteHistoryValues, TextWithANulByteIsKeptWhole) {
    SqliteHistoricalConnection store;
    store.connect(":memory:");
    store.prepare_connection();
    store.table_schema_manager()->register_table({Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}});
    const std::string text("a\0b", 3);
    store.begin();
    store.put(Address::from_string("app#Person/p@1"), {{"name", text}});
    store.commit();
    EXPECT_EQ(store.execute("SELECT name FROM person")->fetchall(), (std::vector<Row>{{text}}));
}

// A file is switched to the write-ahead log, so that a reader in another connection does not hold
// up a commit; kept in its own journal mode on request, where a reader does.
TEST(LiteHistoryConnect, FilesUseTheWriteAheadLogUnlessTheirJournalModeIsKept) {
    const std::vector<std::tuple<ConnectionParameters, std::string, int>> cases = {
        {{}, "wal", 2},
        {{{"synchronous", "normal"}}, "wal", 1},
        {{{"keep_journal_mode", "true"}, {"synchronous", "FULL"}}, "delete", 2},
    };
    for (const auto& [parameters, journal_mode, synchronous] : cases) {
        TempDatabase file;
        SqliteHistoricalConnection store;
        ConnectionParameters with_no_wait = parameters;
        with_no_wait.emplace("busy_timeout_ms", "0");
        store.connect(file.path(), with_no_wait);
        EXPECT_EQ(texts(store.execute("PRAGMA journal_mode")), std::vector<std::string>{journal_mode});
        EXPECT_EQ(store.execute("PRAGMA synchronous")->fetchall(), (std::vector<Row>{{synchronous}}));
        store.table_schema_manager()->register_table({Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}});
        store.begin();
        store.put(Address::from_string("app#Person/a@1"), {{"name", "A"}});
        SqliteStateConnection reader(file.path(), {.busy_timeout_ms = 0, .keep_journal_mode = true});
        reader.execute("BEGIN");
        reader.execute("SELECT count(*) FROM person")->fetchall();
        if (journal_mode == "wal") {
            EXPECT_NO_THROW(store.commit());
        } else {
            EXPECT_THROW(store.commit(), KorvexConnectionError);
        }
    }
    SqliteHistoricalConnection store;
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"synchronous", "OFF"}, {"keep_journal_mode", "yes"}}) {
        EXPECT_THROW(store.connect(":memory:", {{name, value}}), UsageError) << name;
    }
    store.connect(":memory:");
    EXPECT_EQ(texts(store.execute("PRAGMA journal_mode")), std::vector<std::string>{"memory"});
}

// Outside a transaction put_many's savepoint opens one; when its commit fails (a reader holds
// the lock of a file kept in its rollback journal) nothing is written and no transaction stays
// open for the next statements to join.
TEST(LiteHistoryPutMany, AFailedCommitOutsideATransactionLeavesNoneOpen) {
    TempDatabase file;
    SqliteHistoricalConnection store({.is_revert_supported = false});
    store.connect(file.path(), {{"busy_timeout_ms", "0"}, {"keep_journal_mode", "true"}});
    store.prepare_connection();
    store.table_schema_manager()->register_table({Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}});
    const std::vector<WriteItem> items = {{Address::from_string("app#Person/a@1"), {{"name", "A"}}},
                                          {Address::from_string("app#Person/b@1"), {{"name", "B"}}}};
    {
        SqliteStateConnection reader(file.path(), {.keep_journal_mode = true});
        reader.execute("BEGIN");
        reader.execute("SELECT count(*) FROM person")->fetchall();
        EXPECT_THROW(store.put_many(items), KorvexConnectionError);
        EXPECT_FALSE(store.sqlite_connection()->in_transaction());
    }
    EXPECT_EQ(texts(store.execute("SELECT count(*) FROM person")), std::vector<std::string>{"0"});
    store.put_many(items);
    EXPECT_EQ(texts(SqliteStateConnection(file.path()).execute("SELECT count(*) FROM person")),
              std::vector<std::string>{"2"});
}

// A COMMIT SQLite could not make (a reader holds the lock of a file kept in its rollback
// journal) leaves SQLite's transaction open; the store ends it, as PostgreSQL ends a failed
// COMMIT, so the next transaction starts clean.
TEST(LiteHistoryTransactions, AFailedCommitEndsTheTransaction) {
    TempDatabase file;
    SqliteHistoricalConnection store;
    store.connect(file.path(), {{"busy_timeout_ms", "0"}, {"keep_journal_mode", "true"}});
    store.prepare_connection();
    store.table_schema_manager()->register_table({Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}});
    store.begin();
    store.put(Address::from_string("app#Person/a@1"), {{"name", "A"}});
    {
        SqliteStateConnection reader(file.path(), {.keep_journal_mode = true});
        reader.execute("BEGIN");
        reader.execute("SELECT count(*) FROM person")->fetchall();
        EXPECT_THROW(store.commit(), KorvexConnectionError);
    }
    EXPECT_FALSE(store.sqlite_connection()->in_transaction());
    EXPECT_TRUE(store.revert_data().empty());
    store.begin();
    store.put(Address::from_string("app#Person/b@1"), {{"name", "B"}});
    store.commit();
    EXPECT_EQ(texts(SqliteStateConnection(file.path()).execute("SELECT partition_key FROM person")),
              std::vector<std::string>{"b"});
}

// Another connection makes the table again with a column named like a metadata field: the next
// read orders by that column, not by the statement kept for the old columns.
TEST(LiteHistoryRead, AReadAfterAnotherConnectionMadeItsTableAgainUsesTheNewColumns) {
    TempDatabase file;
    ClassVersionManager::register_class_version("Person", "1");
    const Address person = Address::from_string("app#Person@1");
    SqliteHistoricalConnection reader;
    SqliteHistoricalConnection writer;
    reader.connect(file.path());
    writer.connect(file.path());
    writer.prepare_connection();
    int clock = 0;  // the metadata's updated_at
    // Objects by id, each with its data.
    const auto write = [&](const std::vector<TableColumnSchema>& columns,
                           const std::vector<std::pair<std::string, DataMap>>& objects) {
        writer.table_schema_manager()->unregister_table(person);
        writer.table_schema_manager()->register_table({person, columns, {}, {}});
        writer.begin();
        for (const auto& [id, data] : objects) {
            const Address address = Address::from_string("app#Person@1/" + id + "@1");
            writer.put(address, data);
            writer.put(Address::from_string("resource#Metadata/" + id + ":1"),
                       {{"address", address.to_value()}, {"updated_at", ++clock}});
        }
        writer.commit();
    };
    const auto names = [&] {
        std::vector<std::string> result;
        const Q latest("_address__object_version", Lookup::EQ, "LATEST");
        for (const auto& row : reader.query(person, std::nullopt, latest, {}, std::vector<OrderBy>{{"updated_at"}})) {
            result.push_back(row.at("name").get<std::string>());
        }
        return result;
    };
    write({{"name", ValueKind::TEXT}}, {{"a", {{"name", "A"}}}, {"b", {{"name", "B"}}}});
    // Twice: the second read runs the statement kept for its shape.
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B"}));
    write({{"name", ValueKind::TEXT}, {"updated_at", ValueKind::INTEGER}},
          {{"c", {{"name", "C"}, {"updated_at", 2}}}, {"d", {{"name", "D"}, {"updated_at", 1}}}});
    EXPECT_EQ(names(), (std::vector<std::string>{"D", "C"}));
    ClassVersionManager::clear();
}
