// The store's reads of one table against the grouped statement its builders give outside a read.
// Seeded random reads against the engine's own answers: random data in three class-version
// tables that differ in their columns, then a few hundred random queries (orderings, pages,
// selections, filters) and counts, each compared with a hand-written SELECT over the union of
// those tables run by the engine, where a table that lacks a column reads it as NULL.

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/connections/constants.hpp"
#include "korvex/connections/sql_historical_store.hpp"
#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "store_engine.hpp"

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <set>

using namespace korvex;

namespace {

using Ids = std::vector<std::string>;
constexpr int CLASS_VERSIONS = 3;

struct Column {
    std::string name;
    ValueKind kind;
    std::string postgres_type;  // of the column in the union of every table
};

// Some columns only one or two class versions have; `level` is an integer in one table and a
// real in another.
const std::vector<std::vector<Column>> TABLE_COLUMNS = {
    {{"name", ValueKind::TEXT, "text"}, {"age", ValueKind::INTEGER, "bigint"}, {"doc", ValueKind::MAPPING, "json"},
     {"created_at", ValueKind::TEXT, "text"}, {"level", ValueKind::INTEGER, "double precision"}},
    {{"name", ValueKind::TEXT, "text"}, {"age", ValueKind::INTEGER, "bigint"},
     {"score", ValueKind::FLOAT, "double precision"}, {"doc", ValueKind::MAPPING, "json"},
     {"created_at", ValueKind::TEXT, "text"}, {"level", ValueKind::FLOAT, "double precision"}},
    {{"name", ValueKind::TEXT, "text"}, {"score", ValueKind::FLOAT, "double precision"},
     {"doc", ValueKind::MAPPING, "json"}, {"created_at", ValueKind::TEXT, "text"},
     {"tags", ValueKind::MAPPING, "json"}},
};
const std::vector<Column> EVERY_COLUMN = {
    {"name", ValueKind::TEXT, "text"},    {"age", ValueKind::INTEGER, "bigint"},
    {"score", ValueKind::FLOAT, "double precision"}, {"doc", ValueKind::MAPPING, "json"},
    {"created_at", ValueKind::TEXT, "text"}, {"level", ValueKind::FLOAT, "double precision"},
    {"tags", ValueKind::MAPPING, "json"}};

bool table_has(int table, const std::string& name) {
    const auto& columns = TABLE_COLUMNS[static_cast<std::size_t>(table)];
    return std::any_of(columns.begin(), columns.end(), [&](const Column& column) { return column.name == name; });
}

// Texts of mixed case, accents, blanks, digits, LIKE's own characters, version marker names.
const std::vector<std::string> TEXTS = {"alpha", "Alpha", "ALPHA", "álpha", "b c", "B", "bravo 2", "", "10", "9",
                                        "Échelle", "échelle", "zeta", " lead", "50%_off", "ALL", "LATEST", "o'neil",
                                        "back\\slash"};
const std::vector<std::int64_t> INTEGERS = {-5, 0, 7, 30, 2147483648LL, 3000000000LL, -3000000000LL};
const std::vector<double> REALS = {-1.5, 0.0, 0.5, 2.25, 7.0, 30.5, 1e10};

std::string literal(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

struct Random {
    std::mt19937 engine{20261208};
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine); }
    bool chance(int percent) { return static_cast<int>(below(100)) < percent; }
    template <class T> const T& pick(const std::vector<T>& items) { return items[below(items.size())]; }
};

