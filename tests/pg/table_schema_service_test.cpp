// The host's PostgresHistoricalTableSchemaService: table names, versioned tables and the
// internal tables of the PostgreSQL store.

#include "korvex/classes/class_version_manager.hpp"
#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "pg_fixture.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

using namespace korvex;
using korvex::testing::OfflineConnection;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;

namespace {

struct ServiceTest : ::testing::Test {
    void SetUp() override { connection.connect(std::nullopt, db.parameters()); }
    PostgresHistoricalTableSchemaService service() { return PostgresHistoricalTableSchemaService(connection); }
    std::vector<std::string> columns(const std::string& table) const {
        return db.sql("SELECT column_name || ' ' || data_type || ' ' || is_nullable || ' ' || coalesce(column_default, '-')"
                      " FROM information_schema.columns WHERE table_name = '" + table + "' ORDER BY ordinal_position");
    }
    std::vector<std::string> indexes(const std::string& table) const {
        return db.sql("SELECT indexdef FROM pg_indexes WHERE tablename = '" + table + "' ORDER BY indexname");
    }
    PgTestDatabase db;
    RecordingConnection connection;
};

}  // namespace

TEST(ResolveTableName, FollowsTheSharedRule) {
    OfflineConnection connection;
    PostgresHistoricalTableSchemaService service(connection);
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Person/p1@3")), "person");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#order_line@2/p1@3")), "orderline_v_2");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("resource#Transaction@4")), "transaction");
    ClassVersionManager::register_class_version("Gadget", "7");
    EXPECT_EQ(service.resolve_table_name(Address::from_string("app#Gadget@LATEST")), "gadget_v_7");
    ClassVersionManager::clear();
    EXPECT_TRUE(connection.statements.empty());
}

TEST(InternalTableSchemas, MetadataReferenceTransactionInOrder) {
    const auto schemas = PostgresHistoricalTableSchemaService::internal_table_schemas();
    ASSERT_EQ(schemas.size(), 3u);
    EXPECT_EQ(schemas[0].address.class_name, "Metadata");
    EXPECT_EQ(schemas[1].address.class_name, "Reference");
    EXPECT_EQ(schemas[2].address.class_name, "Transaction");
}

TEST_F(ServiceTest, RegisterTableCreatesAVersionedTableOnce) {
    TableSchema schema{Address::from_string("app#Person@2"),
                       {{"name", ValueKind::TEXT},
                        {"age", ValueKind::INTEGER},
                        {"score", ValueKind::FLOAT},
                        {"active", ValueKind::BOOLEAN, true, false},
                        {"doc", ValueKind::MAPPING},
                        {"tags", ValueKind::SEQUENCE},
                        {"point", make_nested({{"x", ValueKind::FLOAT}})},
                        {"list", make_array(ValueKind::TEXT)},
                        {"motto", ValueKind::TEXT, "it's 100%"}},
                       {{"name"}},
                       {}};
    EXPECT_EQ(service().register_table(schema), std::make_pair(std::string("person_v_2"), true));
    EXPECT_EQ(columns("person_v_2"),
              (std::vector<std::string>{"partition_key text NO -", "range_key text NO -", "name text YES -",
                                        "age bigint YES -", "score double precision YES -", "active boolean NO true",
                                        "doc json YES -", "tags json YES -", "point json YES -", "list json YES -",
                                        "motto text YES 'it''s 100%'::text"}));
    EXPECT_EQ(indexes("person_v_2"),
              (std::vector<std::string>{
                  "CREATE INDEX person_v_2_name_idx ON public.person_v_2 USING btree (name)",
                  "CREATE UNIQUE INDEX person_v_2_pkey ON public.person_v_2 USING btree (partition_key, range_key)"}));

    connection.statements.clear();
    EXPECT_EQ(service().register_table(schema), std::make_pair(std::string("person_v_2"), false));
    EXPECT_EQ(connection.statements.size(), 2u);  // only the existence probe and what holds the name
}

