#pragma once
// What every benchmark program shares: the clock and the statistics, the turns the sides of a
// comparison take (ABBA), the versions the write benchmarks write, and the JSON line each
// benchmark ends with. The drivers' own connections are in pg_bench_support.hpp and
// lite_bench_support.hpp.

#include "korvex/connections/historical_base.hpp"
#include "korvex/models/table_schema.hpp"

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvex::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The middle value (the upper one of an even count); 0 for none.
double median(std::vector<double> values);
// The value below which `share` (0..1) of the values lie, nearest rank; 0 for none.
double percentile(std::vector<double> values, double share);

// One side of a comparison. `next` makes the side's next unit of work (a transaction, a read)
// with its data made before the clock starts, and returns it ready to run.
struct Side {
    std::string name;
    std::function<std::function<void()>()> next;
};

// The seconds each timed unit took: [side][round][unit].
using Timings = std::vector<std::vector<std::vector<double>>>;

// Runs `rounds` rounds of `units` units per side; before the first, `warm_up` untimed units per
// side fill caches and prepare statements. Within a round the sides take turns block by block of
// `block` units, in ABBA order (with three sides ABC CBA), each block back to back on its side's
// connection: switching connections after every unit changes how fast a server answers either
// side on a small machine, and whole rounds per side would let a change of load favour one.
Timings alternate(const std::vector<Side>& sides, int rounds, int units, int block, int warm_up = 0);

// Per round, `items_per_unit` times its units over the time they took; the median round.
double median_rate(const std::vector<std::vector<double>>& rounds, int items_per_unit);
// The median unit over all rounds, in milliseconds.
double median_ms(const std::vector<std::vector<double>>& rounds);
// The figures of a write comparison, in this order: store_rows_per_s and limit_rows_per_s (each
// side's rows over its time, median round), ratio (store / limit), and ratio_median_transaction
// (the limit's median transaction over the store's), which the stalls of a busy machine disturb
// less than the sums.
std::vector<std::pair<std::string, double>> write_figures(const std::vector<std::vector<double>>& store,
                                                          const std::vector<std::vector<double>>& limit,
                                                          int rows_per_unit);

// The class every benchmark writes and reads: bench#BenchPerson@1 (name, age, profile).
TableSchema bench_person_schema();

// One version of a BenchPerson as ready parameter values, in the column order of
// PERSON_COLUMNS.
struct PersonRow {
    std::string name;
    int age;
    std::string age_text;
    std::string profile;  // the JSON text of the profile map
    std::string id;
    std::string version;
};
// The quoted column list of the hand-written INSERTs, in the order the store writes them.
extern const char* const PERSON_COLUMNS;

// `count` new objects, version 1, with ids `prefix` followed by a running number; as the store
// takes them (maps) and as the hand-written loops take them (ready values). Both make the same
// values for the same numbers.
std::vector<WriteItem> person_items(const std::string& prefix, int count, int& next_id);
std::vector<PersonRow> person_rows(const std::string& prefix, int count, int& next_id);

// The fastest hand-written latest-version read of one object with its metadata: the class table
// joined with the metadata where no metadata row names the version as its prior version; the id
// is the one parameter, written as `marker`.
std::string latest_version_statement(const std::string& marker);

// The store's side of a write benchmark: one transaction of `batch` new person items, written by
// one put_many (`many`) or by one put per item.
Side store_write_side(HistoricalConnectionBase& store, const char* name, const char* prefix, bool many, int batch,
                      int& next_id);

// The store's side of the latest-version read: one object's newest version by id through query,
// checked to be version `versions` alone.
Side store_latest_read_side(HistoricalConnectionBase& store, const std::function<std::string()>& next_id,
                            int versions);

// The median read of each side in a store of `rows` rows.
struct ReadFigures {
    long rows;
    double store_ms;
    double limit_ms;
};
// The human lines and the JSON lines ("<prefix>_point_read_100k", ..._growth) of a latest-version
// read benchmark over a small and a large store.
void report_point_reads(const std::string& prefix, const std::string& title, int reads, int versions,
                        const ReadFigures& small, const ReadFigures& large);

// Prints one line of JSON for scripts/bench.sh: {"benchmark":name, figure:value, ...}, the
// figures in the order given, to six significant digits.
void print_json_line(const std::string& benchmark, const std::vector<std::pair<std::string, double>>& figures);

}  // namespace korvex::bench
