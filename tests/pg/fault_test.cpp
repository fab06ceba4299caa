// PostgresHistoricalConnection when the server fails under it: a server stopped abruptly inside
// a transaction (on a cluster of this test's own, which it stops and starts again), and a lock
// held by another session while a statement timeout is in force.

#include "korvex/table_schemas/base.hpp"
#include "pg_fixture.hpp"

#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <unistd.h>

using namespace korvex;
using korvex::testing::database_cause;
using korvex::testing::map;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;
using Clock = std::chrono::steady_clock;

namespace {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// A throw-away cluster started by scripts/pg_start.sh; stop() ends the server as a crash would
// (pg_ctl stop -m immediate) and start() brings the same cluster back.
class PrivateCluster {
public:
    PrivateCluster() {
        char folder[] = "/tmp/korvex-fault.XXXXXX";
        if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = folder;
        run(script("scripts/pg_start.sh") + " " + state() + " >/dev/null");
        std::ifstream env(state() + "/env.sh");
        for (std::string line; std::getline(env, line);) {
            const auto equals = line.find('=');
            if (line.starts_with("export ") && equals != std::string::npos) {
                variables_[line.substr(7, equals - 7)] = line.substr(equals + 1);
            }
        }
    }
    ~PrivateCluster() {
        std::system((script("scripts/pg_stop.sh") + " " + state() + " >/dev/null 2>&1").c_str());
        std::system(("rm -rf " + folder_).c_str());
    }
    PrivateCluster(const PrivateCluster&) = delete;
    PrivateCluster& operator=(const PrivateCluster&) = delete;

    void stop() { run(script("tests/support/pg_server.sh") + " " + state() + " stop"); }
    void start() { run(script("tests/support/pg_server.sh") + " " + state() + " start"); }

    ConnectionParameters parameters() const {
        return {{"host", variables_.at("POSTGRES_HOST")},
                {"port", variables_.at("POSTGRES_PORT")},
                {"user", variables_.at("POSTGRES_USER")},
                {"database", variables_.at("POSTGRES_DATABASE")}};
    }

    // The first column of every row of `statement`, run on a connection of its own.
    std::vector<std::string> sql(const std::string& statement) const {
        const auto parameters = this->parameters();
        const std::string dsn = "host=" + parameters.at("host") + " port=" + parameters.at("port") +
                                " user=" + parameters.at("user") + " dbname=" + parameters.at("database");
        std::unique_ptr<PGconn, decltype(&PQfinish)> connection(PQconnectdb(dsn.c_str()), &PQfinish);
        std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection.get(), statement.c_str()), &PQclear);
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
            throw std::runtime_error(statement + ": " + PQerrorMessage(connection.get()));
        }
        std::vector<std::string> rows;
        for (int row = 0; row < PQntuples(result.get()); ++row) rows.emplace_back(PQgetvalue(result.get(), row, 0));
        return rows;
    }

private:
    static std::string script(const std::string& path) { return std::string(KORVEX_SOURCE_DIR) + "/" + path; }
    std::string state() const { return folder_ + "/pg"; }

    std::string folder_;
    std::map<std::string, std::string> variables_;
};

const TableSchema SCHEMA{Address::from_string("app#Fault@1"), {{"name", ValueKind::TEXT}}, {}, {}};

Address object(const std::string& id) { return Address::from_string("app#Fault@1/" + id + "@1"); }

// Connects with the server options `options` and puts the internal tables and the test's table
// in place.
void open_store(RecordingConnection& connection, ConnectionParameters parameters, const std::string& options) {
    parameters["options"] = options;
    connection.connect(std::nullopt, parameters);
    connection.prepare_connection();
    connection.table_schema_manager()->register_table(SCHEMA);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(ServerFault, StoppedServerFailsTheTransactionAtOnceAndKeepsNothingOfIt) {
    PrivateCluster cluster;
    // The cluster runs with asynchronous commit, which may lose the last commits in a crash; a
    // write that committed by mistake must survive it to be seen.
    const std::string options = "-c synchronous_commit=on";
    RecordingConnection connection;
    open_store(connection, cluster.parameters(), options);
    connection.begin();
    connection.put(object("a"), map(R"({"name":"A"})"));
    connection.begin();
    connection.put(object("b"), map(R"({"name":"B"})"));

    cluster.stop();
    const auto start = Clock::now();
    EXPECT_THROW(connection.put(object("c"), map(R"({"name":"C"})")), KorvexConnectionError);
    EXPECT_LT(seconds_since(start), 3.0);
    // The server's transaction is gone with the session, and so are the levels that stood for it.
    EXPECT_TRUE(connection.revert_data().empty());
    EXPECT_TRUE(connection.savepoints().empty());

    cluster.start();
    EXPECT_EQ(cluster.sql("SELECT count(*) FROM fault_v_1"), std::vector<std::string>{"0"});

    EXPECT_NO_THROW(connection.disconnect());
    auto parameters = cluster.parameters();
    parameters["options"] = options;
    connection.connect(std::nullopt, parameters);
    connection.statements.clear();
    connection.begin();
    ASSERT_FALSE(connection.statements.empty());
    EXPECT_EQ(connection.statements.front().text, "BEGIN");
    connection.put(object("d"), map(R"({"name":"D"})"));
    connection.commit();
    EXPECT_EQ(cluster.sql("SELECT partition_key FROM fault_v_1"), std::vector<std::string>{"d"});
}

TEST(ServerFault, LockedTableTimesOutAndTheTransactionRollsBack) {
    PgTestDatabase db;
    RecordingConnection connection;
    open_store(connection, db.parameters(), "-c statement_timeout=500");

    // Another session holds the table until it commits.
    std::unique_ptr<PGconn, decltype(&PQfinish)> holder(PQconnectdb(db.dsn().c_str()), &PQfinish);
    ASSERT_EQ(PQstatus(holder.get()), CONNECTION_OK);
    std::unique_ptr<PGresult, decltype(&PQclear)> locked(
        PQexec(holder.get(), "BEGIN; LOCK TABLE fault_v_1 IN ACCESS EXCLUSIVE MODE"), &PQclear);
    ASSERT_EQ(PQresultStatus(locked.get()), PGRES_COMMAND_OK) << PQerrorMessage(holder.get());

    connection.begin();
    const auto start = Clock::now();
    try {
        connection.put(object("a"), map(R"({"name":"A"})"));
        ADD_FAILURE() << "put on a locked table did not time out";
    } catch (const KorvexConnectionError& error) {
        const auto cause = database_cause(error);
        ASSERT_TRUE(cause);
        EXPECT_EQ(cause->sqlstate(), "57014") << cause->what();  // query_canceled
    }
    const double waited = seconds_since(start);
    EXPECT_GE(waited, 0.4);
    EXPECT_LT(waited, 5.0);
    EXPECT_NO_THROW(connection.rollback());
    EXPECT_TRUE(connection.revert_data().empty());

    std::unique_ptr<PGresult, decltype(&PQclear)> released(PQexec(holder.get(), "COMMIT"), &PQclear);
    EXPECT_EQ(db.sql("SELECT count(*) FROM fault_v_1"), std::vector<std::string>{"0"});
    // The connection goes on as before.
    connection.begin();
    connection.put(object("b"), map(R"({"name":"B"})"));
    connection.commit();
    EXPECT_EQ(db.sql("SELECT partition_key FROM fault_v_1"), std::vector<std::string>{"b"});
}
