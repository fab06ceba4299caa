// Hostile names and values as a host could pass them on, on every engine: each either works
// exactly (written where it belongs, read back equal) or is refused with a UsageError before
// anything is written. Nothing may land in another table or come back changed.

#include "korvex/error.hpp"
#include "korvex/models/table_schema.hpp"
#include "korvex/table_schemas/base.hpp"
#include "store_engine.hpp"

#include <functional>

using namespace korvex;
using korvex::testing::StoreTest;

namespace {

std::string quoted(const std::string& name) {
    std::string text = "\"";
    for (char c : name) text += c == '"' ? std::string("\"\"") : std::string(1, c);
    return text + "\"";
}

class HostileNames : public StoreTest {
protected:
    // Whether `action` worked; a UsageError is a clean refusal, anything else fails the test.
    static bool works(const std::function<void()>& action) {
        try {
            action();
            return true;
        } catch (const korvex::UsageError&) {
            return false;
        }
    }
    std::vector<std::string> rows_of(const std::string& table) {
        return engine->sql("SELECT partition_key || '=' || coalesce(name, '') FROM " + quoted(table) + " ORDER BY 1");
    }
    bool table_exists(const std::string& table) {
        const std::string probe = on_sqlite() ? "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '"
                                              : "SELECT count(*) FROM pg_class WHERE relkind = 'r' AND relname = '";
        std::string literal;
        for (char c : table) literal += c == '\'' ? std::string("''") : std::string(1, c);
        return engine->sql(probe + literal + "'") != std::vector<std::string>{"0"};
    }
};

// Each class name or version is registered, written, read, counted and reverted; only its own
// table changes and a bystander keeps its row.
TEST_P(HostileNames, ClassNamesAndVersionsNameOnlyTheirOwnTable) {
    store->table_schema_manager()->register_table({Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}});
    engine->sql("INSERT INTO person (partition_key, range_key, name) VALUES ('keep', '1', 'bystander')");
    const std::vector<std::pair<std::string, std::string>> classes = {
        {"Person", "1\" or true --"},   {"Person", "1` or 1; --"},  {"public.person", ""},
        {"[person]", "1]"},             {"Per'son", "it's"},         {"Person", "a;b -- c"},
        {"Person", "back\\slash"},      {"Person", "ünï còde"},      {"Person", "%s%%?"},
        {"Person", std::string(90, 'v')},  {std::string("Per\0son", 7), ""}, {"Person", std::string("1\0; --", 6)},
    };
    for (const auto& [class_name, version] : classes) {
        SCOPED_TRACE(class_name + " @ " + version);
        Address address = Address::from_string("app#Person");
        address.class_name = class_name;
        address.class_version = Version(version);
        std::string table;
        const bool registered = works([&] {
            table = store->table_schema_manager()
                        ->register_table({address, {{"name", ValueKind::TEXT}}, {}, {}})
                        .first;
        });
        Address object = address;
        object.object_id = "o";
        object.object_version = Version("1");
        store->begin();
        const bool written = works([&] {
            store->put(object, {{"name", "own"}});
            store->put(Address::from_string("resource#Metadata/o:1"), {{"address", object.to_value()}});
        });
        EXPECT_EQ(registered, written);
        if (written) {
            store->begin();
            store->put(Address{object.resource, class_name, Version(version), "p", Version("1")}, {{"name", "gone"}});
            store->revert();
        }
        store->commit();
        EXPECT_EQ(engine->sql("SELECT partition_key || '=' || name FROM person"), std::vector<std::string>{"keep=bystander"});
        if (!written) continue;
        EXPECT_EQ(rows_of(table), std::vector<std::string>{"o=own"});
        EXPECT_EQ(store->query(object).size(), 1u);
        EXPECT_EQ(store->count(address), 1);
        engine->sql("DELETE FROM metadata");
    }
}

// Column names with quotes, brackets, separators and comments are columns like any other: a
// value put under one reads back under it, and under no other.
TEST_P(HostileNames, ColumnNamesKeepTheirValues) {
    const std::vector<std::string> names = {"a\"b", "a'b", "a`b", "[c]", "d.e", "f;g", "h--i", "j k", "ünï", "%s", "Name"};
    std::vector<TableColumnSchema> columns;
    DataMap data = DataMap::object();
    for (const auto& name : names) {
        columns.push_back({name, ValueKind::TEXT});
        data[name] = "value of " + name;
    }
    store->table_schema_manager()->register_table({Address::from_string("app#Odd"), columns, {}, {}});
    const Address object = Address::from_string("app#Odd/o@1");
    store->begin();
    store->put(object, data);
    store->put(Address::from_string("resource#Metadata/o:1"), {{"address", object.to_value()}});
    store->commit();
    const auto read = store->query(object);
    ASSERT_EQ(read.size(), 1u);
    for (const auto& name : names) EXPECT_EQ(read[0].at(name), "value of " + name) << name;
    // Selected, filtered and ordered by name, each still names its own column.
    for (const auto& name : names) {
        const auto selected = store->query(Address::from_string("app#Odd/@ALL"), QuerySpecifier{std::vector<std::string>{name}, {}},
                                           Q(name, Lookup::EQ, "value of " + name), {}, std::vector<OrderBy>{{name}});
        ASSERT_EQ(selected.size(), 1u) << name;
        EXPECT_EQ(selected[0].at(name), "value of " + name);
        EXPECT_EQ(store->count(Address::from_string("app#Odd/@ALL"), Q(name, Lookup::EQ, "other")), 0) << name;
    }
}

