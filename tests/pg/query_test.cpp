// query, count and the page: statement sequences and pagination on canned rows, then the store
// reading back on a real server what put wrote, with the metadata of every version.

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

TEST(QuerySequence, CountAddsTheFirstColumnOfEveryTable) {
    PersonVersions versions({"1", "2", "3"});
    CannedConnection connection;
    connection.rows["person_v_1"] = {"a", "b"};
    connection.rows["person_v_2"] = {};  // no count row at all
    connection.rows["person_v_3"] = {"c"};
    EXPECT_EQ(connection.count(Address::from_string("app#Person@ALL/p1@LATEST")), 3);
    ASSERT_EQ(connection.statements.size(), 3u);
    EXPECT_TRUE(connection.statements[0].text.starts_with("SELECT COUNT(*) FROM (SELECT t1.*, "));
    EXPECT_EQ(connection.statements[0].params, (std::vector<Value>{"p1"}));
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

namespace {

struct Person {
    std::string id;
    DataMap data;
};

class QueryStore : public ::testing::Test {
protected:
    void SetUp() override {
        ClassVersionManager::clear();
        ClassVersionManager::register_class_version("Person", "1");
        ClassVersionManager::register_class_version("Person", "2");
        connection.connect(std::nullopt, db.parameters());
        connection.prepare_connection();
        for (const char* version : {"1", "2"}) {
            TableSchema schema{Address::from_string(std::string("app#Person@") + version),
                               {{"name", ValueKind::TEXT},
                                {"age", ValueKind::INTEGER},
                                {"score", ValueKind::FLOAT},
                                {"active", ValueKind::BOOLEAN},
                                {"doc", ValueKind::MAPPING},
                                {"COUNTER", ValueKind::INTEGER}},
                               {},
                               {}};
            connection.table_schema_manager()->register_table(schema);
        }
    }
    void TearDown() override { ClassVersionManager::clear(); }

    // Writes one object version into the table of `class_version`, with its metadata row.
    void write(const std::string& class_version, const std::string& id, int version, DataMap data) {
        Address address = Address::from_string("app#Person@" + class_version + "/" + id + "@" + std::to_string(version));
        connection.put(address, data);
        ++clock;
        const DataMap metadata = {
            {"address", address.to_value()},
            {"prior_version", version > 1 ? Value(std::to_string(version - 1)) : Value(nullptr)},
            {"class_schema_reference", {{"class_name", "Person"}, {"class_version", class_version}}},
            {"class_schema_type", "object"},
            {"is_deleted", false},
            {"created_at", clock},
            {"updated_at", clock},
            {"transaction", {{"object_id", "tx-" + std::to_string(clock)}}},
        };
        connection.put(Address::from_string("resource#Metadata/" + id + ":" + std::to_string(version)), metadata);
    }

    // Three versions of p1 and p2 in the table of class version 1; the name says which version.
    void write_three_versions_of_two_objects() {
        for (int version = 1; version <= 3; ++version) {
            for (const char* id : {"p1", "p2"}) {
                write("1", id, version, {{"name", std::string(id) + "-v" + std::to_string(version)}, {"age", version}});
            }
        }
    }

    // Five people, each in one latest version (and an older one that no condition may return).
    void write_people() {
        const std::vector<std::pair<std::string, DataMap>> people = {
            {"ann", Value::parse(R"({"name":"Ann","age":31,"score":1.5,"active":true,"COUNTER":1,
                                    "doc":{"n":10,"x":0.25,"b":true,"s":"café","deep":{"k":{"v":1}}}})")},
            {"bob", Value::parse(R"({"name":"bob","age":25,"score":2.5,"active":false,"COUNTER":2,
                                    "doc":{"n":9,"x":1.75,"b":false,"s":"say \"hi\"","deep":{"k":{"v":2}}}})")},
            {"cid", Value::parse(R"({"name":"Cid 50%_off","age":40,"score":null,"active":null,"COUNTER":3,
                                    "doc":{"n":-3,"x":-1.5,"b":true,"s":"LATEST"}})")},
            {"dee", Value::parse(R"({"name":"dee","age":null,"score":0.0,"active":true,"COUNTER":4,
                                    "doc":{"n":0,"s":""}})")},
        };
        for (const auto& [id, data] : people) {
            DataMap old = data;
            old["name"] = "old " + id;
            old["age"] = 99;
            old["doc"] = Value::parse(R"({"n":99,"x":99.5,"b":false,"s":"old","deep":{"k":{"v":99}}})");
            write("1", id, 1, old);
            write("1", id, 2, data);
        }
    }

    // Ids of the latest versions that match `conditions`, sorted.
    Ids latest_matching(const Q& conditions) {
        const Q latest("_address__object_version", Lookup::EQ, "LATEST");
        auto items = connection.query(Address::from_string("app#Person@1"), std::nullopt, latest & conditions);
        Ids ids;
        for (const auto& item : items) ids.push_back(item.at(PRIMARY_ID).get<std::string>());
        std::sort(ids.begin(), ids.end());
        const auto counted = connection.count(Address::from_string("app#Person@1"), latest & conditions);
        EXPECT_EQ(counted, static_cast<std::int64_t>(ids.size())) << "count and query disagree";
        return ids;
    }

    static constexpr const char* PRIMARY_ID = "partition_key";
    PgTestDatabase db;
    PostgresHistoricalConnection connection{pg_timeline::ConnectionOptions{false}};
    double clock = 1000.0;
};

}  // namespace

TEST_F(QueryStore, LatestGivesTheNewestVersionOfEachObjectWithItsMetadata) {
    write_three_versions_of_two_objects();
    const auto items = connection.query(Address::from_string("app#Person@1"), std::nullopt,
                                        Q("_address__object_version", Lookup::EQ, "LATEST"), {},
                                        std::vector<OrderBy>{{"name"}});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(ids_of(items, "name"), (Ids{"p1-v3", "p2-v3"}));
    for (const auto& item : items) {
        EXPECT_EQ(item.at("range_key"), "3");
        const auto& metadata = item.at(METADATA_FIELD);
        ASSERT_TRUE(metadata.is_object()) << item.dump();
        EXPECT_TRUE(metadata.at("next_version").is_null());
        EXPECT_EQ(metadata.at("object_id"), item.at("partition_key"));
        EXPECT_EQ(metadata.at("object_version"), "3");
        EXPECT_EQ(metadata.at("prior_version"), "2");
        EXPECT_EQ(metadata.at("address").at("object_id"), item.at("partition_key"));
        EXPECT_EQ(metadata.at("is_deleted"), false);
        EXPECT_EQ(metadata.at("class_schema_reference").at("class_version"), "1");
        EXPECT_TRUE(metadata.at("transaction").is_object());
    }
    // The address can ask for the latest versions too.
    EXPECT_EQ(connection.query(Address::from_string("app#Person@1/@LATEST")).size(), 2u);
    EXPECT_EQ(ids_of(connection.query(Address::from_string("app#Person@1/p2@LATEST")), "name"), (Ids{"p2-v3"}));
}

TEST_F(QueryStore, AllVersionsEachWithTheVersionThatFollows) {
    write_three_versions_of_two_objects();
    const auto items = connection.query(Address::from_string("app#Person@1/@ALL"), std::nullopt, std::nullopt, {},
                                        std::vector<OrderBy>{{"name"}});
    EXPECT_EQ(ids_of(items, "name"), (Ids{"p1-v1", "p1-v2", "p1-v3", "p2-v1", "p2-v2", "p2-v3"}));
    Ids next;
    for (const auto& item : items) {
        const auto& following = item.at(METADATA_FIELD).at("next_version");
        next.push_back(following.is_null() ? "-" : following.get<std::string>());
    }
    EXPECT_EQ(next, (Ids{"2", "3", "-", "2", "3", "-"}));
    EXPECT_EQ(connection.count(Address::from_string("app#Person@1/@ALL")), 6);
}

TEST_F(QueryStore, ANamedVersion) {
    write_three_versions_of_two_objects();
    EXPECT_EQ(ids_of(connection.query(Address::from_string("app#Person@1/p1@2")), "name"), (Ids{"p1-v2"}));
    const auto second = connection.query(Address::from_string("app#Person@1/@2"), std::nullopt, std::nullopt, {},
                                         std::vector<OrderBy>{{"name", true}});
    EXPECT_EQ(ids_of(second, "name"), (Ids{"p2-v2", "p1-v2"}));
    EXPECT_EQ(second[0].at(METADATA_FIELD).at("next_version"), "3");
}

TEST_F(QueryStore, OperatorsOnPlainColumns) {
    write_people();
    EXPECT_EQ(latest_matching(Q("name", Lookup::EQ, "Ann")), (Ids{"ann"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::EQ, 25)), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("active", Lookup::EQ, true)), (Ids{"ann", "dee"}));
    EXPECT_EQ(latest_matching(Q("active", Lookup::NEQ, true)), (Ids{"bob", "cid"}));
    EXPECT_EQ(latest_matching(Q("active", Lookup::EQ, false)), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::NEQ, 25)), (Ids{"ann", "cid"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::GT, 31)), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::GTE, 31)), (Ids{"ann", "cid"}));
    EXPECT_EQ(latest_matching(Q("score", Lookup::LT, 2.5)), (Ids{"ann", "dee"}));
    EXPECT_EQ(latest_matching(Q("score", Lookup::LTE, 2.5)), (Ids{"ann", "bob", "dee"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::IN, "[25, 40, 7]")), (Ids{"bob", "cid"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::IN, R"(["Ann","dee"])")), (Ids{"ann", "dee"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::IN, "[]")), (Ids{}));
    EXPECT_EQ(latest_matching(!Q("name", Lookup::IN, "[]")), (Ids{"ann", "bob", "cid", "dee"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::CONTAINS, "e")), (Ids{"dee"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::ICONTAINS, "B")), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::CONTAINS, "50%_")), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::CONTAINS, "%")), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::STARTSWITH, "b")), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::ISTARTSWITH, "a")), (Ids{"ann"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::ENDSWITH, "off")), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("name", Lookup::IENDSWITH, "EE")), (Ids{"dee"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::ISNULL, true)), (Ids{"dee"}));
    EXPECT_EQ(latest_matching(Q("score", Lookup::ISNULL, false)), (Ids{"ann", "bob", "dee"}));
    EXPECT_EQ(latest_matching(Q("age", Lookup::GT, 30) | Q("active", Lookup::EQ, false)), (Ids{"ann", "bob", "cid"}));
}

