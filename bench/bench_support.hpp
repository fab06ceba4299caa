#pragma once
// What the benchmark programs share: a raw libpq connection to the server the POSTGRES_*
// variables name, a clock, the median, and the JSON line of each benchmark's figures.

#include <libpq-fe.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace korvex::bench {

// A plain libpq connection, the baseline every figure is measured against.
class RawConnection {
public:
    RawConnection();
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Runs a statement with text parameters ($1..$n); throws with the server's message.
    void exec(const std::string& sql, const std::vector<std::string>& params = {});
    // Runs a statement and returns the number of rows.
    int exec_rows(const std::string& sql, const std::vector<std::string>& params = {});
    PGconn* get() const { return conn_; }

private:
    PGconn* conn_;
};

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values);

// Prints one line of JSON for a script to read: {"benchmark":name, figure:value, ...}, the
// figures in the order given.
void print_json_line(const std::string& benchmark, const std::vector<std::pair<std::string, double>>& figures);

// Rewrites %s markers as $1..$n, as the connection does before it sends a statement.
std::string numbered_markers(const std::string& text);

}  // namespace korvex::bench