// The hand-written side: expressions over the columns of the union of every class-version table.
struct Oracle {
    bool pg;
    std::string text_at(const std::string& key, const std::string& column = "doc") const {
        return pg ? "(" + column + "->>" + literal(key) + ")" : "(" + column + "->>" + literal("$." + key) + ")";
    }
    std::string number_at(const std::string& key) const {
        return pg ? "CAST(doc->>" + literal(key) + " AS NUMERIC)" : "(doc->>" + literal("$." + key) + ")";
    }
    // A number's JSON text, as a text operator or the ordering reads it.
    std::string number_text_at(const std::string& key) const {
        return pg ? "(doc->>" + literal(key) + ")"
                  : "(CASE WHEN json_type(doc, " + literal("$." + key) + ") IN ('integer', 'real') THEN doc->" +
                        literal("$." + key) + " END)";
    }
    // On a key that holds values of every kind: numbers only as numbers, booleans only as
    // booleans, anything else by its text (a JSON text for a number, true, an object).
    std::string only_number_at(const std::string& key) const {
        return pg ? "(CASE WHEN json_typeof(doc->" + literal(key) + ") = 'number' THEN CAST(doc->>" + literal(key) +
                        " AS NUMERIC) END)"
                  : "(CASE WHEN json_type(doc, " + literal("$." + key) + ") IN ('integer', 'real') THEN doc->>" +
                        literal("$." + key) + " END)";
    }
    std::string only_boolean_at(const std::string& key) const {
        return pg ? "(CASE WHEN json_typeof(doc->" + literal(key) + ") = 'boolean' THEN CAST(doc->>" + literal(key) +
                        " AS BOOLEAN) END)"
                  : "(CASE WHEN json_type(doc, " + literal("$." + key) + ") IN ('true', 'false') THEN doc->>" +
                        literal("$." + key) + " END)";
    }
    std::string any_text_at(const std::string& key) const {
        return pg ? "(doc->>" + literal(key) + ")"
                  : "(CASE json_type(doc, " + literal("$." + key) + ") WHEN 'text' THEN doc->>" + literal("$." + key) +
                        " WHEN 'null' THEN NULL ELSE doc->" + literal("$." + key) + " END)";
    }
    std::string boolean_at(const std::string& key) const {
        return pg ? "CAST(doc->>" + literal(key) + " AS BOOLEAN)" : "(doc->>" + literal("$." + key) + ")";
    }
    std::string same_as_true(bool wanted, bool equal) const {
        if (pg) {
            return std::string(equal ? " IS NOT DISTINCT FROM " : " IS DISTINCT FROM ") + (wanted ? "true" : "false");
        }
        return std::string(equal ? " IS " : " IS NOT ") + (wanted ? "1" : "0");
    }
    std::string position(const std::string& haystack, const std::string& needle) const {
        return pg ? "strpos(" + haystack + ", " + needle + ")" : "instr(" + haystack + ", " + needle + ")";
    }
    std::string text_test(Lookup lookup, const std::string& expression, const std::string& value) const {
        const bool upper = lookup == Lookup::ICONTAINS || lookup == Lookup::ISTARTSWITH || lookup == Lookup::IENDSWITH;
        const std::string subject = upper ? "upper(" + expression + ")" : expression;
        const std::string needle = literal(value);
        switch (lookup) {
            case Lookup::CONTAINS:
            case Lookup::ICONTAINS: return position(subject, needle) + " > 0";
            case Lookup::STARTSWITH:
            case Lookup::ISTARTSWITH: return position(subject, needle) + " = 1";
            default:
                return "substr(" + subject + ", length(" + subject + ") - length(" + needle + ") + 1) = " + needle;
        }
    }
    // All rows of every table beside their metadata and whether they are the latest version; a
    // column the table lacks is NULL.
    std::string rows() const {
        std::string union_all;
        for (int version = 1; version <= CLASS_VERSIONS; ++version) {
            std::string columns;
            for (const auto& column : EVERY_COLUMN) {
                const std::string as = column.name == "created_at" ? "own_created" : column.name;
                columns += (table_has(version - 1, column.name) ? "p." + column.name
                            : pg                                ? "CAST(NULL AS " + column.postgres_type + ")"
                                                                : std::string("NULL")) +
                           " AS " + as + ", ";
            }
            union_all += std::string(version > 1 ? " UNION ALL " : "") + "SELECT " + std::to_string(version - 1) +
                         " AS tbl, p.partition_key AS pk, p.range_key AS rk, " + columns +
                         "m.created_at AS meta_created, m.updated_at AS meta_updated, "
                         "m.address AS meta_address, (SELECT n.object_version FROM metadata n WHERE n.object_id = "
                         "m.object_id AND n.prior_version = m.object_version) AS next_v, "
                         "NOT EXISTS (SELECT 1 FROM metadata n WHERE n.object_id = m.object_id AND n.prior_version = "
                         "m.object_version) AS latest FROM person_v_" +
                         std::to_string(version) +
                         " p JOIN metadata m ON m.object_id = p.partition_key AND m.object_version = p.range_key";
        }
        return "WITH r AS (" + union_all + ") ";
    }
};

const char* const COMPARISONS[] = {"=", "!=", ">", ">=", "<", "<="};
const Lookup COMPARISON_LOOKUPS[] = {Lookup::EQ, Lookup::NEQ, Lookup::GT, Lookup::GTE, Lookup::LT, Lookup::LTE};
const Lookup TEXT_LOOKUPS[] = {Lookup::CONTAINS,   Lookup::ICONTAINS, Lookup::STARTSWITH,
                               Lookup::ISTARTSWITH, Lookup::ENDSWITH,  Lookup::IENDSWITH};

struct Filter {
    Q condition;
    std::string where;
};

std::string ascii_upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// `field` compared by the comparison numbered `comparison`; the oracle compares `column`.
Filter compare(const std::string& field, const std::string& column, std::size_t comparison, const Value& value) {
    const std::string literal_value = value.is_string() ? literal(value.get<std::string>()) : value.dump();
    return {Q(field, COMPARISON_LOOKUPS[comparison], value),
            column + " " + COMPARISONS[comparison] + " " + literal_value};
}

Value number(Random& random) {
    return random.chance(50) ? Value(random.pick(INTEGERS)) : Value(random.pick(REALS));
}

