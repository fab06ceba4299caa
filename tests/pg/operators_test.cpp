// The look-up operators as PostgreSQL predicates, conditions on JSON paths and on the address and
// metadata, and the condition trees the host mixin builds from them. No server: pure builders.

#include "korvex/error.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/plugin/module_loader.hpp"
#include "pg_fixture.hpp"

#include <tuple>

using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::pg_timeline::sql_operator_map;

namespace {

// The predicate text and parameter of one operator applied to the expression f.
std::pair<std::string, ConditionParam> render(Lookup lookup, const Value& value) {
    const auto& sql_operator = sql_operator_map.at(lookup);
    return {sql_operator.build_statement("f", value, "", "\""), sql_operator.build_value(value)};
}

ConditionParam param(Value value) { return ConditionParam(std::move(value)); }

const ConditionParam NO_VALUE{NoValue};
const ConditionParam NO_CONDITION{std::monostate{}};

using Rendered = std::pair<std::string, ConditionParam>;

}  // namespace

// ---------------------------------------------------------------------------------------------
// The operator map

TEST(OperatorMap, HoldsEveryLookupAndIsTheClassAttribute) {
    EXPECT_EQ(sql_operator_map.size(), 14u);
    PostgresHistoricalConnection connection;
    EXPECT_EQ(&connection.SQL_OPERATOR_MAP(), &sql_operator_map);
}

TEST(OperatorMap, TheLoadedModuleHandsOutItsTables) {
    const Module& module = import_module(pg_timeline::MODULE_PATH);
    EXPECT_EQ(module.attribute<const OperatorMap*>("sql_operator_map"), &sql_operator_map);
    EXPECT_EQ(module.attribute<std::string>("METADATA_SELECT_FIELD"), pg_timeline::METADATA_SELECT_FIELD);
    EXPECT_EQ(module.attribute<std::string>("METADATA_SELECT_STATEMENT"), pg_timeline::METADATA_SELECT_STATEMENT);
}

TEST(OperatorMap, EqualityTellsBooleansFromNumbers) {
    EXPECT_EQ(render(Lookup::EQ, 1), Rendered("f = %s", param(1)));
    EXPECT_EQ(render(Lookup::EQ, "x"), Rendered("f = %s", param("x")));
    EXPECT_EQ(render(Lookup::NEQ, 0), Rendered("f != %s", param(0)));
    // A parameter cannot follow a bare IS on the server; the null-safe comparison keeps its meaning.
    EXPECT_EQ(render(Lookup::EQ, true), Rendered("f IS NOT DISTINCT FROM %s", param(true)));
    EXPECT_EQ(render(Lookup::NEQ, false), Rendered("f IS DISTINCT FROM %s", param(false)));
}

TEST(OperatorMap, Comparisons) {
    EXPECT_EQ(render(Lookup::GT, 5), Rendered("f > %s", param(5)));
    EXPECT_EQ(render(Lookup::GTE, 1.5), Rendered("f >= %s", param(1.5)));
    EXPECT_EQ(render(Lookup::LT, "b"), Rendered("f < %s", param("b")));
    EXPECT_EQ(render(Lookup::LTE, 0), Rendered("f <= %s", param(0)));
}

TEST(OperatorMap, InHasOneMarkerPerDecodedElement) {
    EXPECT_EQ(render(Lookup::IN, R"([1,"a",2.5])"), Rendered("f IN (%s,%s,%s)", param(Value::parse(R"([1,"a",2.5])"))));
    EXPECT_EQ(render(Lookup::IN, "[7]"), Rendered("f IN (%s)", param(Value::parse("[7]"))));
    // Nothing is in an empty list; "f IN ()" would be a syntax error on the server.
    EXPECT_EQ(render(Lookup::IN, "[]"), Rendered("FALSE", param(Value::array())));
    // A list given as a list works like its JSON text.
    EXPECT_EQ(render(Lookup::IN, Value::parse("[1,2]")).first, "f IN (%s,%s)");
}

