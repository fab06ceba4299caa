// Several processes on one SQLite file at once: preparing a fresh file, and writers taking turns
// with the default busy timeout. Each test forks its processes, which all wait at one gate and
// start together.

#include "korvex/connections/errors.hpp"
#include "korvex_data/connections/implementations/lite_history.hpp"
#include "temp_database.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>

using namespace korvex;
using korvex::lite_history::SqliteHistoricalConnection;

namespace {

constexpr int PROCESSES = 8;

void print_error(int process, const std::exception& error, int depth = 0) {
    std::fprintf(stderr, "process %d: %*s%s\n", process, depth * 2, "", error.what());
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& nested) {
        print_error(process, nested, depth + 1);
    }
}

// Runs work(i, report, start) in `PROCESSES` forked processes; each calls start() when ready,
// which returns once all are ready, writes what it has to report to `report` (a pipe the parent
// reads) and exits with work's answer. Returns the output of all processes and whether every one
// exited with 0.
using Work = std::function<int(int, int report, const std::function<void()>& start)>;
std::pair<std::string, bool> run_processes(const Work& work) {
    int gate[2];
    int ready[2];
    int report[2];
    if (::pipe(gate) != 0 || ::pipe(ready) != 0 || ::pipe(report) != 0) throw std::runtime_error("pipe");
    std::vector<pid_t> children;
    for (int i = 0; i < PROCESSES; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(gate[1]);
            ::close(ready[0]);
            ::close(report[0]);
            ::alarm(30);  // never outlives a hung run
            const auto start = [&] {
                ::close(ready[1]);
                char byte;
                while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
                }
            };
            int code = 1;
            try {
                code = work(i, report[1], start);
            } catch (const std::exception& error) {
                print_error(i, error);
            }
            ::_exit(code);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(ready[1]);
    char byte;
    while (::read(ready[0], &byte, 1) != 0 && errno == EINTR) {
    }  // every process is ready (or gone)
    ::close(ready[0]);
    ::close(gate[1]);  // every process starts now
    ::close(report[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
    }
    ::close(report[0]);
    bool all_succeeded = true;
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        all_succeeded = all_succeeded && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return {output, all_succeeded};
}

const TableSchema PERSON{Address::from_string("app#Person"), {{"name", ValueKind::TEXT}}, {{"name"}}, {}};

}  // namespace

// Every process finds the tables made by another, or makes them while the others wait.
TEST(LiteHistoryProcesses, EightPreparingOneFreshFileAllSucceed) {
    TempDatabase file;
    const auto [output, all_succeeded] = run_processes([&](int, int, const std::function<void()>& start) {
        SqliteHistoricalConnection store;
        store.connect(file.path());
        store.table_schema_manager();  // its module loaded before the start
        start();
        store.prepare_connection();
        for (int version = 1; version <= 10; ++version) {
            TableSchema schema = PERSON;
            schema.address = Address::from_string("app#Person@" + std::to_string(version));
            store.table_schema_manager()->register_table(schema);
        }
        return 0;
    });
    EXPECT_TRUE(all_succeeded);
    SqliteStateConnection check(file.path());
    EXPECT_EQ(check.execute("SELECT count(*) FROM sqlite_master WHERE sql IS NOT NULL AND (tbl_name = 'metadata' OR "
                            "tbl_name LIKE 'person_v_%')")->fetchall(),
              (std::vector<Row>{{28}}));  // metadata and its seven indexes, ten class tables with one each
}

// Short transactions of 8 processes with the default busy timeout: each gets the write lock in
// its turn, none fails.
TEST(LiteHistoryProcesses, EightWritersWithTheDefaultTimeoutAllCommit) {
    TempDatabase file;
    {
        SqliteHistoricalConnection store;
        store.connect(file.path());
        store.prepare_connection();
        store.table_schema_manager()->register_table(PERSON);
    }
    constexpr int TRANSACTIONS = 40;
    const auto [output, all_succeeded] = run_processes([&](int process, int report, const std::function<void()>& start) {
        SqliteHistoricalConnection store;
        store.connect(file.path());
        start();
        int failed = 0;
        std::ostringstream line;
        for (int i = 0; i < TRANSACTIONS; ++i) {
            const std::string id = std::to_string(process) + "-" + std::to_string(i);
            const auto start = std::chrono::steady_clock::now();
            try {
                store.begin();
                store.put(Address::from_string("app#Person/" + id + "@1"), {{"name", id}});
                store.put(Address::from_string("resource#Metadata/" + id + ":1"),
                          {{"address", Address::from_string("app#Person/" + id + "@1").to_value()}});
                store.commit();
            } catch (const std::exception& error) {
                print_error(process, error);
                ++failed;
                if (!store.revert_data().empty()) store.rollback();
            }
            line << std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                        .count()
                 << ' ';
        }
        line << '\n';
        const std::string text = line.str();
        if (::write(report, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
        return failed == 0 ? 0 : 1;
    });
    EXPECT_TRUE(all_succeeded);
    SqliteStateConnection check(file.path());
    EXPECT_EQ(check.execute("SELECT count(*) FROM person")->fetchall(), (std::vector<Row>{{PROCESSES * TRANSACTIONS}}));
    std::vector<long> times;
    std::istringstream in(output);
    for (long us; in >> us;) times.push_back(us);
    ASSERT_EQ(times.size(), static_cast<std::size_t>(PROCESSES * TRANSACTIONS));
    std::sort(times.begin(), times.end());
    std::cout << "transaction time over " << times.size() << " transactions: median " << times[times.size() / 2] / 1000.0
              << " ms, p99 " << times[times.size() * 99 / 100] / 1000.0 << " ms, max " << times.back() / 1000.0
              << " ms\n";
}