Filter random_leaf(Random& random, const Oracle& oracle) {
    const std::size_t comparison = random.below(6);
    const Lookup text_lookup = TEXT_LOOKUPS[random.below(6)];
    const bool folds = text_lookup == Lookup::ICONTAINS || text_lookup == Lookup::ISTARTSWITH ||
                       text_lookup == Lookup::IENDSWITH;
    switch (random.below(19)) {
        case 16: return compare("level", "level", comparison, number(random));
        case 17: return compare("tags__t", oracle.text_at("t", "tags"), comparison, random.pick(TEXTS));
        case 18: {
            const bool is_null = random.chance(50);
            const auto [field, column] = random.pick(std::vector<std::pair<std::string, std::string>>{
                {"tags__t", oracle.text_at("t", "tags")}, {"level", "level"}, {"score", "score"}});
            return {Q(field, Lookup::ISNULL, is_null), column + (is_null ? " IS NULL" : " IS NOT NULL")};
        }
        case 15:
            switch (random.below(5)) {
                case 0: return compare("doc__m", oracle.only_number_at("m"), comparison, number(random));
                case 3:  // a list of numbers compares numbers, a mixed one texts
                    return {Q("doc__m", Lookup::IN, "[5, 2.5]"), oracle.only_number_at("m") + " IN (5, 2.5)"};
                case 4: return {Q("doc__m", Lookup::IN, R"([5, "abc"])"), oracle.any_text_at("m") + " IN ('5', 'abc')"};
                case 1:
                    return {Q("doc__m", Lookup::EQ, true),
                            oracle.only_boolean_at("m") + oracle.same_as_true(true, true)};
                default: {
                    const Value text = random.pick(std::vector<Value>{"5", "abc", "true", "2.5", R"({"x":1})"});
                    return compare("doc__m", oracle.any_text_at("m"), comparison, text);
                }
            }
        case 0: return compare("name", "name", comparison, random.pick(TEXTS));
        case 1: {
            // Pieces of stored texts; the folding operators get plain ASCII, which both sides
            // upper-case alike.
            const std::string text =
                folds ? random.pick(std::vector<std::string>{"a", "LP", "e", "Ch", "B C", "ll"})
                      : random.pick(std::vector<std::string>{"a", "lp", "é", "É", "%_", "o'", " ", "", "0", "\\s"});
            return {Q("name", text_lookup, text),
                    oracle.text_test(text_lookup, "name", folds ? ascii_upper(text) : text)};
        }
        case 2: return compare("age", "age", comparison, number(random));
        case 3: return compare("score", "score", comparison, number(random));
        case 4: return compare("doc__n", oracle.number_at("n"), comparison, number(random));
        case 5: {
            Value elements = Value::array();
            for (std::size_t i = random.below(4); i > 0; --i) elements.push_back(number(random));
            std::string list;
            for (const auto& element : elements) list += (list.empty() ? "" : ", ") + element.dump();
            const bool on_path = random.chance(50);
            const std::string subject = on_path ? oracle.number_at("n") : "age";
            return {Q(on_path ? "doc__n" : "age", Lookup::IN, elements.dump()),
                    elements.empty() ? "FALSE" : subject + " IN (" + list + ")"};
        }
        case 6: {
            const std::int64_t digit = static_cast<std::int64_t>(random.below(10));
            return {Q("doc__n", text_lookup, digit),
                    oracle.text_test(text_lookup, oracle.number_text_at("n"), std::to_string(digit))};
        }
        case 7: return compare("doc__k", oracle.text_at("k"), comparison, random.pick(TEXTS));
        case 8: {
            Value elements = Value::array();
            std::string list;
            for (std::size_t i = 1 + random.below(3); i > 0; --i) {
                elements.push_back(random.pick(TEXTS));
                list += (list.empty() ? "" : ", ") + literal(elements.back().get<std::string>());
            }
            return {Q("doc__k", Lookup::IN, elements.dump()), oracle.text_at("k") + " IN (" + list + ")"};
        }
        case 9: {
            const bool wanted = random.chance(50);
            const bool equal = random.chance(50);
            return {Q("doc__b", equal ? Lookup::EQ : Lookup::NEQ, wanted),
                    oracle.boolean_at("b") + oracle.same_as_true(wanted, equal)};
        }
        case 10: {
            const bool is_null = random.chance(50);
            const auto [field, column] = random.pick(std::vector<std::pair<std::string, std::string>>{
                {"doc__k", oracle.text_at("k")}, {"doc__n", oracle.number_text_at("n")}, {"age", "age"}});
            return {Q(field, Lookup::ISNULL, is_null), column + (is_null ? " IS NULL" : " IS NOT NULL")};
        }
        case 11: return compare("_metadata__created_at", "meta_created", comparison, random.pick(REALS) * 10);
        case 12: {
            const std::string id = "o" + std::to_string(random.below(14));
            if (random.chance(50)) return {Q("_address__object_id", Lookup::EQ, id), "pk = " + literal(id)};
            return {Q("_address__object_id", Lookup::STARTSWITH, "o1"), oracle.position("pk", "'o1'") + " = 1"};
        }
        case 13:
            switch (random.below(3)) {
                case 0: return {Q("_address__object_version", Lookup::EQ, "LATEST"), "latest"};
                case 1: return {Q("_address__object_version", Lookup::EQ, "ALL"), "TRUE"};
                default: return {Q("_address__object_version", Lookup::EQ, "2"), "rk = '2'"};
            }
        default: {
            const std::string& text = random.pick(TEXTS);
            return {Q("created_at", Lookup::EQ, text), "own_created = " + literal(text)};
        }
    }
}

