// Reads against the server's own answer: two class-version tables with several objects in
// several versions, a text column with an ICU collation. Every ordering, page, filter and count
// of query/count must equal what a hand-written statement over the union of both tables returns.

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/error.hpp"
#include "pg_fixture.hpp"

using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::testing::PgTestDatabase;
using Keys = std::vector<std::string>;

namespace {

// Every row of both tables beside its metadata, for the hand-written answers.
const std::string ORACLE_ROWS = R"(
WITH rows AS (
  SELECT 0 AS tbl, p.partition_key AS pk, p.range_key AS rk, p.name, p.age, p.score, p.doc, p.created_at AS own_created,
         p."COUNTER", m.created_at AS meta_created, m.updated_at,
         NOT EXISTS (SELECT 1 FROM metadata n WHERE n.object_id = m.object_id AND n.prior_version = m.object_version) AS latest
  FROM person_v_1 p JOIN metadata m ON m.object_id = p.partition_key AND m.object_version = p.range_key
  UNION ALL
  SELECT 1, p.partition_key, p.range_key, p.name, p.age, p.score, p.doc, p.created_at, p."COUNTER", m.created_at,
         m.updated_at,
         NOT EXISTS (SELECT 1 FROM metadata n WHERE n.object_id = m.object_id AND n.prior_version = m.object_version)
  FROM person_v_2 p JOIN metadata m ON m.object_id = p.partition_key AND m.object_version = p.range_key
) )";

struct Scope {
    std::string address;
    std::string where;  // the same rows in the hand-written statement
};

const std::vector<Scope> SCOPES = {
    {"app#Person@ALL/@LATEST", "latest"},
    {"app#Person@ALL/@ALL", "true"},
    {"app#Person@1/@ALL", "tbl = 0"},
};

class QueryOrderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClassVersionManager::clear();
        ClassVersionManager::register_class_version("Person", "1");
        ClassVersionManager::register_class_version("Person", "2");
        store.connect(std::nullopt, db.parameters());
        store.prepare_connection();
        for (const char* version : {"1", "2"}) {
            TableSchema schema{Address::from_string(std::string("app#Person@") + version),
                               {{"name", ValueKind::TEXT},
                                {"age", ValueKind::INTEGER},
                                {"score", ValueKind::FLOAT},
                                {"doc", ValueKind::MAPPING},
                                {"created_at", ValueKind::TEXT},
                                {"COUNTER", ValueKind::INTEGER}},
                               {},
                               {}};
            store.table_schema_manager()->register_table(schema);
            // Byte order would put "Bravo" before "alpha"; this collation does not.
            db.sql(std::string("ALTER TABLE person_v_") + version + " ALTER COLUMN name TYPE text COLLATE \"en-x-icu\"");
        }
        // Objects a, c, e in class version 1, b, d, f in 2, each in two versions. Metadata times
        // are numbers whose text order differs from their order.
        const double created[] = {2, 5.5, 9.75, 120, 1000.5, 30, 7, 64.25, 0.5, 300, 11, 45};
        const std::vector<std::tuple<std::string, std::string, DataMap>> objects = {
            {"1", "a", Value::parse(R"({"name":"alpha","age":30,"score":1.5,"doc":{"k":"x","r":0,"s":"ALL"},"created_at":"z","COUNTER":5})")},
            {"2", "b", Value::parse(R"({"name":"Bravo","age":null,"score":2.5,"doc":{"k":"Y","r":0.5},"created_at":"m","COUNTER":1})")},
            {"1", "c", Value::parse(R"({"name":"charlie","age":25,"score":null,"doc":{"k":"b","r":3000000000},"created_at":"a","COUNTER":9})")},
            {"2", "d", Value::parse(R"({"name":"Delta","age":30,"score":1.5,"doc":{"k":"a","r":0.0},"created_at":"q","COUNTER":3})")},
            {"1", "e", Value::parse(R"({"name":"échelle","age":41,"score":-1,"doc":{"r":-2},"created_at":"b","COUNTER":7})")},
            {"2", "f", Value::parse(R"({"name":"Foxtrot","age":2,"score":0,"doc":{"k":"ALL","r":7},"created_at":"c","COUNTER":2})")},
        };
        std::size_t clock = 0;
        store.begin();
        for (int version = 1; version <= 2; ++version) {
            for (const auto& [class_version, id, latest] : objects) {
                DataMap data = latest;
                if (version == 1) {
                    data["name"] = id + "-old";
                    data["age"] = 50 + static_cast<int>(clock);
                }
                const Address address = Address::from_string("app#Person@" + class_version + "/" + id + "@" +
                                                              std::to_string(version));
                store.put(address, data);
                store.put(Address::from_string("resource#Metadata/" + id + ":" + std::to_string(version)),
                          {{"address", address.to_value()},
                           {"prior_version", version > 1 ? Value(std::to_string(version - 1)) : Value(nullptr)},
                           {"created_at", created[clock]},
                           {"updated_at", created[11 - clock]}});
                ++clock;
            }
        }
        store.commit();
    }
    void TearDown() override { ClassVersionManager::clear(); }

    Keys oracle(const std::string& where, const std::string& order, const std::string& page = "",
                const std::string& selected = "pk || '@' || rk") const {
        return db.sql(ORACLE_ROWS + "SELECT " + selected + " FROM rows WHERE " + where + " ORDER BY " + order +
                      ", tbl" + page);
    }
    static Keys keys_of(const std::vector<DataMap>& rows) {
        Keys keys;
        for (const auto& row : rows) keys.push_back(row.at("partition_key").get<std::string>() + "@" +
                                                    row.at("range_key").get<std::string>());
        return keys;
    }

    PgTestDatabase db;
    PostgresHistoricalConnection store{pg_timeline::ConnectionOptions{false}};
};

}  // namespace

