// The SQL store core: query and count, the SELECT statements that read versioned rows (each
// joined with the metadata of its own version, which becomes one _metadata object per row), and
// the conditions and orderings on paths below a column. What an engine writes differently comes
// from its dialect; how a read runs, from its driver (_execute_read).

#include "korvex/connections/sql_historical_store.hpp"

#include "korvex/connections/constants.hpp"
#include "korvex/connections/errors.hpp"
#include "korvex/error.hpp"
#include "korvex/models/versions.hpp"
#include "korvex/table_schemas/constants.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <set>

namespace korvex {
namespace {

const std::string FIELD_PATH_SEPARATOR = "__";
const std::string MODEL_ALIAS = MODEL_TABLE_ALIAS;
const std::string METADATA_ALIAS = METADATA_TABLE_ALIAS;

// The fields of the _metadata object, in its order, and the prefix of their plain columns.
constexpr const char* PLAIN_METADATA_FIELDS[] = {
    "next_version",           "address",     "object_id",  "object_version", "prior_version", "class_schema_reference",
    "class_meta_schema_reference", "class_schema_type", "is_deleted", "created_at", "updated_at", "transaction"};
constexpr std::size_t PLAIN_METADATA_COUNT = std::size(PLAIN_METADATA_FIELDS);
const std::string PLAIN_METADATA_PREFIX = std::string(METADATA_FIELD) + ".";

// Where the plain metadata columns begin among the first `kept` columns of `description`, or
// `kept` when the result carries none (it then has the _metadata object, if anything).
std::size_t plain_metadata_start(const std::vector<ColumnDescription>& description, std::size_t kept) {
    if (kept < PLAIN_METADATA_COUNT) return kept;
    const std::size_t first = kept - PLAIN_METADATA_COUNT;
    for (std::size_t i = 0; i < PLAIN_METADATA_COUNT; ++i) {
        const std::string& name = description[first + i].name;
        if (name.size() != PLAIN_METADATA_PREFIX.size() + std::char_traits<char>::length(PLAIN_METADATA_FIELDS[i]) ||
            !name.starts_with(PLAIN_METADATA_PREFIX) ||
            name.compare(PLAIN_METADATA_PREFIX.size(), std::string::npos, PLAIN_METADATA_FIELDS[i]) != 0) {
            return kept;
        }
    }
    return first;
}

void append_page(Statement& statement, const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit) {
        statement.text += " LIMIT %s OFFSET %s";
        statement.params.emplace_back(*numbers->limit);
        statement.params.emplace_back(numbers->offset.value_or(0));
    }
}

// The object's column `name` beside the metadata, or what stands in for it where the scope's
// table lacks it.
std::string model_column(const SqlDialect& dialect, const std::string& name, const ReadScope& scope) {
    if (const std::string* stand_in = scope.stand_in(name)) return *stand_in;
    return MODEL_ALIAS + "." + dialect.quote_name(name);
}


// Read statements kept per shape. A shape is what decides a statement's text: the table, the
// selection, the tree of conditions with each field name, operator and every value that is not
// bound (null, booleans, real numbers, lists, maps, version markers, zeros, empty texts, texts
// that read as a JSON list or map, the values of IN and ISNULL), the ordering and whether a page
// is asked for. Other texts and integers, and a page's limit and offset, are bound: a builder
// writes them as parameters of their own, which the first read of a shape checks (below).

constexpr std::size_t READ_SHAPE_CAPACITY = 256;

void add_key_part(std::string& key, std::string_view part) {
    key += std::to_string(part.size());
    key += ':';
    key += part;
}

// Whether the leaf's value is bound rather than part of the shape.
bool bound_value(Lookup lookup, const Value& value) {
    if (lookup == Lookup::IN || lookup == Lookup::ISNULL) return false;
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        const auto first = text.find_first_not_of(" \t\r\n");
        return first != std::string::npos && text[first] != '[' && text[first] != '{' && !as_version_marker(value) &&
               !holds_invalid_utf8(value);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>() != 0;
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() != 0;
    return false;
}

// Adds the shape of `conditions` to `key` and its bound values to `slots`; false when a value
// cannot be written into a key exactly (the read is then built as it is).
bool add_condition_shape(const Q& conditions, std::string& key, std::vector<const Value*>& slots) {
    key += static_cast<char>('0' + static_cast<int>(conditions.kind()));
    switch (conditions.kind()) {
        case Q::Kind::EMPTY:
            return true;
        case Q::Kind::LEAF: {
            add_key_part(key, conditions.field());
            key += static_cast<char>('a' + static_cast<int>(conditions.lookup()));
            const Value& value = conditions.value();
            if (bound_value(conditions.lookup(), value)) {
                key += value.is_string() ? 's' : value.is_number_unsigned() ? 'u' : 'i';
                slots.push_back(&value);
                return true;
            }
            if (holds_invalid_utf8(value) || holds_non_finite_number(value) ||
                (value.is_number_float() && !std::isfinite(value.get<double>()))) {
                return false;
            }
            key += 'v';
            add_key_part(key, value.dump());
            return true;
        }
        case Q::Kind::AND:
        case Q::Kind::OR:
        case Q::Kind::NOT:
            key += std::to_string(conditions.children().size());
            for (const auto& child : conditions.children()) {
                if (!add_condition_shape(child, key, slots)) return false;
            }
            key += ')';
            return true;
    }
    return false;
}

// Another value of the same kind, sign and truth as `value`, different for every slot.
Value probe_value(const Value& value, std::size_t slot) {
    const auto step = static_cast<std::int64_t>(slot) + 1;
    // Upper case and spaces, so that a builder that changed the case or trimmed a text would
    // be seen to change it.
    if (value.is_string()) return value.get_ref<const std::string&>() + " ~K" + std::to_string(step) + " ";
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        return number > static_cast<std::uint64_t>(step) ? number - static_cast<std::uint64_t>(step)
                                                          : number + static_cast<std::uint64_t>(step);
    }
    const auto number = value.get<std::int64_t>();
    if (number > 0) return number > step ? number - step : number + step;
    return number < -step ? number + step : number - step;
}

