// korvex::Transaction on the real server: whatever ends a guarded level early, no server
// transaction stays open and nothing of the level is written, at any nesting depth.

#include "korvex/connections/transaction.hpp"
#include "korvex/error.hpp"
#include "korvex/postgres/postgres_historical_table_schema_service.hpp"
#include "log_capture.hpp"
#include "pg_fixture.hpp"

#include <functional>
#include <stdexcept>

using namespace korvex;
using korvex::testing::map;
using korvex::testing::OfflineConnection;
using korvex::testing::PgTestDatabase;
using korvex::testing::RecordingConnection;

namespace {

struct TransactionGuardTest : ::testing::Test {
    void SetUp() override {
        store.connect(std::nullopt, db.parameters());
        store.prepare_connection();
        TableSchema schema{Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {}, {}};
        store.table_schema_manager()->register_table(schema);
        backend_pid = store.execute("SELECT pg_backend_pid()")->fetchall().at(0).at(0).dump();
        store.statements.clear();
    }
    void write(const std::string& object_id) {
        store.put(Address::from_string("app#Person/" + object_id + "@1"), map(R"({"name":"x"})"));
    }
    // Both seen from a second session.
    std::vector<std::string> written() const { return db.sql("SELECT partition_key FROM person ORDER BY 1"); }
    std::string server_state() const { return db.sql("SELECT state FROM pg_stat_activity WHERE pid = " + backend_pid).at(0); }
    std::vector<std::string> transaction_statements() const {
        std::vector<std::string> result;
        for (const auto& text : store.texts()) {
            if (text == "BEGIN" || text == "COMMIT" || text == "ROLLBACK") result.push_back(text);
            if (text.starts_with("SAVEPOINT ") || text.starts_with("ROLLBACK TO SAVEPOINT ")) {
                result.push_back(text.substr(0, text.rfind(' ')));
            }
        }
        return result;
    }

    PgTestDatabase db;
    RecordingConnection store;
    std::string backend_pid;
};

}  // namespace

TEST_F(TransactionGuardTest, ExceptionBetweenBeginAndCommitLeavesNoTransactionOpenAndNothingWritten) {
    struct Case {
        const char* name;
        int depth;
        std::function<void(TransactionGuardTest&)> fail;
    };
    const std::vector<Case> cases = {
        {"host exception", 1,
         [](TransactionGuardTest& t) {
             EXPECT_EQ(t.server_state(), "idle in transaction");
             throw std::runtime_error("host failure");
         }},
        {"statement the server rejects", 1,
         [](TransactionGuardTest& t) {
             try {
                 t.store.execute("SELECT no_such_column FROM person");
             } catch (const KorvexConnectionError&) {
                 EXPECT_EQ(t.server_state(), "idle in transaction (aborted)");
                 throw;
             }
         }},
        {"host exception through a nested guard", 2,
         [](TransactionGuardTest&) { throw std::runtime_error("host failure"); }},
        {"statement the server rejects in a nested guard", 2,
         [](TransactionGuardTest& t) { t.store.execute("SELECT no_such_column FROM person"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_ANY_THROW({
            Transaction outer(store);
            write("outer");
            if (c.depth == 1) {
                c.fail(*this);
            } else {
                Transaction inner(store);
                write("inner");
                c.fail(*this);
                inner.commit();
            }
            outer.commit();
        });
        EXPECT_EQ(server_state(), "idle");
        EXPECT_TRUE(written().empty());
        EXPECT_TRUE(store.revert_data().empty());

        // The connection is ready for the next transaction: BEGIN, not a savepoint in a dead one.
        store.statements.clear();
        {
            Transaction next(store);
            write("next");
            next.commit();
        }
        EXPECT_EQ(transaction_statements(), (std::vector<std::string>{"BEGIN", "COMMIT"}));
        EXPECT_EQ(written(), std::vector<std::string>{"next"});
        db.sql("DELETE FROM person");
    }
}

TEST_F(TransactionGuardTest, InnerGuardRollsBackToItsSavepointAndTheOuterCommits) {
    {
        Transaction outer(store);
        write("a");
        try {
            Transaction inner(store);
            write("b");
            throw std::runtime_error("inner failure");
        } catch (const std::runtime_error&) {
        }
        write("c");
        outer.commit();
    }
    EXPECT_EQ(written(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(server_state(), "idle");
    EXPECT_EQ(transaction_statements(),
              (std::vector<std::string>{"BEGIN", "SAVEPOINT", "ROLLBACK TO SAVEPOINT", "COMMIT"}));
}

TEST_F(TransactionGuardTest, FailedRollbackInTheDestructorIsLoggedNotThrown) {
    LogCapture log(Transaction::LOGGER_NAME);
    EXPECT_NO_THROW({
        Transaction transaction(store);
        write("a");
        db.sql("SELECT pg_terminate_backend(" + backend_pid + ")");  // lost, and the store does not know yet
    });
    EXPECT_TRUE(log.logged({"rollback of an uncommitted transaction failed"}));
    EXPECT_TRUE(written().empty());
}

TEST(TransactionGuard, EndsItsLevelOnceAndRefusesASecondEnd) {
    using End = void (Transaction::*)();
    for (End first : {&Transaction::commit, &Transaction::rollback}) {
        for (End second : {&Transaction::commit, &Transaction::rollback}) {
            OfflineConnection connection;
            {
                Transaction transaction(connection);
                (transaction.*first)();
                EXPECT_FALSE(transaction.is_open());
                EXPECT_THROW((transaction.*second)(), UsageError);
            }
            const std::string end = first == &Transaction::commit ? "COMMIT" : "ROLLBACK";
            EXPECT_EQ(connection.texts(), (std::vector<std::string>{"BEGIN", end}));
        }
    }
}