Filter random_filter(Random& random, const Oracle& oracle, int depth) {
    if (depth == 0 || random.chance(55)) return random_leaf(random, oracle);
    const Filter left = random_filter(random, oracle, depth - 1);
    switch (random.below(3)) {
        case 0: return {!left.condition, "NOT (" + left.where + ")"};
        case 1: {
            const Filter right = random_filter(random, oracle, depth - 1);
            return {left.condition & right.condition, "(" + left.where + ") AND (" + right.where + ")"};
        }
        default: {
            const Filter right = random_filter(random, oracle, depth - 1);
            return {left.condition | right.condition, "(" + left.where + ") OR (" + right.where + ")"};
        }
    }
}

struct Scope {
    std::string address;
    std::string where;
    int table = -1;  // the one class-version table read, if only one is
};

const std::vector<Scope> SCOPES = {
    {"app#Person@ALL/@LATEST", "latest"},
    {"app#Person@ALL/@ALL", "TRUE"},
    {"app#Person@ALL", "TRUE"},
    {"app#Person@2/@ALL", "tbl = 1", 1},
    {"app#Person@3/@LATEST", "tbl = 2 AND latest", 2},
    {"app#Person@ALL/@2", "rk = '2'"},
    {"app#Person@ALL/o3@LATEST", "pk = 'o3' AND latest"},
    {"app#Person@LATEST/@ALL", "tbl = 2", 2},
};

// Whether the hand-written statement or the selection names a column that `table` lacks.
bool names_absent_column(int table, const std::string& statement, const std::optional<QuerySpecifier>& selection) {
    for (const auto& column : EVERY_COLUMN) {
        if (table_has(table, column.name)) continue;
        if (std::regex_search(statement, std::regex("\\b" + column.name + "\\b"))) return true;
        if (selection && std::find(selection->only->begin(), selection->only->end(), column.name) !=
                             selection->only->end()) {
            return true;
        }
    }
    return false;
}

}  // namespace

class ReadsAgainstTheEngine : public korvex::testing::StoreTest {
protected:
    void SetUp() override {
        ClassVersionManager::clear();
        engine = korvex::testing::make_engine(GetParam());
        store = engine->connect(false);
        store->prepare_connection();
        for (int version = 1; version <= CLASS_VERSIONS; ++version) {
            ClassVersionManager::register_class_version("Person", std::to_string(version));
            std::vector<TableColumnSchema> columns;
            for (const auto& column : TABLE_COLUMNS[static_cast<std::size_t>(version - 1)]) {
                columns.push_back({column.name, column.kind});
            }
            store->table_schema_manager()->register_table(
                TableSchema{Address::from_string("app#Person@" + std::to_string(version)), columns, {}, {}});
            if (!on_sqlite()) {
                // Byte order would put "Bravo" before "alpha"; this collation does not.
                engine->sql("ALTER TABLE person_v_" + std::to_string(version) +
                            " ALTER COLUMN name TYPE text COLLATE \"en-x-icu\"");
            }
        }
        store->begin();
        for (int object = 0; object < 14; ++object) {
            const std::string id = "o" + std::to_string(object);
            const int table = static_cast<int>(random.below(CLASS_VERSIONS));
            tables_of[id] = table;
            const std::string class_version = std::to_string(1 + table);
            for (int version = 1, versions = 1 + static_cast<int>(random.below(3)); version <= versions; ++version) {
                const Address address = Address::from_string("app#Person@" + class_version + "/" + id + "@" +
                                                             std::to_string(version));
                store->put(address, random_data(table));
                store->put(Address::from_string("resource#Metadata/" + id + ":" + std::to_string(version)),
                           {{"address", address.to_value()},
                            {"prior_version", version > 1 ? Value(std::to_string(version - 1)) : Value(nullptr)},
                            {"created_at", random.pick(REALS) * 10 + static_cast<double>(random.below(1000))},
                            {"updated_at", random.chance(20) ? Value(nullptr) : Value(random.pick(REALS))}});
            }
        }
        store->commit();
    }
    void TearDown() override { ClassVersionManager::clear(); }

    Value maybe(Value value) { return random.chance(15) ? Value(nullptr) : value; }