// `conditions` with the probe in place of each bound value, in the order they were collected.
Q with_probes(const Q& conditions, const std::vector<const Value*>& slots, const std::vector<Value>& probes,
              std::size_t& next) {
    switch (conditions.kind()) {
        case Q::Kind::EMPTY:
            return conditions;
        case Q::Kind::LEAF:
            if (next < slots.size() && slots[next] == &conditions.value()) {
                return Q(conditions.field(), conditions.lookup(), probes[next++]);
            }
            return conditions;
        case Q::Kind::AND:
        case Q::Kind::OR: {
            std::vector<Q> children;
            for (const auto& child : conditions.children()) children.push_back(with_probes(child, slots, probes, next));
            return conditions.kind() == Q::Kind::AND ? Q::all_of(std::move(children)) : Q::any_of(std::move(children));
        }
        case Q::Kind::NOT:
            return !with_probes(conditions.children().at(0), slots, probes, next);
    }
    return conditions;
}

Pagination with_probes(const Pagination& pagination, const std::vector<const Value*>& slots,
                       const std::vector<Value>& probes, std::size_t& next) {
    Pagination probe = pagination;
    if (auto* numbers = std::get_if<NumberPaginator>(&probe)) {
        for (std::optional<std::int64_t>* part : {&numbers->limit, &numbers->offset}) {
            if (*part && **part != 0 && next < slots.size()) *part = probes[next++].get<std::int64_t>();
        }
    }
    return probe;
}

// Whether every row `conditions` keep is a latest version: the latest marker is the condition
// itself or a term of its top-level AND.
bool keeps_latest_only(const Q& conditions) {
    switch (conditions.kind()) {
        case Q::Kind::LEAF:
            return conditions.field() == ADDRESS_FIELD + FIELD_PATH_SEPARATOR + "object_version" &&
                   conditions.lookup() == Lookup::EQ && as_version_marker(conditions.value()) == Versions::LATEST;
        case Q::Kind::AND:
            return std::any_of(conditions.children().begin(), conditions.children().end(), keeps_latest_only);
        default:
            return false;
    }
}

// Whether `field` (as a condition or a resolved ordering names it) reads the metadata: any
// metadata field, any part of the address but the object id and version (the table's key).
bool reads_metadata(const std::string& field) {
    const auto split = field.find(FIELD_PATH_SEPARATOR);
    const std::string_view head = std::string_view(field).substr(0, split);
    if (head == METADATA_FIELD) return true;
    if (head != ADDRESS_FIELD) return false;
    return field != ADDRESS_FIELD + FIELD_PATH_SEPARATOR + "object_id" &&
           field != ADDRESS_FIELD + FIELD_PATH_SEPARATOR + "object_version";
}

bool conditions_read_metadata(const Q& conditions) {
    switch (conditions.kind()) {
        case Q::Kind::EMPTY: return false;
        case Q::Kind::LEAF: return reads_metadata(conditions.field());
        default:
            return std::any_of(conditions.children().begin(), conditions.children().end(), conditions_read_metadata);
    }
}

// Whether the rows of a version keep no trace of which of its metadata rows was joined: one row
// per metadata row, all or none of them kept, in no order that tells them apart, and no page
// that could keep some of them.
bool direct_metadata_allowed(const std::optional<Q>& conditions, const std::vector<OrderBy>& ordering,
                             const Pagination& pagination) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && (numbers->limit || numbers->offset)) {
        return false;
    }
    if (conditions && conditions_read_metadata(*conditions)) return false;
    return std::none_of(ordering.begin(), ordering.end(),
                        [](const OrderBy& item) { return reads_metadata(item.field_name); });
}

// Whether two rows of a directly joined result are of one version (its metadata was written more
// than once); true when the result carries no plain metadata to tell.
bool repeats_a_version(const std::vector<Row>& rows, std::size_t metadata_start, std::size_t kept) {
    if (metadata_start >= kept) return true;
    if (rows.size() < 2) return false;
    const std::size_t id = metadata_start + 2, version = metadata_start + 3;  // object_id, object_version
    std::vector<const Row*> sorted;
    sorted.reserve(rows.size());
    for (const auto& row : rows) sorted.push_back(&row);
    const auto less = [&](const Row* a, const Row* b) {
        return (*a)[id] < (*b)[id] || ((*a)[id] == (*b)[id] && (*a)[version] < (*b)[version]);
    };
    std::sort(sorted.begin(), sorted.end(), less);
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if ((*sorted[i])[id] == (*sorted[i - 1])[id] && (*sorted[i])[version] == (*sorted[i - 1])[version]) return true;
    }
    return false;
}

}  // namespace