TEST_F(ServiceTest, NamesAreQuotedSafely) {
    TableSchema schema{Address::from_string("app#Odd"), {{"we\"ird %s", ValueKind::TEXT}}, {{"we\"ird %s"}}, {}};
    ASSERT_TRUE(service().register_table(schema).second);
    EXPECT_EQ(columns("odd"), (std::vector<std::string>{"partition_key text NO -", "range_key text NO -",
                                                        "we\"ird %s text YES -"}));
    EXPECT_EQ(indexes("odd").size(), 2u);
}

TEST_F(ServiceTest, InternalTablesKeyedByIdentityAloneAndMetadataIndexes) {
    service().register_internal_tables();
    EXPECT_EQ(indexes("metadata"),
              (std::vector<std::string>{
                  "CREATE INDEX metadata_object_id_object_version_idx ON public.metadata USING btree (object_id, "
                  "object_version)",
                  "CREATE INDEX metadata_object_id_prior_version_object_version_idx ON public.metadata USING btree "
                  "(object_id, prior_version, object_version)",
                  "CREATE INDEX metadata_partition_key_idx ON public.metadata USING btree (partition_key)"}));
    EXPECT_EQ(indexes("reference"),
              (std::vector<std::string>{
                  "CREATE INDEX reference_partition_key_idx ON public.reference USING btree (partition_key)"}));
    EXPECT_EQ(indexes("transaction"),
              (std::vector<std::string>{"CREATE UNIQUE INDEX transaction_pkey ON public.transaction USING btree "
                                        "(partition_key, range_key)"}));
    EXPECT_EQ(columns("metadata")[8], "is_deleted boolean NO false");
    // Several metadata rows may share an identity: _delete removes all of them.
    db.sql("INSERT INTO metadata (partition_key) VALUES ('a'), ('a')");
}

TEST_F(ServiceTest, UpdateInternalTableAddsMissingColumnsAndNeverDrops) {
    db.sql("CREATE TABLE metadata (partition_key text NOT NULL, object_id text, extra text)");
    db.sql("INSERT INTO metadata (partition_key, object_id) VALUES ('k', 'o')");
    connection.statements.clear();
    service().register_internal_tables();
    EXPECT_EQ(columns("metadata"),
              (std::vector<std::string>{"partition_key text NO -", "object_id text YES -", "extra text YES -",
                                        "address json YES -", "object_version text YES -", "prior_version text YES -",
                                        "class_schema_reference json YES -", "class_meta_schema_reference json YES -",
                                        "class_schema_type text YES -", "is_deleted boolean NO false",
                                        "created_at double precision YES -", "updated_at double precision YES -",
                                        "transaction json YES -"}));
    EXPECT_EQ(connection.count_containing("ALTER TABLE \"metadata\" ADD COLUMN"), 10u);
    EXPECT_EQ(connection.count_containing("DROP"), 0u);
    EXPECT_EQ(db.sql("SELECT object_id || ' ' || is_deleted FROM metadata"), std::vector<std::string>{"o false"});
    // The other two tables were created.
    EXPECT_EQ(columns("reference").size(), 3u);
    EXPECT_EQ(columns("transaction").size(), 7u);
}

TEST_F(ServiceTest, UpdateOfAMissingTableFails) {
    EXPECT_THROW(service().update_internal_table(PostgresHistoricalTableSchemaService::internal_table_schemas()[1]),
                 KorvexConnectionError);
}

TEST_F(ServiceTest, UnregisterTableDropsIt) {
    TableSchema schema{Address::from_string("app#Person"), {}, {}, {}};
    ASSERT_TRUE(service().register_table(schema).second);
    EXPECT_TRUE(service().table_exists("person"));
    service().unregister_table(schema.address);
    EXPECT_FALSE(service().table_exists("person"));
    service().unregister_table(schema.address);  // a missing table is no error
}

