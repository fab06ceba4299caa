// query, count and the page: statement sequences and pagination on canned rows, and the plain
// read of an internal table on a real server.

#include "korvex/error.hpp"
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/constants.hpp"
#include "pg_fixture.hpp"

#include <algorithm>
#include <set>
#include <sstream>

using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::testing::PgTestDatabase;

namespace {

using Ids = std::vector<std::string>;

// Registers the class versions of Person for one test and forgets them after it.
struct PersonVersions {
    explicit PersonVersions(std::vector<std::string> versions) {
        ClassVersionManager::clear();
        for (const auto& version : versions) ClassVersionManager::register_class_version("Person", version);
    }
    ~PersonVersions() { ClassVersionManager::clear(); }
};

// A connection without server: every statement is logged and answered with the canned rows of
// the table it reads (one "id" column, or the count for a count statement).
class CannedConnection : public PostgresHistoricalConnection {
public:
    std::shared_ptr<Cursor> execute(const std::string& query, const std::vector<Value>& params = {}) override {
        statements.push_back({query, params});
        if (query.starts_with("SELECT (SELECT COUNT(*)")) {  // the sum of several tables' counts
            std::int64_t total = 0;
            for (const auto& [table, ids] : rows) {
                if (query.find("FROM \"" + table + "\"") != std::string::npos) total += static_cast<std::int64_t>(ids.size());
            }
            return std::make_shared<MemoryCursor>(std::vector<ColumnDescription>{{"sum"}}, std::vector<Row>{{total}});
        }
        for (const auto& [table, ids] : rows) {
            if (query.find("FROM \"" + table + "\"") == std::string::npos) continue;
            if (query.starts_with("SELECT COUNT(*)")) {
                if (ids.empty()) return std::make_shared<MemoryCursor>();
                return std::make_shared<MemoryCursor>(std::vector<ColumnDescription>{{"count"}},
                                                      std::vector<Row>{{static_cast<std::int64_t>(ids.size())}});
            }
            std::vector<Row> result;
            for (const auto& id : ids) result.push_back({id, Value::parse(R"({"next_version":null})")});
            return std::make_shared<MemoryCursor>(std::vector<ColumnDescription>{{"id"}, {METADATA_FIELD}}, result);
        }
        return std::make_shared<MemoryCursor>();
    }
    std::shared_ptr<Cursor> _execute_read(const Statement& statement) override {
        return execute(statement.text, statement.params);
    }
    TableDescription _describe_table(const std::string&) override { return {}; }

