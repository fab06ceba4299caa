// Reads run as prepared statements: a table changed by another session between two reads (a column
// added or dropped, a column's type changed, the table dropped and made again with other column
// types) reads exactly as a fresh statement would, inside and outside a transaction, and a
// transaction around the read stays usable.

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/constants.hpp"
#include "pg_fixture.hpp"

#include <algorithm>

using namespace korvex;
using korvex::testing::PgTestDatabase;

namespace {

const char* const CREATE_TABLE_WITH_OTHER_TYPES =
    "DROP TABLE person_v_1; CREATE TABLE person_v_1 (partition_key text NOT NULL, range_key text NOT NULL,"
    " name text, age double precision, score bigint, PRIMARY KEY (partition_key, range_key));"
    " INSERT INTO person_v_1 VALUES ('p1', '1', 'Ann', 7, 2)";

struct TableChange {
    const char* name;
    const char* statement;
    // The row p1@1 reads as after the change, without its metadata: columns, values and kinds.
    const char* row_after;
};

const TableChange CHANGES[] = {
    {"a column added", "ALTER TABLE person_v_1 ADD COLUMN extra text DEFAULT 'x'",
     R"({"partition_key":"p1","range_key":"1","name":"Ann","age":7,"score":2.0,"extra":"x"})"},
    {"a column dropped", "ALTER TABLE person_v_1 DROP COLUMN age",
     R"({"partition_key":"p1","range_key":"1","name":"Ann","score":2.0})"},
    {"a column's type changed", "ALTER TABLE person_v_1 ALTER COLUMN age TYPE double precision",
     R"({"partition_key":"p1","range_key":"1","name":"Ann","age":7.0,"score":2.0})"},
    {"the table made again with other column types", CREATE_TABLE_WITH_OTHER_TYPES,
     R"({"partition_key":"p1","range_key":"1","name":"Ann","age":7.0,"score":2})"},
};

struct PreparedRead : ::testing::TestWithParam<bool> {
    void SetUp() override {
        ClassVersionManager::clear();
        ClassVersionManager::register_class_version("Person", "1");
        connection.connect(std::nullopt, db.parameters());
        connection.prepare_connection();
        TableSchema schema{Address::from_string("app#Person@1"),
                           {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"score", ValueKind::FLOAT}},
                           {},
                           {}};
        connection.table_schema_manager()->register_table(schema);
        connection.put(Address::from_string("app#Person@1/p1@1"), {{"name", "Ann"}, {"age", 7}, {"score", 2.0}});
        connection.put(Address::from_string("resource#Metadata/p1:1"),
                       {{"address", {{"object_id", "p1"}, {"object_version", "1"}}}, {"is_deleted", false}});
    }
    void TearDown() override { ClassVersionManager::clear(); }

    // The latest version of p1 without its metadata, as the store reads it.
    std::string read_p1() {
        auto items = connection.query(Address::from_string("app#Person@1/p1@LATEST"));
        if (items.size() != 1) return "rows: " + std::to_string(items.size());
        EXPECT_EQ(items[0].at(METADATA_FIELD).at("object_version"), "1");
        items[0].erase(METADATA_FIELD);
        return items[0].dump();
    }

    PgTestDatabase db;
    pg_timeline::PostgresHistoricalConnection connection{pg_timeline::ConnectionOptions{false}};
};

}  // namespace