namespace {

// An error with the causes nested in it, outermost first.
std::string with_causes(const std::exception& error) {
    std::string text = error.what();
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& cause) {
        text += ": " + with_causes(cause);
    } catch (...) {
    }
    return text;
}

}  // namespace

// Many processes start at once against a fresh database: each prepares it (internal tables and
// their indexes) and registers one user table with an index, outside a transaction or inside one
// of its own. A pipe is the barrier: every process connects, then all are let go together.
TEST(ConcurrentPreparation, EightProcessesPrepareOneFreshDatabase) {
    constexpr int PROCESSES = 8;
    for (const bool in_transaction : {false, true}) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE((in_transaction ? "inside a transaction, round " : "outside a transaction, round ") +
                         std::to_string(round));
            PgTestDatabase db;
            int ready[2];
            int go[2];
            ASSERT_EQ(pipe(ready), 0);
            ASSERT_EQ(pipe(go), 0);
            std::vector<pid_t> children;
            for (int i = 0; i < PROCESSES; ++i) {
                const pid_t pid = fork();
                ASSERT_GE(pid, 0);
                if (pid == 0) {
                    alarm(10);  // a process stuck on a lock fails the test instead of hanging it
                    close(go[1]);
                    int status = 0;
                    try {
                        pg_timeline::PostgresHistoricalConnection connection;
                        connection.connect(std::nullopt, db.parameters());
                        char byte = 1;
                        status = write(ready[1], &byte, 1) == 1 && read(go[0], &byte, 1) == 0 ? 0 : 2;
                        if (in_transaction) connection.begin();
                        connection.prepare_connection();
                        TableSchema schema{Address::from_string("app#Part@1"), {{"name", ValueKind::TEXT}}, {{"name"}}, {}};
                        connection.table_schema_manager()->register_table(schema);
                        if (in_transaction) connection.commit();
                    } catch (const std::exception& error) {
                        std::fprintf(stderr, "process %d: %s\n", i, with_causes(error).c_str());
                        status = 1;
                    }
                    _exit(status);
                }
                children.push_back(pid);
            }
            close(ready[1]);
            close(go[0]);
            char byte;
            for (int i = 0; i < PROCESSES; ++i) ASSERT_EQ(read(ready[0], &byte, 1), 1);
            close(go[1]);  // lets every process go at once
            close(ready[0]);
            int succeeded = 0;
            for (const pid_t pid : children) {
                int status = 0;
                waitpid(pid, &status, 0);
                succeeded += WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            EXPECT_EQ(succeeded, PROCESSES);
            EXPECT_EQ(db.sql("SELECT count(*) FROM pg_indexes WHERE schemaname = 'public'"),
                      std::vector<std::string>{"7"});
        }
    }
}

// A class whose name lowers differently by Unicode's rules than by A to Z alone gets the new
// name; a table under the former spelling is refused with both names, never duplicated.
TEST_F(ServiceTest, TableUnderTheFormerSpellingIsRefusedNotDuplicated) {
    const TableSchema schema{Address::from_string("app#Äpfel@1"), {{"name", ValueKind::TEXT}}, {}, {}};
    const std::string tables = "SELECT relname FROM pg_class WHERE relname ILIKE '%pfel_v_1' AND relkind = 'r'";
    EXPECT_EQ(service().register_table(schema), std::make_pair(std::string("äpfel_v_1"), true));
    EXPECT_EQ(db.sql(tables), std::vector<std::string>{"äpfel_v_1"});

    db.sql("DROP TABLE \"äpfel_v_1\"; CREATE TABLE \"Äpfel_v_1\" (partition_key text)");
    try {
        service().register_table(schema);
        ADD_FAILURE() << "registered beside the former table";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("named äpfel_v_1"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("named Äpfel_v_1"), std::string::npos) << error.what();
    }
    EXPECT_EQ(db.sql(tables), std::vector<std::string>{"Äpfel_v_1"});
}