TEST_F(QueryStore, OperatorsOnJsonPaths) {
    write_people();
    EXPECT_EQ(latest_matching(Q("doc__n", Lookup::EQ, 10)), (Ids{"ann"}));
    EXPECT_EQ(latest_matching(Q("doc__n", Lookup::GT, 0)), (Ids{"ann", "bob"}));
    EXPECT_EQ(latest_matching(Q("doc__n", Lookup::LTE, 0)), (Ids{"cid", "dee"}));
    EXPECT_EQ(latest_matching(Q("doc__n", Lookup::NEQ, 9)), (Ids{"ann", "cid", "dee"}));
    EXPECT_EQ(latest_matching(Q("doc__x", Lookup::GTE, 0.25)), (Ids{"ann", "bob"}));
    EXPECT_EQ(latest_matching(Q("doc__x", Lookup::LT, 0.0)), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("doc__b", Lookup::EQ, true)), (Ids{"ann", "cid"}));
    EXPECT_EQ(latest_matching(Q("doc__b", Lookup::NEQ, true)), (Ids{"bob", "dee"}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::EQ, "café")), (Ids{"ann"}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::EQ, "say \"hi\"")), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::EQ, "say \"hi")), (Ids{}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::EQ, "LATEST")), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::ICONTAINS, "É")), (Ids{"ann"}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::STARTSWITH, "say")), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("doc__s", Lookup::IN, R"(["café",""])")), (Ids{"ann", "dee"}));
    EXPECT_EQ(latest_matching(Q("doc__n", Lookup::IN, "[9,-3]")), (Ids{"bob", "cid"}));
    EXPECT_EQ(latest_matching(Q("doc__x", Lookup::ISNULL, true)), (Ids{"dee"}));
    EXPECT_EQ(latest_matching(Q("doc__deep__k__v", Lookup::EQ, 2)), (Ids{"bob"}));
    EXPECT_EQ(latest_matching(Q("doc__deep__k__v", Lookup::LT, 5)), (Ids{"ann", "bob"}));
    // Address and metadata parts.
    EXPECT_EQ(latest_matching(Q("_address__object_id", Lookup::IN, R"(["bob","cid"])")), (Ids{"bob", "cid"}));
    EXPECT_EQ(latest_matching(Q("_metadata__object_version", Lookup::EQ, "2")), (Ids{"ann", "bob", "cid", "dee"}));
    EXPECT_EQ(latest_matching(Q("_metadata__address__object_id", Lookup::STARTSWITH, "c")), (Ids{"cid"}));
    EXPECT_EQ(latest_matching(Q("_metadata__is_deleted", Lookup::EQ, false)).size(), 4u);
}

