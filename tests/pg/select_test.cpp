// SELECT building: the metadata sub-select and projection, the plain and the joined statement,
// grouping, ordering and the page. No server: pure builders.

#include "korvex/error.hpp"
#include "korvex/connections/constants.hpp"
#include "pg_fixture.hpp"

using namespace korvex;
using korvex::pg_timeline::METADATA_SELECT_FIELD;
using korvex::pg_timeline::METADATA_SELECT_STATEMENT;
using korvex::pg_timeline::PostgresHistoricalConnection;

namespace {

const std::string JOIN = " JOIN (" + METADATA_SELECT_STATEMENT +
                         ") AS t2 ON t1.partition_key = t2.object_id AND t1.range_key = t2.object_version";

// The joined statement on `table` with `selection` (and `keys` after the metadata), up to the
// join condition.
std::string joined(const std::string& table, const std::string& selection = "t1.*", const std::string& keys = "") {
    return "SELECT " + selection + ", " + METADATA_SELECT_FIELD + keys + " FROM \"" + table + "\" AS t1" + JOIN;
}

const std::string GROUP_BY = " GROUP BY t1.partition_key, t1.range_key";

struct Select : ::testing::Test {
    Statement select(const std::string& table, const std::optional<QuerySpecifier>& query_specifier = std::nullopt,
                     const std::optional<Q>& conditions = std::nullopt, const Pagination& pagination = {},
                     const std::optional<std::vector<OrderBy>>& order_by = std::nullopt, bool use_meta = true) {
        return connection._build_select_statement(table, query_specifier, conditions, pagination, order_by, use_meta);
    }
    // Without a server every table reads as having no columns, so a bare ordering name is the
    // table's own column.
    korvex::testing::OfflineConnection connection;
};

}  // namespace

TEST(MetadataSelect, SubSelectIsExact) {
    EXPECT_EQ(METADATA_SELECT_STATEMENT,
              "\nSELECT\n  _m.*,\n  trim('\"' FROM (\n    SELECT cast(_m2.object_version as text)\n    FROM metadata as "
              "_m2\n    WHERE\n        _m.object_version = _m2.prior_version\n        AND\n        _m.object_id = "
              "_m2.object_id\n    LIMIT 1\n  )::text) as next_version\nFROM metadata as _m\n");
}

TEST(MetadataSelect, ProjectionIsExact) {
    EXPECT_EQ(METADATA_SELECT_FIELD,
              "\njson_build_object(\n"
              "    'next_version', json_agg(t2.\"next_version\")->0,\n"
              "    'address', json_agg(to_json(t2.address))->0,\n"
              "    'object_id', json_agg(t2.object_id)->0,\n"
              "    'object_version', json_agg(t2.object_version)->0,\n"
              "    'prior_version', json_agg(t2.prior_version)->0,\n"
              "    'class_schema_reference', json_agg(to_json(t2.class_schema_reference))->0,\n"
              "    'class_meta_schema_reference', json_agg(to_json(t2.class_meta_schema_reference))->0,\n"
              "    'class_schema_type', json_agg(t2.class_schema_type)->0,\n"
              "    'is_deleted', json_agg(t2.is_deleted)->0,\n"
              "    'created_at', json_agg(t2.created_at)->0,\n"
              "    'updated_at', json_agg(t2.updated_at)->0,\n"
              "    'transaction', json_agg(to_json(t2.\"transaction\"))->0\n"
              ") AS _metadata\n");
    // Thirteen pieces of 686 characters with the alias between each two.
    EXPECT_EQ(METADATA_SELECT_FIELD.size(), 686u + 12 * std::string(METADATA_TABLE_ALIAS).size());
}

TEST_F(Select, UserTableJoinsTheMetadataAndGroupsByVersion) {
    EXPECT_EQ(select("users"), (Statement{joined("users") + GROUP_BY, {}}));
    EXPECT_EQ(select("metadata_x").text, joined("metadata_x") + GROUP_BY);
}

