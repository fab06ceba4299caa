// Hostile and unusual names and values, as a host could pass them on, against a real server:
// none may change what a statement means, write into another table, or be cut or changed
// silently. Every effect is checked from a second connection.

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/error.hpp"
#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "pg_fixture.hpp"

#include <cmath>
#include <limits>

using namespace korvex;
using korvex::pg_timeline::PostgresHistoricalConnection;
using korvex::testing::map;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;

namespace {

struct HostileInputTest : ::testing::Test {
    void SetUp() override {
        connection.connect(std::nullopt, db.parameters());
        connection.prepare_connection();
        ClassVersionManager::clear();
    }
    void TearDown() override { ClassVersionManager::clear(); }

    // Registers the table of `address` with a name and a doc column, as the host would.
    std::string register_class(const Address& address) {
        TableSchema schema{address, {{"name", ValueKind::TEXT}, {"doc", ValueKind::MAPPING}}, {}, {}};
        return connection.table_schema_manager()->register_table(schema).first;
    }
    std::vector<std::string> names_in(const std::string& table) const {
        std::string quoted = "\"";
        for (char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return db.sql("SELECT partition_key || '=' || coalesce(name, '') FROM " + quoted + "\" ORDER BY 1");
    }

    PgTestDatabase db;
    RecordingConnection connection;
};

// Writes one object version and the metadata row that reads need beside it.
void write(PostgresHistoricalConnection& store, const Address& object, const DataMap& data) {
    store.put(object, data);
    store.put(Address::from_string("resource#Metadata/" + object.object_id + ":" + object.object_version.text()),
              {{"address", object.to_value()}});
}

// Runs `action` and expects a UsageError whose message contains `fragment`.
void expect_usage_error(const std::function<void()>& action, const std::string& fragment) {
    try {
        action();
        ADD_FAILURE() << "no UsageError mentioning \"" << fragment << "\"";
    } catch (const korvex::UsageError& error) {
        EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
    }
}

}  // namespace

// Each class name or version is registered, written, read, counted and reverted; only its own
// table ever changes, and a bystander table keeps its row.
TEST_F(HostileInputTest, ClassNamesAndVersionsAreNamesNotStatements) {
    const std::string bystander = register_class(Address::from_string("app#Person"));
    db.sql("INSERT INTO person (partition_key, range_key, name) VALUES ('keep', '1', 'bystander')");
    const std::vector<std::pair<std::string, std::string>> classes = {
        {"Person", "1 (partition_key, range_key) select 'a', 'b' --"},
        {"Person", "1\" or true --"},
        {"public.person", ""},
        {"Person", "1.0"},
        {"Person", "2024-01"},
        {"Per'son", "it's"},
        {"Person", "%s%%"},
        {"Person", "back\\slash"},
        {"Person", "ünï;còde"},
    };
    for (const auto& [class_name, version] : classes) {
        SCOPED_TRACE(class_name + " @ " + version);
        Address address = Address::from_string("app#Person");
        address.class_name = class_name;
        address.class_version = Version(version);
        const std::string table = register_class(address);
        Address object = address;
        object.object_id = "o";
        object.object_version = Version("1");
        connection.begin();
        write(connection, object, map(R"({"name":"own"})"));
        connection.commit();
        EXPECT_EQ(names_in(table), std::vector<std::string>{"o=own"});
        EXPECT_EQ(connection.query(object).size(), 1u);
        EXPECT_EQ(connection.count(address), 1);
        connection.begin();
        connection.begin();
        connection.put(Address{object.resource, class_name, Version(version), "p", Version("1")},
                       map(R"({"name":"gone"})"));
        connection.revert();
        connection.commit();
        EXPECT_EQ(names_in(table), std::vector<std::string>{"o=own"});
        EXPECT_EQ(names_in(bystander), std::vector<std::string>{"keep=bystander"});
    }
}

TEST_F(HostileInputTest, NulBytesAreRefusedBeforeAnythingIsSent) {
    for (const std::string& text : {std::string("app#Per\0son", 11), std::string("a#B/x\0y@1", 9)}) {
        EXPECT_THROW(Address::from_string(text), korvex::UsageError);
    }
    for (const std::string text : {"a#B@", "a#B/x@", "a#B/x@1/extra", "a#B#C", "a#B@1@2"}) {
        expect_usage_error([&] { Address::from_string(text); }, text);
    }
    register_class(Address::from_string("app#Person"));
    Address hostile = Address::from_string("app#Person/o@1");
    hostile.class_name = std::string("Person\0 select", 14);
    connection.begin();
    connection.statements.clear();
    EXPECT_THROW(connection.put(hostile, map(R"({"name":"x"})")), korvex::UsageError);
    EXPECT_THROW(register_class(hostile), korvex::UsageError);
    EXPECT_THROW(connection.query(hostile), korvex::UsageError);
    EXPECT_TRUE(connection.statements.empty());
    EXPECT_THROW(connection.execute(std::string("SELECT 1\0; DROP TABLE person", 28)), korvex::UsageError);
    EXPECT_THROW(connection.execute("SELECT %s", {std::string("a\0b", 3)}), korvex::UsageError);
    EXPECT_EQ(db.sql("SELECT count(*) FROM person"), std::vector<std::string>{"0"});
    // A NUL or text that is not UTF-8 inside a text column's value is refused naming the column,
    // wherever it stands; a JSON column keeps a NUL escaped.
    for (const std::string& text : {std::string("a\0b", 3), std::string("0123456789abcd\0e", 16),
                                    std::string("0123456789abcdef\xff"), std::string("01234567\xc3")}) {
        expect_usage_error([&] { connection.put(Address::from_string("app#Person/o@1"), {{"name", text}}); },
                           "column name");
    }
    connection.put(Address::from_string("app#Person/o@1"), {{"doc", {{"k", std::string("a\0b", 3)}}}});
    connection.commit();
    EXPECT_EQ(db.sql("SELECT doc::text FROM person"), std::vector<std::string>{R"({"k":"a\u0000b"})"});
}

TEST_F(HostileInputTest, NamesThePostgresServerWouldCutAreRefused) {
    const std::string long_class(63, 'a');
    const std::string kept = register_class(Address::from_string("app#" + long_class));
    ASSERT_EQ(kept.size(), 63u);
    // Equal to the first class in their first 63 bytes: refused everywhere, nothing created.
    const Address longer = Address::from_string("app#" + long_class + "b/o@1");
    expect_usage_error([&] { register_class(longer); }, "at most 63 bytes");
    connection.begin();
    expect_usage_error([&] { connection.put(longer, map(R"({"name":"x"})")); }, "at most 63 bytes");
    expect_usage_error([&] { connection.query(longer); }, "at most 63 bytes");
    expect_usage_error([&] { connection.count(longer); }, "at most 63 bytes");
    expect_usage_error([&] { connection.table_schema_manager()->unregister_table(longer); }, "at most 63 bytes");
    const std::string long_column(70, 'c');
    TableSchema wide{Address::from_string("app#Wide"), {{long_column, ValueKind::TEXT}}, {}, {}};
    expect_usage_error([&] { connection.table_schema_manager()->register_table(wide); }, long_column);
    expect_usage_error([&] { connection.put(Address::from_string("app#" + long_class + "/o@1"), {{long_column, "v"}}); },
                       long_column);
    connection.rollback();
    EXPECT_EQ(db.sql("SELECT count(*) FROM pg_class WHERE relname LIKE 'wide%' OR relname LIKE 'aaaa%b'"),
              std::vector<std::string>{"0"});
    // Index names cut to 63 bytes would be equal here (x57_v_1_a), and the second table would
    // silently go without its index.
    const std::string prefix = "app#" + std::string(57, 'x');
    TableSchema indexed_a{Address::from_string(prefix + "@1"), {{"ab", ValueKind::TEXT}}, {{"ab"}}, {}};
    TableSchema indexed_b{Address::from_string(prefix + "@1_a"), {{"c", ValueKind::TEXT}}, {{"c"}}, {}};
    connection.table_schema_manager()->register_table(indexed_a);
    connection.table_schema_manager()->register_table(indexed_b);
    EXPECT_EQ(db.sql("SELECT count(*) FROM pg_indexes WHERE tablename LIKE 'xxxx%' AND "
                     "(indexdef LIKE '%(ab)' OR indexdef LIKE '%(c)')"),
              std::vector<std::string>{"2"});
}

// With standard_conforming_strings off a backslash escapes a quote inside '...': a path step or a
// default holding one must still read as the text it is.
TEST_F(HostileInputTest, LiteralsReadTheSameWithStandardConformingStringsOff) {
    PostgresHistoricalConnection legacy;
    auto parameters = db.parameters();
    parameters["options"] = "-c standard_conforming_strings=off";
    legacy.connect(std::nullopt, parameters);
    ASSERT_EQ(legacy.execute("SHOW standard_conforming_strings")->fetchall().at(0).at(0), "off");
    TableSchema schema{Address::from_string("app#Person"),
                       {{"name", ValueKind::TEXT, "a\\'b"}, {"doc", ValueKind::MAPPING}},
                       {},
                       {}};
    legacy.table_schema_manager()->register_table(schema);
    legacy.prepare_connection();
    legacy.begin();
    write(legacy, Address::from_string("app#Person/o@1"), map(R"({"doc":{"x\\":"v"}})"));
    legacy.commit();
    EXPECT_EQ(db.sql("SELECT name FROM person"), std::vector<std::string>{"a\\'b"});
    const auto matching = [&](const std::string& path, const Value& value) {
        return legacy.query(Address::from_string("app#Person/@ALL"), std::nullopt, Q(path, Lookup::EQ, value)).size();
    };
    EXPECT_EQ(matching("doc__x\\' as text) IS NOT NULL OR TRUE OR cast(NULL as text) = '", "z"), 0u);
    EXPECT_EQ(matching("doc__x\\", "v"), 1u);
    EXPECT_EQ(matching("doc__x\\", "w"), 0u);
}