TEST(OperatorMap, InRejectsTextThatIsNotAJsonList) {
    EXPECT_THROW(render(Lookup::IN, "[1,"), korvex::UsageError);
    EXPECT_THROW(render(Lookup::IN, "5"), korvex::UsageError);
    EXPECT_THROW(render(Lookup::IN, 5), korvex::UsageError);
}

TEST(OperatorMap, LikeFamilyWrapsTheValue) {
    EXPECT_EQ(render(Lookup::CONTAINS, "ab"), Rendered("f LIKE %s", param("%ab%")));
    EXPECT_EQ(render(Lookup::STARTSWITH, "ab"), Rendered("f LIKE %s", param("ab%")));
    EXPECT_EQ(render(Lookup::ENDSWITH, "ab"), Rendered("f LIKE %s", param("%ab")));
    EXPECT_EQ(render(Lookup::CONTAINS, 12), Rendered("f LIKE %s", param("%12%")));
    EXPECT_EQ(render(Lookup::ICONTAINS, "abc"), Rendered("UPPER(f) LIKE %s", param("%ABC%")));
    EXPECT_EQ(render(Lookup::ISTARTSWITH, 12), Rendered("UPPER(f) LIKE %s", param("12%")));
    EXPECT_EQ(render(Lookup::IENDSWITH, "straße é"), Rendered("UPPER(f) LIKE %s", param("%STRAßE É")));
}

TEST(OperatorMap, LikeFamilyMatchesWildcardsLiterally) {
    EXPECT_EQ(render(Lookup::CONTAINS, "50%_a\\").second, param("%50\\%\\_a\\\\%"));
    EXPECT_EQ(render(Lookup::ISTARTSWITH, "a_b").second, param("A\\_B%"));
}

TEST(OperatorMap, IsNullFollowsTruthinessAndTakesNoParameter) {
    for (const Value& truthy : {Value(true), Value(1), Value(-0.5), Value("x"), Value::parse("[0]")}) {
        EXPECT_EQ(render(Lookup::ISNULL, truthy), Rendered("f IS NULL", NO_VALUE)) << truthy.dump();
    }
    for (const Value& falsy : {Value(false), Value(0), Value(0.0), Value(""), Value(nullptr), Value::array()}) {
        EXPECT_EQ(render(Lookup::ISNULL, falsy), Rendered("f IS NOT NULL", NO_VALUE)) << falsy.dump();
    }
}

// ---------------------------------------------------------------------------------------------
// Nested fields

struct NestedFilter : ::testing::Test {
    Rendered nested(const std::string& field, const std::string& path, Lookup lookup, const Value& value,
                    bool is_internal_table = false, bool use_internal_meta_tables = false,
                    std::optional<ValueType> value_type = std::nullopt) {
        return connection._nested_filter_statement(field, path, sql_operator_map.at(lookup), value,
                                                   value_type ? value_type : type_of(value), is_internal_table,
                                                   use_internal_meta_tables);
    }
    PostgresHistoricalConnection connection;
};

TEST_F(NestedFilter, AllVersionsAddNoConditionOnTheAddressVersionOnly) {
    EXPECT_EQ(nested("_address", "object_version", Lookup::EQ, "ALL", false, true), Rendered("", NO_CONDITION));
    // Elsewhere ALL is an ordinary text (a JSON path may store it).
    EXPECT_EQ(nested("data", "a", Lookup::EQ, "ALL", true),
              Rendered(R"(cast(data::json->>'a' as text) = %s)", param("ALL")));
    EXPECT_EQ(nested("data", "a", Lookup::EQ, "ALL", true, false, ValueType::VERSIONS),
              Rendered(R"(cast(data::json->>'a' as text) = %s)", param("ALL")));
}