TEST_F(QueryStore, HostileNamesAreNamesNotStatements) {
    write_people();
    EXPECT_EQ(latest_matching(Q("doc__s' OR '1'='1", Lookup::EQ, "x")), (Ids{}));
    EXPECT_EQ(latest_matching(Q("doc__%s", Lookup::EQ, "x")), (Ids{}));
    korvex::testing::expect_connection_error(
        [&] { latest_matching(Q("name\" = name OR \"1", Lookup::EQ, "x")); },
        R"(Error executing query: )" +
            connection._build_select_statement("person_v_1", std::nullopt,
                                               Q("_address__object_version", Lookup::EQ, "LATEST") &
                                                   Q("name\" = name OR \"1", Lookup::EQ, "x"),
                                               {}, std::nullopt, true)
                .text +
            " with args: ('x',)");
}

TEST_F(QueryStore, AFieldNamedLikeAnAggregateIsStillGrouped) {
    write_people();
    EXPECT_EQ(latest_matching(Q("COUNTER", Lookup::GTE, 3)), (Ids{"cid", "dee"}));
}

TEST_F(QueryStore, OrderingByColumnsPathsAndMetadata) {
    write_people();
    const Q latest("_address__object_version", Lookup::EQ, "LATEST");
    const Address people = Address::from_string("app#Person@1");
    const auto by = [&](std::vector<OrderBy> order) {
        return ids_of(connection.query(people, std::nullopt, latest, {}, order), "partition_key");
    };
    EXPECT_EQ(by({{"age", true}}), (Ids{"dee", "cid", "ann", "bob"}));  // nulls first descending
    EXPECT_EQ(by({{"active"}, {"name"}}), (Ids{"bob", "ann", "dee", "cid"}));
    EXPECT_EQ(by({{"doc__s"}}), (Ids{"dee", "cid", "ann", "bob"}));
    EXPECT_EQ(by({{"created_at", true}}), (Ids{"dee", "cid", "bob", "ann"}));
    EXPECT_EQ(by({{"_metadata__created_at"}}), (Ids{"ann", "bob", "cid", "dee"}));
}

