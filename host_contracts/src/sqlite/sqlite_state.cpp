#include "korvex/error.hpp"
#include "korvex/sqlite/sqlite_state.hpp"

#include "korvex/utils/text.hpp"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace korvex {
namespace {

using PreparedStatement = SqliteStateConnection::PreparedStatement;

[[noreturn]] void throw_sqlite_error(sqlite3* db) {
    throw SqliteError(sqlite3_errmsg(db), sqlite3_extended_errcode(db));
}

// Prepares the first statement of `text`; `rest` receives what follows it.
PreparedStatement prepare(sqlite3* db, std::string_view text, std::string_view& rest) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, text.data(), static_cast<int>(text.size()), &raw, &tail) != SQLITE_OK) {
        throw_sqlite_error(db);
    }
    PreparedStatement statement(raw);
    rest = text.substr(static_cast<std::size_t>(tail - text.data()));
    return statement;
}

// Whether `rest` holds another statement (and not only blanks, comments and semicolons).
bool holds_another_statement(sqlite3* db, std::string_view rest) {
    while (!rest.empty()) {
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        // Text SQLite cannot even prepare is not blank either.
        if (sqlite3_prepare_v2(db, rest.data(), static_cast<int>(rest.size()), &raw, &tail) != SQLITE_OK) return true;
        if (raw != nullptr) {
            sqlite3_finalize(raw);
            return true;
        }
        const auto consumed = static_cast<std::size_t>(tail - rest.data());
        if (consumed == 0) return false;
        rest.remove_prefix(consumed);
    }
    return false;
}

// A text or blob is bound where it lies: the statement's bindings are cleared (ResetOnExit)
// before the caller's parameters go. What is made here is copied by SQLite.
void bind(sqlite3* db, sqlite3_stmt* statement, int index, const Value& value) {
    int rc = SQLITE_OK;
    switch (value.type()) {
        case Value::value_t::null:
            rc = sqlite3_bind_null(statement, index);
            break;
        case Value::value_t::boolean:
            rc = sqlite3_bind_int(statement, index, value.get<bool>() ? 1 : 0);
            break;
        case Value::value_t::number_integer:
            rc = sqlite3_bind_int64(statement, index, value.get<std::int64_t>());
            break;
        case Value::value_t::number_unsigned: {
            const auto number = value.get<std::uint64_t>();
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw UsageError("parameter " + std::to_string(index) + " (" + std::to_string(number) +
                                            ") is above SQLite's integer range");
            }
            rc = sqlite3_bind_int64(statement, index, static_cast<std::int64_t>(number));
            break;
        }
        case Value::value_t::number_float: {
            const double number = value.get<double>();
            // SQLite would store a NaN as NULL without a word.
            if (std::isnan(number)) {
                throw UsageError("parameter " + std::to_string(index) + " is NaN, which SQLite cannot store");
            }
            rc = sqlite3_bind_double(statement, index, number);
            break;
        }
        case Value::value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            rc = sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
            break;
        }
        case Value::value_t::binary: {
            const auto& bytes = value.get_binary();
            rc = sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
            break;
        }
        case Value::value_t::object:
        case Value::value_t::array: {
            const std::string text = json_text(value, false);
            rc = sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        case Value::value_t::discarded:
            throw UsageError("parameter " + std::to_string(index) + " holds no value");
    }
    if (rc != SQLITE_OK) throw_sqlite_error(db);
}

enum class Decoding { PLAIN, JSON, BOOLEAN };

Decoding decoding_of(sqlite3_stmt* statement, int column) {
    const char* declared = sqlite3_column_decltype(statement, column);
    if (declared == nullptr) return Decoding::PLAIN;
    if (sqlite3_stricmp(declared, "JSON") == 0) return Decoding::JSON;
    if (sqlite3_stricmp(declared, "BOOLEAN") == 0) return Decoding::BOOLEAN;
    return Decoding::PLAIN;
}

