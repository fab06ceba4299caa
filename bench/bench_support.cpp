#include "bench_support.hpp"

#include "korvex/value.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace korvex::bench {

RawConnection::RawConnection() {
    // An empty connection string: libpq reads nothing; the POSTGRES_* variables are ours.
    const char* keys[] = {"host", "port", "user", "dbname", nullptr};
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        if (value == nullptr) throw std::runtime_error(std::string(name) + " is not set: run scripts/bench.sh");
        return value;
    };
    const char* values[] = {env("POSTGRES_HOST"), env("POSTGRES_PORT"), env("POSTGRES_USER"), env("POSTGRES_DATABASE"),
                            nullptr};
    conn_ = PQconnectdbParams(keys, values, 0);
    if (PQstatus(conn_) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn_));
}

RawConnection::~RawConnection() { PQfinish(conn_); }

int RawConnection::exec_rows(const std::string& sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& param : params) values.push_back(param.c_str());
    PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                    nullptr, nullptr, 0);
    const auto status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        std::string message = PQerrorMessage(conn_);
        PQclear(result);
        throw std::runtime_error(sql + ": " + message);
    }
    const int rows = PQntuples(result);
    PQclear(result);
    return rows;
}

void RawConnection::exec(const std::string& sql, const std::vector<std::string>& params) { exec_rows(sql, params); }

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void print_json_line(const std::string& benchmark, const std::vector<std::pair<std::string, double>>& figures) {
    Value line = {{"benchmark", benchmark}};
    for (const auto& [name, figure] : figures) line[name] = std::round(figure * 1000) / 1000;
    std::printf("%s\n", line.dump().c_str());
}

std::string numbered_markers(const std::string& text) {
    std::string out;
    int n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's') {
            out += '$';
            out += std::to_string(++n);
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace korvex::bench