TEST_P(PreparedRead, ATableChangedByAnotherSessionReadsAsAFreshStatementWould) {
    const bool in_transaction = GetParam();
    for (const auto& change : CHANGES) {
        SCOPED_TRACE(change.name);
        const std::string writer_id = "w" + std::to_string(&change - CHANGES);
        db.sql("DROP TABLE IF EXISTS person_v_1; CREATE TABLE person_v_1 (partition_key text NOT NULL,"
               " range_key text NOT NULL, name text, age bigint, score double precision,"
               " PRIMARY KEY (partition_key, range_key)); INSERT INTO person_v_1 VALUES ('p1', '1', 'Ann', 7, 2)");
        EXPECT_EQ(read_p1(), R"({"partition_key":"p1","range_key":"1","name":"Ann","age":7,"score":2.0})");
        EXPECT_EQ(connection.count(Address::from_string("app#Person@1/p1@LATEST")), 1);
        if (in_transaction) connection.begin();
        db.sql(change.statement);
        EXPECT_EQ(read_p1(), DataMap::parse(change.row_after).dump());
        EXPECT_EQ(read_p1(), DataMap::parse(change.row_after).dump());
        EXPECT_EQ(connection.count(Address::from_string("app#Person@1/p1@LATEST")), 1);
        if (in_transaction) {
            // The transaction is still usable: what it writes after the read is committed.
            connection.put(Address::from_string("app#Person@1/" + writer_id + "@1"), {{"name", "B"}});
            connection.commit();
            EXPECT_EQ(db.sql("SELECT count(*) FROM person_v_1 WHERE name = 'B'"), std::vector<std::string>{"1"});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OutsideAndInsideATransaction, PreparedRead, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InsideATransaction" : "OutsideATransaction"; });

TEST_F(PreparedRead, ReadsArePreparedOnceAndDeallocateThroughExecuteIsHarmless) {
    auto prepared_reads = [&] {
        return connection.execute("SELECT count(*) FROM pg_prepared_statements WHERE name LIKE 'korvex_read%%'")
            ->fetchone()
            ->at(0);
    };
    read_p1();
    read_p1();
    EXPECT_EQ(prepared_reads(), 1);
    connection.execute("DEALLOCATE ALL");
    EXPECT_EQ(read_p1(), R"({"partition_key":"p1","range_key":"1","name":"Ann","age":7,"score":2.0})");
    EXPECT_EQ(prepared_reads(), 1);
}

// A read that fails for another reason than a changed table leaves the transaction as any failed
// statement does: aborted, so that its commit reports the rollback.
TEST_F(PreparedRead, AReadThatFailsOtherwiseStillAbortsTheTransaction) {
    read_p1();
    connection.begin();
    db.sql("DROP TABLE person_v_1");
    EXPECT_THROW(read_p1(), KorvexConnectionError);
    EXPECT_THROW(connection.commit(), KorvexConnectionError);
    db.sql("CREATE TABLE person_v_1 (partition_key text, range_key text, name text, PRIMARY KEY (partition_key, range_key))");
    EXPECT_EQ(read_p1(), "rows: 0");
}

namespace {

// A store whose read statement is its own: it hides objects named "Hidden", and counts how often
// it is asked for a statement.
class DecidingConnection : public pg_timeline::PostgresHistoricalConnection {
public:
    using PostgresHistoricalConnection::PostgresHistoricalConnection;
    using PostgresHistoricalConnection::_build_select_statement;
    Statement _build_select_statement(const std::string& table_name,
                                      const std::optional<QuerySpecifier>& query_specifier,
                                      const std::optional<Q>& conditions, const Pagination& pagination,
                                      const std::optional<std::vector<OrderBy>>& order_by,
                                      bool use_internal_meta_tables) override {
        ++built;
        Statement statement = PostgresHistoricalConnection::_build_select_statement(
            table_name, query_specifier, conditions, pagination, order_by, use_internal_meta_tables);
        statement.text = "SELECT * FROM (" + statement.text + ") AS decided WHERE name IS DISTINCT FROM %s";
        statement.params.emplace_back("Hidden");
        return statement;
    }
    int built = 0;
};

}  // namespace

// Reads of one shape (fields, operators, values that change the text) are built once and bound
// with their own values afterwards; a subclass's builder still decides the statement; a table
// changed through the store has its shapes built again.
TEST_F(PreparedRead, ReadsOfOneShapeAreBuiltOnceAndBoundWithTheirOwnValues) {
    DecidingConnection store{pg_timeline::ConnectionOptions{false}};
    store.connect(std::nullopt, db.parameters());
    const std::vector<std::pair<std::string, DataMap>> people = {
        {"p2", {{"name", "Bo"}, {"age", 9}}}, {"p3", {{"age", 7}}}, {"p4", {{"name", "Hidden"}, {"age", 7}}}};
    for (const auto& [id, data] : people) {
        store.put(Address::from_string("app#Person@1/" + id + "@1"), data);
        store.put(Address::from_string("resource#Metadata/" + id + ":1"),
                  {{"address", {{"object_id", id}, {"object_version", "1"}}}, {"is_deleted", false}});
    }
    const std::vector<std::pair<Q, std::vector<std::string>>> cases = {
        {Q("age", Lookup::EQ, 7), {"p1", "p3"}},  // p4 hidden by the subclass's statement
        {Q("age", Lookup::EQ, 9), {"p2"}},
        {Q("age", Lookup::GT, 7), {"p2"}},  // only the operator differs
        {Q("age", Lookup::LT, 9), {"p1", "p3"}},
        {Q("name", Lookup::EQ, "Bo"), {"p2"}},
        {Q("name", Lookup::EQ, "Ann"), {"p1"}},
        {Q("name", Lookup::EQ, Value()), {}},  // NULL equals nothing
        {Q("name", Lookup::ISNULL, true), {"p3"}},
        {Q("name", Lookup::ISNULL, false), {"p1", "p2"}},
        {Q("age", Lookup::EQ, 7) & Q("name", Lookup::EQ, "Ann"), {"p1"}},
        {Q("age", Lookup::EQ, 9) | Q("name", Lookup::EQ, "Ann"), {"p1", "p2"}},
    };
    auto read_all = [&] {
        for (const auto& [conditions, expected] : cases) {
            SCOPED_TRACE(conditions.field() + " " + std::string(to_string(conditions.lookup())) + " " +
                         conditions.value().dump());
            std::vector<std::string> ids;
            for (const auto& row : store.query(Address::from_string("app#Person@1"), std::nullopt, conditions)) {
                ids.push_back(row.at("partition_key").get<std::string>());
            }
            std::sort(ids.begin(), ids.end());
            EXPECT_EQ(ids, expected);
        }
    };
    read_all();
    const int built = store.built;
    read_all();
    EXPECT_EQ(store.built, built);
    store.execute("ALTER TABLE person_v_1 ADD COLUMN extra text");
    read_all();
    EXPECT_GT(store.built, built);
}