    std::map<std::string, Ids> rows;
    std::vector<Statement> statements;
};

Ids ids_of(const std::vector<DataMap>& items, const char* key = "id") {
    Ids ids;
    for (const auto& item : items) ids.push_back(item.at(key).get<std::string>());
    return ids;
}

std::vector<DataMap> numbered_rows(int count) {
    std::vector<DataMap> items;
    for (int i = 1; i <= count; ++i) items.push_back(DataMap{{"id", std::to_string(i)}});
    return items;
}

std::size_t occurrences(const std::string& text, const std::string& fragment) {
    std::size_t count = 0;
    for (auto at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
}

const std::vector<OrderBy> BY_ID{{"id"}};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The page

TEST(PaginateItems, SlicesFromTheOffset) {
    EXPECT_EQ(ids_of(PostgresHistoricalConnection::_paginate_items(numbered_rows(5), NumberPaginator{2, 1})),
              (Ids{"2", "3"}));
    EXPECT_EQ(ids_of(PostgresHistoricalConnection::_paginate_items(numbered_rows(5), NumberPaginator{9, 4})), (Ids{"5"}));
    EXPECT_TRUE(PostgresHistoricalConnection::_paginate_items(numbered_rows(5), NumberPaginator{2, 7}).empty());
    EXPECT_EQ(PostgresHistoricalConnection::_paginate_items(numbered_rows(5), NumberPaginator{2, std::nullopt}).size(), 5u);
    EXPECT_EQ(PostgresHistoricalConnection::_paginate_items(numbered_rows(5), NumberPaginator{std::nullopt, 1}).size(), 5u);
    EXPECT_THROW(PostgresHistoricalConnection::_paginate_items(numbered_rows(5), NumberPaginator{-1, 0}),
                 korvex::UsageError);
}

TEST(PaginateItems, CursorPaginatorIsIgnoredWithOneWarning) {
    korvex::testing::CapturedLog log;
    EXPECT_EQ(PostgresHistoricalConnection::_paginate_items(numbered_rows(3), CursorPaginator{1, "x"}).size(), 3u);
    EXPECT_EQ(occurrences(log.text(), "The cursor pagination is not supported by SQLite. It will be ignored."), 1u);
}

// ---------------------------------------------------------------------------------------------
// Statement sequences on canned rows

TEST(QuerySequence, OneTableTakesThePageInTheStatementOnly) {
    PersonVersions versions({"1"});
    CannedConnection connection;
    connection.rows["person_v_1"] = {"c", "b"};  // what the server returns for LIMIT 2 OFFSET 1
    const auto items = connection.query(Address::from_string("app#Person@LATEST"), std::nullopt, std::nullopt,
                                        NumberPaginator{2, 1}, BY_ID);
    EXPECT_EQ(ids_of(items), (Ids{"c", "b"}));  // the server's order stands
    ASSERT_EQ(connection.statements.size(), 1u);
    EXPECT_TRUE(connection.statements[0].text.ends_with(R"( ORDER BY t1."id" ASC LIMIT %s OFFSET %s)"));
    EXPECT_EQ(connection.statements[0].params, (std::vector<Value>{2, 1}));
}

// Several tables: their columns are read first, then one statement merges, orders and pages.
TEST(QuerySequence, SeveralTablesAreMergedOrderedAndPagedByOneStatement) {
    PersonVersions versions({"1", "2"});
    CannedConnection connection;
    connection.query(Address::from_string("app#Person@ALL"), std::nullopt, Q("age", Lookup::GT, 3),
                     NumberPaginator{2, 1}, BY_ID);
    ASSERT_EQ(connection.statements.size(), 2u);
    EXPECT_NE(connection.statements[0].text.find("(VALUES (0, %s), (1, %s))"), std::string::npos);
    EXPECT_EQ(connection.statements[0].params, (std::vector<Value>{"person_v_1", "person_v_2"}));
    const Statement& merged = connection.statements[1];
    EXPECT_TRUE(merged.text.starts_with("(SELECT 0 AS korvex_branch, "));
    EXPECT_NE(merged.text.find(R"(FROM "person_v_1" AS t1)"), std::string::npos);
    EXPECT_NE(merged.text.find(R"() UNION ALL (SELECT 1 AS korvex_branch, )"), std::string::npos);
    EXPECT_TRUE(merged.text.ends_with(") ORDER BY korvex_k0 ASC, korvex_branch LIMIT %s OFFSET %s"));
    EXPECT_EQ(merged.params, (std::vector<Value>{3, 3, 2, 1}));
}

TEST(QuerySequence, NoClassVersionRunsNothing) {
    PersonVersions versions({});
    CannedConnection connection;
    korvex::testing::CapturedLog log;
    EXPECT_TRUE(connection.query(Address::from_string("app#Person@ALL")).empty());
    EXPECT_TRUE(connection.query(Address::from_string("app#Person@ALL"), std::nullopt, std::nullopt, CursorPaginator{}).empty());
    EXPECT_EQ(occurrences(log.text(), "The cursor pagination is not supported"), 1u);
    EXPECT_EQ(connection.count(Address::from_string("app#Person@ALL")), 0);
    EXPECT_TRUE(connection.statements.empty());
}

TEST(QuerySequence, CursorPaginatorIsRefusedBeforeAnyStatement) {
    PersonVersions versions({"1", "2"});
    CannedConnection connection;
    korvex::testing::expect_connection_error(
        [&] { connection.query(Address::from_string("app#Person@ALL"), std::nullopt, std::nullopt, CursorPaginator{}); },
        "Cursor pagination is not supported");
    EXPECT_TRUE(connection.statements.empty());
}

TEST(QuerySequence, NegativePageIsRefused) {
    PersonVersions versions({"1"});
    CannedConnection connection;
    EXPECT_THROW(connection.query(Address::from_string("app#Person@1"), std::nullopt, std::nullopt, NumberPaginator{1, -1}),
                 korvex::UsageError);
}

// One statement, so that every table is counted in one snapshot.
TEST(QuerySequence, CountSumsEveryTableInOneStatement) {
    PersonVersions versions({"1", "2", "3"});
    CannedConnection connection;
    connection.rows["person_v_1"] = {"a", "b"};
    connection.rows["person_v_2"] = {};
    connection.rows["person_v_3"] = {"c"};
    EXPECT_EQ(connection.count(Address::from_string("app#Person@ALL/p1@LATEST")), 3);
    ASSERT_EQ(connection.statements.size(), 1u);
    const std::string& text = connection.statements[0].text;
    EXPECT_TRUE(text.starts_with("SELECT (SELECT COUNT(*) FROM (SELECT t1.*, "));
    EXPECT_EQ(occurrences(text, ") AS counted_rows) + (SELECT COUNT(*) FROM (SELECT t1.*, "), 2u);
    EXPECT_EQ(connection.statements[0].params, (std::vector<Value>{"p1", "p1", "p1"}));
}

TEST(QuerySequence, RowsAreMapsInColumnOrder) {
    PersonVersions versions({"1"});
    CannedConnection connection;
    connection.rows["person_v_1"] = {"a"};
    const auto items = connection._query("person_v_1", std::nullopt, std::nullopt, {}, std::nullopt);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].dump(), R"({"id":"a","_metadata":{"next_version":null}})");
    EXPECT_THROW(connection._query(std::nullopt, std::nullopt, std::nullopt, {}, std::nullopt), korvex::UsageError);
}

// ---------------------------------------------------------------------------------------------
// A real server

// What a host reads is pinned for both stores by the behaviour suite; here, what is the
// PostgreSQL store's own.

TEST(QueryServer, InternalTablesAreReadPlain) {
    PgTestDatabase db;
    PostgresHistoricalConnection connection{pg_timeline::ConnectionOptions{false}};
    connection.connect(std::nullopt, db.parameters());
    connection.prepare_connection();
    db.sql("INSERT INTO metadata (partition_key, object_id, object_version, address) VALUES "
           "('p1:1', 'p1', '1', '{\"object_id\": \"p1\"}'), ('p1:2', 'p1', '2', '{}'), ('p2:1', 'p2', '1', '{}')");
    const auto rows = connection._query("metadata", std::nullopt, Q("object_id", Lookup::EQ, "p1"), {},
                                        std::vector<OrderBy>{{"object_version", true}});
    EXPECT_EQ(ids_of(rows, "object_version"), (Ids{"2", "1"}));
    EXPECT_FALSE(rows[0].contains(METADATA_FIELD));
    EXPECT_TRUE(rows[1].at("address").is_object());
}