// The dialect's defaults.

std::string SqlDialect::metadata_column(const std::string& name) const {
    return METADATA_ALIAS + "." + quote_name(name);
}

std::string SqlDialect::metadata_join_condition() const {
    return MODEL_ALIAS + ".partition_key = " + METADATA_ALIAS + ".object_id AND " + MODEL_ALIAS +
           ".range_key = " + METADATA_ALIAS + ".object_version";
}

ConditionParam SqlDialect::json_path_param(ConditionParam param, ValueType) const { return param; }

// A read statement as the builders made it for one shape of query: its text and the parameters
// that stay, and for each parameter the bound value it is (if any).
struct SqlHistoricalStore::ReadShape {
    Statement statement;
    bool bindable = false;
    // Per parameter: the slot whose value it is, or -1 for a parameter that stays.
    std::vector<std::ptrdiff_t> sources;
    std::shared_ptr<void> driver_state;
    // For a statement of the direct metadata join, the shape's statement of the plain join,
    // which runs instead when a version shows more than once.
    std::shared_ptr<ReadShape> exact;

    // Whether `probe`, built with `probes` in place of the slots' values, differs from the
    // statement only in parameters that are exactly the slots' values; records which.
    bool learn_bindings(const Statement& probe, const std::vector<const Value*>& slots,
                        const std::vector<Value>& probes) {
        if (probe.text != statement.text || probe.helper_columns != statement.helper_columns ||
            probe.params.size() != statement.params.size()) {
            return false;
        }
        sources.assign(statement.params.size(), -1);
        for (std::size_t i = 0; i < statement.params.size(); ++i) {
            if (probe.params[i] == statement.params[i]) continue;
            const auto slot = std::find(probes.begin(), probes.end(), probe.params[i]);
            if (slot == probes.end()) return false;
            const auto index = slot - probes.begin();
            if (statement.params[i] != *slots[static_cast<std::size_t>(index)]) return false;
            sources[i] = index;
        }
        return true;
    }
    void bind(const std::vector<const Value*>& slots) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            if (sources[i] >= 0) statement.params[i] = *slots[static_cast<std::size_t>(sources[i])];
        }
    }
};

namespace {

// The key of a read's shape, and its bound values in `slots`; false for a read that is built as
// it is (a cursor paginator, which the builder refuses, or a value no key can hold exactly).
bool read_shape_key(const std::string& table_name, const std::optional<QuerySpecifier>& query_specifier,
                    const std::optional<Q>& conditions, const Pagination& pagination,
                    const std::optional<std::vector<OrderBy>>& order_by, std::string& key,
                    std::vector<const Value*>& slots, std::array<Value, 2>& page_values) {
    add_key_part(key, table_name);
    if (!query_specifier) {
        key += 'n';
    } else {
        if (query_specifier->only) {
            key += 'o' + std::to_string(query_specifier->only->size());
            for (const auto& name : *query_specifier->only) add_key_part(key, name);
        } else {
            key += 'x';
        }
        key += 'd' + std::to_string(query_specifier->distinct.size());
        for (const auto& name : query_specifier->distinct) add_key_part(key, name);
    }
    if (order_by) {
        key += 'b' + std::to_string(order_by->size());
        for (const auto& item : *order_by) {
            add_key_part(key, item.field_name);
            key += item.descending ? '-' : '+';
        }
    } else {
        key += 'B';
    }
    if (conditions) {
        key += 'c';
        if (!add_condition_shape(*conditions, key, slots)) return false;
    } else {
        key += 'C';
    }
    if (std::holds_alternative<CursorPaginator>(pagination)) return false;
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination)) {
        std::size_t filled = 0;
        for (const std::optional<std::int64_t>* part : {&numbers->limit, &numbers->offset}) {
            if (!*part) {
                key += 'N';
            } else if (**part == 0) {
                key += '0';
            } else {
                key += 'p';
                page_values[filled] = **part;
                slots.push_back(&page_values[filled++]);
            }
        }
    }
    return true;
}

}  // namespace

// query and count.

std::vector<DataMap> SqlHistoricalStore::query(const Address& address,
                                               const std::optional<QuerySpecifier>& query_specifier,
                                               const std::optional<Q>& conditions, const Pagination& pagination,
                                               const std::optional<std::vector<OrderBy>>& order_by) {
    check_pagination(pagination);
    const auto tables = _tables_to_read(address, conditions);
    if (tables.empty()) {
        return _paginate_items({}, pagination, *module_logger());  // only warns about a cursor paginator
    }
    const Pagination page = rest_after_offset(pagination);
    if (tables.size() == 1) {
        return _query(tables.front().first, query_specifier, tables.front().second, page, order_by);
    }
    return _query_merged(tables, query_specifier, page, order_by);
}

std::int64_t SqlHistoricalStore::count(const Address& address, const std::optional<Q>& conditions) {
    return _count_tables(_tables_to_read(address, conditions), conditions);
}