// The cast reads the path as the kind of the parameter: numbers as numeric, LIKE patterns as
// text, IN by the kind its elements share.
TEST_F(NestedFilter, PathsAreReadAsTheKindOfTheirParameter) {
    const std::vector<std::tuple<Lookup, Value, std::string>> cases = {
        {Lookup::EQ, 0, "numeric"},           {Lookup::GT, 0.5, "numeric"},
        {Lookup::EQ, 3000000000LL, "numeric"}, {Lookup::EQ, true, "boolean"},
        {Lookup::CONTAINS, 12, "text"},       {Lookup::ISTARTSWITH, 1.5, "text"},
        {Lookup::IN, "[2.5, 0]", "numeric"},  {Lookup::IN, "[true, false]", "boolean"},
        {Lookup::IN, R"([1, "a"])", "text"},  {Lookup::IN, R"(["a"])", "text"},
        {Lookup::EQ, nullptr, "text"},        {Lookup::ISNULL, true, "text"},
    };
    for (const auto& [lookup, value, cast] : cases) {
        EXPECT_NE(nested("doc", "x", lookup, value).first.find("->>'x' as " + cast + ")"), std::string::npos)
            << value.dump() << " " << to_string(lookup);
    }
}

TEST_F(NestedFilter, LatestVersionIsTheOneWithoutSuccessor) {
    EXPECT_EQ(nested("_address", "object_version", Lookup::EQ, "LATEST", false, true),
              Rendered(R"((t2."next_version" IS NULL OR t2."next_version" = ''))", NO_VALUE));
    EXPECT_EQ(nested("_address", "object_version", Lookup::EQ, "LATEST"),
              Rendered("(cast(_metadata::json->'next_version' as text) IS NULL OR "
                       "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')",
                       NO_VALUE));
    // Elsewhere LATEST is an ordinary text.
    EXPECT_EQ(nested("data", "tag", Lookup::EQ, "LATEST", true),
              Rendered(R"(cast(data::json->>'tag' as text) = %s)", param("LATEST")));
}

TEST_F(NestedFilter, IsNullReadsThePathAsText) {
    // The value of ISNULL only says which way; the stored value may be of any kind.
    EXPECT_EQ(nested("doc", "x", Lookup::ISNULL, true),
              Rendered(R"(cast(t1."doc"::json->>'x' as text) IS NULL)", NO_VALUE));
}

TEST_F(NestedFilter, AddressParts) {
    EXPECT_EQ(nested("_address", "object_id", Lookup::EQ, "p1"), Rendered("partition_key = %s", param("p1")));
    EXPECT_EQ(nested("_address", "object_id", Lookup::EQ, "p1", false, true),
              Rendered(R"(t1."partition_key" = %s)", param("p1")));
    EXPECT_EQ(nested("_address", "object_version", Lookup::EQ, "3", false, true),
              Rendered(R"(t1."range_key" = %s)", param("3")));
    // Without the meta tables no other part of the address can be filtered.
    EXPECT_EQ(nested("_address", "object_version", Lookup::EQ, "3"), Rendered("", NO_CONDITION));
    EXPECT_EQ(nested("_address", "class_name", Lookup::EQ, "Person"), Rendered("", NO_CONDITION));
}

TEST(ResolveNestedFieldName, CastFollowsTheValueType) {
    using C = PostgresHistoricalConnection;
    EXPECT_EQ(C::_resolve_nested_field_name("data", "a__b", ValueType::INTEGER, true),
              "CASE WHEN json_typeof(data::json->'a'->'b') = 'number' THEN cast(data::json->'a'->>'b' as numeric) END");
    EXPECT_EQ(C::_resolve_nested_field_name("data", "a", ValueType::FLOAT, true),
              "CASE WHEN json_typeof(data::json->'a') = 'number' THEN cast(data::json->>'a' as numeric) END");
    // Only a JSON true or false reads as a boolean (not the text "true"), only a JSON number as a
    // number (a text there matches nothing rather than failing the cast).
    EXPECT_EQ(C::_resolve_nested_field_name("data", "a", ValueType::BOOLEAN, true),
              "CASE WHEN json_typeof(data::json->'a') = 'boolean' THEN cast(data::json->>'a' as boolean) END");
    for (ValueType text_like : {ValueType::TEXT, ValueType::NONE, ValueType::LIST, ValueType::MAP}) {
        EXPECT_EQ(C::_resolve_nested_field_name("data", "a", text_like, true),
                  R"(cast(data::json->>'a' as text))");
    }
}

