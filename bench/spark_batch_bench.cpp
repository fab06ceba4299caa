// Writing a batch of rows into one Iceberg table through Spark Connect, one statement (and one
// commit) per batch: the rows as one JSON parameter read back by from_json (insert_rows), the
// rows as one typed ARRAY<STRUCT> parameter, and, as the baseline, the same rows written into
// the statement as literal text (INSERT ... VALUES); and, as the ceiling, as many rows copied
// within the table by the server. The methods take turns batch by batch; the figures are each
// method's median rows per second.
//
// Usage: spark_batch_bench [rows per batch, 10000] [rounds, 3]; SPARK_CONNECT_URL names the
// server (scripts/spark_start.sh).

#include "bench_support.hpp"

#include "korvex/spark_connect/spark_connect_client.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

using namespace korvex;

namespace {

ComplexType type_of(const char* name) { return ComplexType::primitive(name); }

const std::vector<IcebergTableColumn>& columns() {
    static const std::vector<IcebergTableColumn> all = {
        {"object_id", type_of("STRING"), false},
        {"object_version", type_of("BIGINT"), false},
        {"data", type_of("STRING")},
        {"score", type_of("DOUBLE")},
        {"address",
         ComplexType::struct_of({ComplexType::field("class_name", type_of("STRING")), ComplexType::field("object_id", type_of("STRING")),
                                 ComplexType::field("versions", ComplexType::array_of(type_of("BIGINT")))})},
    };
    return all;
}

std::vector<Value> make_rows(int count, int& next) {
    std::vector<Value> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i, ++next) {
        const std::string id = "object-" + std::to_string(next);
        const Value data = {{"name", "Person " + std::to_string(next)}, {"age", next % 90}, {"tags", {"a", "ü"}}};
        rows.push_back(Value::array({id, next, data.dump(), next * 0.25, Value::array({"Person", id, Value::array({next, 1})})}));
    }
    return rows;
}

std::string literal_values(const std::string& table, const std::vector<Value>& rows) {
    std::string text = "INSERT INTO " + table + " VALUES ";
    char number[32];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Value& row = rows[i];
        std::snprintf(number, sizeof number, "%.17g", row[3].get<double>());
        text += (i > 0 ? ", (" : "(") + quote_spark_string(row[0].get<std::string>()) + ", " + row[1].dump() + ", " +
                quote_spark_string(row[2].get<std::string>()) + ", CAST(" + number + " AS DOUBLE), named_struct('class_name', " +
                quote_spark_string(row[4][0].get<std::string>()) + ", 'object_id', " + quote_spark_string(row[4][1].get<std::string>()) +
                ", 'versions', array(" + row[4][2][0].dump() + ", " + row[4][2][1].dump() + ")))";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int batch = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const char* url = std::getenv("SPARK_CONNECT_URL");
    if (url == nullptr || *url == '\0') {
        std::fprintf(stderr, "SPARK_CONNECT_URL is not set: start a server with scripts/spark_start.sh\n");
        return 2;
    }
    SparkConnectClient client(url);
    std::random_device device;
    const std::string ns = "korvex.bench_" + std::to_string(device() % 1000000);
    const std::string table = ns + ".rows";
    client.sql("CREATE NAMESPACE IF NOT EXISTS " + ns);
    client.sql("CREATE TABLE " + table + " (" + IcebergTableColumnsSchema(columns()).to_sql() + ") USING iceberg");

    std::vector<ComplexType::Field> fields;
    for (const auto& column : columns()) fields.push_back(ComplexType::field(column.name, column.type));
    const ComplexType rows_type = ComplexType::array_of(ComplexType::struct_of(fields));

    int next = 0;
    struct Method {
        const char* name;
        std::function<void(const std::vector<Value>&)> write;
        std::vector<double> rates;
    };
    std::vector<Method> methods = {
        {"literal_text", [&](const std::vector<Value>& rows) { client.sql(literal_values(table, rows)); }, {}},
        {"json_parameter", [&](const std::vector<Value>& rows) { client.insert_rows(table, columns(), rows); }, {}},
        {"struct_parameter",
         [&](const std::vector<Value>& rows) {
             client.sql("INSERT INTO " + table + " SELECT inline(?)", {SparkParameter(Value(rows), rows_type)});
         },
         {}},
        // No rows from the client at all: as many rows copied within the table, the most any
        // client-side path could reach on this server at this moment.
        {"server_copy",
         [&](const std::vector<Value>& rows) {
             client.sql("INSERT INTO " + table + " SELECT * FROM " + table + " LIMIT " + std::to_string(rows.size()));
         },
         {}},
    };
    // One untimed batch each first: the server compiles its code paths on first use.
    for (auto& method : methods) method.write(make_rows(100, next));
    for (int round = 0; round < rounds; ++round) {
        for (auto& method : methods) {
            const std::vector<Value> rows = make_rows(batch, next);
            const auto start = std::chrono::steady_clock::now();
            method.write(rows);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            method.rates.push_back(batch / seconds);
        }
    }
    const auto count = client.sql("SELECT count(*) FROM " + table)->fetchall()[0][0].get<long long>();
    client.sql("DROP TABLE " + table + " PURGE");
    if (count != static_cast<long long>(methods.size()) * (100 + static_cast<long long>(batch) * rounds)) {
        std::fprintf(stderr, "expected %lld rows in the table, found %lld\n",
                     static_cast<long long>(methods.size()) * (100 + static_cast<long long>(batch) * rounds), count);
        return 1;
    }
    std::vector<std::pair<std::string, double>> figures = {{"rows_per_batch", batch}};
    for (auto& method : methods) {
        std::sort(method.rates.begin(), method.rates.end());
        figures.emplace_back(std::string(method.name) + "_rows_per_s", method.rates[method.rates.size() / 2]);
    }
    bench::print_json_line("spark_batch_insert", figures);
    return 0;
}
