#include "korvex/error.hpp"
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/sql_history_connection_mixin.hpp"

#include <gtest/gtest.h>

using namespace korvex;

namespace {

// The smallest store: equality only, no nested fields, the plain select, plain ordering names.
class PlainStore : public SqlHistoryConnectionMixin {
public:
    const OperatorMap& SQL_OPERATOR_MAP() const override { return operators_; }
    std::pair<std::string, ConditionParam> _nested_filter_statement(const std::string& field_name,
                                                                    const std::string& nested_fields,
                                                                    const SqlOperatorTemplate&, const Value&,
                                                                    std::optional<ValueType>, bool, bool) override {
        return {field_name + "." + nested_fields + " = %s", Value("nested")};
    }
    Statement _build_select_statement(const std::string& table_name, const std::optional<QuerySpecifier>&,
                                      const std::optional<Q>& conditions, const Pagination& pagination,
                                      const std::optional<std::vector<OrderBy>>& order_by, bool) override {
        return _select_statement(table_name, "*", conditions, pagination, order_by);
    }
    std::string _order_by_expression(const std::string& field_name, bool, bool) override { return field_name; }
    TableDescription _describe_table(const std::string&) override { return {}; }

private:
    OperatorMap operators_{{Lookup::EQ, {std::string("{field_name} = %s"), std::nullopt, nullptr}}};
};

struct ClassVersions : ::testing::Test {
    void SetUp() override {
        ClassVersionManager::clear();
        ClassVersionManager::register_class_version("Person", "1");
        ClassVersionManager::register_class_version("Person", "2");
    }
    void TearDown() override { ClassVersionManager::clear(); }

    std::vector<std::string> versions(const QueriesByVersion& queries) {
        std::vector<std::string> result;
        for (const auto& [version, conditions] : queries) result.push_back(version.text());
        return result;
    }
    PlainStore store;
};

using Texts = std::vector<std::string>;

}  // namespace

TEST_F(ClassVersions, LatestAllOrANamedClassVersion) {
    EXPECT_EQ(versions(store._build_queries_by_version(Address::from_string("app#Person@LATEST"), std::nullopt)),
              (Texts{"2"}));
    EXPECT_EQ(versions(store._build_queries_by_version(Address::from_string("app#Person@ALL"), std::nullopt)),
              (Texts{"1", "2"}));
    EXPECT_EQ(versions(store._build_queries_by_version(Address::from_string("app#Person@7"), std::nullopt)),
              (Texts{"7"}));
    EXPECT_TRUE(store._build_queries_by_version(Address::from_string("app#Nobody@ALL"), std::nullopt).empty());
    EXPECT_THROW(store._build_queries_by_version(Address::from_string("app#Nobody@LATEST"), std::nullopt),
                 korvex::UsageError);
}

TEST_F(ClassVersions, ObjectIdentityAndVersionBecomeConditions) {
    const Q mine("name", Lookup::EQ, "Ann");
    const auto latest = store._build_queries_by_version(Address::from_string("app#Person@1/p1@LATEST"), mine);
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(latest[0].second, Q::all_of({Q("_address__object_id", Lookup::EQ, "p1"),
                                           Q("_address__object_version", Lookup::EQ, "LATEST"), mine}));
    const auto named = store._build_queries_by_version(Address::from_string("app#Person@1/p1@3"), std::nullopt);
    EXPECT_EQ(named[0].second, Q::all_of({Q("_address__object_id", Lookup::EQ, "p1"),
                                          Q("_address__object_version", Lookup::EQ, "3")}));
    // Every version of every object: no condition at all.
    EXPECT_EQ(store._build_queries_by_version(Address::from_string("app#Person@ALL/@ALL"), std::nullopt)[1].second,
              std::nullopt);
    EXPECT_EQ(store._build_queries_by_version(Address::from_string("app#Person@1"), mine)[0].second, mine);
}

TEST(PlainSelect, ConditionsOrderingAndPage) {
    PlainStore store;
    EXPECT_EQ(store._select_statement("t", "a, b", Q("x", Lookup::EQ, 1), NumberPaginator{5, std::nullopt},
                                      std::vector<OrderBy>{{"a", true}, {"b"}}),
              (Statement{R"(SELECT a, b FROM "t" WHERE "x" = %s ORDER BY a DESC, b ASC LIMIT %s OFFSET %s)", {1, 5, 0}}));
    EXPECT_EQ(store._select_statement("t", "*", std::nullopt, CursorPaginator{}, std::nullopt).text, R"(SELECT * FROM "t")");
}

TEST(PlainSelect, UnknownLookupIsAClearError) {
    PlainStore store;
    EXPECT_THROW(store._get_conditions_statement(Q("x", Lookup::GT, 1)), korvex::UsageError);
}

TEST(CountStatement, CountsTheRowsOfTheStoresSelect) {
    PlainStore store;
    EXPECT_EQ(store._build_count_statement("t", Q("x", Lookup::EQ, 1) & Q("d__k", Lookup::EQ, 2)),
              (Statement{R"(SELECT COUNT(*) FROM (SELECT * FROM "t" WHERE ("x" = %s AND d.k = %s)) AS counted_rows)",
                         {1, "nested"}}));
}

TEST(ProcessResult, MetadataArrivingAsTextIsParsed) {
    PlainStore store;
    const DataMap row = Value::parse(R"({"a":"{\"x\":1}","_metadata":"{\"next_version\":null}"})");
    EXPECT_EQ(store._process_result(row, {}), Value::parse(R"({"a":"{\"x\":1}","_metadata":{"next_version":null}})"));
    const DataMap parsed = Value::parse(R"({"_metadata":{"object_version":"2"}})");
    EXPECT_EQ(store._process_result(parsed, {}), parsed);
}