// Names a store cannot keep apart or would cut are refused before anything is created.
TEST_P(HostileNames, ColumnsTheEngineCannotKeepApartAreRefusedWhole) {
    for (const auto& [table, first, second] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"cased", "Name", "name"}, {"long", std::string(70, 'c'), "x"}, {"nul", "x", std::string("a\0b", 3)}}) {
        SCOPED_TRACE(table);
        const TableSchema schema{Address::from_string("app#" + table), {{first, ValueKind::TEXT}, {second, ValueKind::TEXT}}, {}, {}};
        if (!works([&] { store->table_schema_manager()->register_table(schema); })) {
            EXPECT_FALSE(table_exists(table));
            continue;
        }
        const Address object = Address::from_string("app#" + table + "/o@1");
        store->begin();
        store->put(object, {{first, "1"}, {second, "2"}});
        store->commit();
        EXPECT_EQ(engine->sql("SELECT " + quoted(first) + " || '|' || " + quoted(second) + " FROM " + quoted(table)),
                  std::vector<std::string>{"1|2"});
    }
}

// A table whose index cannot be made is not made either: a later registration would find it and
// never add the index.
TEST_P(HostileNames, ANewTableGetsEveryIndexOrIsNotMade) {
    const TableSchema schema{Address::from_string("app#Indexed"), {{"a", ValueKind::TEXT}}, {{"a"}, {"missing"}}, {}};
    EXPECT_THROW(store->table_schema_manager()->register_table(schema), korvex::UsageError);
    EXPECT_FALSE(table_exists("indexed"));
    const TableSchema keyed{Address::from_string("app#Keyed"), {{"a", ValueKind::TEXT}}, {{"range_key"}}, {}};
    EXPECT_TRUE(store->table_schema_manager()->register_table(keyed).second);
    // Tables and indexes share one namespace: a table named as another table's index would be.
    for (const char* version : {"1__b_idx", "1_b_idx", "1__b_idx_5"}) {
        const TableSchema other{Address::from_string(std::string("app#A@") + version), {{"b", ValueKind::TEXT}}, {}, {}};
        store->table_schema_manager()->register_table(other);
    }
    const TableSchema indexed{Address::from_string("app#A@1"), {{"b", ValueKind::TEXT}}, {{"b"}}, {}};
    if (works([&] { store->table_schema_manager()->register_table(indexed); })) {
        const std::string count = on_sqlite() ? "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'a_v_1'"
                                              : "SELECT count(*) FROM pg_indexes WHERE tablename = 'a_v_1' AND indexdef LIKE '%(b)'";
        EXPECT_EQ(engine->sql(count), std::vector<std::string>{on_sqlite() ? "2" : "1"});
    } else {
        EXPECT_FALSE(table_exists("a_v_1"));
    }
    // The other way round: a class whose table name an index holds is refused, not reported made.
    const TableSchema first{Address::from_string("app#C@1"), {{"b", ValueKind::TEXT}}, {{"b"}}, {}};
    store->table_schema_manager()->register_table(first);
    const std::string taken = on_sqlite() ? "app#C@1__b_idx" : "app#C@1_b_idx";
    EXPECT_THROW(store->table_schema_manager()->register_table({Address::from_string(taken), {{"b", ValueKind::TEXT}}, {}, {}}),
                 korvex::UsageError);
}

// A path step holding quotes or backslashes names that key and nothing else.
TEST_P(HostileNames, JsonPathStepsMatchOnlyTheirKey) {
    store->table_schema_manager()->register_table({Address::from_string("app#Doc"), {{"doc", ValueKind::MAPPING}}, {}, {}});
    const std::vector<std::string> keys = {"a'b", "a\\", "a\\'", "a\" OR 1=1 --", "x') OR 1=1 --", "a.b", "a[0]", "$", "ü", "a\nb"};
    store->begin();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Address object = Address::from_string("app#Doc/o" + std::to_string(i) + "@1");
        store->put(object, {{"doc", {{keys[i], "v"}}}});
        store->put(Address::from_string("resource#Metadata/o" + std::to_string(i) + ":1"), {{"address", object.to_value()}});
    }
    store->commit();
    std::vector<std::string> refused;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(keys[i]);
        std::vector<DataMap> found;
        if (!works([&] { found = store->query(Address::from_string("app#Doc/@ALL"), std::nullopt, Q("doc__" + keys[i], Lookup::EQ, "v")); })) {
            refused.push_back(keys[i]);
            continue;
        }
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].at("doc"), DataMap({{keys[i], "v"}}));
    }
    // SQLite's JSON path cannot name a key holding a double quote.
    EXPECT_EQ(refused, on_sqlite() ? std::vector<std::string>{"a\" OR 1=1 --"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Engines, HostileNames, ::testing::ValuesIn(korvex::testing::ENGINES),
                         [](const auto& info) { return info.param; });

}  // namespace