Value read_column(sqlite3_stmt* statement, int column, Decoding decoding) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER: {
            const sqlite3_int64 number = sqlite3_column_int64(statement, column);
            if (decoding == Decoding::BOOLEAN && (number == 0 || number == 1)) return Value(number == 1);
            return Value(static_cast<std::int64_t>(number));
        }
        case SQLITE_FLOAT:
            return Value(sqlite3_column_double(statement, column));
        case SQLITE_TEXT: {
            const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            const std::string_view text(data, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
            if (decoding == Decoding::JSON) {
                Value parsed = parse_json(text);
                // Text that is not JSON is handed back as it was stored rather than lost.
                if (!parsed.is_discarded()) return parsed;
            }
            return Value(std::string(text));
        }
        case SQLITE_BLOB: {
            const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
            return Value::binary(std::vector<std::uint8_t>(data, data + size));
        }
        default:
            return Value(nullptr);
    }
}

// korvex_upper(text): Unicode upper case, for matching without regard to case beyond ASCII
// (SQLite's own upper() folds ASCII letters only). Anything but a text passes unchanged.
void korvex_upper(sqlite3_context* context, int, sqlite3_value** arguments) {
    if (sqlite3_value_type(arguments[0]) != SQLITE_TEXT) {
        sqlite3_result_value(context, arguments[0]);
        return;
    }
    const auto* data = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    const std::string upper = unicode_upper(std::string(data, static_cast<std::size_t>(sqlite3_value_bytes(arguments[0]))));
    sqlite3_result_text64(context, upper.data(), upper.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// The writers' side file holds two locks, each on one byte, held by the open file (so released
// when it is closed, also by the death of its process): the writer's, and the waiting room,
// which every writer waiting for its turn holds shared.
constexpr off_t WRITER_BYTE = 0;
constexpr off_t WAITING_BYTE = 1;
// The pause between two looks at a lock another writer holds: short, so that the lock is not
// left unused for long (SQLite's own busy handler sleeps up to 100 ms between looks).
constexpr std::chrono::microseconds WAIT_STEP{500};
// A writer that comes back within GIVE_WAY_WINDOW of its last turn while others wait pauses
// for GIVE_WAY_PAUSE, two looks of theirs, before it looks.
constexpr std::chrono::milliseconds GIVE_WAY_WINDOW{5};
constexpr std::chrono::microseconds GIVE_WAY_PAUSE{1000};

// Sets (F_WRLCK, F_RDLCK) or clears (F_UNLCK) the lock on one byte of `fd` without waiting;
// returns 0 or the error.
int lock_byte(int fd, short type, off_t byte) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

bool others_waiting(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = WAITING_BYTE;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Whether `query` must hold the writer lock when it runs outside a transaction: it opens a
// transaction meant for writing or writes itself.
bool starts_writing(sqlite3_stmt* statement, const std::string& query) {
    const std::string verb = leading_sql_keyword(query);
    if (verb == "BEGIN") {
        const std::size_t after = query.find_first_not_of(" \t\n\r\f\v") + verb.size();
        const std::string mode = leading_sql_keyword(std::string_view(query).substr(after));
        return mode == "IMMEDIATE" || mode == "EXCLUSIVE";
    }
    if (verb == "SAVEPOINT") return true;
    return sqlite3_stmt_readonly(statement) == 0;
}

// The kept statements' tokens and the statement cache's generations: each connection, and each
// time one lets its kept or cached statements go, draws a new one.
std::atomic<std::uint64_t> next_kept_token{1};

// Leaves a cached statement ready for its next run, whatever this run did.
struct ResetOnExit {
    sqlite3_stmt* statement;
    ~ResetOnExit() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
};

const Value& bound_value(const Value& value) { return value; }
const Value& bound_value(const Value* value) { return *value; }

template <typename Params>
void bind_all(sqlite3* db, sqlite3_stmt* statement, const Params& params) {
    const int markers = sqlite3_bind_parameter_count(statement);
    if (static_cast<std::size_t>(markers) != params.size()) {
        throw UsageError("the statement takes " + std::to_string(markers) + " parameters, " +
                         std::to_string(params.size()) + " given");
    }
    for (int index = 1; index <= markers; ++index) {
        bind(db, statement, index, bound_value(params[static_cast<std::size_t>(index - 1)]));
    }
}

}  // namespace

struct SqliteStateConnection::WriterLockScope {
    SqliteStateConnection& connection;
    ~WriterLockScope() {
        connection.wait_started_.reset();
        if (connection.writer_lock_held_ && !connection.in_transaction()) connection.release_writer_lock();
    }
};

void SqliteStateConnection::StatementFinalizer::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
}

SqliteStateConnection::SqliteStateConnection(const std::string& path, const SqliteOpenOptions& options)
    : path_(path), busy_timeout_ms_(options.busy_timeout_ms), statements_generation_(next_kept_token++),
      kept_token_(next_kept_token++) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        // An empty path would open a private temporary database; a NUL would cut the path short.
        throw UsageError("a SQLite database path must be non-empty and hold no NUL byte");
    }
    if (options.busy_timeout_ms < 0) throw UsageError("the busy timeout must not be negative");
    const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw SqliteError("cannot open SQLite database " + path + ": " + message, rc);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &SqliteStateConnection::on_busy, this);
    sqlite3_create_function_v2(db_, "korvex_upper", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, &korvex_upper,
                               nullptr, nullptr, nullptr);
    if (path == ":memory:") return;
    try {
        const std::string lock_path = path + "-writer-lock";
        writer_lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (writer_lock_fd_ < 0) {
            throw SqliteError("cannot open the writers' lock file " + lock_path + " beside the database: " +
                                  std::strerror(errno),
                              SQLITE_CANTOPEN);
        }
        // Run directly: a connection opening the file must not wait for the writers' turn.
        if (!options.keep_journal_mode && to_lower(pragma("PRAGMA journal_mode")) != "wal") {
            // Switching needs the file to itself: taken in turn with the writers.
            take_writer_lock();
            const std::string mode = pragma("PRAGMA journal_mode=WAL");
            release_writer_lock();
            wait_started_.reset();
            if (to_lower(mode) != "wal") {
                throw SqliteError("cannot switch " + path +
                                      " to the write-ahead log (its file system may not share memory between "
                                      "processes); open it keeping its journal mode instead",
                                  SQLITE_ERROR);
            }
        }
        pragma(options.synchronous == SqliteOpenOptions::Synchronous::FULL ? "PRAGMA synchronous=FULL"
                                                                           : "PRAGMA synchronous=NORMAL");
    } catch (...) {
        statements_.clear();
        kept_.clear();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        if (writer_lock_fd_ >= 0) ::close(writer_lock_fd_);
        throw;
    }
}