TEST_F(QueryStore, APageAcrossTwoClassVersionsIsCutAfterTheMerge) {
    for (const auto& [version, id] : std::vector<std::pair<std::string, std::string>>{
             {"1", "a"}, {"2", "b"}, {"1", "c"}, {"2", "d"}, {"1", "e"}, {"2", "f"}, {"1", "g"}}) {
        write(version, id, 1, {{"name", id}, {"age", static_cast<int>(id[0])}});
    }
    const Address everyone = Address::from_string("app#Person@ALL/@LATEST");
    const std::vector<OrderBy> by_name{{"name"}};
    EXPECT_EQ(ids_of(connection.query(everyone, std::nullopt, std::nullopt, {}, by_name), "name"),
              (Ids{"a", "b", "c", "d", "e", "f", "g"}));
    EXPECT_EQ(ids_of(connection.query(everyone, std::nullopt, std::nullopt, NumberPaginator{3, 2}, by_name), "name"),
              (Ids{"c", "d", "e"}));
    EXPECT_EQ(ids_of(connection.query(everyone, std::nullopt, std::nullopt, NumberPaginator{3, 5}, by_name), "name"),
              (Ids{"f", "g"}));
    EXPECT_EQ(ids_of(connection.query(everyone, std::nullopt, std::nullopt, NumberPaginator{2, std::nullopt},
                                      std::vector<OrderBy>{{"age", true}}),
                     "name"),
              (Ids{"g", "f"}));
    // One class version: the server takes the page, once.
    EXPECT_EQ(ids_of(connection.query(Address::from_string("app#Person@1"), std::nullopt, std::nullopt,
                                      NumberPaginator{2, 1}, by_name),
                     "name"),
              (Ids{"c", "e"}));
    EXPECT_EQ(connection.count(everyone), 7);
    EXPECT_EQ(connection.count(everyone, Q("age", Lookup::GT, static_cast<int>('c'))), 4);
}

TEST_F(QueryStore, CursorPaginatorIsRefused) {
    write_people();
    korvex::testing::expect_connection_error(
        [&] {
            connection.query(Address::from_string("app#Person@1"), std::nullopt, std::nullopt, CursorPaginator{2, "x"});
        },
        "Cursor pagination is not supported");
}

TEST_F(QueryStore, OnlySelectedFieldsWithTheirMetadata) {
    write_people();
    const auto items = connection.query(Address::from_string("app#Person@1/ann@LATEST"),
                                        QuerySpecifier{std::vector<std::string>{"name", "age"}, {}});
    ASSERT_EQ(items.size(), 1u);
    std::set<std::string> keys;
    for (const auto& [key, value] : items[0].items()) keys.insert(key);
    EXPECT_EQ(keys, (std::set<std::string>{"age", "name", "_metadata"}));
    EXPECT_EQ(items[0].at("name"), "Ann");
}

TEST_F(QueryStore, InternalTablesAreReadPlain) {
    write_three_versions_of_two_objects();
    const auto rows = connection._query("metadata", std::nullopt, Q("object_id", Lookup::EQ, "p1"), {},
                                        std::vector<OrderBy>{{"object_version", true}});
    EXPECT_EQ(ids_of(rows, "object_version"), (Ids{"3", "2", "1"}));
    EXPECT_FALSE(rows[0].contains(METADATA_FIELD));
    EXPECT_TRUE(rows[0].at("address").is_object());
}