TEST_F(QueryOrderTest, EveryOrderingAndPageIsTheServersOwn) {
    // Each ordering with the hand-written ORDER BY it stands for; both end on the identity and
    // version, so that every order is total.
    const std::vector<std::pair<std::vector<OrderBy>, std::string>> orderings = {
        {{{"name"}}, "name"},
        {{{"name", true}}, "name DESC"},
        {{{"age", true}, {"name"}}, "age DESC, name"},
        {{{"_metadata__created_at"}}, "meta_created"},
        {{{"updated_at", true}}, "updated_at DESC"},  // only the metadata has it
        {{{"created_at"}}, "own_created"},            // both have it: the object's own
        {{{"partition_key", true}}, "pk DESC"},
        {{{"_address__object_version", true}, {"_address__object_id"}}, "rk DESC, pk"},
        {{{"doc__k"}}, "doc->>'k'"},
        {{{"score"}, {"name", true}}, "score, name DESC"},
        {{{"COUNTER", true}}, "\"COUNTER\" DESC"},
    };
    for (const auto& scope : SCOPES) {
        for (auto [ordering, oracle_order] : orderings) {
            SCOPED_TRACE(scope.address + " ORDER BY " + oracle_order);
            ordering.push_back({"_address__object_id"});
            ordering.push_back({"_address__object_version"});
            oracle_order += ", pk, rk";
            const Address address = Address::from_string(scope.address);
            const Keys expected = oracle(scope.where, oracle_order);
            ASSERT_GE(expected.size(), 6u);
            EXPECT_EQ(keys_of(store.query(address, std::nullopt, std::nullopt, {}, ordering)), expected);
            for (std::int64_t offset : {0, 4, 8, 100}) {
                EXPECT_EQ(keys_of(store.query(address, std::nullopt, std::nullopt, NumberPaginator{4, offset}, ordering)),
                          oracle(scope.where, oracle_order, " LIMIT 4 OFFSET " + std::to_string(offset)));
            }
            EXPECT_EQ(store.count(address), static_cast<std::int64_t>(expected.size()));
        }
    }
}