TEST(ResolveNestedFieldName, EveryStepButTheLastKeepsTheJson) {
    using C = PostgresHistoricalConnection;
    EXPECT_EQ(C::_resolve_nested_field_name("doc", "a__b__c", ValueType::INTEGER),
              R"(CASE WHEN json_typeof(t1."doc"::json->'a'->'b'->'c') = 'number' THEN )"
              R"(cast(t1."doc"::json->'a'->'b'->>'c' as numeric) END)");
    EXPECT_EQ(C::_resolve_nested_field_name("doc", "a__b", ValueType::TEXT, false, true),
              R"(cast(t1."doc"::json->'a'->>'b' as text))");
}

TEST(ResolveNestedFieldName, MetadataColumnsAndPathsBelowThem) {
    using C = PostgresHistoricalConnection;
    EXPECT_EQ(C::_resolve_nested_field_name("_metadata", "class_schema_type", ValueType::TEXT, false, true),
              R"(t2."class_schema_type")");
    EXPECT_EQ(C::_resolve_nested_field_name("_metadata", "address__object_id", ValueType::TEXT, false, true),
              R"(cast(t2."address"::json->>'object_id' as text))");
    // Without the meta tables _metadata is a JSON column of the model table like any other.
    EXPECT_EQ(C::_resolve_nested_field_name("_metadata", "is_deleted", ValueType::BOOLEAN),
              R"(CASE WHEN json_typeof(t1."_metadata"::json->'is_deleted') = 'boolean' THEN )"
              R"(cast(t1."_metadata"::json->>'is_deleted' as boolean) END)");
}

TEST(ResolveNestedFieldName, NamesCannotLeaveTheirQuotes) {
    using C = PostgresHistoricalConnection;
    EXPECT_EQ(C::_resolve_nested_field_name("data", "a' OR '1'='1", ValueType::INTEGER, true),
              "CASE WHEN json_typeof(data::json->'a'' OR ''1''=''1') = 'number' THEN "
              "cast(data::json->>'a'' OR ''1''=''1' as numeric) END");
    EXPECT_EQ(C::_resolve_nested_field_name("data", "a\\' OR true --", ValueType::TEXT, true),
              R"(cast(data::json->>E'a\\'' OR true --' as text))");
    EXPECT_EQ(C::_resolve_nested_field_name("da\"ta", "x", ValueType::TEXT), R"(cast(t1."da""ta"::json->>'x' as text))");
    EXPECT_EQ(C::_resolve_nested_field_name("_metadata", "c\"d", ValueType::TEXT, false, true), R"(t2."c""d")");
    // A bare internal column that is not a plain name is quoted.
    EXPECT_EQ(C::_resolve_nested_field_name("x) OR (1", "a", ValueType::TEXT, true), R"(cast("x) OR (1"::json->>'a' as text))");
    // A percent sign cannot pose as a parameter marker.
    EXPECT_EQ(C::_resolve_nested_field_name("data", "%s", ValueType::TEXT, true), "cast(data::json->>'%%s' as text)");
}

// ---------------------------------------------------------------------------------------------
// Condition trees (the host mixin with this store's vocabulary)

struct Conditions : ::testing::Test {
    std::pair<std::string, std::vector<Value>> build(const Q& q, bool is_internal_table = false,
                                                     bool use_internal_meta_tables = true) {
        return connection._get_conditions_statement(q, is_internal_table, use_internal_meta_tables);
    }
    PostgresHistoricalConnection connection;
};

