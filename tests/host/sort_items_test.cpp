#include "korvex/connections/sql_history_connection_mixin.hpp"

#include <gtest/gtest.h>

using namespace korvex;

namespace {

std::vector<DataMap> rows(const char* json) { return Value::parse(json).get<std::vector<DataMap>>(); }

std::vector<std::string> ids(const std::vector<DataMap>& items) {
    std::vector<std::string> result;
    for (const auto& item : items) result.push_back(item.at("id").get<std::string>());
    return result;
}

using Ids = std::vector<std::string>;

}  // namespace

TEST(SortItems, NoOrderingKeepsTheOrder) {
    const auto items = rows(R"([{"id":"b","n":2},{"id":"a","n":1}])");
    EXPECT_EQ(ids(sort_items(items, std::nullopt)), (Ids{"b", "a"}));
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{})), (Ids{"b", "a"}));
}

TEST(SortItems, PlainFieldsByValueStablyWithNullsLastAscending) {
    const auto items = rows(R"([{"id":"a","n":10},{"id":"b","n":null},{"id":"c","n":9},{"id":"d"},
                                {"id":"e","n":9.5},{"id":"f","n":9}])");
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"n"}})), (Ids{"c", "f", "e", "a", "b", "d"}));
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"n", true}})), (Ids{"b", "d", "a", "e", "c", "f"}));
}

TEST(SortItems, LaterItemsBreakTies) {
    const auto items = rows(R"([{"id":"a","g":1,"s":"y"},{"id":"b","g":0,"s":"z"},{"id":"c","g":1,"s":"x"}])");
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"g", true}, {"s"}})), (Ids{"c", "a", "b"}));
}

TEST(SortItems, TextsByCodePointAndMixedIntegerKinds) {
    // Parsed JSON holds non-negative integers unsigned; they still compare with signed ones.
    auto items = rows(R"([{"id":"a","s":"é"},{"id":"b","s":"Z"},{"id":"c","s":"a"}])");
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"s"}})), (Ids{"b", "c", "a"}));
    std::vector<DataMap> numbers = {DataMap{{"id", "a"}, {"n", std::uint64_t{18446744073709551615u}}},
                                    DataMap{{"id", "b"}, {"n", std::int64_t{-1}}},
                                    DataMap{{"id", "c"}, {"n", std::uint64_t{3}}}};
    EXPECT_EQ(ids(sort_items(numbers, std::vector<OrderBy>{{"n"}})), (Ids{"b", "c", "a"}));
}

TEST(SortItems, PathsOrderByTheirTextLikeTheStatement) {
    const auto items = rows(R"([{"id":"a","d":{"k":{"n":10}}},{"id":"b","d":{"k":{"n":9}}},{"id":"c","d":{}}])");
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"d__k__n"}})), (Ids{"a", "b", "c"}));
}

TEST(SortItems, AFieldTheRowLacksIsReadFromItsMetadata) {
    const auto items = rows(R"([{"id":"a","_metadata":{"created_at":3}},{"id":"b","_metadata":{"created_at":1}},
                                {"id":"c","created_at":2,"_metadata":{"created_at":9}}])");
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"created_at"}})), (Ids{"b", "c", "a"}));
    EXPECT_EQ(ids(sort_items(items, std::vector<OrderBy>{{"_metadata__created_at", true}})), (Ids{"c", "a", "b"}));
}