TEST_F(Select, InternalTablesTakeThePlainStatement) {
    EXPECT_EQ(select("x_metadata"), (Statement{R"(SELECT * FROM "x_metadata")", {}}));
    EXPECT_EQ(select("y_reference").text, R"(SELECT * FROM "y_reference")");
    EXPECT_EQ(select("metadata", std::nullopt, Q("object_id", Lookup::EQ, "o")),
              (Statement{R"(SELECT * FROM "metadata" WHERE "object_id" = %s)", {"o"}}));
}

// A distinct selection keeps the first row of each group of equal distinct names; the keys ride
// along as the last columns, which the reader drops.
const std::string DISTINCT_ON_A = "SELECT * FROM (SELECT DISTINCT ON (korvex_d0) * FROM (";
const std::string FIRST_OF_EACH = ") AS selected_rows ORDER BY korvex_d0) AS distinct_rows";

TEST_F(Select, OnlyOnThePlainStatementAddsMetadataAndSorts) {
    const QuerySpecifier only{std::vector<std::string>{"b", "a", "a"}, {"a"}};
    EXPECT_EQ(select("users", QuerySpecifier{std::vector<std::string>{"b", "a", "a"}, {}}, std::nullopt, {},
                     std::nullopt, false)
                  .text,
              R"(SELECT _metadata, a, b FROM "users")");
    const Statement distinct = select("x_reference", only);
    EXPECT_EQ(distinct.text, DISTINCT_ON_A + R"(SELECT a, b, a AS korvex_d0 FROM "x_reference")" + FIRST_OF_EACH);
    EXPECT_EQ(distinct.helper_columns, 1u);
    // An empty or absent list selects everything.
    EXPECT_EQ(select("x_reference", QuerySpecifier{}).text, R"(SELECT * FROM "x_reference")");
    EXPECT_EQ(select("x_reference", QuerySpecifier{std::nullopt, {}}).text, R"(SELECT * FROM "x_reference")");
}

TEST_F(Select, OnlyOnTheJoinedStatementIsAliased) {
    const QuerySpecifier only{std::vector<std::string>{"b", "a", "a"}, {"a"}};
    EXPECT_EQ(select("users", only).text,
              DISTINCT_ON_A + joined("users", "t1.a, t1.b", ", t1.a AS korvex_d0") + GROUP_BY + FIRST_OF_EACH);
    // With an ordering and a page: the first row in that order, then ordered and paged outside.
    const Statement ordered = select("users", only, std::nullopt, NumberPaginator{5, 2}, std::vector<OrderBy>{{"b", true}});
    EXPECT_EQ(ordered.text, "SELECT * FROM (SELECT DISTINCT ON (korvex_d0) * FROM (" +
                                joined("users", "t1.a, t1.b", R"(, t1.a AS korvex_d0, t1."b" AS korvex_k0)") +
                                GROUP_BY + R"(, t1."b")" +
                                ") AS selected_rows ORDER BY korvex_d0, korvex_k0 DESC) AS distinct_rows"
                                " ORDER BY korvex_k0 DESC LIMIT %s OFFSET %s");
    EXPECT_EQ(ordered.params, (std::vector<Value>{5, 2}));
    EXPECT_EQ(ordered.helper_columns, 2u);
    EXPECT_EQ(select("users", QuerySpecifier{}).text, joined("users") + GROUP_BY);
    EXPECT_THROW(select("users", QuerySpecifier{std::nullopt, {}}), korvex::UsageError);
}

TEST_F(Select, SelectedNamesCannotLeaveTheirPlace) {
    const QuerySpecifier only{std::vector<std::string>{"x FROM secret --", "Name"}, {}};
    EXPECT_EQ(select("users", only).text, joined("users", R"(t1."Name", t1."x FROM secret --")") + GROUP_BY);
    EXPECT_EQ(select("us\"ers").text, joined("us\"\"ers") + GROUP_BY);
}

