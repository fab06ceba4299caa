// The SELECT statements of query and count, and the plain select, for hostile class names,
// address parts, selections, orderings, pages and condition trees, on a connection that records
// statements instead of sending them.
//
// Input lines: class name, class version, object id, object version (LATEST and ALL are the
// markers), the fields of `only` (tab-separated; "*" for none), the distinct fields, the ordering
// fields (a leading '-' for descending), "limit offset" or nothing, then a condition in prefix
// form: "&" or "|" and two conditions, "!" and one, or a leaf "<look-up> <field path>" (the
// look-up by its name, eq ... isnull) followed by a value line.

#include "fuzz_support.hpp"

#include "korvex/connections/constants.hpp"
#include "korvex/table_schemas/base.hpp"

#include <set>
#include <sstream>

using namespace korvex;
using namespace korvex::fuzz;

namespace {

constexpr Lookup LOOKUPS[] = {Lookup::EQ,          Lookup::NEQ,       Lookup::GT,          Lookup::GTE,
                              Lookup::LT,          Lookup::LTE,       Lookup::IN,          Lookup::CONTAINS,
                              Lookup::ICONTAINS,   Lookup::STARTSWITH, Lookup::ISTARTSWITH, Lookup::ENDSWITH,
                              Lookup::IENDSWITH,   Lookup::ISNULL};

Lookup lookup_named(std::string_view name) {
    unsigned sum = 0;
    for (const Lookup lookup : LOOKUPS) {
        if (to_string(lookup) == name) return lookup;
    }
    for (char c : name) sum += static_cast<unsigned char>(c);
    return LOOKUPS[sum % std::size(LOOKUPS)];
}

constexpr int MAX_DEPTH = 24;

// The JSON path steps below a field that a condition or an ordering names, which the statement
// must carry as literals with exactly that text.
struct PathSteps {
    std::set<std::string> steps;

    void add(const std::string& path) {
        const std::size_t split = path.find("__");
        if (split == std::string::npos) return;
        const std::string field = path.substr(0, split);
        if (field == ADDRESS_FIELD || field == METADATA_FIELD) return;
        for (std::size_t start = split + 2;;) {
            const std::size_t next = path.find("__", start);
            steps.insert(path.substr(start, next == std::string::npos ? next : next - start));
            if (next == std::string::npos) return;
            start = next + 2;
        }
    }
};

bool is_empty_list(const Value& value) {
    const Value list = value.is_string() ? Value::parse(value.get<std::string>(), nullptr, false) : value;
    return list.is_array() && list.empty();
}

Q condition(FuzzLines& lines, PathSteps& steps, int depth) {
    if (lines.done() || depth > MAX_DEPTH) return Q();
    const std::string line = lines.text();
    if (line == "&" || line == "|") {
        Q left = condition(lines, steps, depth + 1);
        Q right = condition(lines, steps, depth + 1);
        return line == "&" ? Q::all_of({left, right}) : Q::any_of({left, right});
    }
    if (line == "!") return !condition(lines, steps, depth + 1);
    const std::size_t space = line.find(' ');
    const Lookup lookup = lookup_named(std::string_view(line).substr(0, space));
    const std::string field = space == std::string::npos ? "" : line.substr(space + 1);
    const Value value = lines.value();
    // A version marker as the value is a condition on versions, not on a path, and nothing is
    // in an empty list, which needs no field at all.
    if (!as_version_marker(value) && !(lookup == Lookup::IN && is_empty_list(value))) steps.add(field);
    return Q(field, lookup, value);
}

bool carries_literal(const LexedStatement& lexed, const std::string& text) {
    for (const auto& token : lexed.tokens) {
        if (token.kind == SqlToken::Kind::STRING && token.text == text) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzLines lines(data, size);
    const Address address = read_address(lines);
    QuerySpecifier specifier;
    const auto only = lines.list();
    if (only.size() == 1 && only.front() == "*") {
        specifier.only = std::nullopt;
    } else {
        specifier.only = only;
    }
    specifier.distinct = lines.list();
    PathSteps steps;
    std::vector<OrderBy> order_by;
    for (const auto& item : lines.list()) {
        const bool descending = item.starts_with('-');
        order_by.push_back({descending ? item.substr(1) : item, descending});
        steps.add(order_by.back().field_name);
    }
    Pagination pagination;
    {
        std::istringstream page(lines.text());
        std::int64_t limit = 0;
        std::int64_t offset = 0;
        if (page >> limit) pagination = NumberPaginator{limit, page >> offset ? std::optional(offset) : std::nullopt};
    }
    std::optional<Q> conditions;
    if (!accepted([&] { conditions = condition(lines, steps, 0); })) return 0;
    // A class version marker reads the registered class versions, and the fuzzer registers none.
    if (address.class_name.empty() || address.class_version.is_marker()) return 0;

    RecordingConnection connection;
    std::string table_name;
    if (!accepted([&] { table_name = versioned_table_name(address); })) return 0;
    const bool queried = accepted([&] { connection.query(address, specifier, conditions, pagination, order_by); });
    const std::size_t query_statements = connection.statements.size();
    const bool counted = accepted([&] { connection.count(address, conditions); });
    const bool selected = accepted([&] {
        const Statement plain =
            connection._build_select_statement(table_name, specifier, conditions, pagination, order_by, false);
        connection.statements.push_back(plain);
    });

    const auto lexed = checked(connection.statements);
    for (std::size_t i = 0; i < lexed.size(); ++i) {
        if (!names_after(lexed[i], "FROM", table_name)) {
            finding("the table is not the one identifier FROM names: " + connection.statements[i].text);
        }
    }
    if (queried) {
        if (query_statements != 1) finding("query sent " + std::to_string(query_statements) + " statements");
        for (const auto& step : steps.steps) {
            if (!carries_literal(lexed.front(), step)) {
                finding("the path step '" + step + "' is not a literal of: " + connection.statements.front().text);
            }
        }
    }
    // Address parts reach the server as parameters, which the executor checks before sending.
    if ((queried || counted || selected) && table_name.size() > MAX_IDENTIFIER_BYTES) {
        finding("a table name over the identifier limit was accepted");
    }
    return 0;
}
