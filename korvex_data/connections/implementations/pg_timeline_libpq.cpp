// libpq plumbing of pg_timeline: bound statements, cursors over results, errors, pipelines and
// prepared reads.

#include "korvex_data/connections/implementations/pg_timeline_libpq.hpp"

#include "korvex/error.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <algorithm>
#include <tuple>

namespace korvex::pg_timeline::libpq {

BoundStatement::BoundStatement(const std::string& query, const std::vector<Value>& params, bool numbered) {
    std::size_t markers = 0;
    if (numbered) {
        std::tie(text, markers) = detail::number_markers(query);
    } else {
        markers = detail::count_markers(query);
    }
    if (markers != params.size()) {
        throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                         std::to_string(params.size()) + " parameters were given");
    }
    values.reserve(params.size());
    for (const auto& param : params) values.push_back(detail::parameter_chars(param, made));
}

BoundStatement::BoundStatement(std::size_t markers, const std::vector<Value>& params) {
    if (markers != params.size()) {
        throw UsageError("the statement has " + std::to_string(markers) + " %s markers but " +
                         std::to_string(params.size()) + " parameters were given");
    }
    values.reserve(params.size());
    for (const auto& param : params) values.push_back(detail::parameter_chars(param, made));
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

DatabaseError error_of(const PGresult* result, PGconn* connection) {
    if (result == nullptr) return DatabaseError(trimmed(PQerrorMessage(connection)));
    if (PQresultStatus(result) == PGRES_EMPTY_QUERY) return DatabaseError("can't execute an empty query");
    std::string message = trimmed(PQresultErrorMessage(result));
    if (message.empty()) message = trimmed(PQerrorMessage(connection));
    return DatabaseError(message, sqlstate_of(result));
}

bool succeeded(const PGresult* result) {
    const auto status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string sqlstate_of(const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return state ? state : "";
}

bool plan_may_be_stale(const std::string& sqlstate) {
    return !(sqlstate.starts_with("22") || sqlstate.starts_with("23") || sqlstate.starts_with("25") ||
             sqlstate.starts_with("40"));
}

namespace {

// The rows of one statement's result, decoded row by row as they are fetched.
class PgCursor : public Cursor {
public:
    PgCursor(ResultPtr result, std::shared_ptr<const std::vector<ColumnDescription>>* kept)
        : result_(std::move(result)), status_(PQcmdStatus(result_.get())) {
        const int columns = PQnfields(result_.get());
        // A result of no columns (an INSERT's, a transaction statement's) shares one description.
        static const auto no_columns = std::make_shared<const std::vector<ColumnDescription>>();
        if (columns == 0 && kept == nullptr) {
            description_ = no_columns;
        } else if (kept != nullptr && *kept && (*kept)->size() == static_cast<std::size_t>(columns)) {
            description_ = *kept;
        } else {
            std::vector<ColumnDescription> description;
            description.reserve(static_cast<std::size_t>(columns));
            for (int column = 0; column < columns; ++column) {
                description.push_back({PQfname(result_.get(), column), PQftype(result_.get(), column)});
            }
            description_ = std::make_shared<const std::vector<ColumnDescription>>(std::move(description));
            if (kept != nullptr) *kept = description_;
        }
        rows_ = PQntuples(result_.get());
    }

    std::vector<Row> fetchall() override {
        std::vector<Row> rows;
        rows.reserve(static_cast<std::size_t>(rows_ - next_));
        while (next_ < rows_) rows.push_back(decode_row(next_++));
        return rows;
    }

    std::optional<Row> fetchone() override {
        if (next_ >= rows_) return std::nullopt;
        return decode_row(next_++);
    }

    const std::vector<ColumnDescription>& description() const override { return *description_; }
    std::string statusmessage() const override { return status_; }

private:
    Row decode_row(int row) const {
        const std::vector<ColumnDescription>& description = *description_;
        Row values;
        values.reserve(description.size());
        for (int column = 0; column < static_cast<int>(description.size()); ++column) {
            if (PQgetisnull(result_.get(), row, column)) {
                values.emplace_back(nullptr);
            } else {
                values.push_back(detail::decode_field(PQgetvalue(result_.get(), row, column),
                                                      static_cast<std::size_t>(PQgetlength(result_.get(), row, column)),
                                                      description[static_cast<std::size_t>(column)].type_code));
            }
        }
        return values;
    }

    ResultPtr result_;
    std::string status_;
    std::shared_ptr<const std::vector<ColumnDescription>> description_;
    int rows_ = 0;
    int next_ = 0;
};

// Commands sent before the server is asked to answer them: their answers (a few dozen bytes
// each for an INSERT) stay well below what the socket holds.
constexpr std::size_t COMMANDS_PER_FLUSH = 1000;

}  // namespace

std::shared_ptr<Cursor> cursor_of(ResultPtr result) { return std::make_shared<PgCursor>(std::move(result), nullptr); }

std::shared_ptr<Cursor> cursor_of(ResultPtr result, std::shared_ptr<const std::vector<ColumnDescription>>* description) {
    return std::make_shared<PgCursor>(std::move(result), description);
}

const std::string* PreparedStatements::find(const std::string& query) const {
    const auto found = names_.find(query);
    return found != names_.end() ? &found->second : nullptr;
}

Pipeline::Pipeline(PGconn* connection) : connection_(connection) {
    if (PQenterPipelineMode(connection_) != 1) {
        open_ = false;
        throw DatabaseError("cannot enter pipeline mode: " + trimmed(PQerrorMessage(connection_)));
    }
}

Pipeline::~Pipeline() {
    if (!open_) return;
    // A command failed to send, or a result failed to read: take what the server still sends up
    // to a sync, so that the connection can leave pipeline mode and serve the next statement.
    if (PQstatus(connection_) == CONNECTION_OK && PQpipelineSync(connection_) == 1) {
        for (int nulls = 0; nulls < 2 && PQstatus(connection_) == CONNECTION_OK;) {
            PGresult* result = PQgetResult(connection_);
            if (result == nullptr) {
                ++nulls;
                continue;
            }
            nulls = 0;
            const bool synced = PQresultStatus(result) == PGRES_PIPELINE_SYNC;
            PQclear(result);
            if (synced) break;
        }
    }
    PQexitPipelineMode(connection_);
}

void Pipeline::sent(int accepted) {
    if (accepted != 1) throw DatabaseError(trimmed(PQerrorMessage(connection_)));
    ++sent_;
    if (sent_ - results_.size() >= COMMANDS_PER_FLUSH) {
        if (PQsendFlushRequest(connection_) != 1 || PQflush(connection_) != 0) {
            throw DatabaseError(trimmed(PQerrorMessage(connection_)));
        }
        read_pending();
    }
}

void Pipeline::query(const std::string& text, const std::vector<const char*>& values) {
    sent(PQsendQueryParams(connection_, text.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                           nullptr, 0));
}

void Pipeline::prepare(const std::string& name, const std::string& text) {
    sent(PQsendPrepare(connection_, name.c_str(), text.c_str(), 0, nullptr));
}

void Pipeline::run_prepared(const std::string& name, const std::vector<const char*>& values) {
    sent(PQsendQueryPrepared(connection_, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                             nullptr, 0));
}

void Pipeline::read_pending() {
    while (results_.size() < sent_) {
        ResultPtr result(PQgetResult(connection_), &PQclear);
        if (!result) throw DatabaseError(trimmed(PQerrorMessage(connection_)));
        // Each command's results end with a null.
        while (PGresult* extra = PQgetResult(connection_)) PQclear(extra);
        results_.push_back(std::move(result));
    }
}

std::vector<ResultPtr> Pipeline::finish() {
    if (PQpipelineSync(connection_) != 1) throw DatabaseError(trimmed(PQerrorMessage(connection_)));
    read_pending();
    ResultPtr sync(PQgetResult(connection_), &PQclear);
    if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
        throw DatabaseError(trimmed(PQerrorMessage(connection_)));
    }
    open_ = false;
    if (PQexitPipelineMode(connection_) != 1) throw DatabaseError(trimmed(PQerrorMessage(connection_)));
    return std::move(results_);
}

namespace {

// The read's own savepoint: any name works, as a savepoint of the same name further out is only
// hidden until this one is released.
constexpr const char* READ_SAVEPOINT = "korvex_read";
// The plan of a prepared statement would return other columns than it was prepared with.
constexpr const char* RESULT_TYPE_CHANGED = "0A000";

}  // namespace

namespace {

// Records the statement a kept read ran as; the columns read for another one are forgotten.
std::shared_ptr<const std::vector<ColumnDescription>>* remember(KeptRead& kept, const std::string& name,
                                                              std::uint64_t epoch) {
    if (kept.name != name || kept.epoch != epoch) {
        kept.description.reset();
        kept.name = name;
        kept.epoch = epoch;
    }
    return &kept.description;
}

}  // namespace

std::shared_ptr<Cursor> run_prepared_read(PGconn* connection, const std::string& query, const BoundStatement& bound,
                                          PreparedStatements& reads, KeptRead* kept) {
    const std::string& text = kept ? kept->text : bound.text;
    for (int attempt = 0;; ++attempt) {
        const std::string* known =
            kept && !kept->name.empty() && kept->epoch == reads.epoch() ? &kept->name : reads.find(query);
        if (known == nullptr && !reads.has_room()) {
            ResultPtr result(PQexecParams(connection, text.c_str(), static_cast<int>(bound.values.size()),
                                          nullptr, bound.values.data(), nullptr, nullptr, 0),
                             &PQclear);
            if (!succeeded(result.get())) throw error_of(result.get(), connection);
            return cursor_of(std::move(result));
        }
        const std::string name = known ? *known : reads.new_name();
        const bool guarded = PQtransactionStatus(connection) == PQTRANS_INTRANS;
        if (known && !guarded) {
            // Outside a transaction a statement prepared before needs no savepoint and nothing
            // sent beside it: one execution, without entering and leaving pipeline mode.
            ResultPtr result(PQexecPrepared(connection, name.c_str(), static_cast<int>(bound.values.size()),
                                            bound.values.data(), nullptr, nullptr, 0),
                             &PQclear);
            if (succeeded(result.get())) {
                return kept ? cursor_of(std::move(result), remember(*kept, name, reads.epoch()))
                            : cursor_of(std::move(result));
            }
            const std::string state = sqlstate_of(result.get());
            if (result && state == RESULT_TYPE_CHANGED && attempt == 0) {
                // The server refused the old plan before running it: prepare afresh, run again.
                reads.evict(query);
                continue;
            }
            if (!result || plan_may_be_stale(state)) reads.evict(query);
            throw error_of(result.get(), connection);
        }
        std::vector<ResultPtr> results;
        {
            Pipeline pipeline(connection);
            if (guarded) pipeline.query(std::string("SAVEPOINT ") + READ_SAVEPOINT);
            if (!known) pipeline.prepare(name, text);
            pipeline.run_prepared(name, bound.values);
            if (guarded) pipeline.query(std::string("RELEASE SAVEPOINT ") + READ_SAVEPOINT);
            results = pipeline.finish();
        }
        const std::size_t read_index = (guarded ? 1 : 0) + (known ? 0 : 1);
        if (!known && succeeded(results[read_index - 1].get())) reads.add(query, name);

        const auto failed = std::find_if(results.begin(), results.end(), [](const ResultPtr& r) { return !succeeded(r.get()); });
        if (failed == results.end()) {
            return kept ? cursor_of(std::move(results[read_index]), remember(*kept, name, reads.epoch()))
                        : cursor_of(std::move(results[read_index]));
        }
        const bool read_failed = failed == results.begin() + static_cast<std::ptrdiff_t>(read_index);
        const std::string state = sqlstate_of(failed->get());
        if (read_failed && state == RESULT_TYPE_CHANGED && attempt == 0) {
            // Nothing ran: the server refused the old plan before running it. Undo the refusal
            // inside the transaction and run the read once more under a fresh plan.
            reads.evict(query);
            if (guarded) {
                ResultPtr undone(PQexec(connection, (std::string("ROLLBACK TO SAVEPOINT ") + READ_SAVEPOINT +
                                                     "; RELEASE SAVEPOINT " + READ_SAVEPOINT)
                                                        .c_str()),
                                 &PQclear);
                if (!succeeded(undone.get())) throw error_of(undone.get(), connection);
            }
            continue;
        }
        if (read_failed && known && plan_may_be_stale(state)) reads.evict(query);
        throw error_of(failed->get(), connection);
    }
}

}  // namespace korvex::pg_timeline::libpq