std::vector<DataMap> SqlHistoricalStore::_query(const std::optional<std::string>& table_name,
                                                const std::optional<QuerySpecifier>& query_specifier,
                                                const std::optional<Q>& conditions, const Pagination& pagination,
                                                const std::optional<std::vector<OrderBy>>& order_by) {
    if (!table_name) {
        throw UsageError("table_name must be a text, not none");
    }
    // A statement kept for this shape of read is bound with this read's values; a new shape is
    // built by the builders and kept. Shapes are kept only for a table whose description is kept
    // (they are dropped together): a missing table's statement may read otherwise once the table
    // exists (an ordering name then resolves to its column), which nothing this session does
    // need tell.
    forget_changed_tables();
    std::string key;
    std::vector<const Value*> slots;
    std::array<Value, 2> page_values;
    std::shared_ptr<ReadShape> shape;
    // The builders asked here write the metadata as plain columns.
    struct PlainBuild {
        bool& flag;
        PlainBuild(bool& reading, bool plain) : flag(reading) { flag = plain; }
        ~PlainBuild() { flag = false; }
    } plain_build{reading_plain_metadata_, dialect_.reads_plain_metadata()};
    if (described_tables_.count(*table_name) > 0 &&
        read_shape_key(*table_name, query_specifier, conditions, pagination, order_by, key, slots, page_values)) {
        if (const auto found = read_shapes_.find(key); found != read_shapes_.end()) {
            shape = found->second;
        } else {
            shape = read_shape(key, *table_name, query_specifier, conditions, pagination, order_by, slots);
        }
    }
    Statement built;
    const Statement* statement = nullptr;
    if (shape && shape->bindable) {
        shape->bind(slots);
        statement = &shape->statement;
    } else {
        built = _build_select_statement(*table_name, query_specifier, conditions, pagination, order_by, true);
        statement = &built;
    }
    plain_build.flag = false;
    const auto run = [this](const Statement& text, ReadShape* kept) {
        reading_shape_ = kept;
        struct Done {
            ReadShape*& reading;
            ~Done() { reading = nullptr; }
        } done{reading_shape_};
        return _execute_read(text);
    };
    std::shared_ptr<Cursor> cursor = run(*statement, statement == &built ? nullptr : shape.get());
    auto rows = cursor->fetchall();
    if (statement != &built && shape->exact) {
        const auto& direct = cursor->description();
        const std::size_t direct_kept = direct.size() - std::min(statement->helper_columns, direct.size());
        if (repeats_a_version(rows, plain_metadata_start(direct, direct_kept), direct_kept)) {
            shape->exact->bind(slots);
            statement = &shape->exact->statement;
            cursor = run(*statement, shape->exact.get());
            rows = cursor->fetchall();
        }
    }
    const std::size_t helper_columns = statement->helper_columns;
    // Another connection may have changed the table since the check above: the rows are decoded
    // by the description that holds after the statement ran.
    forget_changed_tables();
    const std::shared_ptr<const TableDescription> table_description = described_table(*table_name);

    const auto& description = cursor->description();
    // The ordering and distinct keys at the end are the statement's, not the row's.
    const std::size_t kept = description.size() - std::min(helper_columns, description.size());
    // The metadata as plain columns is made into the _metadata object here; a statement that
    // carries the object itself (a builder's own) is read as it is.
    const std::size_t metadata_start = plain_metadata_start(description, kept);
    std::vector<DataMap> results;
    results.reserve(rows.size());
    for (auto& row : rows) {
        if (row.size() != description.size()) {
            throw Error("a result row of " + *table_name + " has " + std::to_string(row.size()) + " values for " +
                        std::to_string(description.size()) + " columns");
        }
        DataMap item = DataMap::object();
        auto& fields = item.get_ref<DataMap::object_t&>();
        fields.reserve(metadata_start + 1);
        for (std::size_t column = 0; column < metadata_start; ++column) {
            item[description[column].name] = std::move(row[column]);
        }
        if (metadata_start < kept) item[METADATA_FIELD] = plain_metadata(row, metadata_start);
        results.push_back(_process_result(std::move(item), *table_description));
    }
    return results;
}

Value SqlHistoricalStore::plain_metadata(std::vector<Value>& row, std::size_t first) const {
    Value metadata = Value::object();
    auto& fields = metadata.get_ref<Value::object_t&>();
    fields.reserve(PLAIN_METADATA_COUNT);
    for (std::size_t i = 0; i < PLAIN_METADATA_COUNT; ++i) {
        Value& value = row[first + i];
        const std::string_view name = PLAIN_METADATA_FIELDS[i];
        if (name == "is_deleted" && !value.is_boolean()) {
            // Read as the JSON projection reads it: 1 and 0 as true and false, anything else none.
            value = value.is_number() && value == 1 ? Value(true) : value.is_number() && value == 0 ? Value(false)
                                                                                              : Value(nullptr);
        } else if ((name == "created_at" || name == "updated_at") && value.is_number_float()) {
            value = dialect_.plain_metadata_number(value.get<double>());
        }
        fields.emplace_back(PLAIN_METADATA_FIELDS[i], std::move(value));
    }
    return metadata;
}

std::string SqlHistoricalStore::plain_metadata_selection(const ReadScope& scope) const {
    std::string selection;
    for (const char* name : PLAIN_METADATA_FIELDS) {
        selection += (selection.empty() ? "" : ", ") +
                     (scope.direct_metadata ? dialect_.direct_metadata_column(name, scope.latest_only)
                      : scope.latest_only   ? dialect_.plain_latest_metadata_column(name)
                                            : dialect_.plain_metadata_column(name)) +
                     " AS " + dialect_.quote_name(PLAIN_METADATA_PREFIX + name);
    }
    return selection;
}