TEST_F(Select, ConditionsComeBeforeTheGrouping) {
    EXPECT_EQ(select("users", std::nullopt, Q("name", Lookup::EQ, "Ann") & Q("_address__object_version", Lookup::EQ, "LATEST")),
              (Statement{joined("users") +
                             R"( WHERE (t1."name" = %s AND (t2."next_version" IS NULL OR t2."next_version" = '')))" +
                             GROUP_BY,
                         {"Ann"}}));
}

TEST_F(Select, NumberPaginatorAddsLimitAndOffsetAfterTheConditionParameters) {
    EXPECT_EQ(select("users", std::nullopt, Q("a", Lookup::EQ, 1), NumberPaginator{10, std::nullopt}),
              (Statement{joined("users") + R"( WHERE t1."a" = %s)" + GROUP_BY + " LIMIT %s OFFSET %s", {1, 10, 0}}));
    EXPECT_EQ(select("users", std::nullopt, std::nullopt, NumberPaginator{0, 5}).params, (std::vector<Value>{0, 5}));
    EXPECT_EQ(select("users", std::nullopt, std::nullopt, NumberPaginator{std::nullopt, 5}).text, joined("users") + GROUP_BY);
    EXPECT_EQ(select("x_metadata", std::nullopt, std::nullopt, NumberPaginator{3, 1}),
              (Statement{R"(SELECT * FROM "x_metadata" LIMIT %s OFFSET %s)", {3, 1}}));
}

TEST_F(Select, CursorPaginatorIsRefused) {
    korvex::testing::expect_connection_error([&] { select("users", std::nullopt, std::nullopt, CursorPaginator{5, "c"}); },
                                     "Cursor pagination is not supported");
    korvex::testing::expect_connection_error([&] { select("metadata", std::nullopt, std::nullopt, CursorPaginator{}); },
                                     "Cursor pagination is not supported");
}

TEST_F(Select, OrderingIsGroupedAndOrdered) {
    EXPECT_EQ(connection._build_group_by_statement(std::vector<OrderBy>{{"created_at"}}, false, true),
              R"( GROUP BY t1.partition_key, t1.range_key, t1."created_at")");
    EXPECT_EQ(connection._build_group_by_statement(std::vector<OrderBy>{{"data__a"}}, false, true),
              R"( GROUP BY t1.partition_key, t1.range_key, cast(t1."data"::json->>'a' as text))");
    EXPECT_EQ(connection._build_group_by_statement(std::nullopt), GROUP_BY);
    EXPECT_EQ(connection._build_group_by_statement(std::vector<OrderBy>{}), GROUP_BY);

    const std::vector<OrderBy> order{{"created_at", true}, {"_metadata__object_version"}};
    EXPECT_EQ(select("users", std::nullopt, std::nullopt, {}, order).text,
              joined("users") + GROUP_BY + R"(, t1."created_at", t2."object_version")" +
                  R"( ORDER BY t1."created_at" DESC, t2."object_version" ASC)");
}

TEST_F(Select, OnlyAnAggregateSelectionDropsTheGrouping) {
    const auto plain = [&](const std::string& table, const std::string& selection, const std::optional<Q>& q = {}) {
        return connection._select_with_internal_meta_statement(table, selection, q).text;
    };
    EXPECT_EQ(plain("users", "COUNT(*)").find("GROUP BY"), std::string::npos);
    EXPECT_NE(plain("users", "count(*)").find(GROUP_BY), std::string::npos);
    // A table or a field whose name holds COUNT is grouped like any other.
    EXPECT_NE(plain("COUNTRY", "t1.*").find(GROUP_BY), std::string::npos);
    EXPECT_NE(plain("users", "t1.*", Q("COUNTER", Lookup::EQ, 1)).find(GROUP_BY), std::string::npos);
    EXPECT_NE(plain("users", R"sql(t1."COUNTER", t1."COUNT(x)", t1.COUNTER)sql").find(GROUP_BY), std::string::npos);
    EXPECT_EQ(plain("users", "t1.a, COUNT (*)").find("GROUP BY"), std::string::npos);
}