TEST_F(QueryOrderTest, OrderingByAFieldThatIsNotSelectedAndDistinctSelections) {
    const Address everything = Address::from_string("app#Person@ALL/@ALL");
    const auto names = [](const std::vector<DataMap>& rows) {
        Keys result;
        for (const auto& row : rows) {
            EXPECT_EQ(row.size(), 2u) << row.dump();  // name and _metadata
            result.push_back(row.at("name").get<std::string>());
        }
        return result;
    };
    const std::vector<OrderBy> by_age{{"age", true}, {"_address__object_id"}, {"_address__object_version"}};
    EXPECT_EQ(names(store.query(everything, QuerySpecifier{Keys{"name"}, {}}, std::nullopt, NumberPaginator{5, 3}, by_age)),
              oracle("true", "age DESC, pk, rk", " LIMIT 5 OFFSET 3", "name"));
    // One row per distinct age, the first in the requested order.
    const QuerySpecifier distinct_age{Keys{"age", "name"}, {"age"}};
    const auto rows = store.query(everything, distinct_age, std::nullopt, {}, std::vector<OrderBy>{{"name", true}});
    Keys ages;
    for (const auto& row : rows) ages.push_back(row.at("age").is_null() ? "" : row.at("age").dump());
    EXPECT_EQ(ages, db.sql(ORACLE_ROWS + "SELECT coalesce(age::text, '') FROM (SELECT DISTINCT ON (age) age, name, tbl "
                                         "FROM rows ORDER BY age, name DESC, tbl) d ORDER BY name DESC, tbl"));
    const auto one_table = store.query(Address::from_string("app#Person@2/@LATEST"), distinct_age);
    EXPECT_EQ(one_table.size(), 3u);  // ages null, 30 and 2
}

TEST_F(QueryOrderTest, FiltersCompareAsTheServerWouldAndCountsAgree) {
    // Each condition with the hand-written WHERE it stands for.
    const std::vector<std::pair<Q, std::string>> filters = {
        {Q("doc__r", Lookup::EQ, 0), "(doc->>'r')::numeric = 0"},
        {Q("doc__r", Lookup::GT, 2999999999LL), "(doc->>'r')::numeric > 2999999999"},
        {Q("doc__r", Lookup::IN, "[2.5, 0]"), "(doc->>'r')::numeric IN (2.5, 0)"},
        {Q("doc__r", Lookup::CONTAINS, 5), "doc->>'r' LIKE '%5%'"},
        {Q("doc__r", Lookup::LT, 0.25), "(doc->>'r')::numeric < 0.25"},
        {Q("doc__s", Lookup::EQ, "ALL"), "doc->>'s' = 'ALL'"},
        {Q("doc__k", Lookup::EQ, "ALL"), "doc->>'k' = 'ALL'"},
        {Q("name", Lookup::EQ, "golf") | Q("_address__object_version", Lookup::EQ, "ALL"), "true"},
        {!Q("_address__object_version", Lookup::EQ, "ALL"), "false"},
        {(!Q("_address__object_version", Lookup::EQ, "ALL")) | Q("age", Lookup::EQ, 30), "age = 30"},
        {Q("COUNTER", Lookup::GTE, 5), "\"COUNTER\" >= 5"},
    };
    for (const auto& scope : SCOPES) {
        for (const auto& [condition, where] : filters) {
            SCOPED_TRACE(scope.address + " WHERE " + where);
            const Address address = Address::from_string(scope.address);
            const Keys expected = oracle(scope.where + " AND (" + where + ")", "pk, rk");
            const std::vector<OrderBy> order{{"_address__object_id"}, {"_address__object_version"}};
            EXPECT_EQ(keys_of(store.query(address, std::nullopt, condition, {}, order)), expected);
            EXPECT_EQ(store.count(address, condition), static_cast<std::int64_t>(expected.size()));
        }
    }
    EXPECT_THROW(store.query(Address::from_string("app#Person@1"), std::nullopt,
                             Q("_address__object_version", Lookup::NEQ, "LATEST")),
                 korvex::UsageError);
}
