// Statement building: the joined latest-version SELECT with conditions, ordering and a page,
// against a baseline that only concatenates a statement of the same length.

#include "korvex_data/connections/implementations/pg_timeline.hpp"

#include <benchmark/benchmark.h>

using namespace korvex;

namespace {

const Q conditions = Q("_address__object_id", Lookup::EQ, "o42") & Q("_address__object_version", Lookup::EQ, "LATEST") &
                     (Q("profile__city", Lookup::ISTARTSWITH, "lon") | Q("age", Lookup::GTE, 30));
const std::vector<OrderBy> order = {{"profile__city"}, {"age", true}};

// Describes the table without a server, so that only the building is measured.
class OfflineConnection : public pg_timeline::PostgresHistoricalConnection {
public:
    TableDescription _describe_table(const std::string&) override {
        return {{"partition_key", "text"}, {"range_key", "text"}, {"age", "bigint"}, {"profile", "json"}};
    }
};

void BM_BuildJoinedSelect(benchmark::State& state) {
    OfflineConnection connection;
    for (auto _ : state) {
        Statement statement = connection._build_select_statement("person_v_1", std::nullopt, conditions,
                                                                  NumberPaginator{10, 20}, order, true);
        benchmark::DoNotOptimize(statement);
    }
}

void BM_BaselineConcatenation(benchmark::State& state) {
    OfflineConnection connection;
    const std::string built =
        connection._build_select_statement("person_v_1", std::nullopt, conditions, NumberPaginator{10, 20}, order, true)
            .text;
    const std::size_t half = built.size() / 2;
    for (auto _ : state) {
        std::string text;
        text += built.substr(0, half);
        text += built.substr(half);
        Statement statement{text, {Value("o42"), Value("LON%"), Value(30), Value(10), Value(20)}};
        benchmark::DoNotOptimize(statement);
    }
}

}  // namespace

BENCHMARK(BM_BuildJoinedSelect);
BENCHMARK(BM_BaselineConcatenation);