std::string SqlHistoricalStore::_merged_metadata_selection(const ReadScope& scope) {
    return scope.plain_metadata ? plain_metadata_selection(scope) : SqlMergedReadMixin::_merged_metadata_selection(scope);
}

std::size_t SqlHistoricalStore::_merged_metadata_width() {
    return _merged_reads_plain_metadata() ? PLAIN_METADATA_COUNT : SqlMergedReadMixin::_merged_metadata_width();
}

Value SqlHistoricalStore::_merged_metadata(std::vector<Value>& row, std::size_t first) {
    return _merged_reads_plain_metadata() ? plain_metadata(row, first) : SqlMergedReadMixin::_merged_metadata(row, first);
}

std::shared_ptr<void>* SqlHistoricalStore::_read_shape_state(const Statement& statement) {
    return reading_shape_ != nullptr && &reading_shape_->statement == &statement ? &reading_shape_->driver_state
                                                                                : nullptr;
}

std::shared_ptr<SqlHistoricalStore::ReadShape> SqlHistoricalStore::read_shape(
    const std::string& key, const std::string& table_name, const std::optional<QuerySpecifier>& query_specifier,
    const std::optional<Q>& conditions, const Pagination& pagination,
    const std::optional<std::vector<OrderBy>>& order_by, const std::vector<const Value*>& slots) {
    // The plain join's statement, and where the dialect has one and the read allows it, the
    // direct join's, which runs first (see _query).
    auto shape = build_read_shape(table_name, query_specifier, conditions, pagination, order_by, slots);
    if (!dialect_.direct_metadata_join().empty() && shape->bindable) {
        struct DirectBuild {
            bool& flag;
            explicit DirectBuild(bool& reading) : flag(reading) { flag = true; }
            ~DirectBuild() { flag = false; }
        } direct_build{reading_direct_metadata_};
        auto direct = build_read_shape(table_name, query_specifier, conditions, pagination, order_by, slots);
        if (direct->bindable && direct->statement != shape->statement) {
            direct->exact = std::move(shape);
            shape = std::move(direct);
        }
    }
    // Many distinct shapes (conditions built from ever other names) are not kept without bound.
    if (read_shapes_.size() >= READ_SHAPE_CAPACITY) read_shapes_.clear();
    read_shapes_.emplace(key, shape);
    return shape;
}

std::shared_ptr<SqlHistoricalStore::ReadShape> SqlHistoricalStore::build_read_shape(
    const std::string& table_name, const std::optional<QuerySpecifier>& query_specifier,
    const std::optional<Q>& conditions, const Pagination& pagination,
    const std::optional<std::vector<OrderBy>>& order_by, const std::vector<const Value*>& slots) {
    auto shape = std::make_shared<ReadShape>();
    shape->statement = _build_select_statement(table_name, query_specifier, conditions, pagination, order_by, true);
    // The builders are asked once more with other values in the bound places; where only
    // parameters that are those values changed, those parameters are what a read binds anew.
    if (slots.empty()) {
        shape->bindable = true;
    } else {
        std::vector<Value> probes;
        probes.reserve(slots.size());
        for (std::size_t i = 0; i < slots.size(); ++i) probes.push_back(probe_value(*slots[i], i));
        // Each probe must tell its slot apart from every other slot and value.
        bool distinct = true;
        for (std::size_t i = 0; i < probes.size(); ++i) {
            for (std::size_t j = 0; j < slots.size(); ++j) {
                if ((j != i && probes[j] == probes[i]) || *slots[j] == probes[i]) distinct = false;
            }
        }
        std::size_t next = 0;
        std::optional<Q> probe_conditions;
        if (conditions) probe_conditions = with_probes(*conditions, slots, probes, next);
        const Pagination probe_page = with_probes(pagination, slots, probes, next);
        std::optional<Statement> probe;
        if (distinct) try {
            probe = _build_select_statement(table_name, query_specifier, probe_conditions, probe_page, order_by, true);
        } catch (const std::exception&) {
            // The builders refuse the other values: this shape is built on every read.
        }
        shape->bindable = probe && shape->learn_bindings(*probe, slots, probes);
    }
    return shape;
}

std::vector<DataMap> SqlHistoricalStore::_paginate_items(std::vector<DataMap> items, const Pagination& pagination,
                                                         spdlog::logger& logger) {
    if (const auto* numbers = std::get_if<NumberPaginator>(&pagination); numbers && numbers->limit && numbers->offset) {
        check_pagination(pagination);
        const auto size = static_cast<std::int64_t>(items.size());
        const auto begin = std::min(*numbers->offset, size);
        const auto end = std::min(begin + std::min(*numbers->limit, size), size);
        return std::vector<DataMap>(std::make_move_iterator(items.begin() + begin),
                                    std::make_move_iterator(items.begin() + end));
    }
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        logger.warn("The cursor pagination is not supported by SQLite. It will be ignored.");
    }
    return items;
}

std::shared_ptr<Cursor> SqlHistoricalStore::_execute_read(const Statement& statement) {
    return execute(statement.text, statement.params);
}

// The select statements.