    DataMap random_data(int table) {
        DataMap doc = DataMap::object();
        if (!random.chance(20)) doc["k"] = maybe(random.pick(TEXTS));
        if (!random.chance(20)) doc["n"] = maybe(number(random));
        if (!random.chance(20)) doc["b"] = maybe(Value(random.chance(50)));
        if (!random.chance(20)) {
            doc["m"] = random.pick(
                std::vector<Value>{5, 2.5, "5", "abc", "true", true, false, Value::parse(R"({"x":1})"), nullptr});
        }
        DataMap tags = DataMap::object();
        if (!random.chance(30)) tags["t"] = maybe(random.pick(TEXTS));
        const DataMap every = {{"name", maybe(random.pick(TEXTS))},
                               {"age", maybe(random.pick(INTEGERS))},
                               {"score", maybe(random.pick(REALS))},
                               {"doc", doc},
                               {"created_at", maybe(random.pick(TEXTS))},
                               {"level", maybe(table == 0 ? Value(random.pick(INTEGERS)) : Value(random.pick(REALS)))},
                               {"tags", tags}};
        DataMap data = DataMap::object();
        for (const auto& column : TABLE_COLUMNS[static_cast<std::size_t>(table)]) {
            data[column.name] = every.at(column.name);
        }
        return data;
    }

    // The oracle's expression for each name a caller may order by.
    std::vector<std::pair<std::string, std::string>> ordering_names(const Oracle& oracle) const {
        return {{"name", "name"},
                {"age", "age"},
                {"score", "score"},
                {"created_at", "own_created"},  // both the object and its metadata have it
                {"updated_at", "meta_updated"},  // only the metadata has it
                {"_metadata__created_at", "meta_created"},
                {"partition_key", "pk"},
                {"_address__object_id", "pk"},
                {"_address__object_version", "rk"},
                {"next_version", "next_v"},
                {"_metadata__address__object_id",
                 oracle.pg ? "(meta_address->>'object_id')" : "(meta_address->>'$.object_id')"},
                {"doc__k", oracle.text_at("k")},
                {"doc__n", oracle.number_text_at("n")},
                {"doc__m", oracle.any_text_at("m")},
                {"level", "level"},
                {"tags__t", oracle.text_at("t", "tags")}};
    }

    Random random;
    std::map<std::string, int> tables_of;  // object id: the class-version table it is in
};