TEST_F(Conditions, PlainColumnsAreQuotedBehindTheModelAlias) {
    EXPECT_EQ(build(Q("name", Lookup::EQ, "Ann")), std::make_pair(std::string(R"(t1."name" = %s)"), std::vector<Value>{"Ann"}));
    EXPECT_EQ(build(Q("na\"me", Lookup::GT, 1)).first, R"(t1."na""me" > %s)");
    // Without the joined meta tables, and on internal tables, there is no alias.
    EXPECT_EQ(build(Q("name", Lookup::EQ, "Ann"), false, false).first, R"("name" = %s)");
    EXPECT_EQ(build(Q("object_id", Lookup::EQ, "o"), true, true).first, R"("object_id" = %s)");
}

TEST_F(Conditions, TreesKeepTheParameterOrder) {
    const Q q = Q::all_of({Q("a", Lookup::EQ, 1) | Q("b", Lookup::IN, "[2,3]"), !Q("c", Lookup::ISNULL, true),
                           Q("data__x", Lookup::LT, 4.5)});
    const auto [text, params] = build(q);
    EXPECT_EQ(text, R"(((t1."a" = %s OR t1."b" IN (%s,%s)) AND NOT (t1."c" IS NULL) AND )"
                    R"(CASE WHEN json_typeof(t1."data"::json->'x') = 'number' THEN cast(t1."data"::json->>'x' as numeric) END < %s))");
    EXPECT_EQ(params, (std::vector<Value>{1, 2, 3, 4.5}));
}

// A condition without predicate restricts nothing, wherever it stands.
TEST_F(Conditions, ConditionsWithoutPredicateRestrictNothing) {
    const Q all("_address__object_version", Lookup::EQ, "ALL");
    const Q a("a", Lookup::EQ, 1);
    EXPECT_EQ(build(all & a), std::make_pair(std::string(R"(t1."a" = %s)"), std::vector<Value>{1}));
    EXPECT_EQ(build(all | a), std::make_pair(std::string(), std::vector<Value>{}));
    EXPECT_EQ(build((all | a) & Q("b", Lookup::EQ, 2)).first, R"(t1."b" = %s)");
    EXPECT_EQ(build(!all).first, "FALSE");
    EXPECT_EQ(build((!(all | a)) | Q("b", Lookup::EQ, 2)), std::make_pair(std::string(R"((FALSE OR t1."b" = %s))"),
                                                                        std::vector<Value>{2}));
    EXPECT_EQ(build(Q("_address__class_name", Lookup::EQ, "x"), false, false), std::make_pair(std::string(), std::vector<Value>{}));
    EXPECT_EQ(build(Q()).first, "");
}

TEST_F(Conditions, VersionMarkersOnlyTakeEq) {
    for (const auto& [lookup, value] : std::vector<std::pair<Lookup, Value>>{
             {Lookup::NEQ, "LATEST"}, {Lookup::NEQ, "ALL"}, {Lookup::IN, R"(["1", "LATEST"])"}, {Lookup::GT, "ALL"}}) {
        EXPECT_THROW(build(Q("_address__object_version", lookup, value)), korvex::UsageError) << value.dump();
    }
    EXPECT_EQ(build(Q("_address__object_version", Lookup::NEQ, "3")).first, R"(t1."range_key" != %s)");
    EXPECT_EQ(build(Q("name", Lookup::NEQ, "LATEST")).first, R"(t1."name" != %s)");
}

TEST_F(Conditions, LatestVersionTakesNoParameter) {
    const auto [text, params] = build(Q("_address__object_version", Lookup::EQ, "LATEST") & Q("a", Lookup::EQ, 1));
    EXPECT_EQ(text, R"(((t2."next_version" IS NULL OR t2."next_version" = '') AND t1."a" = %s))");
    EXPECT_EQ(params, (std::vector<Value>{1}));
}

TEST_F(Conditions, AddressOrMetadataWithoutAPartIsRefused) {
    EXPECT_THROW(build(Q("_address", Lookup::EQ, "x")), korvex::UsageError);
    EXPECT_THROW(build(Q("_metadata", Lookup::ISNULL, true)), korvex::UsageError);
}