SqliteStateConnection::~SqliteStateConnection() {
    statements_.clear();  // finalized before the database closes
    kept_.clear();
    sqlite3_close_v2(db_);  // rolls back a transaction still open, then the side lock goes
    if (writer_lock_fd_ >= 0) ::close(writer_lock_fd_);
}

std::string SqliteStateConnection::pragma(const char* statement) {
    std::string_view rest;
    const PreparedStatement prepared = prepare(db_, statement, rest);
    const int rc = sqlite3_step(prepared.get());
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) throw_sqlite_error(db_);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(prepared.get(), 0));
    return text == nullptr ? std::string() : std::string(text);
}

int SqliteStateConnection::on_busy(void* connection, int count) {
    auto& self = *static_cast<SqliteStateConnection*>(connection);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) self.busy_since_ = self.wait_started_.value_or(now);
    const auto deadline = self.busy_since_ + std::chrono::milliseconds(self.busy_timeout_ms_);
    if (now >= deadline) return 0;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now, WAIT_STEP));
    return 1;
}

void SqliteStateConnection::take_writer_lock() {
    if (writer_lock_fd_ < 0 || writer_lock_held_) return;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(busy_timeout_ms_);
    wait_started_ = start;
    // A writer back for its next transaction right after its last lets those already waiting
    // go first, rather than take every turn while they sleep between their looks.
    if (start - writer_lock_released_at_ < GIVE_WAY_WINDOW && others_waiting(writer_lock_fd_)) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - start, GIVE_WAY_PAUSE));
    }
    bool waiting = false;
    const auto stop_waiting = [&] {
        if (waiting) lock_byte(writer_lock_fd_, F_UNLCK, WAITING_BYTE);
        waiting = false;
    };
    for (;;) {
        const int error = lock_byte(writer_lock_fd_, F_WRLCK, WRITER_BYTE);
        if (error == 0) {
            stop_waiting();
            writer_lock_held_ = true;
            return;
        }
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EACCES) {
            stop_waiting();
            throw SqliteError("cannot lock " + path_ + "-writer-lock: " + std::strerror(error), SQLITE_IOERR_LOCK);
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            stop_waiting();
            throw SqliteError("database is locked: another writer kept " + path_ + " for the whole busy timeout (" +
                                  std::to_string(busy_timeout_ms_) +
                                  " ms); wait longer (busy_timeout_ms) or keep the other writer's transactions short",
                              SQLITE_BUSY);
        }
        if (!waiting) waiting = lock_byte(writer_lock_fd_, F_RDLCK, WAITING_BYTE) == 0;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now, WAIT_STEP));
    }
}