TEST_P(ReadsAgainstTheEngine, EveryQueryAndCountIsTheEnginesOwnAnswer) {
    const Oracle oracle{!on_sqlite()};
    const auto names = ordering_names(oracle);
    const std::vector<std::string> selectable = {"name", "age", "score", "doc", "created_at", "partition_key",
                                                 "level", "tags"};
    int failures = 0;
    for (int round = 0; round < 300 && failures < 5; ++round) {
        const Scope& scope = random.pick(SCOPES);
        std::optional<Filter> filter;
        if (random.chance(75)) filter = random_filter(random, oracle, 2);

        std::vector<OrderBy> ordering;
        std::string order;
        for (std::size_t keys = random.below(4); keys > 0; --keys) {
            const auto& [name, expression] = random.pick(names);
            const bool descending = random.chance(50);
            ordering.push_back({name, descending});
            order += expression + (descending ? " DESC NULLS FIRST, " : " ASC NULLS LAST, ");
        }
        // Object and version last make every order total.
        ordering.push_back({"_address__object_id"});
        ordering.push_back({"_address__object_version"});
        order += "pk, rk";

        Pagination page;
        std::string limit;
        if (random.chance(70)) {
            const std::int64_t size = random.pick(std::vector<std::int64_t>{0, 1, 3, 5, 50});
            const std::int64_t offset = random.pick(std::vector<std::int64_t>{0, 2, 7, 100});
            page = NumberPaginator{size, offset};
            limit = " LIMIT " + std::to_string(size) + " OFFSET " + std::to_string(offset);
        }
        std::optional<QuerySpecifier> selection;
        std::string distinct;
        if (random.chance(40)) {
            selection = QuerySpecifier{std::vector<std::string>{}, {}};
            for (const auto& field : selectable) {
                if (random.chance(50)) selection->only->push_back(field);
            }
            for (const char* field : {"doc", "age", "name", "score", "level", "tags"}) {
                const auto& only = *selection->only;
                if (distinct.empty() && std::find(only.begin(), only.end(), field) != only.end() && random.chance(40)) {
                    selection->distinct.push_back(field);
                    distinct = field;
                }
            }
        }

        const std::string where = scope.where + (filter ? " AND (" + filter->where + ")" : "");
        const std::string key = "pk || '@' || rk";
        // The first row of each group of equal distinct values (JSON by its text).
        const std::string group =
            (distinct == "doc" || distinct == "tags") && oracle.pg ? "CAST(" + distinct + " AS TEXT)" : distinct;
        const std::string statement =
            distinct.empty()
                ? oracle.rows() + "SELECT " + key + " FROM r WHERE " + where + " ORDER BY " + order + limit
                : oracle.rows() + "SELECT " + key + " FROM (SELECT *, row_number() OVER (PARTITION BY " + group +
                      " ORDER BY " + order + ") AS korvex_r FROM r WHERE " + where +
                      ") AS d WHERE korvex_r = 1 ORDER BY " + order + limit;
        SCOPED_TRACE("round " + std::to_string(round) + ": " + scope.address + " " +
                     statement.substr(oracle.rows().size()));
        const Address address = Address::from_string(scope.address);
        const std::optional<Q> condition = filter ? std::optional<Q>(filter->condition) : std::nullopt;
        // One class version read: a field it lacks is as unknown as any other name.
        if (scope.table >= 0 && names_absent_column(scope.table, statement.substr(oracle.rows().size()), selection)) {
            EXPECT_THROW(store->query(address, selection, condition, page, ordering), Error);
            continue;
        }
        try {
            const Ids expected = engine->sql(statement);
            Ids got;
            for (const auto& row : store->query(address, selection, condition, page, ordering)) {
                const Value& metadata = row.at(METADATA_FIELD);
                const std::string id = metadata.at("object_id").get<std::string>();
                got.push_back(id + "@" + metadata.at("object_version").get<std::string>());
                if (selection && !selection->only->empty()) {
                    // The selected fields its class version has, with _metadata.
                    std::size_t fields = 1;
                    for (const auto& field : *selection->only) {
                        fields += field == "partition_key" || table_has(tables_of.at(id), field) ? 1 : 0;
                    }
                    EXPECT_EQ(row.size(), fields) << row.dump();
                }
            }
            const Ids counted = engine->sql(oracle.rows() + "SELECT COUNT(*) FROM r WHERE " + where);
            const std::string count = std::to_string(store->count(address, condition));
            if (got != expected || count != counted.at(0)) {
                ++failures;
                EXPECT_EQ(got, expected);
                EXPECT_EQ(count, counted.at(0)) << "count";
            }
        } catch (const std::exception& error) {
            ++failures;
            const std::string message = error.what();
            ADD_FAILURE() << message.substr(0, 150) << " ... "
                          << message.substr(message.size() > 300 ? message.size() - 300 : 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ReadsAgainstTheEngine, ::testing::ValuesIn(korvex::testing::ENGINES),
                         [](const auto& info) { return info.param; });

namespace {

// Equal values of the same kinds (an integer is not the real number of the same value).
bool same(const Value& a, const Value& b) {
    if (a.type() != b.type() || a.size() != b.size()) return false;
    if (a.is_object()) {
        auto other = b.begin();
        for (auto item = a.begin(); item != a.end(); ++item, ++other) {
            if (item.key() != other.key() || !same(item.value(), other.value())) return false;
        }
        return true;
    }
    if (a.is_array()) return std::equal(a.begin(), a.end(), b.begin(), same);
    return a == b;
}

}  // namespace

// The store's own read of one table, which takes the metadata as plain columns, against the
// grouped statement its builders give outside a read (the _metadata object built on the engine),
// run on the same rows: duplicate metadata rows, a forked chain, successors with no version, an
// empty one, one in double quotes. Where the grouped statement answers by chance (which duplicate,
// which successor), the store's answer is the determined one.
using PlainMetadataRead = korvex::testing::StoreTest;

TEST_P(PlainMetadataRead, EveryRowMapIsTheGroupedStatementsOwn) {
    ClassVersionManager::clear();
    ClassVersionManager::register_class_version("Person", "1");
    store->table_schema_manager()->register_table(
        TableSchema{Address::from_string("app#Person@1"), {{"name", ValueKind::TEXT}}, {}, {}});
    engine->sql("INSERT INTO person_v_1 (partition_key, range_key, name) VALUES ('a', '1', 'A1'), ('a', '2', NULL), "
                "('a', '3', 'A3'), ('b', '1', 'B'), ('b', '2', 'B'), ('b', '3', 'B'), ('c', '1', 'C'), "
                "('d', '1', 'D'), ('e', '1', 'E'), ('f', '1', 'F'), ('g', '1', 'G'), ('h', '1', 'no metadata'), "
                "('i', '1', 'I'), ('j', '1', 'J'), ('k', '1', 'K')");
    // key, address, object, version, prior version, schema reference and type, is_deleted, created_at,
    // updated_at, transaction.
    engine->sql(
        "INSERT INTO metadata (partition_key, address, object_id, object_version, prior_version, "
        "class_schema_reference, class_schema_type, is_deleted, created_at, updated_at, \"transaction\") VALUES "
        "('a:1', '{\"object_id\": \"a\", \"n\": [1, 2.5]}', 'a', '1', NULL, NULL, 'model', false, 5, 0.5, '{\"id\": 7}'),"
        "('a:2', NULL, 'a', '2', '1', '{}', NULL, false, 1733750000.25, NULL, NULL),"
        "('a:3', NULL, 'a', '3', '2', NULL, 'model', true, -3, 1e20, NULL),"
        "('b:1', NULL, 'b', '1', NULL, NULL, NULL, false, 1, 1, NULL),"
        "('b:2', NULL, 'b', '2', '1', NULL, NULL, false, 2, 2, NULL),"
        "('b:3', NULL, 'b', '3', '1', NULL, NULL, false, 3, 3, NULL),"
        "('c:1', NULL, 'c', '1', NULL, NULL, NULL, false, 1, 1, NULL),"
        "('c:1 again', NULL, 'c', '1', NULL, NULL, NULL, false, 1, 2, NULL),"
        "('d:1', NULL, 'd', '1', NULL, NULL, NULL, false, 1, 1, NULL),"
        "('d:', NULL, 'd', NULL, '1', NULL, NULL, false, 2, 2, NULL),"
        "('e:1', NULL, 'e', '1', NULL, NULL, NULL, false, 1, 1, NULL),"
        "('e:', NULL, 'e', '', '1', NULL, NULL, false, 2, 2, NULL),"
        "('f:1', NULL, 'f', '1', NULL, NULL, NULL, false, 1, 1, NULL),"
        "('f:\"\"', NULL, 'f', '\"\"', '1', NULL, NULL, false, 2, 2, NULL),"
        "('g:1', NULL, 'g', '1', NULL, NULL, NULL, false, 1733750000.1234567, 1, NULL),"
        // written twice: of the same times, in whether updated_at is known, in nothing the map holds
        "('i:1 b', NULL, 'i', '1', NULL, NULL, 'model', false, 1, 1, NULL),"
        "('i:1 a', NULL, 'i', '1', NULL, NULL, 'other', false, 1, 1, NULL),"
        "('j:1', NULL, 'j', '1', NULL, NULL, NULL, false, 1, NULL, NULL),"
        "('j:1 again', NULL, 'j', '1', NULL, NULL, NULL, false, 1, 3, NULL),"
        "('k:1', '{\"k\": 1}', 'k', '1', NULL, '{}', 'model', false, 4, 4, '{\"id\": 1}'),"
        "('k:1 again', '{\"k\": 1}', 'k', '1', NULL, '{}', 'model', false, 4, 4, '{\"id\": 1}')");
    auto& sql_store = dynamic_cast<SqlHistoricalStore&>(*store);
    const std::vector<OrderBy> by_key = {{"_address__object_id"}, {"_address__object_version"}};
    const std::vector<OrderBy> by_created = {{"_metadata__created_at", true}, by_key[0], by_key[1]};
    const Q latest("_address__object_version", Lookup::EQ, "LATEST");
    const struct {
        std::optional<Q> conditions;
        std::vector<OrderBy> order;
        Pagination page;
        std::size_t rows;  // the store's
        bool as_grouped = true;  // whether the grouped statement returns the same rows
    } reads[] = {
        {std::nullopt, by_key, {}, 14},
        {std::nullopt, by_key, NumberPaginator{3, 1}, 3},
        {latest, by_key, {}, on_sqlite() ? 10u : 11u},  // '""' is an empty version only as the server trims it
        {Q("_address__object_id", Lookup::EQ, "a") & Q("_address__object_version", Lookup::EQ, "2"), by_key, {}, 1},
        {latest & Q("_metadata__is_deleted", Lookup::EQ, false), by_created, {}, on_sqlite() ? 9u : 10u},
        // next_version of the latest versions in a condition and the ordering
        {latest & Q("_metadata__next_version", Lookup::EQ, ""), {{"next_version"}, by_key[0], by_key[1]}, {},
         on_sqlite() ? 1u : 2u},
        {Q("_address__object_id", Lookup::EQ, "e") & latest, {{"next_version", true}}, {}, 1},
        // No metadata read, no page: the join on the version, unless a version has several
        // metadata rows (then the rows above), with and without an ordering.
        {std::nullopt, {}, {}, 14},
        {latest, {{"name", true}}, {}, on_sqlite() ? 10u : 11u},
        {Q("_address__object_id", Lookup::IN, R"(["a", "b", "d", "e", "f", "g"])"), {}, {}, 10},
        {Q("_address__object_id", Lookup::IN, R"(["a", "b", "d", "e", "f"])") & latest, {{"name"}, by_key[0]}, {},
         on_sqlite() ? 5u : 6u},
        {Q("name", Lookup::EQ, "B"), {}, {}, 3},
        // a metadata condition only a duplicate meets that is not the one read (the grouped
        // statement keeps the version when any duplicate meets it)
        {Q("_metadata__updated_at", Lookup::EQ, 1) & Q("_address__object_id", Lookup::EQ, "c"), {}, {}, 0, false},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE("read " + std::to_string(&read - reads));
        std::vector<DataMap> got = sql_store._query("person_v_1", std::nullopt, read.conditions, read.page, read.order);
        const Statement grouped =
            sql_store._build_select_statement("person_v_1", std::nullopt, read.conditions, read.page, read.order, true);
        ASSERT_EQ(grouped.text.find("_metadata.next_version"), std::string::npos);
        const auto cursor = store->execute(grouped.text, grouped.params);
        std::vector<DataMap> expected;
        for (auto& row : cursor->fetchall()) {
            DataMap item = DataMap::object();
            for (std::size_t column = 0; column < row.size(); ++column) item[cursor->description()[column].name] = row[column];
            Value& metadata = item[METADATA_FIELD];
            if (metadata.is_string()) metadata = Value::parse(metadata.get<std::string>());
            expected.push_back(std::move(item));
        }
        ASSERT_EQ(got.size(), read.rows);
        if (!read.as_grouped) continue;
        ASSERT_EQ(got.size(), expected.size());
        if (read.order.empty()) {  // in no order: compared by key
            const auto by_version = [](const DataMap& a, const DataMap& b) {
                const auto key = [](const DataMap& row) {
                    const Value& metadata = row.at(METADATA_FIELD);
                    return metadata.at("object_id").dump() + "@" + metadata.at("object_version").dump();
                };
                return key(a) < key(b);
            };
            std::sort(got.begin(), got.end(), by_version);
            std::sort(expected.begin(), expected.end(), by_version);
        }
        for (std::size_t i = 0; i < got.size(); ++i) {
            DataMap mine = got[i];
            DataMap theirs = expected[i];
            Value& metadata = mine[METADATA_FIELD];
            const std::string key = metadata["object_id"].get<std::string>() + "@" +
                                    metadata["object_version"].get<std::string>();
            if (key == "b@1") {  // two successors: the least version
                EXPECT_EQ(metadata["next_version"], "2");
                EXPECT_TRUE(theirs[METADATA_FIELD]["next_version"] == "2" || theirs[METADATA_FIELD]["next_version"] == "3");
                theirs[METADATA_FIELD]["next_version"] = "2";
            } else if (key == "c@1" || key == "j@1") {  // written twice: the row stored last, of the greater
                                                        // (or the only known) updated_at
                EXPECT_TRUE(same(metadata["updated_at"], on_sqlite() ? Value(key == "c@1" ? 2.0 : 3.0)
                                                                     : Value(key == "c@1" ? 2u : 3u)));
                theirs[METADATA_FIELD]["updated_at"] = metadata["updated_at"];
            } else if (key == "i@1") {  // of the same times, the row stored last, of the lesser key
                EXPECT_EQ(metadata["class_schema_type"], "other");
                theirs[METADATA_FIELD]["class_schema_type"] = metadata["class_schema_type"];
            } else if (key == "g@1") {  // every digit, where SQLite's JSON keeps fifteen
                EXPECT_EQ(metadata["created_at"].get<double>(), 1733750000.1234567);
                theirs[METADATA_FIELD]["created_at"] = metadata["created_at"];
            }
            EXPECT_TRUE(same(mine, theirs)) << key << "\n" << mine.dump() << "\n" << theirs.dump();
        }
    }
    ClassVersionManager::clear();
}

INSTANTIATE_TEST_SUITE_P(Engines, PlainMetadataRead, ::testing::ValuesIn(korvex::testing::ENGINES),
                         [](const auto& info) { return info.param; });

// A read over several class versions joins each version with its metadata too: a version whose
// metadata was written twice, differing in the field the read is ordered by, still comes once.
TEST_P(PlainMetadataRead, AVersionWrittenTwiceComesOnceAcrossClassVersions) {
    ClassVersionManager::clear();
    for (const char* version : {"1", "2"}) {
        ClassVersionManager::register_class_version("Person", version);
        store->table_schema_manager()->register_table(TableSchema{
            Address::from_string(std::string("app#Person@") + version), {{"name", ValueKind::TEXT}}, {}, {}});
    }
    engine->sql("INSERT INTO person_v_1 (partition_key, range_key, name) VALUES ('a', '1', 'A'), ('b', '1', 'B')");
    engine->sql("INSERT INTO person_v_2 (partition_key, range_key, name) VALUES ('c', '1', 'C')");
    engine->sql("INSERT INTO metadata (partition_key, object_id, object_version, is_deleted, created_at, updated_at) "
                "VALUES ('a:1', 'a', '1', false, 1, 1), ('a:1 again', 'a', '1', false, 9, 9), "
                "('b:1', 'b', '1', false, 5, 5), ('c:1', 'c', '1', false, 3, 3)");
    for (const char* field : {"_metadata__updated_at", "_metadata__created_at"}) {
        SCOPED_TRACE(field);
        const auto rows = store->query(Address::from_string("app#Person@ALL"), std::nullopt, std::nullopt, {},
                                       std::vector<OrderBy>{{field}, {"_address__object_id"}});
        std::vector<std::string> ids;
        for (const auto& row : rows) ids.push_back(row.at("partition_key").get<std::string>());
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c"}));
    }
    ClassVersionManager::clear();
}