Statement SqlHistoricalStore::_build_select_statement(const std::string& table_name,
                                                      const std::optional<QuerySpecifier>& query_specifier,
                                                      const std::optional<Q>& conditions, const Pagination& pagination,
                                                      const std::optional<std::vector<OrderBy>>& order_by,
                                                      bool use_internal_meta_tables) {
    ReadScope scope;
    scope.plain_metadata = reading_plain_metadata_;
    scope.direct_metadata = reading_plain_metadata_ && reading_direct_metadata_;
    return _build_select_statement(table_name, query_specifier, conditions, pagination, order_by,
                                   use_internal_meta_tables, scope);
}

Statement SqlHistoricalStore::_build_select_statement(const std::string& table_name,
                                                      const std::optional<QuerySpecifier>& query_specifier,
                                                      const std::optional<Q>& conditions, const Pagination& pagination,
                                                      const std::optional<std::vector<OrderBy>>& order_by,
                                                      bool use_internal_meta_tables, const ReadScope& given_scope) {
    if (std::holds_alternative<CursorPaginator>(pagination)) {
        throw KorvexConnectionError("Cursor pagination is not supported");
    }
    const bool is_internal_table = is_internal_table_name(table_name);
    const bool joined = use_internal_meta_tables && !is_internal_table;
    ReadScope scope = given_scope;
    scope.latest_only = joined && scope.plain_metadata && conditions && keeps_latest_only(*conditions);
    if (joined && query_specifier && !query_specifier->only) {
        throw UsageError("query_specifier.only must list the fields to select (an empty list for all)");
    }
    // The selected names (sorted by code point, which puts the underscore of _metadata before
    // letters) and those of them selected distinct.
    std::set<std::string> names;
    if (query_specifier && query_specifier->only) names.insert(query_specifier->only->begin(), query_specifier->only->end());
    if (!joined && !is_internal_table && !names.empty() && dialect_.selects_metadata_column()) {
        names.insert(METADATA_FIELD);
    }
    const std::vector<std::string> distinct = selected_distinct(names, query_specifier);
    const std::vector<OrderBy> ordering =
        order_by ? (joined ? _resolve_ordering(table_name, *order_by) : *order_by) : std::vector<OrderBy>{};
    const std::string prefix = joined ? MODEL_ALIAS + "." : "";
    scope.direct_metadata = scope.direct_metadata && joined && scope.plain_metadata && distinct.empty() &&
                            direct_metadata_allowed(conditions, ordering, pagination);

    std::string selection;
    for (const auto& name : names) selection += (selection.empty() ? "" : ", ") + prefix + dialect_.column_name(name);
    if (selection.empty()) selection = joined ? MODEL_ALIAS + ".*" : "*";
    if (joined && scope.plain_metadata) {
        selection += ", " + plain_metadata_selection(scope);
    } else if (joined) {
        selection += ", " + dialect_.metadata_select_field();
    }

    if (distinct.empty()) {
        if (!joined) return _select_statement(table_name, selection, conditions, pagination, order_by, is_internal_table);
        return _select_with_internal_meta_statement(table_name, selection, conditions, pagination, ordering, scope);
    }
    // Rows distinct on the names selected distinct: the first row of each group in the requested
    // order. The distinct and ordering keys ride along as the last columns, which the reader drops.
    TableDescription description;
    if (dialect_.distinct_keys_by_type()) description = _describe_table(table_name);
    std::vector<std::string> distinct_expressions;
    for (const auto& name : distinct) {
        const auto found = description.find(name);
        distinct_expressions.push_back(dialect_.distinct_key(prefix + dialect_.column_name(name),
                                                             found != description.end() ? found->second : ""));
    }
    std::vector<std::string> order_expressions;
    for (const auto& item : ordering) {
        order_expressions.push_back(_order_by_expression(item.field_name, is_internal_table, joined, scope));
    }
    selection += distinct_key_columns(distinct_expressions) + order_key_columns(order_expressions);
    Statement rows = joined ? _select_joined_rows(table_name, selection, conditions, ordering, scope)
                            : _select_statement(table_name, selection, conditions, Pagination{}, std::nullopt,
                                                is_internal_table);
    return _order_rows(std::move(rows), distinct.size(), ordering, "", pagination);
}

Statement SqlHistoricalStore::_select_with_internal_meta_statement(
    const std::string& table_name, const std::string& select_only, const std::optional<Q>& conditions,
    const Pagination& pagination, const std::optional<std::vector<OrderBy>>& order_by) {
    return _select_with_internal_meta_statement(table_name, select_only, conditions, pagination, order_by,
                                                ReadScope{});
}

Statement SqlHistoricalStore::_select_with_internal_meta_statement(
    const std::string& table_name, const std::string& select_only, const std::optional<Q>& conditions,
    const Pagination& pagination, const std::optional<std::vector<OrderBy>>& order_by, const ReadScope& scope) {
    Statement statement = _select_joined_rows(table_name, select_only, conditions, order_by, scope);
    if (order_by && !order_by->empty() && scope.plain_metadata) {
        // The ordering expressions of the plain projection's join (its next_version).
        std::string clause;
        for (const auto& item : *order_by) {
            clause += (clause.empty() ? " ORDER BY " : ", ") + _order_by_expression(item.field_name, false, true, scope) +
                      dialect_.order_direction(item.descending);
        }
        statement.text += clause;
    } else if (order_by && !order_by->empty()) {
        statement.text += _build_order_by_statement(*order_by, false, true);
    }
    append_page(statement, pagination);
    return statement;
}

