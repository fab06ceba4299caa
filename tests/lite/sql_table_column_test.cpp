#include "korvex/error.hpp"
#include "korvex/sqlite/sql_table_column.hpp"

#include <gtest/gtest.h>

using korvex::SqlTableColumn;
using Fields = SqlTableColumn::Fields;

namespace {

Fields is_deleted_fields() {
    return {{"cid", 7}, {"name", "is_deleted"}, {"type", "BOOLEAN"}, {"notnull", 1}, {"dflt_value", "0"}, {"pk", 0}};
}

}  // namespace

TEST(SqlTableColumn, BuildsFromNamedFieldsInAnyOrder) {
    Fields fields = is_deleted_fields();
    std::swap(fields.front(), fields.back());
    const SqlTableColumn column = SqlTableColumn::from_fields(fields);
    EXPECT_EQ(column.cid, 7);
    EXPECT_EQ(column.name, "is_deleted");
    EXPECT_EQ(column.type, "BOOLEAN");
    EXPECT_TRUE(column.notnull);
    EXPECT_EQ(column.dflt_value, "0");
    EXPECT_EQ(column.pk, 0);

    const SqlTableColumn key = SqlTableColumn::from_fields(
        {{"cid", 0}, {"name", "partition_key"}, {"type", "TEXT"}, {"notnull", false}, {"dflt_value", nullptr}, {"pk", 1}});
    EXPECT_FALSE(key.notnull);
    EXPECT_FALSE(key.dflt_value.has_value());
    EXPECT_EQ(key.pk, 1);
}

TEST(SqlTableColumn, RefusesUnknownMissingRepeatedAndMistypedFields) {
    auto message_of = [](const Fields& fields) {
        try {
            SqlTableColumn::from_fields(fields);
        } catch (const korvex::UsageError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };

    Fields unknown = is_deleted_fields();
    unknown.emplace_back("hidden", 0);
    EXPECT_NE(message_of(unknown).find("unknown table column field hidden"), std::string::npos);

    Fields missing = is_deleted_fields();
    missing.erase(missing.begin() + 4);
    EXPECT_NE(message_of(missing).find("dflt_value is missing"), std::string::npos);

    Fields repeated = is_deleted_fields();
    repeated.emplace_back("name", "other");
    EXPECT_NE(message_of(repeated).find("name given twice"), std::string::npos);

    Fields mistyped = is_deleted_fields();
    mistyped[0].second = "7";
    EXPECT_NE(message_of(mistyped).find("cid must be an integer"), std::string::npos);

    Fields bad_flag = is_deleted_fields();
    bad_flag[3].second = 2;
    EXPECT_NE(message_of(bad_flag).find("notnull"), std::string::npos);
}