void SqliteStateConnection::release_writer_lock() {
    if (!writer_lock_held_) return;
    lock_byte(writer_lock_fd_, F_UNLCK, WRITER_BYTE);
    writer_lock_held_ = false;
    writer_lock_released_at_ = std::chrono::steady_clock::now();
}

void SqliteStateConnection::in_write_transaction(const std::function<void()>& work) {
    if (in_transaction()) {
        work();
        return;
    }
    execute("BEGIN IMMEDIATE");
    try {
        work();
        execute("COMMIT");
    } catch (...) {
        if (in_transaction()) {
            try {
                execute("ROLLBACK");
            } catch (...) {
            }
        }
        throw;
    }
}

bool SqliteStateConnection::in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }

SqliteStateConnection::CachedStatement* SqliteStateConnection::prepared(const std::string& query) {
    if (auto found = statements_.find(query); found != statements_.end()) return &found->second;
    std::string_view rest;
    PreparedStatement statement = prepare(db_, query, rest);
    if (holds_another_statement(db_, rest)) {
        throw UsageError("execute runs one statement at a time; more follows: " + std::string(rest));
    }
    if (statement == nullptr) return nullptr;
    // Statements repeat with new values; a bounded cache keeps one prepared form of each.
    if (statements_.size() >= STATEMENT_CACHE_CAPACITY) {
        statements_.clear();
        statements_generation_ = next_kept_token++;
    }
    return &statements_.emplace(query, CachedStatement{std::move(statement), nullptr, {}, -1}).first->second;
}

sqlite3_stmt* SqliteStateConnection::keep(const std::string& query) {
    if (query.find('\0') != std::string::npos) {
        throw UsageError("the statement holds a NUL byte");
    }
    const std::string verb = leading_sql_keyword(query);
    if (verb != "INSERT" && verb != "UPDATE" && verb != "DELETE") {
        throw UsageError("only an INSERT, UPDATE or DELETE is kept to be run again, not: " + query);
    }
    std::string_view rest;
    PreparedStatement statement = prepare(db_, query, rest);
    if (holds_another_statement(db_, rest)) {
        throw UsageError("execute runs one statement at a time; more follows: " + std::string(rest));
    }
    if (kept_.size() >= KEPT_STATEMENTS_CAPACITY) {
        kept_.clear();
        kept_token_ = next_kept_token++;
    }
    return kept_.emplace_back(std::move(statement)).get();
}