Statement SqlHistoricalStore::_select_joined_rows(const std::string& table_name, const std::string& select_only,
                                                  const std::optional<Q>& conditions,
                                                  const std::optional<std::vector<OrderBy>>& order_by,
                                                  const ReadScope& scope) {
    Statement statement;
    std::string& text = statement.text;
    text += "SELECT " + select_only + " ";
    text += "FROM " + _table_reference(table_name) + " AS " + MODEL_ALIAS + " ";
    if (scope.direct_metadata) {
        text += dialect_.direct_metadata_join();
    } else if (scope.plain_metadata) {
        text += scope.latest_only ? dialect_.plain_latest_metadata_join() : dialect_.plain_metadata_join();
    } else {
        text += "JOIN " + dialect_.metadata_source() + " AS " + METADATA_ALIAS + " ";
        text += "ON " + dialect_.metadata_join_condition();
    }
    if (conditions && *conditions) {
        // The conditions are written for this table: its own column types, its absent columns.
        ReadScope filtered{&table_name, scope.absent};
        filtered.plain_metadata = scope.plain_metadata;
        filtered.latest_only = scope.latest_only;
        filtered.direct_metadata = scope.direct_metadata;
        auto [condition_text, params] = _get_conditions_statement(*conditions, false, true, filtered);
        statement.params = std::move(params);
        if (!condition_text.empty()) text += " WHERE " + condition_text;
    }
    // One row per version even when its metadata was written twice. An aggregate selection (a
    // COUNT call) is not grouped. Only calls are looked for: a table, a column or a condition
    // whose name holds COUNT is grouped like any other.
    // The plain projection joins one metadata row per version and needs no grouping (the table's
    // key makes its rows unique).
    if (!scope.plain_metadata && !calls_count(select_only)) {
        text += _build_group_by_statement(order_by, false, true, scope);
    }
    return statement;
}

std::string SqlHistoricalStore::_build_group_by_statement(const std::optional<std::vector<OrderBy>>& order_by,
                                                          bool is_internal_table, bool use_internal_meta_tables) {
    return _build_group_by_statement(order_by, is_internal_table, use_internal_meta_tables, ReadScope{});
}

std::string SqlHistoricalStore::_build_group_by_statement(const std::optional<std::vector<OrderBy>>& order_by,
                                                          bool is_internal_table, bool use_internal_meta_tables,
                                                          const ReadScope& scope) {
    std::string clause = " GROUP BY t1.partition_key, t1.range_key";
    if (order_by) {
        // Every ordering expression is grouped too, so that a metadata column can order the rows.
        for (const auto& item : *order_by) {
            clause += ", " + _order_by_expression(item.field_name, is_internal_table, use_internal_meta_tables, scope);
        }
    }
    return clause;
}

std::string SqlHistoricalStore::_build_order_by_statement(const std::vector<OrderBy>& order_by,
                                                          bool is_internal_table, bool use_internal_meta_tables) {
    std::string clause;
    for (const auto& item : order_by) {
        clause += (clause.empty() ? " ORDER BY " : ", ") +
                  _order_by_expression(item.field_name, is_internal_table, use_internal_meta_tables) +
                  dialect_.order_direction(item.descending);
    }
    return clause;
}

Statement SqlHistoricalStore::_order_rows(Statement rows, std::size_t distinct_count,
                                          const std::vector<OrderBy>& order_by, const std::string& tiebreak,
                                          const Pagination& pagination) {
    Statement statement{std::move(rows.text), std::move(rows.params)};
    std::string order;
    for (std::size_t i = 0; i < order_by.size(); ++i) {
        order += (i ? ", korvex_k" : "korvex_k") + std::to_string(i) + dialect_.order_direction(order_by[i].descending);
    }
    if (!tiebreak.empty()) order += (order.empty() ? "" : ", ") + tiebreak;
    statement.helper_columns = distinct_count + order_by.size();
    if (distinct_count > 0) {
        statement.text = dialect_.first_of_each_group(statement.text, distinct_key_names(distinct_count), order);
        statement.helper_columns += dialect_.group_rank_columns();
    }
    if (!order.empty()) statement.text += " ORDER BY " + order;
    append_page(statement, pagination);
    return statement;
}

// Conditions and ordering expressions.

std::pair<std::string, ConditionParam> SqlHistoricalStore::_nested_filter_statement(
    const std::string& field_name, const std::string& nested_fields, const SqlOperatorTemplate& sql_operator_template,
    const Value& value, std::optional<ValueType> value_type, bool is_internal_table, bool use_internal_meta_tables) {
    return _nested_filter_statement(field_name, nested_fields, sql_operator_template, value, value_type,
                                    is_internal_table, use_internal_meta_tables, ReadScope{});
}

