#include "bench_support.hpp"

#include "korvex/models/address.hpp"
#include "korvex/query/q.hpp"
#include "korvex/value.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

namespace korvex::bench {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

Timings alternate(const std::vector<Side>& sides, int rounds, int units, int block, int warm_up) {
    for (const Side& side : sides) {
        for (int i = 0; i < warm_up; ++i) side.next()();
    }
    Timings timings(sides.size(), std::vector<std::vector<double>>(static_cast<std::size_t>(rounds)));
    for (int round = 0; round < rounds; ++round) {
        for (int step = 0, done = 0; done < units; ++step, done += block) {
            const bool forward = step % 4 == 0 || step % 4 == 3;
            for (std::size_t k = 0; k < sides.size(); ++k) {
                const std::size_t s = forward ? k : sides.size() - 1 - k;
                auto& times = timings[s][static_cast<std::size_t>(round)];
                for (int i = done; i < std::min(units, done + block); ++i) {
                    const auto unit = sides[s].next();
                    const auto start = Clock::now();
                    unit();
                    times.push_back(seconds_since(start));
                }
            }
        }
    }
    return timings;
}

double median_rate(const std::vector<std::vector<double>>& rounds, int items_per_unit) {
    std::vector<double> rates;
    for (const auto& times : rounds) {
        const double seconds = std::accumulate(times.begin(), times.end(), 0.0);
        if (seconds > 0) rates.push_back(static_cast<double>(times.size()) * items_per_unit / seconds);
    }
    return median(rates);
}

double median_ms(const std::vector<std::vector<double>>& rounds) {
    std::vector<double> all;
    for (const auto& times : rounds) all.insert(all.end(), times.begin(), times.end());
    return median(all) * 1000;
}

std::vector<std::pair<std::string, double>> write_figures(const std::vector<std::vector<double>>& store,
                                                          const std::vector<std::vector<double>>& limit,
                                                          int rows_per_unit) {
    const double store_rate = median_rate(store, rows_per_unit);
    const double limit_rate = median_rate(limit, rows_per_unit);
    return {{"store_rows_per_s", store_rate},
            {"limit_rows_per_s", limit_rate},
            {"ratio", store_rate / limit_rate},
            {"ratio_median_transaction", median_ms(limit) / median_ms(store)}};
}

TableSchema bench_person_schema() {
    return {Address::from_string("bench#BenchPerson@1"),
            {{"name", ValueKind::TEXT}, {"age", ValueKind::INTEGER}, {"profile", ValueKind::MAPPING}},
            {},
            {}};
}

const char* const PERSON_COLUMNS = R"("name", "age", "profile", "partition_key", "range_key")";

namespace {

Value person_profile(int n) { return {{"city", "Town"}, {"n", n}}; }

}  // namespace

std::vector<WriteItem> person_items(const std::string& prefix, int count, int& next_id) {
    std::vector<WriteItem> items;
    items.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i, ++next_id) {
        const std::string id = prefix + std::to_string(next_id);
        items.emplace_back(Address::from_string("bench#BenchPerson@1/" + id + "@1"),
                           Value{{"name", "Person " + id}, {"age", next_id % 90}, {"profile", person_profile(next_id)}});
    }
    return items;
}

std::vector<PersonRow> person_rows(const std::string& prefix, int count, int& next_id) {
    std::vector<PersonRow> rows;
    rows.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i, ++next_id) {
        const std::string id = prefix + std::to_string(next_id);
        rows.push_back({"Person " + id, next_id % 90, std::to_string(next_id % 90), person_profile(next_id).dump(), id,
                        "1"});
    }
    return rows;
}

namespace {

// 100000 as "100k", 1000000 as "1m", anything else as its digits.
std::string size_label(long rows) {
    if (rows % 1000000 == 0) return std::to_string(rows / 1000000) + "m";
    if (rows % 1000 == 0) return std::to_string(rows / 1000) + "k";
    return std::to_string(rows);
}

}  // namespace

std::string latest_version_statement(const std::string& marker) {
    return "SELECT t.*, m.*\n"
           "FROM benchperson_v_1 AS t\n"
           "JOIN metadata AS m ON m.object_id = t.partition_key AND m.object_version = t.range_key\n"
           "WHERE t.partition_key = " +
           marker +
           "\n"
           "  AND NOT EXISTS (SELECT 1 FROM metadata AS n WHERE n.object_id = m.object_id AND n.prior_version = "
           "m.object_version)";
}

void report_point_reads(const std::string& prefix, const std::string& title, int reads, int versions,
                        const ReadFigures& small, const ReadFigures& large) {
    std::printf("%s latest-version point read (median of %d reads; %d versions per object, with metadata)\n",
                title.c_str(), reads, versions);
    for (const ReadFigures& figures : {small, large}) {
        std::printf("  store of %8ld rows: query %.4f ms, hand-written prepared once %.4f ms, ratio %.2f\n",
                    figures.rows, figures.store_ms, figures.limit_ms, figures.store_ms / figures.limit_ms);
    }
    std::printf("  query, large / small store  %.2f\n", large.store_ms / small.store_ms);
    for (const ReadFigures& figures : {small, large}) {
        print_json_line(prefix + "_point_read_" + size_label(figures.rows),
                        {{"store_ms", figures.store_ms},
                         {"limit_ms", figures.limit_ms},
                         {"ratio", figures.store_ms / figures.limit_ms}});
    }
    print_json_line(prefix + "_point_read_growth", {{"ratio", large.store_ms / small.store_ms}});
}

void print_json_line(const std::string& benchmark, const std::vector<std::pair<std::string, double>>& figures) {
    Value line = {{"benchmark", benchmark}};
    for (const auto& [name, figure] : figures) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", figure);
        line[name] = std::isfinite(figure) ? Value(std::strtod(text, nullptr)) : Value();
    }
    std::printf("%s\n", line.dump().c_str());
    std::fflush(stdout);
}

Side store_write_side(HistoricalConnectionBase& store, const char* name, const char* prefix, bool many, int batch,
                      int& next_id) {
    return Side{name, [&store, &next_id, prefix, many, batch] {
                    return [&store, many, items = person_items(prefix, batch, next_id)] {
                        store.begin();
                        if (many) {
                            store.put_many(items);
                        } else {
                            for (const auto& [address, data] : items) store.put(address, data);
                        }
                        store.commit();
                        store.on_transaction_complete();
                    };
                }};
}

Side store_latest_read_side(HistoricalConnectionBase& store, const std::function<std::string()>& next_id,
                            int versions) {
    return Side{"query", [&store, next_id, versions] {
                    return [&store, versions, id = next_id()] {
                        static const Address address = Address::from_string("bench#BenchPerson@1");
                        const Q latest = Q("_address__object_id", Lookup::EQ, id) &
                                         Q("_address__object_version", Lookup::EQ, "LATEST");
                        const auto rows = store.query(address, std::nullopt, latest);
                        if (rows.size() != 1 || rows[0].value("range_key", Value()) != std::to_string(versions)) {
                            throw std::runtime_error("the store's read of " + id +
                                                     " did not return the newest version alone");
                        }
                    };
                }};
}

}  // namespace korvex::bench