template <typename Params>
void SqliteStateConnection::run_kept_values(sqlite3_stmt* statement, const Params& params) {
    struct ResetAfterRun {
        sqlite3_stmt* statement;
        ~ResetAfterRun() { sqlite3_reset(statement); }  // every marker is bound again before the next run
    } reset{statement};
    const WriterLockScope writer_lock_scope{*this};
    if (!writer_lock_held_ && writer_lock_fd_ >= 0 && !in_transaction()) take_writer_lock();

    bind_all(db_, statement, params);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) throw_sqlite_error(db_);
}

void SqliteStateConnection::run_kept(sqlite3_stmt* statement, const std::vector<Value>& params) {
    run_kept_values(statement, params);
}

void SqliteStateConnection::run_kept(sqlite3_stmt* statement, const std::vector<const Value*>& params) {
    run_kept_values(statement, params);
}

std::int64_t SqliteStateConnection::schema_version() {
    // Asked before every write: the prepared statement is stepped here, without a cursor.
    sqlite3_stmt* statement = prepared("PRAGMA schema_version")->statement.get();
    const ResetOnExit reset{statement};
    if (sqlite3_step(statement) != SQLITE_ROW) throw_sqlite_error(db_);
    return sqlite3_column_int64(statement, 0);
}

std::shared_ptr<Cursor> SqliteStateConnection::execute(const std::string& query, const std::vector<Value>& params) {
    if (query.find('\0') != std::string::npos) {
        throw UsageError("the statement holds a NUL byte");
    }
    last_run_ = {};
    const bool was_open = in_transaction();
    table_changes_.saw(query, was_open);
    CachedStatement* cached = prepared(query);
    if (cached == nullptr) {
        if (!params.empty()) throw UsageError("an empty statement takes no parameters");
        return std::make_shared<MemoryCursor>();
    }
    sqlite3_stmt* const statement = cached->statement.get();
    const ResetOnExit reset{statement};
    // The writer lock is let go once no transaction holds it, whatever the statement did.
    const WriterLockScope writer_lock_scope{*this};
    if (!writer_lock_held_ && writer_lock_fd_ >= 0 && !in_transaction() && starts_writing(statement, query)) {
        take_writer_lock();
    }

    bind_all(db_, statement, params);

    std::vector<Row> rows;
    std::size_t columns = 0;
    const std::uint8_t* decodings = nullptr;
    for (bool first = true;; first = false) {
        const int rc = sqlite3_step(statement);
        if (first) {
            if (!was_open && in_transaction()) ++transactions_begun_;
            // The result's columns are read once per compiled form: SQLite compiles the statement
            // again within its first step after the schema changed, and a "*" may then stand
            // for other columns.
            const int reprepares = sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_REPREPARE, 0);
            if (cached->reprepares != reprepares || !cached->description) {
                const int count = sqlite3_column_count(statement);
                std::vector<ColumnDescription> description;
                description.reserve(static_cast<std::size_t>(count));
                cached->decodings.clear();
                for (int column = 0; column < count; ++column) {
                    description.push_back({sqlite3_column_name(statement, column), 0});
                    cached->decodings.push_back(static_cast<std::uint8_t>(decoding_of(statement, column)));
                }
                cached->description = std::make_shared<const std::vector<ColumnDescription>>(std::move(description));
                cached->reprepares = reprepares;
            }
            columns = cached->description->size();
            decodings = cached->decodings.data();
        }
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) throw_sqlite_error(db_);
        Row row;
        row.reserve(columns);
        for (std::size_t column = 0; column < columns; ++column) {
            row.push_back(read_column(statement, static_cast<int>(column), static_cast<Decoding>(decodings[column])));
        }
        rows.push_back(std::move(row));
    }
    last_run_ = {statement, statements_generation_, cached->reprepares};
    return std::make_shared<MemoryCursor>(cached->description, std::move(rows));
}

}  // namespace korvex