std::pair<std::string, ConditionParam> SqlHistoricalStore::_nested_filter_statement(
    const std::string& field_name, const std::string& nested_fields, const SqlOperatorTemplate& sql_operator_template,
    const Value& value, std::optional<ValueType>, bool is_internal_table, bool use_internal_meta_tables,
    const ReadScope& scope) {
    // The markers LATEST and ALL mean a version only on the address's version; anywhere else they
    // are ordinary texts (a JSON path may well store "ALL"). The condition builder refuses them
    // with any operator but EQ.
    if (field_name == ADDRESS_FIELD && nested_fields == "object_version") {
        const std::optional<Versions> marker = as_version_marker(value);
        if (marker == Versions::ALL) {
            return {"", std::monostate{}};  // every version: no restriction
        }
        if (marker == Versions::LATEST) {
            // The latest version is the one no other version names as its prior version.
            if (use_internal_meta_tables && scope.direct_metadata) {
                return {dialect_.direct_latest_version_condition(), NoValue};
            }
            if (use_internal_meta_tables && scope.plain_metadata) return {dialect_.plain_latest_version_condition(), NoValue};
            return {dialect_.latest_version_condition(use_internal_meta_tables), NoValue};
        }
    }
    ConditionParam param = sql_operator_template.build_value(value);
    const ValueType kind = compared_kind(param);
    const std::string expression =
        _resolve_nested_field_name(field_name, nested_fields, kind, is_internal_table, use_internal_meta_tables, scope);
    if (expression.empty()) {
        return {"", std::monostate{}};
    }
    if (expression.find("->") != std::string::npos) param = dialect_.json_path_param(std::move(param), kind);
    return {sql_operator_template.build_statement(expression, value, "", "\""), std::move(param)};
}

std::string SqlHistoricalStore::_resolve_nested_field_name(const std::string& field_name,
                                                           const std::string& nested_fields, ValueType value_type,
                                                           bool is_internal_table, bool use_internal_meta_tables,
                                                           const ReadScope& scope) {
    return resolve_nested_field(dialect_, field_name, nested_fields, value_type, is_internal_table,
                                use_internal_meta_tables, scope);
}

std::string SqlHistoricalStore::resolve_nested_field(const SqlDialect& dialect, const std::string& field_name,
                                                     const std::string& nested_fields, ValueType value_type,
                                                     bool is_internal_table, bool use_internal_meta_tables,
                                                     const ReadScope& scope) {
    std::string column;
    std::string path = nested_fields;
    if (is_internal_table) {
        column = dialect.column_name(field_name);
    } else if (field_name == ADDRESS_FIELD && nested_fields == "object_id") {
        return use_internal_meta_tables ? model_column(dialect, PRIMARY_PARTITION_KEY, scope)
                                        : dialect.unjoined_object_id();
    } else if (field_name == ADDRESS_FIELD && use_internal_meta_tables && nested_fields == "object_version") {
        return model_column(dialect, SECONDARY_PARTITION_KEY, scope);
    } else if (field_name == ADDRESS_FIELD && !use_internal_meta_tables) {
        return "";  // without the meta tables no other part of the address can be filtered
    } else if (field_name == METADATA_FIELD && use_internal_meta_tables) {
        const auto split = nested_fields.find(FIELD_PATH_SEPARATOR);
        if (split == std::string::npos) {
            // A metadata column, no JSON path.
            return !scope.plain_metadata  ? dialect.metadata_column(nested_fields)
                   : scope.direct_metadata ? dialect.direct_metadata_column(nested_fields, scope.latest_only)
                   : scope.latest_only     ? dialect.plain_latest_metadata_column(nested_fields)
                                           : dialect.plain_metadata_column(nested_fields);
        }
        const std::string name = nested_fields.substr(0, split);
        column = !scope.plain_metadata  ? dialect.metadata_column(name)
                 : scope.direct_metadata ? dialect.direct_metadata_column(name, scope.latest_only)
                 : scope.latest_only     ? dialect.plain_latest_metadata_column(name)
                                         : dialect.plain_metadata_column(name);
        path = nested_fields.substr(split + FIELD_PATH_SEPARATOR.size());
    } else {
        column = use_internal_meta_tables ? model_column(dialect, field_name, scope)
                                          : dialect.unjoined_model_column(field_name);
    }
    return dialect.json_path_value(column, path, value_type);
}

std::string SqlHistoricalStore::_order_by_expression(const std::string& field_name, bool is_internal_table,
                                                     bool use_internal_meta_tables) {
    return _order_by_expression(field_name, is_internal_table, use_internal_meta_tables, ReadScope{});
}

std::string SqlHistoricalStore::_order_by_expression(const std::string& field_name, bool is_internal_table,
                                                     bool use_internal_meta_tables, const ReadScope& scope) {
    const auto split = field_name.find(FIELD_PATH_SEPARATOR);
    if (split == std::string::npos) {
        // Beside the metadata a bare name is the object's own column (the caller has turned a
        // name only the metadata has into _metadata__name).
        return use_internal_meta_tables && !is_internal_table ? model_column(dialect_, field_name, scope)
                                                               : dialect_.column_name(field_name);
    }
    return _resolve_nested_field_name(field_name.substr(0, split),
                                      field_name.substr(split + FIELD_PATH_SEPARATOR.size()), ValueType::TEXT,
                                      is_internal_table, use_internal_meta_tables, scope);
}

// Reads over several class-version tables.

std::string SqlHistoricalStore::_merged_column(const TableColumn& column, const ReadScope& scope) {
    if (const std::string* stand_in = scope.stand_in(column.name)) return *stand_in;
    return dialect_.merged_column(model_column(dialect_, column.name, scope));
}

std::string SqlHistoricalStore::_merged_distinct_key(const TableColumn& column, const ReadScope& scope) {
    return dialect_.distinct_key(model_column(dialect_, column.name, scope), column.type);
}

}  // namespace korvex
