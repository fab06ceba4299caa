// The Iceberg store's statement text, without a server: markers, page bounds and the quoting of
// JSON paths, where a name or a '%' must never change what a statement means.

#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/ice_history.hpp"
#include "korvex_data/connections/implementations/ice_history_dialect.hpp"

#include <gtest/gtest.h>

using korvex::ValueType;
using korvex::ice_history::question_markers;
using korvex::ice_history::SparkDialect;

TEST(IceHistoryStatements, MarkersBecomeQuestionMarksAndPageBoundsStayWithinInt) {
    const std::vector<std::tuple<std::string, std::string, std::size_t>> cases = {
        {"SELECT %s, '%%s', %s", "SELECT ?, '%s', ?", 2},
        {"SELECT * FROM t LIMIT %s OFFSET %s", "SELECT * FROM t LIMIT CAST(least(?, 2147483647) AS INT) OFFSET "
                                               "CAST(least(?, 2147483647) AS INT)", 2},
        {"SELECT '50%%_' LIKE x", "SELECT '50%_' LIKE x", 0},
        {"SELECT %", "SELECT %", 0},
        // A quoted name holds its '%' as written; a backquote inside a text literal opens no name.
        {"SELECT `a%s%%` FROM `t``%s` WHERE x = %s", "SELECT `a%s%%` FROM `t``%s` WHERE x = ?", 1},
        {"SELECT '`%%s', \"it\\\"s %%\" FROM t WHERE x = %s", "SELECT '`%s', \"it\\\"s %\" FROM t WHERE x = ?", 1},
    };
    for (const auto& [statement, text, markers] : cases) {
        EXPECT_EQ(question_markers(statement), std::make_pair(text, markers)) << statement;
    }
}

TEST(IceHistoryStatements, JsonPathStepsAreQuotedSoThatNoneChangesTheStatement) {
    SparkDialect dialect;
    dialect.locate("korvex", "db");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a__b", R"('$[\'a\'][\'b\']')"},
        {"it's", R"('$["it\'s"]')"},
        {R"(say "hi")", R"('$[\'say "hi"\']')"},
        {"50%s", R"('$[\'50%%s\']')"},
        {R"(back\slash)", R"('$[\'back\\slash\']')"},
    };
    for (const auto& [path, literal] : cases) {
        const std::string text = dialect.json_path_value("t1.`doc`", path, ValueType::TEXT);
        EXPECT_EQ(text, "try_variant_get(try_parse_json(t1.`doc`), " + literal + ", 'string')") << path;
    }
    EXPECT_THROW(dialect.json_path_value("t1.`doc`", R"(both ' and ")", ValueType::TEXT), korvex::UsageError);
    // A metadata column is a struct: its fields are named, not parsed.
    EXPECT_EQ(dialect.json_path_value("t2.`address`", "object_id", ValueType::TEXT),
              "CAST(t2.`address`.`object_id` AS STRING)");
}

// A read names each table of main as its reference followed by " AS "; those mentions, and only
// those, are read at the snapshot given, whatever a literal or a quoted name holds.
TEST(IceHistoryStatements, ReadsOfMainArePinnedToOneSnapshotPerTable) {
    SparkDialect dialect;
    dialect.locate("korvex", "db");
    const std::map<std::string, std::optional<std::int64_t>> snapshots = {
        {"metadata", 7}, {"person_v_1", 9}, {"it`s", 11}, {"empty", std::nullopt}};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SELECT * FROM korvex.db.`person_v_1` AS t1 JOIN (SELECT * FROM korvex.db.`metadata` AS _m) AS t2",
         "SELECT * FROM korvex.db.`person_v_1` VERSION AS OF 9 AS t1 JOIN (SELECT * FROM korvex.db.`metadata` "
         "VERSION AS OF 7 AS _m) AS t2"},
        // A branch, a table not given, and text inside literals and quoted names stay as they are.
        {"SELECT * FROM korvex.db.`metadata`.`branch_x` AS _m, korvex.db.`pet_v_1` AS t1",
         "SELECT * FROM korvex.db.`metadata`.`branch_x` AS _m, korvex.db.`pet_v_1` AS t1"},
        {"SELECT ' korvex.db.`metadata` AS _m', \"\\\" korvex.db.`metadata` AS x\", t1.` korvex.db.`` AS y` FROM x",
         "SELECT ' korvex.db.`metadata` AS _m', \"\\\" korvex.db.`metadata` AS x\", t1.` korvex.db.`` AS y` FROM x"},
        {"SELECT 1 FROM korvex.db.`it``s` AS t1", "SELECT 1 FROM korvex.db.`it``s` VERSION AS OF 11 AS t1"},
        // A table without a snapshot yet reads as empty.
        {"SELECT * FROM korvex.db.`empty` AS t1", "SELECT * FROM (SELECT * FROM korvex.db.`empty` WHERE false) AS t1"},
    };
    for (const auto& [text, pinned] : cases) {
        EXPECT_EQ(SparkDialect::pin_snapshots(text, dialect.main_table_mentions(text), snapshots), pinned) << text;
    }
}
